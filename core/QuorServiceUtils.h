// The shared utilities object of the service core: the event-log writer, the
// log-time stamp, status raising, the result and fault texts, the arguments'
// unwrapping and the results' signing, URNs, ACL documents and the directory
// look-ups (administrators, groups and their members).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/AuthAccessor.h"
#include "core/Caller.h"
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

// Exception information of a failed late-bound call, as the fault texts take it.
struct CallException {
  uint16_t code = 0;
  com::Bstr description;
  HRESULT status = S_OK;  // the full status (scode) when the call gave one
};

class CQuorServiceUtils {
 public:
  CQuorServiceUtils();
  virtual ~CQuorServiceUtils();

  // Local time as "%d/%d/%d %d:%d:%d" (year/month/day hour:minute:second, no
  // leading zeros): the stamp of every store row.
  static std::string FormatLogTime();

  // ---- Status codes, result and fault texts ----
  // `status` with `text`, or, without text, the status's own service text:
  // what a failure of the service says at the edge.
  static Status ServiceError(HRESULT status, const com::Bstr& text = {});
  // At a component's edge: makes error information with `source` and `text`
  // (without text, the status's own text, empty when it has none) the
  // thread's current error information, in place of what a called component
  // left.
  static void RaiseServiceError(std::u16string_view source, HRESULT status, const com::Bstr& text = {});
  // "<root><resultCode>%d</resultCode></root>".
  static com::Bstr FormatResultCode(int32_t code);
  static com::Bstr MakeTransformerFault(const CallException& exception);
  static com::Bstr MakeAccessorFault(const CallException& exception);
  // Whether `text` is present and begins with "<fault>".
  static bool IsFaultResult(const com::Bstr& text);
  // The failure a fault text describes: its number as a failing status, with
  // its description (or the status's own text) as the message.
  static Status ParseFaultResult(const com::Bstr& text);
  // The same, with `notFailing` for a number that is no failing status (0,
  // positive, or not a number at all).
  static Status ParseFaultResult(const com::Bstr& text, HRESULT notFailing);

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

  // ---- URNs ----
  // The URN of a Vesk object, "urn:vocontent:vodb000:" + user + "-" + name;
  // of a share field, "urn:vocontent:covodb000:" + author + "-" + name; of a
  // resource, "urn:voresource:" + name; and a resource's folder name,
  // "urn_voresource_" + name. The parts go in unchanged: a URN is a key of the
  // tables, never part of a statement's text.
  static std::string MakeVOContentURI(std::string_view user, std::string_view name);
  static std::string MakeCoVOContentURI(std::string_view author, std::string_view name);
  static std::string MakeVOResourceURI(std::string_view name);
  static std::string MakeVOResourceDirName(std::string_view name);
  static com::Bstr MakeVOContentURIW(const com::Bstr& user, const com::Bstr& name);
  static com::Bstr MakeCoVOContentURIW(const com::Bstr& author, const com::Bstr& name);
  // 1 for a Vesk content URN ("urn:vocontent:vodb"), 2 for a share field
  // ("urn:vocontent:covodb"), 0 for anything else.
  static int ClassifyVOURI(const com::Bstr& uri);
  // ResourceURL and ResourceDir under the service key; none when missing,
  // empty, or longer than 260 bytes.
  static std::optional<std::string> ReadResourceURL();
  static std::optional<std::string> ReadResourceDir();

  // ---- ACL documents and access evaluation ----
  // "<VOACL>" with a "control" entry for the owner and one for
  // "administrator", both with every right ("rwdarawad").
  static Status MakeDefaultACL(const com::Bstr& owner, com::Bstr& document);
  // Whether `acl` grants `caller` every right token of `requested` ("r", "w", "d", "ar", "aw", "ad") through one of its
  // entries: success on a grant, else the failing status that says why. Asks nobody: the caller was resolved before.
  static Status CheckAccessRights(const Caller& caller, std::u16string_view requested, const com::Bstr& acl);
  // Whether one "control" entry names `caller` (by name, "everyone",
  // "administrator" or a group) and holds every requested token.
  static bool EvaluateControlEntry(const Caller& caller, std::u16string_view requested, const xml::NodePtr& entry);
  // The entry of `entryUser` written out, or null when there is none.
  static Status GetACLEntryFromDocument(const com::Bstr& entryUser, const com::Bstr& acl, com::Bstr& entry);
  // The document with a new entry, the entry's rights replaced, or the entry
  // removed (the first entry of that user only).
  static Status PutACLEntryToDocument(const com::Bstr& entryUser, const com::Bstr& rights, const com::Bstr& acl,
                                      com::Bstr& document);
  static Status UpdateACLEntryInDocument(const com::Bstr& entryUser, const com::Bstr& rights, const com::Bstr& acl,
                                         com::Bstr& document);
  static Status DeleteACLEntryFromDocument(const com::Bstr& entryUser, const com::Bstr& acl, com::Bstr& document);

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
  bool ReadRootContext(com::Bstr& context) const;
  // The settings' CompressThreshold as it stands (-1 before it was read).
  int32_t GetCompressThreshold() const;

  CEventLogWriter EventLog;
};

}  // namespace quor::core
