// The service core's one link to the authentication component: its Auth
// object (tickets and sessions) and AccountInfo object (directory accounts
// and groups), with forwarders that return the component's failures as
// statuses (its error information left in place for the edge), and the
// name-list searches of the administrator and list operations. The objects
// are created by class identifier and called by member name, so the core
// depends on the component's published names only.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace quor::auth {
struct ISession;
}  // namespace quor::auth

namespace quor::core {

// Account names, as the searches hand them out; empty when nothing matched.
using NameList = std::vector<std::string>;

enum AccountType : int32_t { ACCOUNT_USER = 1, ACCOUNT_GROUP = 2, ACCOUNT_ANY = 3 };
enum Ordering : int32_t {
  ORDER_DESCENDING_UNIQUE = -2,
  ORDER_DESCENDING = -1,
  ORDER_NONE = 0,
  ORDER_ASCENDING = 1,
  ORDER_ASCENDING_UNIQUE = 2,
};

class AuthAccessor {
 public:
  // Creates both objects in-process and pushes the configured root context
  // into AccountInfo.
  AuthAccessor();
  virtual ~AuthAccessor();
  AuthAccessor(const AuthAccessor&) = delete;
  AuthAccessor& operator=(const AuthAccessor&) = delete;

  bool IsReady() const { return ready_; }

  Status CreateTicket(const com::Bstr& authority, const com::Bstr& realm, const com::Bstr& principal,
                      const com::Bstr& credential, com::Bstr& fullPrincipal, com::Bstr& ticket);
  Status OpenSession(const com::Bstr& service, const com::Bstr& ticket, const com::Bstr& tokenScheme,
                     const com::Bstr& tokenSeed, com::Bstr& sessionKey, com::Bstr& verifier, com::Bstr& locator);
  Status CloseSession(const com::Bstr& sessionKey, const com::Bstr& verifier);
  // 0 with no session when the component found an object without ISession.
  Status LookupSession(const com::Bstr& token, com::ComPtr<auth::ISession>& session);

  Status GetRootContext(com::Bstr& context);
  Status PutRootContext(const com::Bstr& context);
  Status GetAccountType(const com::Bstr& account, com::Bstr& type);
  Status ListMember(const com::Bstr& group, int32_t accountType, const com::Variant& attributes, int32_t depth,
                    int32_t ordering, com::Variant& members);
  Status ListGroup(const com::Bstr& account, const com::Variant& attributes, int32_t depth, int32_t ordering,
                   com::Variant& groups);
  Status Lookup(const com::Bstr& pattern, int32_t accountType, const com::Variant& attributes, int32_t ordering,
                com::Variant& accounts);
  Status IsMember(const com::Bstr& group, const com::Bstr& account, int32_t depth, int16_t& isMember);

  Status ListGroupMembers(const com::Bstr& group, int32_t depth, int32_t ordering, NameList& names);
  Status ListAllGroups(int32_t ordering, NameList& names);
  Status ListGroupsOf(const com::Bstr& account, int32_t ordering, NameList& names);
  bool IsGroup(const com::Bstr& name);

 private:
  // Calls `name` on `target`; a raised error becomes its status.
  static Status Call(com::IDispatch* target, std::u16string_view name, uint16_t flags,
                     std::span<const com::Variant> args, com::Variant* result);

  bool ready_ = false;
  com::ComPtr<com::IDispatch> auth_;
  com::ComPtr<com::IDispatch> accountInfo_;
};

}  // namespace quor::core
