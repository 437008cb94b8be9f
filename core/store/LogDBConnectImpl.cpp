#include "core/store/LogDBConnectImpl.h"

#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "core/store/StoreRows.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::core {
namespace {

constexpr size_t kCut = 1024;

// The record columns and the element each goes to, in answer order.
constexpr std::pair<std::string_view, std::string_view> kRecordColumns[] = {
    {"LOGID", "logID"},       {"LOGDESCRIPTION", "description"}, {"OP", "op"},
    {"TARGET", "target"},     {"RESULT", "result"},              {"TIMESTAMP", "timestamp"},
    {"OPUSER", "opuser"},     {"LOGLEVEL", "loglevel"},          {"LOGCATALOG", "logcatalog"}};

constexpr std::string_view kInsert =
    "INSERT INTO QUORLOG (LOGDESCRIPTION, CONTENTLEN, OP, TARGET, RESULT, "
    "TIMESTAMP, OPUSER, LOGLEVEL, LOGCATALOG) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";

com::Bstr Cut(const com::Bstr& text) {
  if (text.Length() <= kCut) return text.IsNull() ? com::Bstr(u"") : text;
  return com::Bstr(text.View().substr(0, kCut));
}

com::Variant Text(const com::Bstr& text) { return com::Variant(text.IsNull() ? com::Bstr(u"") : text); }

const com::Bstr& ResultOk() {
  static const com::Bstr ok = CServiceHelpers::FormatResultCode(0);
  return ok;
}

}  // namespace

Status CLogDBConnectImpl::Query(Reply shape, std::string_view sql, std::span<const com::Variant> params,
                                com::Bstr& reply) {
  if (!db_ || db_->GetState() == 0) return Status(QS_E_LOG_DB_NOT_INSTALLED);
  auto document = xml::Document::Create();
  auto root = document->createElement("root");
  CommandHolder command;
  RecordsetHolder rows;
  if (Status status = db_->ExecuteQuery(command, rows, sql, params); !status.ok()) {
    reply = com::Bstr(u"<root/>");
    return status;
  }
  // One element per column, with its text when the value has one.
  const auto addColumn = [&](const xml::NodePtr& parent, std::string_view column, std::string_view element) {
    auto node = document->createElement(element);
    const com::Bstr* value = nullptr;
    if (db_->GetFieldValue(rows, column, value).ok() && value) node->setText(value->ToUtf8());
    parent->appendChild(node);
  };
  for (; !rows->Eof(); rows->MoveNext().Ignore()) {
    if (shape == Reply::Records) {
      auto log = document->createElement("log");
      for (const auto& [column, element] : kRecordColumns) addColumn(log, column, element);
      root->appendChild(log);
    } else if (shape == Reply::IdList) {
      addColumn(root, "LOGID", "logID");
    } else {
      addColumn(root, "LOGCOUNT", "logcount");
      break;
    }
  }
  db_->ReleaseQuery(command, rows);
  reply = com::Bstr::FromUtf8(root->xml());
  return Status();
}

Status CLogDBConnectImpl::GetLog(const com::Bstr& logId, com::Bstr& reply) {
  // LOGID is a number: a text that is none names no row.
  const auto id = text::ParseInt64(logId.ToUtf8());
  if (!id) {
    if (!db_ || db_->GetState() == 0) return Status(QS_E_LOG_DB_NOT_INSTALLED);
    return Status(QS_E_ARGUMENT_INVALID);
  }
  const com::Variant params[] = {com::Variant(*id)};
  return Query(Reply::Records, "SELECT * FROM QUORLOG WHERE LOGID = ?", params, reply);
}

Status CLogDBConnectImpl::GetLogIDList(com::Bstr& reply) {
  return Query(Reply::IdList, "SELECT LOGID FROM QUORLOG", {}, reply);
}

Status CLogDBConnectImpl::GetCategoryLogIDList(const com::Bstr& category, com::Bstr& reply) {
  const com::Variant params[] = {Text(category)};
  return Query(Reply::IdList, "SELECT LOGID FROM QUORLOG WHERE LOGCATALOG = ?", params, reply);
}

Status CLogDBConnectImpl::GetLogbyUser(const com::Bstr& user, com::Bstr& reply) {
  const com::Variant params[] = {Text(user)};
  return Query(Reply::Records, "SELECT * FROM QUORLOG WHERE OPUSER = ?", params, reply);
}

