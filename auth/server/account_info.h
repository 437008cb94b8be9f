// The AccountInfo component class (QuorAuth.AccountInfo): questions about
// the accounts and groups below a root context, asked as the service's own
// identity (LDAP: the ServiceUser of SOFTWARE\Velt\Directory; WinNT: the
// local account store).
//
// Each object keeps its own root context and name attribute; the only
// process-wide state is the group list of a WinNT root, kept under a lock of
// its own and read again when the account store changes.
#pragma once

#include <span>
#include <string>

#include "auth/config.h"
#include "auth/iaccountinfo.h"
#include "platform/com/dispatch.h"

namespace quor::auth {

class AccountInfo : public com::DispatchObject<AccountInfo, IAccountInfo, com::ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorAuth.AccountInfo";

  // Starts from DefaultAuthority as the root context; when that is missing
  // or cannot be bound the object has none, and look-ups fail until one is
  // set. Tests pass a configuration of their own.
  AccountInfo() : AccountInfo(ServiceConfig::Instance()) {}
  explicit AccountInfo(ServiceConfig& config);

  HRESULT GetRootContext(com::Bstr* pVal) override;
  HRESULT PutRootContext(const com::Bstr& newVal) override;
  HRESULT GetNameAttr(com::Bstr* pVal) override;
  HRESULT PutNameAttr(const com::Bstr& newVal) override;
  HRESULT GetAccountType(const com::Bstr& accountName, com::Bstr* accountType) override;
  HRESULT GetAttributes(const com::Bstr& accountName, const com::Variant& queryAttrs,
                        com::Variant* attributes) override;
  HRESULT ListMember(const com::Bstr& groupName, int32_t accountType, const com::Variant& queryAttrs, int32_t depth,
                     int32_t ordering, com::Variant* memberList) override;
  HRESULT ListGroup(const com::Bstr& accountName, const com::Variant& queryAttrs, int32_t depth, int32_t ordering,
                    com::Variant* groupList) override;
  HRESULT Lookup(const com::Bstr& accountName, int32_t accountType, const com::Variant& queryAttrs, int32_t ordering,
                 com::Variant* accountList) override;
  HRESULT IsMember(const com::Bstr& groupName, const com::Bstr& accountName, int32_t depth,
                   int32_t* isMember) override;

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override;

  static std::span<const com::DispatchEntry<AccountInfo>> DispatchTable();

  enum class Kind { None, Ldap, WinNT };

 private:
  Status SetRoot(std::u16string_view context);
  // ListMember and ListGroup: one walk, down a group's members or up an
  // account's groups.
  enum class Direction { Members, Groups };
  Status ListAccounts(Direction direction, const com::Bstr& name, int32_t accountType, const com::Variant& queryAttrs,
                      int32_t depth, int32_t ordering, com::Variant* list);

  Kind kind_ = Kind::None;
  std::string rootPath_;  // "LDAP://host/DN" or "WinNT://name"
  std::string rootClass_;
  std::u16string rootContext_;
  std::u16string nameAttr_ = u"sAMAccountName";
  bool nameIsDn_ = false;
};

}  // namespace quor::auth
