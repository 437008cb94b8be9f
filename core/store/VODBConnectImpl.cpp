// The content store: its set-up, the query routines its Vesk-object
// operations answer through, and the content operations.
#include "core/store/VODBConnectImpl.h"

#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "platform/com/memory_budget.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"
#include "platform/xml/escape.h"

namespace quor::core {

using namespace store;

namespace {

// "<root>" holding the content as character data; "<root/>" when empty.
// Written straight from the stored UTF-8, escaped as the document writer
// escapes text, so a long content is neither parsed into a tree nor
// converted on its way to the wire.
// ContentAnswer's text, sent in pieces: the content is escaped a piece at a
// time, so its escaped form is never held whole.
Status StreamContentAnswer(const com::Bstr& content, com::ResultSink& stream) {
  const std::string_view root = Kw(KW_ROOT);
  std::string_view text = content.Utf8();
  std::string piece;
  piece.append("<").append(root).append(">");
  while (!text.empty()) {
    const size_t end = text::Utf8Cut(text, kResultPiece);
    xml::AppendEscaped(piece, text.substr(0, end));
    text.remove_prefix(end);
    QUOR_RETURN_IF_ERROR(stream.Write(piece));
    piece.clear();
  }
  piece.append("</").append(root).append(">");
  return stream.Write(piece);
}

com::Bstr ContentAnswer(const com::Bstr& content) {
  const std::string_view root = Kw(KW_ROOT);
  const std::string_view text = content.Utf8();
  std::string out;
  if (text.empty()) {
    out.reserve(root.size() + 3);
    out.append("<").append(root).append("/>");
    return com::Bstr::TakeUtf8(std::move(out));
  }
  out.reserve(text.size() + text.size() / 16 + 2 * root.size() + 5);
  out.append("<").append(root).append(">");
  xml::AppendEscaped(out, text);
  out.append("</").append(root).append(">");
  return com::Bstr::TakeUtf8(std::move(out));
}

const com::Bstr& EmptyAnswer() {
  static const com::Bstr empty(u"<root/>");
  return empty;
}

}  // namespace

CVODBConnectImpl::CVODBConnectImpl(CDBConnect* connection)
    : db_(connection), rows_(connection, "QUORVESK", "VOURI"), resources_(connection, "QUORVESKRES", "NAME") {}

CVODBConnectImpl::~CVODBConnectImpl() = default;

Status CVODBConnectImpl::Init() {
  resourceURL_ = CServiceHelpers::ReadResourceURL();
  resourceDir_ = CServiceHelpers::ReadResourceDir();
  return Status();
}

// ---- Query routines -------------------------------------------------------------

Status CVODBConnectImpl::ReadContent(std::string_view where, std::span<const com::Variant> params,
                                     StoredContent& content) {
  content = StoredContent();
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  // Its size first, without the content, so that what the read will hold is
  // reserved before it is taken: PostgreSQL tells the bytes from the value's
  // header; otherwise CONTENTLEN's UTF-16 units, each at most three bytes.
  const bool octets = text::EqualsNoCase(db_->DbmsName(), "PostgreSQL");
  const std::string sized =
      std::string(octets ? "SELECT CONTENTLEN, octet_length(CONTENT)" : "SELECT CONTENTLEN") + " FROM QUORVESK WHERE " +
      std::string(where);
  CommandHolder command;
  RecordsetHolder rows;
  QUOR_RETURN_IF_ERROR(db_->ExecuteQuery(command, rows, sized, params));
  const bool row = !rows->Eof();
  uint64_t bytes = 0;
  if (row) {
    com::Variant value, size;
    if (rows->GetValue(octets ? 1 : 0, value).ok() && !value.IsNull() &&
        SUCCEEDED(value.ChangeType(com::VT_I8, size)) && size.I8() > 0)
      bytes = static_cast<uint64_t>(size.I8()) * (octets ? 1 : 3);
  }
  db_->ReleaseQuery(command, rows);
  if (!row) return Status();
  content.hold = com::HoldForCall(com::MemoryUse::Content);
  QUOR_RETURN_IF_ERROR(content.hold.GrowTo(db_->TextReadHolds(bytes)));
  // Once the driver tells the exact length, the hold is set to it.
  const auto exact = [&content](uint64_t held) { return content.hold.GrowTo(held); };
  std::string text;
  QUOR_RETURN_IF_ERROR(db_->ReadText("SELECT CONTENT FROM QUORVESK WHERE " + std::string(where), params, exact, text,
                                     content.found));
  // The statement and the driver's copy are gone: the text alone stays.
  content.hold.ShrinkTo(text.size());
  content.text = com::Bstr::TakeUtf8(std::move(text));
  return Status();
}

Status CVODBConnectImpl::ReadOwnContent(const Caller& caller, const com::Bstr& name, StoredContent& content) {
  const com::Variant params[] = {Value(caller.name), Value(name)};
  return ReadContent("VOUSER = ? AND NAME = ?", params, content);
}

Status CVODBConnectImpl::QueryVOLockA(const com::Bstr& uri, com::Bstr& lock) { return rows_.QueryLock(uri, lock); }

Status CVODBConnectImpl::OwnURI(const Caller& caller, const com::Bstr& name, com::Bstr& uri) {
  const com::Variant params[] = {Value(caller.name), Value(name)};
  return rows_.First("SELECT VOURI FROM QUORVESK WHERE VOUSER = ? AND NAME = ?", params, "VOURI", uri);
}

std::optional<com::Bstr> CVODBConnectImpl::GetLockInfo(const Caller& caller, const com::Bstr& uri) {
  OperationGate::Reading lock(operation_);
  if (uri.IsNull()) return std::nullopt;
  if (!rows_.Authorize(caller, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED).ok()) return std::nullopt;
  com::Bstr holder;
  if (!QueryVOLockA(uri, holder).ok() || holder.IsNull()) return std::nullopt;
  return holder;
}

Status CVODBConnectImpl::HolderByURI(const Caller& caller, const com::Bstr& uri, com::Bstr& holder) {
  QUOR_RETURN_IF_ERROR(rows_.Authorize(caller, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED));
  const auto lock = GetLockInfo(caller, uri);
  if (!lock) return Status(QS_E_URI_INVALID);
  holder = *lock;
  return Status();
}

// ---- Writes ---------------------------------------------------------------------

Status CVODBConnectImpl::UpdateVOContentB(const com::Bstr& uri, const com::Bstr& content) {
  // CONTENTLEN counts UTF-16 code units, as the interface's strings do.
  const com::Variant params[] = {com::Variant(static_cast<int32_t>(content.Length())), Value(content), Value(uri)};
  return rows_.Change("UPDATE QUORVESK SET CONTENTLEN = ?, CONTENT = ? WHERE VOURI = ?", params,
                      QS_E_VESK_CONTENT_NOT_FOUND);
}

Status CVODBConnectImpl::UpdateVOContentC(const com::Bstr& owner, const com::Bstr& name, const com::Bstr& content) {
  const com::Variant params[] = {com::Variant(static_cast<int32_t>(content.Length())), Value(content), Now(),
                                 Value(owner), Value(name)};
  return rows_.Change(
      "UPDATE QUORVESK SET CONTENTLEN = ?, CONTENT = ?, "
      "UPDATEDATE = ? WHERE VOUSER = ? AND NAME = ?",
      params, QS_E_VESK_CONTENT_NOT_FOUND);
}

Status CVODBConnectImpl::InsertVO(const com::Bstr& owner, const com::Bstr& name, const com::Bstr& content) {
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  const com::Bstr uri = CServiceHelpers::MakeVOContentURIW(owner, name);
  com::Bstr acl;
  QUOR_RETURN_IF_ERROR(CServiceHelpers::MakeDefaultACL(owner, acl));
  // The row comes with its content in one statement: the content is sent
  // once, and no reader ever sees the row without it.
  const com::Variant now = Now();
  const com::Variant params[] = {Value(owner),
                                 Value(name),
                                 com::Variant(static_cast<int32_t>(content.Length())),
                                 Value(content),
                                 Value(uri),
                                 now,
                                 now,
                                 Value(acl)};
  // The URN is unique.
  return rows_.Insert(
      "INSERT INTO QUORVESK (VOUSER, NAME, CONTENTLEN, CONTENT, VOURI, "
      "CREATEDATE, UPDATEDATE, LOCK_STATUS, "
      "ACCESSLEVEL, ACCESSLIST) VALUES (?, ?, ?, ?, ?, ?, ?, '0', '0', ?)",
      params, uri, {{"VOUSER", &owner}, {"NAME", &name}, {"CONTENT", &content}});
}

Status CVODBConnectImpl::UpdateAndUnlock(const com::Bstr& uri, const com::Bstr& lock, const com::Bstr* owner,
                                         const com::Bstr* name, const com::Bstr& content, com::Bstr& result) {
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  // The new content and the released lock come together, or neither does.
  DBTransaction transaction(*db_);
  QUOR_RETURN_IF_ERROR(transaction.Begin());
  QUOR_RETURN_IF_ERROR(owner && name ? UpdateVOContentC(*owner, *name, content) : UpdateVOContentB(uri, content));
  com::Bstr unlocked;
  QUOR_RETURN_IF_ERROR(rows_.SetLock(com::Bstr(u"0"), lock, uri, unlocked));
  QUOR_RETURN_IF_ERROR(transaction.Commit());
  result = unlocked;
  return Status();
}

// ---- Content ----------------------------------------------------------------------

Status CVODBConnectImpl::Content(const StoredContent& content, com::ResultSink* stream, com::Bstr& result) {
  if (content.found && stream && content.text.Length() >= kResultPiece)
    return StreamContentAnswer(content.text, *stream);
  // An answer made whole is held beside the content while it is made.
  QUOR_RETURN_IF_ERROR(com::HoldAnswer(content.text.Length()));
  result = content.found ? ContentAnswer(content.text) : EmptyAnswer();
  return Status();
}

// The content goes out after the gate is left: a client that reads a
// streamed answer slowly must not hold up the store's writers. What it
// holds stays reserved until it has gone.
Status CVODBConnectImpl::GetVOContent(const Caller& caller, const com::Bstr& name, com::Bstr& result,
                                      com::ResultSink* stream) {
  StoredContent content;
  {
    OperationGate::Reading lock(operation_);
    if (Status status = ReadOwnContent(caller, name, content); !status.ok()) return status;
  }
  return Content(content, stream, result);
}

Status CVODBConnectImpl::GetVOContentbyURI(const Caller& caller, const com::Bstr& uri, com::Bstr& result,
                                           com::ResultSink* stream) {
  if (Missing(uri)) return Status(QS_E_URI_NOT_SPECIFIED);
  StoredContent content;
  {
    OperationGate::Reading lock(operation_);
    if (Status status = rows_.Authorize(caller, uri, u"r", QS_E_CONTENT_READ_RIGHT_REQUIRED); !status.ok())
      return status;
    const com::Variant params[] = {Value(uri)};
    if (Status status = ReadContent("VOURI = ?", params, content); !status.ok()) return status;
  }
  return Content(content, stream, result);
}

Status CVODBConnectImpl::PutVOContent(const Caller& caller, const com::Bstr& name, const com::Bstr& content,
                                      com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CServiceHelpers::MakeVOContentURIW(caller.name, name));
  // Whether the object exists is decided by its row (one made empty is
  // written like any other), asked by its key without reading the content.
  com::Bstr uri;
  if (Status status = OwnURI(caller, name, uri); !status.ok()) return status;
  Status status = uri.IsNull() ? Status(QS_E_VESK_CONTENT_NOT_FOUND) : UpdateVOContentC(caller.name, name, content);
  if (status.code() == QS_E_VESK_CONTENT_NOT_FOUND) {
    status = InsertVO(caller.name, name, content);
    // Another server on the same database made the row in between: this put
    // then writes into it, as it would have had it come second.
    if (status.code() == QS_E_VESK_EXISTS && OwnURI(caller, name, uri).ok() && !uri.IsNull())
      status = UpdateVOContentC(caller.name, name, content);
  }
  if (!status.ok()) return status;
  result = ResultOk();
  return Status();
}

