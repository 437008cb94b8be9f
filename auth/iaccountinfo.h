// IAccountInfo: directory look-ups of accounts and groups
// (QuorAuth.AccountInfo), made as the service's own identity below a root
// context. Dual: the operations are also reachable by name, with the
// dispatch identifiers given below and the parameter names used here.
//
// List results (ListMember, ListGroup, Lookup) are a VT_ARRAY | VT_BSTR
// two-dimensional array with lower bounds 0: index 1 the row (one account),
// index 2 the requested attribute, in the order asked; stored first index
// fastest, so all rows' first attribute come first. Nothing found: an empty
// variant. `queryAttrs` is a string, a one-dimensional array of strings or of
// variants, or a reference to one of them.
//
// Every operation returns a status and sets the thread's error information
// on failure (source "QuorAuth.AccountInfo").
#pragma once

#include <cstdint>

#include "auth/ids.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace quor::auth {

enum AccountType : int32_t {
  AccountTypeUser = 1,
  AccountTypeGroup = 2,
  AccountTypeAny = 3,
};

// Rows are ordered by objectClass, then sAMAccountName; "unique" drops a row
// equal to one already held in both.
enum Ordering : int32_t {
  OrderingMin = -2,
  OrderingDescUniq = -2,
  OrderingDesc = -1,
  OrderingNone = 0,
  OrderingAsc = 1,
  OrderingAscUniq = 2,
  OrderingMax = 2,
};

struct IAccountInfo : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{6379E219-E082-4FB0-B15E-9D40412B57E2}");

  // [1] The root context: an authority text, "LDAP://host[/container]" or
  // "WinNT://domain-or-computer". A new object starts from DefaultAuthority.
  // Put: E_INVALIDARG for another scheme or without a host; the directory's
  // status when the root cannot be bound (the old root stays).
  virtual HRESULT GetRootContext(com::Bstr* pVal) = 0;
  virtual HRESULT PutRootContext(const com::Bstr& newVal) = 0;
  // [2] The attribute names are matched by; "sAMAccountName" at first.
  // E_INVALIDARG for a text that is not an attribute name.
  virtual HRESULT GetNameAttr(com::Bstr* pVal) = 0;
  virtual HRESULT PutNameAttr(const com::Bstr& newVal) = 0;

  // [3] The account's class: "user" or "group" (LDAP), "User" or "Group"
  // (WinNT). E_ADS_UNKNOWN_OBJECT (0x80005004) "Account Type Unknown" when
  // the name is not exactly one account.
  virtual HRESULT GetAccountType(const com::Bstr& accountName, com::Bstr* accountType) = 0;
  // [4] One account's attributes: VT_ARRAY | VT_VARIANT, one element per
  // requested name, a string or empty. E_FAIL "Not Found Attributes".
  virtual HRESULT GetAttributes(const com::Bstr& accountName, const com::Variant& queryAttrs,
                                com::Variant* attributes) = 0;
  // [5] The members of a group of `accountType` (AccountType). depth 1:
  // direct members; n: n levels; -1: every level (each account once, cycles
  // end); 0: nothing. E_ADS_UNKNOWN_OBJECT "Distinguished Name Unknown" for
  // an unknown group (LDAP), the directory's status (WinNT).
  virtual HRESULT ListMember(const com::Bstr& groupName, int32_t accountType, const com::Variant& queryAttrs,
                             int32_t depth, int32_t ordering, com::Variant* memberList) = 0;
  // [6] The groups an account belongs to, directly and (by depth) through
  // other groups.
  virtual HRESULT ListGroup(const com::Bstr& accountName, const com::Variant& queryAttrs, int32_t depth,
                            int32_t ordering, com::Variant* groupList) = 0;
  // [7] The accounts whose name matches `accountName`, in which "*" stands
  // for any run of characters (and every other character for itself).
  virtual HRESULT Lookup(const com::Bstr& accountName, int32_t accountType, const com::Variant& queryAttrs,
                         int32_t ordering, com::Variant* accountList) = 0;
  // [8] -1 when the account is a member of the group within `depth` levels,
  // else 0.
  virtual HRESULT IsMember(const com::Bstr& groupName, const com::Bstr& accountName, int32_t depth,
                           int32_t* isMember) = 0;

 protected:
  ~IAccountInfo() = default;
};

}  // namespace quor::auth
