// The request frame's utilities: the event-log writer, the arguments'
// unwrapping and the results' signing, and the directory look-ups
// (administrators, groups and their members). What the stores share with the
// frame (texts, URNs, ACL documents) is in CServiceHelpers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/AuthAccessor.h"
#include "core/Caller.h"
#include "core/ServiceConfig.h"
#include "core/ServiceHelpers.h"
#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"
#include "platform/com/variant.h"
#include "platform/eventlog/eventlog.h"
#include "platform/xml/dom.h"

namespace quor::core {

// Writes the service's entries to the event log.
class CEventLogWriter {
 public:
  CEventLogWriter();

  // One entry of `type` (1 error, 2 warning, 4 information). Non-zero on
  // success.
  int32_t WriteEvent(uint16_t type, uint32_t eventId, std::string_view text);
  // An error entry, when Level is at least 1.
  void ReportError(uint32_t eventId, std::string_view text);

  std::string Source;
  int32_t Level;
};

// One row of an argument table: the item's name, the text slot it reads from
// or writes to (none for row 0, the operation's name), and its token flags
// (0 plain, 1 compressed; after an unwrap, the flags the token carried).
struct ArgumentEntry {
  std::u16string name;
  com::Bstr* value = nullptr;
  uint32_t flags = 0;
};

class CQuorServiceUtils : public CServiceHelpers {
 public:
  // `auth`: the authentication accessor (none: no session is found and the
  // registry lists answer); `settings`: the settings, which outlive this
  // object. Neither is owned.
  CQuorServiceUtils(const CServiceConfig& settings, AuthAccessor* auth);
  virtual ~CQuorServiceUtils();
  CQuorServiceUtils(const CQuorServiceUtils&) = delete;
  CQuorServiceUtils& operator=(const CQuorServiceUtils&) = delete;

  // ---- The request frame ----
  // Looks the caller's session up by `user` (its request token), checks the
  // token over the rows and decodes each argument into its slot; the
  // principal is the session's user. 0, or the status that stopped it.
  Status UnwrapArgs(const com::Bstr& user, std::span<ArgumentEntry> table, com::Bstr& principal) const;
  // Builds the response key over the rows through the same session and puts
  // each row's encoded value back into its slot.
  Status WrapResult(const com::Bstr& user, std::span<ArgumentEntry> table, com::Bstr& reskey) const;
  // The same for an answer whose result is sent while it is made: the
  // session of `user` starts a key over the operation's name and "result",
  // to which the result's pieces are then added (ISession's token stream).
  Status BeginStreamedResult(const com::Bstr& user, std::u16string_view operation,
                             com::ComPtr<auth::ISession>& session) const;

  // ---- Administrators, users and groups ----
  // From the directory when the authentication accessor is ready, otherwise
  // from the registry lists (AdminUsers, UserGroup).
  bool IsAdministrator(const com::Bstr& user) const;
  // `user` with whether it is an administrator and its groups, asked once:
  // what a store's rights checks then read.
  Caller ResolveCaller(const com::Bstr& user) const;
  bool IsGroup(const com::Bstr& name) const;
  bool IsGroupMember(const com::Bstr& group, const com::Bstr& user) const;
  // "<root><user>a</user>...</root>" or "<root><group>g</group>...</root>".
  Status ListAdminUsers(com::Bstr& xml) const;
  Status ListGroups(com::Bstr& xml) const;
  Status ListGroupUsers(const com::Bstr& group, com::Bstr& xml) const;
  Status ListOwnGroups(const com::Bstr& user, com::Bstr& xml) const;
  // The names of an account-list result (the first column of its rows).
  // E_FAIL for a value of another kind.
  static Result<NameList> VariantToNameList(const com::Variant& value);
  static Result<NameList> SafeArrayToNameList(const com::SafeArray& array);

  // ---- Settings readers ----
  // RootContext under the service key; false and null when missing or empty.
  static bool ReadRootContext(com::Bstr& context);
  // The settings' CompressThreshold as it stands (-1 before it was read).
  int32_t GetCompressThreshold() const;

  CEventLogWriter EventLog;

 private:
  // The accessor when directory mode holds (it is ready), else null.
  AuthAccessor* Directory() const { return auth_ && auth_->IsReady() ? auth_ : nullptr; }

  const CServiceConfig& settings_;
  AuthAccessor* const auth_;
};

}  // namespace quor::core