Status CVODBConnectImpl::ForcePutVOContent(const Caller&, const com::Bstr&, const com::Bstr&, com::Bstr&) {
  // No content put leaves anything to replay: the entry is accepted as done.
  return Status();
}

Status CVODBConnectImpl::CheckOwnWrite(const Caller& caller, const com::Bstr& name, const com::Bstr& content,
                                       HRESULT noLock, bool& unchanged, com::Bstr& uri, com::Bstr& holder) {
  StoredContent stored;
  QUOR_RETURN_IF_ERROR(ReadOwnContent(caller, name, stored));
  // Unchanged content writes nothing and leaves the lock as it is.
  unchanged = stored.found && SameText(stored.text, content);
  if (unchanged) return Status();
  QUOR_RETURN_IF_ERROR(OwnURI(caller, name, uri));
  const auto lock = GetLockInfo(caller, uri);
  if (!lock) return Status(noLock);
  holder = *lock;
  return HeldByOther(holder, caller.name) ? Status(QS_E_VESK_LOCKED_BY_OTHER) : Status();
}

Status CVODBConnectImpl::CheckWriteByURI(const Caller& caller, const com::Bstr& uri, const com::Bstr& content,
                                         bool& unchanged, com::Bstr& holder) {
  QUOR_RETURN_IF_ERROR(rows_.Authorize(caller, uri, u"rw", QS_E_CONTENT_WRITE_RIGHT_REQUIRED));
  const com::Variant params[] = {Value(uri)};
  StoredContent stored;
  QUOR_RETURN_IF_ERROR(ReadContent("VOURI = ?", params, stored));
  if (!stored.found) return Status(QS_E_VESK_CONTENT_MISSING);
  unchanged = SameText(stored.text, content);
  if (unchanged) return Status();
  const auto lock = GetLockInfo(caller, uri);
  if (!lock) return Status(QS_E_URI_INVALID);
  holder = *lock;
  return HeldByOther(holder, caller.name) ? Status(QS_E_VESK_LOCKED_BY_OTHER) : Status();
}

