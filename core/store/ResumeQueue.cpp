// The resume queue, in QUORRESUME.
//
// Argument layouts, by operation (positions from 0):
//   ForcePutShareField               4: field, user, name, author
//   ForcePutVOContent                3: content, name, user
//   ForcePutVOResource               2: name, user
//   ForcePutVOResourcewithAttribute 10: props, urlleaf, description, id, type,
//                                       version, creator, modulename, name, user
#include "core/store/ResumeQueue.h"

#include <charconv>
#include <limits>

#include "core/KeywordTable.h"
#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "core/store/CollabDBConnectImpl.h"
#include "core/store/StoreRows.h"
#include "core/store/VODBConnectImpl.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::core {
namespace {

struct Layout {
  size_t user;
  size_t name;
};

std::optional<Layout> LayoutOf(size_t count) {
  switch (count) {
    case 4:
      return Layout{1, 2};
    case 3:
      return Layout{2, 1};
    case 2:
      return Layout{1, 0};
    case 10:
      return Layout{9, 8};
    default:
      return std::nullopt;
  }
}

bool Given(const com::Bstr& text) { return !text.IsNull() && !text.Empty(); }

// Keys number from 0, the table's identity from 1.
com::Bstr KeyOf(int64_t number) { return com::Bstr::FromUtf8(text::Format("RESUME:%d", number)); }

int64_t NumberOfRow(CDBConnect& db, const RecordsetHolder& rows) {
  const std::string text(store::Column(db, rows, "RESUMENO").Utf8());
  int64_t identity = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), identity);
  return error == std::errc() && end == text.data() + text.size() && identity > 0 ? identity - 1 : -1;
}

// The number of a key as KeyOf writes it; none for any other text.
std::optional<int64_t> NumberOfKey(const com::Bstr& key) {
  const std::string text(key.Utf8());
  constexpr std::string_view prefix = "RESUME:";
  if (!text.starts_with(prefix)) return std::nullopt;
  const std::string_view digits = std::string_view(text).substr(prefix.size());
  if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  int64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size() || number < 0 ||
      number == std::numeric_limits<int64_t>::max())
    return std::nullopt;
  return number;
}

}  // namespace

Caller CResumeQueue::Resolve(const com::Bstr& user) const {
  if (resolve_) return resolve_(user);
  Caller caller;
  caller.name = user;
  return caller;
}

const com::Bstr* ResumeEntry::User() const {
  const auto layout = LayoutOf(arguments.size());
  return layout ? &arguments[layout->user] : nullptr;
}

const com::Bstr* ResumeEntry::Name() const {
  const auto layout = LayoutOf(arguments.size());
  return layout ? &arguments[layout->name] : nullptr;
}

Result<CDBConnect*> CResumeQueue::Repository() const {
  CDBConnect* db = lease_.Connection();
  if (!db || db->GetState() == 0) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  QUOR_RETURN_IF_ERROR(lease_.Ready());
  return db;
}

ResumeEntry CResumeQueue::EntryOf(CDBConnect& db, const RecordsetHolder& rows) {
  ResumeEntry entry;
  entry.number = NumberOfRow(db, rows);
  entry.key = KeyOf(entry.number);
  entry.operation = store::Column(db, rows, "OPERATION");
  entry.arguments = SplitTexts(store::Column(db, rows, "ARGUMENTS").Utf8());
  return entry;
}

