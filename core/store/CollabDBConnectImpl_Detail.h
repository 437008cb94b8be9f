// Helpers the collaboration store's source files share; not part of its
// interface.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/KeywordTable.h"
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "core/store/DBConnect.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/xml/dom.h"

namespace quor::core::collab {

inline constexpr std::string_view kClass = "CCollabDBConnectImpl";

// A text bound as a parameter; a missing text binds as an empty one.
inline com::Variant Value(const com::Bstr& text) { return com::Variant(text.IsNull() ? com::Bstr(u"") : text); }
inline com::Variant Value(std::u16string_view text) { return com::Variant(com::Bstr(text)); }

// A missing text counts as empty wherever texts are compared.
inline std::u16string_view View(const com::Bstr& text) { return text.View(); }
// As View(a) == View(b), without making UTF-16 forms of texts held as UTF-8.
inline bool SameText(const com::Bstr& a, const com::Bstr& b) { return (a.Empty() && b.Empty()) || a == b; }

inline com::Variant Now() { return com::Variant(com::Bstr::FromUtf8(CQuorServiceUtils::FormatLogTime())); }

inline std::string_view Kw(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }

inline const com::Bstr& ResultOk() {
  static const com::Bstr ok = CQuorServiceUtils::FormatResultCode(0);
  return ok;
}

// "<root>" holding one element per (name, text) pair, in order, the texts
// escaped as XML character data.
inline com::Bstr RootAnswer(std::initializer_list<std::pair<std::string_view, std::string>> elements) {
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  for (const auto& [name, text] : elements) {
    auto element = document->createElement(name);
    element->setText(text);
    root->appendChild(element);
  }
  return com::Bstr::FromUtf8(root->xml());
}

// A column of the current row as text; NULL (no text form) counts as empty.
inline com::Bstr Column(CDBConnect& db, const RecordsetHolder& rows, std::string_view column) {
  const com::Bstr* value = nullptr;
  if (db.GetFieldValue(rows, column, value) != 0 || !value) return com::Bstr(u"");
  return *value;
}

// "<root>" holding one `element` per row, with the row's `column` as text.
inline HRESULT ColumnList(CDBConnect& db, std::string_view sql, std::span<const com::Variant> params,
                          std::string_view column, std::string_view element, com::Bstr& result) {
  CommandHolder command;
  RecordsetHolder rows;
  if (const int32_t status = db.ExecuteQuery(command, rows, sql, params); status != 0) return status;
  auto document = xml::Document::Create();
  auto root = document->createElement(Kw(KW_ROOT));
  HRESULT status = S_OK;
  for (; !rows->Eof(); status = rows->MoveNext()) {
    if (FAILED(status)) break;
    auto node = document->createElement(element);
    node->setText(Column(db, rows, column).ToUtf8());
    root->appendChild(node);
  }
  db.ReleaseQuery(command, rows);
  if (FAILED(status)) return status;
  result = com::Bstr::FromUtf8(root->xml());
  return S_OK;
}

// The first row's `column`; empty, with `found` false, when there is no row.
inline HRESULT FirstValue(CDBConnect& db, std::string_view sql, std::span<const com::Variant> params,
                          std::string_view column, com::Bstr& value, bool* found = nullptr) {
  CommandHolder command;
  RecordsetHolder rows;
  if (found) *found = false;
  if (const int32_t status = db.ExecuteQuery(command, rows, sql, params); status != 0) return status;
  if (!rows->Eof()) {
    value = Column(db, rows, column);
    if (found) *found = true;
  }
  db.ReleaseQuery(command, rows);
  return S_OK;
}

// What an insert that failed left: the row under its key, looked at rather
// than guessed. S_OK when the failure was not a duplicate key and the row
// holds what the insert wrote in `wrote` (it landed though the driver said
// otherwise); QS_E_VESK_EXISTS when another row holds the key; the insert's
// own status when there is no row (or it cannot be read). The insert's
// failure text stays the connection's last.
inline HRESULT AfterFailedInsert(CDBConnect& db, int32_t status, std::string_view sql,
                                 std::span<const com::Variant> params,
                                 std::initializer_list<std::pair<std::string_view, const com::Bstr*>> wrote) {
  const com::Bstr reason = db.LastErrorText();
  HRESULT outcome = status;
  CommandHolder command;
  RecordsetHolder rows;
  if (db.ExecuteQuery(command, rows, sql, params) == 0) {
    if (!rows->Eof()) {
      bool same = status != ado::DB_E_INTEGRITYVIOLATION;
      for (const auto& [column, value] : wrote) same = same && SameText(Column(db, rows, column), *value);
      outcome = same ? S_OK : QS_E_VESK_EXISTS;
    }
    db.ReleaseQuery(command, rows);
  }
  db.LastErrorText() = reason;
  return outcome;
}

// The document element of an ACL text, or null when the text is no XML
// document: what answers embed, never a declaration or a comment.
inline xml::NodePtr AclElement(const com::Bstr& acl) {
  if (acl.IsNull() || acl.Empty()) return nullptr;
  auto document = xml::Document::Create();
  if (!document->loadXML(acl.View())) return nullptr;
  return document->documentElement();
}

}  // namespace quor::core::collab