Status CVODBConnectImpl::UpdateVOContentA(const Caller& caller, const com::Bstr& name, const com::Bstr& content,
                                          com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CServiceHelpers::MakeVOContentURIW(caller.name, name));
  bool unchanged = false;
  com::Bstr uri, holder;
  const Status checked = CheckOwnWrite(caller, name, content, QS_E_URI_INVALID, unchanged, uri, holder);
  if (!checked.ok() || unchanged) return checked;
  if (Status status = UpdateVOContentC(caller.name, name, content); !status.ok()) return status;
  result = ResultOk();
  return Status();
}

Status CVODBConnectImpl::UpdateVOContentbyURI(const Caller& caller, const com::Bstr& uri, const com::Bstr& content,
                                              com::Bstr&) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Missing(uri) || content.IsNull()) return Status(QS_E_URI_OR_CONTENT_NOT_SPECIFIED);
  bool unchanged = false;
  com::Bstr holder;
  if (Status status = CheckWriteByURI(caller, uri, content, unchanged, holder); !status.ok() || unchanged)
    return status;
  return UpdateVOContentB(uri, content);
}

Status CVODBConnectImpl::RemoveChecked(const Caller& caller, const com::Bstr& uri, std::string_view sql,
                                       std::span<const com::Variant> params, com::Bstr& result) {
  QUOR_RETURN_IF_ERROR(rows_.Authorize(caller, uri, u"d", QS_E_CONTENT_DELETE_RIGHT_REQUIRED));
  const auto holder = GetLockInfo(caller, uri);
  if (!holder) return Status(QS_E_URI_INVALID);
  // A locked object stays, whoever holds the lock.
  if (!Unlocked(*holder)) return Status(QS_E_OBJECT_LOCKED);
  return rows_.Write(sql, params, result);
}

Status CVODBConnectImpl::RemoveVOContent(const Caller& caller, const com::Bstr& name, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(CServiceHelpers::MakeVOContentURIW(caller.name, name));
  com::Bstr uri;
  if (Status status = OwnURI(caller, name, uri); !status.ok()) return status;
  if (uri.IsNull()) return Status(QS_E_URI_INVALID);
  const com::Variant params[] = {Value(caller.name), Value(name)};
  return RemoveChecked(caller, uri,
                       "DELETE FROM QUORVESK WHERE VOUSER = ? AND NAME = ? AND "
                       "LOCK_STATUS = '0'",
                       params, result);
}

Status CVODBConnectImpl::RemoveVOContentbyURI(const Caller& caller, const com::Bstr& uri, com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = rows_.Lock(uri);
  if (Missing(uri)) return Status(QS_E_URI_INVALID);
  const com::Variant params[] = {Value(uri)};
  return RemoveChecked(caller, uri, "DELETE FROM QUORVESK WHERE VOURI = ? AND LOCK_STATUS = '0'", params, result);
}

}  // namespace quor::core