Result<com::Bstr> CResumeQueue::MakeResumeKey(std::u16string_view operation, std::vector<com::Bstr> arguments) {
  QUOR_ASSIGN_OR_RETURN(CDBConnect* db, Repository());
  ResumeEntry entry;
  entry.arguments = std::move(arguments);
  const com::Bstr* user = entry.User();
  const com::Bstr* name = entry.Name();
  const com::Variant params[] = {com::Variant(com::Bstr::FromUtf8(lease_.Id())), com::Variant(com::Bstr(operation)),
                                 user ? store::Value(*user) : com::Variant::Null(),
                                 name ? store::Value(*name) : com::Variant::Null(),
                                 com::Variant(com::Bstr::FromUtf8(JoinTexts(entry.arguments)))};
  constexpr std::string_view insert =
      "INSERT INTO QUORRESUME (SERVERID, OPERATION, VOUSER, NAME, ARGUMENTS) VALUES (?, ?, ?, ?, ?)";
  const std::string dbms = db->DbmsName();
  const bool returning = text::EqualsNoCase(dbms, "PostgreSQL");
  // Elsewhere the number is the connection's last identity, read in the
  // insert's transaction.
  DBTransaction transaction(*db);
  if (!returning) QUOR_RETURN_IF_ERROR(transaction.Begin());
  if (!returning) QUOR_RETURN_IF_ERROR(db->ExecuteNonQuery(insert, params));
  CommandHolder command;
  RecordsetHolder rows;
  const std::string read = returning ? std::string(insert) + " RETURNING RESUMENO"
                           : text::EqualsNoCase(dbms, "SQLite") ? "SELECT last_insert_rowid() AS RESUMENO"
                                                                : "SELECT SCOPE_IDENTITY() AS RESUMENO";
  QUOR_RETURN_IF_ERROR(db->ExecuteQuery(command, rows, read, returning ? std::span<const com::Variant>(params)
                                                                       : std::span<const com::Variant>()));
  const int64_t number = rows->Eof() ? -1 : NumberOfRow(*db, rows);
  db->ReleaseQuery(command, rows);
  if (number < 0) return Status(E_FAIL);
  if (!returning) QUOR_RETURN_IF_ERROR(transaction.Commit());
  return KeyOf(number);
}

std::optional<ResumeEntry> CResumeQueue::FindResumeEntry(const com::Bstr& key) const {
  const std::optional<int64_t> number = NumberOfKey(key);
  const Result<CDBConnect*> db = Repository();
  if (!number || !db.ok()) return std::nullopt;
  CommandHolder command;
  RecordsetHolder rows;
  const com::Variant params[] = {com::Variant(*number + 1), lease_.LiveValue()};
  if (!(*db)->ExecuteQuery(command, rows,
                           "SELECT RESUMENO, OPERATION, ARGUMENTS FROM QUORRESUME WHERE RESUMENO = ? AND " +
                               lease_.LiveCondition("SERVERID"),
                           params)
           .ok())
    return std::nullopt;
  std::optional<ResumeEntry> entry;
  if (!rows->Eof()) entry = EntryOf(**db, rows);
  (*db)->ReleaseQuery(command, rows);
  return entry;
}