Status CLogDBConnectImpl::GetCategoryLogbyUser(const com::Bstr& user, const com::Bstr& category, com::Bstr& reply) {
  const com::Variant params[] = {Text(user), Text(category)};
  return Query(Reply::Records, "SELECT * FROM QUORLOG WHERE OPUSER = ? AND LOGCATALOG = ?", params, reply);
}

Status CLogDBConnectImpl::GetLogs(const com::Bstr& firstId, const com::Bstr& count, com::Bstr& reply) {
  if (firstId.Empty() || count.Empty()) return Status(QS_E_ARGUMENT_NULL);
  const std::string first = firstId.ToUtf8();
  const std::string number = count.ToUtf8();
  if (!text::IsAsciiDigits(first) || !text::IsAsciiDigits(number)) return Status(QS_E_ARGUMENT_INVALID);
  const auto from = text::ParseInt64(first);
  const auto how = text::ParseInt64(number);
  // Runs of digits too long for a number are no valid range either.
  if (!from || !how) return Status(QS_E_ARGUMENT_INVALID);
  if (*how < 1) return Status(QS_E_LOG_COUNT_INVALID);
  const com::Variant params[] = {com::Variant(*from), com::Variant(*from + *how)};
  return Query(Reply::Records, "SELECT * FROM QUORLOG WHERE LOGID >= ? AND LOGID < ?", params, reply);
}

Status CLogDBConnectImpl::GetLogCount(com::Bstr& reply) {
  return Query(Reply::Count, "SELECT COUNT(*) AS LOGCOUNT FROM QUORLOG", {}, reply);
}

Status CLogDBConnectImpl::Insert(const com::Bstr& description, int32_t length, std::u16string_view operation,
                                 const com::Bstr& target, const com::Bstr& result, const com::Bstr& user,
                                 std::u16string_view category) {
  if (!db_ || db_->GetState() == 0) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  const com::Variant params[] = {Text(description),
                                 com::Variant(length),
                                 com::Variant(com::Bstr(operation)),
                                 Text(target),
                                 Text(result),
                                 com::Variant(com::Bstr::FromUtf8(CServiceHelpers::FormatLogTime())),
                                 Text(user),
                                 com::Variant(com::Bstr(u"")),
                                 com::Variant(com::Bstr(category))};
  return db_->ExecuteNonQuery(kInsert, params);
}

Status CLogDBConnectImpl::PutCollabLog(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& text,
                                       com::Bstr& reply) {
  if (text.IsNull()) return Status(QS_E_ARGUMENT_NULL);
  const Status status = Insert(text, static_cast<int32_t>(text.Length()), u"PutCollabLog", uri, com::Bstr(u""), user,
                               u"collaboration");
  if (status.ok()) reply = ResultOk();
  return status;
}

Status CLogDBConnectImpl::PutLog(const com::Bstr& user, const com::Bstr& text, com::Bstr& reply) {
  if (text.IsNull()) return Status(QS_E_ARGUMENT_NULL);
  // The length stored is that of the narrow text with its quotes doubled, as
  // the rows written so far count it; the text itself is stored as given.
  std::string narrow = text.ToUtf8();
  size_t length = narrow.size();
  for (char c : narrow) length += c == '\'' ? 1 : 0;
  const Status status = Insert(text, static_cast<int32_t>(length), u"PutLog", com::Bstr(u""), com::Bstr(u""), user,
                               u"application");
  if (status.ok()) reply = ResultOk();
  return status;
}

Status CLogDBConnectImpl::InsertLog3(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target) {
  return Insert(com::Bstr(u""), 0, operation.View(), Cut(target), com::Bstr(u""), user, u"internal");
}

Status CLogDBConnectImpl::InsertLog4(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target,
                                     const com::Bstr& result) {
  return Insert(com::Bstr(u""), 0, operation.View(), Cut(target), Cut(result), user, u"internal");
}

Status CLogDBConnectImpl::InsertLog5(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target,
                                     const com::Bstr& result, const com::Bstr& description) {
  const com::Bstr cut = Cut(description);
  return Insert(cut, static_cast<int32_t>(cut.Length()), operation.View(), Cut(target), Cut(result), user, u"internal");
}

}  // namespace quor::core