Status CResumeQueue::ReplayResumeEntry(const Caller& caller, const com::Bstr& resumeID, const com::Bstr& flag,
                                       com::Bstr& result, CCollabDBConnectImpl& collab) {
  QUOR_ASSIGN_OR_RETURN(CDBConnect* db, Repository());
  const std::optional<int64_t> number = NumberOfKey(resumeID);
  if (!number) return Status(QS_E_RESUME_ID_NOT_AVAILABLE);
  std::optional<ResumeEntry> found = FindResumeEntry(resumeID);
  if (!found) return Status(QS_E_RESUME_ID_NOT_AVAILABLE);
  // Someone else's entry is not there for this caller.
  const com::Bstr* owner = found->User();
  if (!caller.administrator && (!owner || owner->View() != caller.name.View()))
    return Status(QS_E_RESUME_ID_NOT_AVAILABLE);
  // Whoever deletes the row settles the entry, on whichever server.
  const com::Variant params[] = {com::Variant(*number + 1)};
  int64_t removed = 0;
  QUOR_RETURN_IF_ERROR(db->ExecuteNonQuery("DELETE FROM QUORRESUME WHERE RESUMENO = ?", params, removed));
  if (removed == 0) return Status(QS_E_RESUME_ID_NOT_AVAILABLE);
  const ResumeEntry entry = std::move(*found);

  if (!text::EqualsNoCase(flag.View(), u"TRUE")) {
    result = CServiceHelpers::FormatResultCode(0);
    return Status();
  }
  const auto& args = entry.arguments;
  const auto& name = entry.operation.View();
  // The put runs as the entry's own user, whoever replays it.
  const auto as = [this](const com::Bstr& user) { return Resolve(user); };
  if (name == u"ForcePutShareField" && args.size() == 4)
    return collab.ForcePutShareField(as(args[1]), args[3], args[2], args[0], result);
  if (name == u"ForcePutVOContent" && args.size() == 3) {
    // A store of its own for the replay, over the shared connection.
    CVODBConnectImpl replay(collab.Connection());
    QUOR_RETURN_IF_ERROR(replay.Init());
    return replay.ForcePutVOContent(as(args[2]), args[1], args[0], result);
  }
  if (name == u"ForcePutVOResource" && args.size() == 2) {
    CVODBConnectImpl replay(collab.Connection());
    QUOR_RETURN_IF_ERROR(replay.Init());
    return replay.ForcePutVOResource(as(args[1]), args[0], result);
  }
  if (name == u"ForcePutVOResourcewithAttribute" && args.size() == 10) {
    CVODBConnectImpl replay(collab.Connection());
    QUOR_RETURN_IF_ERROR(replay.Init());
    return replay.ForcePutVOResourcewithAttribute(as(args[9]), args[8], args[7], args[6], args[5], args[4], args[3],
                                                  args[2], args[1], args[0], result);
  }
  return Status(QS_E_QUEUE_ENTRY_UNRECOGNIZED);
}

Status CResumeQueue::GetResumeIDList(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) const {
  QUOR_ASSIGN_OR_RETURN(CDBConnect* db, Repository());
  CommandHolder command;
  RecordsetHolder rows;
  const com::Variant params[] = {lease_.LiveValue()};
  QUOR_RETURN_IF_ERROR(db->ExecuteQuery(command, rows,
                                        "SELECT RESUMENO, OPERATION, VOUSER, NAME FROM QUORRESUME WHERE " +
                                            lease_.LiveCondition("SERVERID") + " ORDER BY RESUMENO",
                                        params));
  if (rows->Eof()) {
    db->ReleaseQuery(command, rows);
    result = com::Bstr(u"<root></root>");
    return Status();
  }
  const auto& kw = CKeywordTable::Instance();
  auto document = xml::Document::Create();
  auto root = document->createElement(kw.Narrow(KW_ROOT));
  const auto add = [&](const xml::NodePtr& parent, KeywordIndex element, const com::Bstr& value) {
    auto node = document->createElement(kw.Narrow(element));
    node->setText(value.ToUtf8());
    parent->appendChild(node);
  };
  Status status;
  for (; !rows->Eof() && status.ok(); status = db->MoveNext(rows)) {
    // An entry of no known layout has neither (NULL): it is passed over.
    if (db->GetFieldString(rows, "VOUSER").code() != S_OK) continue;
    const com::Bstr entryUser = db->LastFieldValue();
    if (db->GetFieldString(rows, "NAME").code() != S_OK) continue;
    const com::Bstr entryName = db->LastFieldValue();
    bool selected;
    if (Given(user))
      selected = entryUser.View() == user.View() && (!Given(name) || entryName.View() == name.View());
    else
      selected = Given(name) && entryName.View() == name.View();
    if (!selected) continue;
    auto item = document->createElement(kw.Narrow(KW_RESUMELIST));
    add(item, KW_RESUMEID, KeyOf(NumberOfRow(*db, rows)));
    add(item, KW_METHOD, store::Column(*db, rows, "OPERATION"));
    add(item, KW_NAME, entryName);
    root->appendChild(item);
  }
  db->ReleaseQuery(command, rows);
  QUOR_RETURN_IF_ERROR(status);
  result = com::Bstr::FromUtf8(root->xml());
  return Status();
}

}  // namespace quor::core
