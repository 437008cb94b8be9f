// The row access the collaboration store and the content store share: one
// table of a store, its rows named by a key column, each row carrying its ACL
// document in ACCESSLIST and, in the tables that have one, its lock in
// LOCK_STATUS ("0" unlocked, else the holder's name).
//
// Contract of every routine of StoreRows:
// - The connection's state is asked first: closed gives
//   QS_E_NATIVE_DB_NOT_INSTALLED, and nothing is read or written.
// - Values reach the database only as bound parameters; a missing text binds
//   as an empty one. A NULL column reads as an empty text.
// - A write that must change a row gives the success result, a failing
//   statement's own status, or QS_E_VESK_CONTENT_NOT_FOUND when it changed
//   no row (for the lock and ACL writes: the row is gone, or its lock is no
//   longer the one read).
// - A rights check gives success, the check's own status, or the caller's own
//   code when the check gave none. An ACL operation refused at its rights check
//   (a whole-document one also at its ACL read) leaves `result` null.
// - Nothing here takes the store's gate: the store enters it, and the ACL
//   and lock steps run inside it. StoreRows holds no state but its table's
//   names and the connection, so one object serves every thread.
// - A writing operation also holds its row's RowLock (Lock) inside the gate,
//   so that writers of the row on other servers wait as this server's do.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/Caller.h"
#include "core/KeywordTable.h"
#include "core/store/DBConnect.h"
#include "core/store/RowLock.h"
#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"
#include "platform/com/variant.h"
#include "platform/xml/dom.h"

namespace quor::core::store {

// ---- Texts ----

// A text bound as a parameter; a missing text binds as an empty one.
com::Variant Value(const com::Bstr& text);
inline com::Variant Value(std::u16string_view text) { return com::Variant(com::Bstr(text)); }
// A missing text counts as empty wherever texts are compared.
inline std::u16string_view View(const com::Bstr& text) { return text.View(); }
// As View(a) == View(b), without making UTF-16 forms of texts held as UTF-8.
inline bool SameText(const com::Bstr& a, const com::Bstr& b) { return (a.Empty() && b.Empty()) || a == b; }
inline bool Missing(const com::Bstr& text) { return text.IsNull() || text.Empty(); }
// The time stamp every change writes into UPDATEDATE.
com::Variant Now();
inline std::string_view Kw(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }
// "<root><resultCode>0</resultCode></root>".
const com::Bstr& ResultOk();
// "<root>" holding one element per (name, text) pair, in order, the texts
// escaped as XML character data.
com::Bstr RootAnswer(std::initializer_list<std::pair<std::string_view, std::string>> elements);
// The document element of an ACL text, or null when the text is no XML
// document: what answers embed, never a declaration or a comment.
xml::NodePtr AclElement(const com::Bstr& acl);
// "<root>" holding the ACL's document element; "<root/>" for a text that is
// no XML.
com::Bstr AclAnswer(const com::Bstr& acl);
// A column of the current row as text; NULL (no text form) counts as empty.
com::Bstr Column(CDBConnect& db, const RecordsetHolder& rows, std::string_view column);

// ---- Lock texts ----
inline bool Unlocked(const com::Bstr& holder) { return holder == u"0"; }
// Whether someone other than `user` holds the lock.
inline bool HeldByOther(const com::Bstr& holder, const com::Bstr& user) {
  return !Unlocked(holder) && View(holder) != View(user);
}

// One row of a list answer: its element, filled from the current row.
class ListRow {
 public:
  ListRow(CDBConnect& db, const RecordsetHolder& rows, xml::Document& document, xml::NodePtr element)
      : db_(db), rows_(rows), document_(document), element_(std::move(element)) {}
  com::Bstr Column(std::string_view column) const { return store::Column(db_, rows_, column); }
  // A child `name` holding `text`.
  void Add(std::string_view name, const com::Bstr& text);
  void AddColumn(std::string_view name, std::string_view column) { Add(name, Column(column)); }
  // An "acl" child holding the ACL document of ACCESSLIST, or the stored
  // text itself when it is no XML.
  void AddAcl();
  // The row element's own text.
  void SetText(const com::Bstr& text);
  const xml::NodePtr& Element() const { return element_; }

 private:
  CDBConnect& db_;
  const RecordsetHolder& rows_;
  xml::Document& document_;
  xml::NodePtr element_;
};

class StoreRows {
 public:
  // `db` is the store's connection (not owned); `table` and `key` name the
  // table and the column that names one row.
  StoreRows(CDBConnect* db, std::string_view table, std::string_view key);

  bool Ready() const { return db_ && db_->GetState() != 0; }

  // The row `key` of this table, held against writers on other servers until
  // the result ends.
  RowLock Lock(const com::Bstr& key) const { return RowLock(db_, table_, key); }

  // ---- Statements ----
  // A statement that must change a row, answering nothing: its own failure,
  // or `none` when it changed no row.
  Status Change(std::string_view sql, std::span<const com::Variant> params, HRESULT none) const;
  // A write that must change a row (see the contract).
  Status Write(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result) const;
  // The first row's `column`; null, with `found` false, when there is no row.
  Status First(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
               com::Bstr& value, bool* found = nullptr) const;
  // "<root>" with one `rowElement` per row, filled by `fill`.
  Status List(std::string_view sql, std::span<const com::Variant> params, std::string_view rowElement,
              const std::function<void(ListRow&)>& fill, com::Bstr& result) const;
  // "<root>" with one `element` per row holding `column`.
  Status ColumnList(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                    std::string_view element, com::Bstr& result) const;
  // Inserts a row whose key is `key`. A failed insert is judged by the row
  // under its key rather than guessed: S_OK when the failure was no
  // duplicate key and the row holds what the insert wrote (`wrote`: column
  // and text), as the insert landed though the driver said otherwise;
  // QS_E_VESK_EXISTS when another row holds the key (another put's, or
  // other names that make the same key); the insert's own status when there
  // is no row or it cannot be read. The insert's failure text stays the
  // connection's last.
  Status Insert(std::string_view sql, std::span<const com::Variant> params, const com::Bstr& key,
                std::initializer_list<std::pair<std::string_view, const com::Bstr*>> wrote) const;

  // ---- ACLs ----
  // The row's ACL text; null when there is no row.
  Status QueryAcl(const com::Bstr& key, com::Bstr& acl) const;
  // The ACL of an existing row: QS_E_URI_INVALID when there is no row or
  // the ACL is "<root/>" (which is still handed out).
  Status RawAcl(const com::Bstr& key, com::Bstr& acl) const;
  // QS_E_URI_INVALID for an ACL read that found none or "<root/>", else
  // success.
  static Status JudgeRawAcl(const com::Bstr& acl);
  static Status CheckRights(const Caller& caller, std::u16string_view rights, const com::Bstr& acl, HRESULT ownCode);
  // RawAcl, then the rights check; `acl` (when given) gets the ACL read.
  Status Authorize(const Caller& caller, const com::Bstr& key, std::u16string_view rights, HRESULT ownCode,
                   com::Bstr* acl = nullptr) const;
  // Replaces the ACL text as given, stamping UPDATEDATE.
  Status WriteAcl(const com::Bstr& key, const com::Bstr& acl, com::Bstr& result) const;
  // The whole-document operations: "ar" answers "<root>" with the ACL's
  // document element; "aw" replaces the text verbatim; "ad" resets it to
  // the caller's default document. The own codes are the content ones.
  Status GetAcl(const Caller& caller, const com::Bstr& key, com::Bstr& result) const;
  Status ReplaceAcl(const Caller& caller, const com::Bstr& key, const com::Bstr& acl, com::Bstr& result) const;
  Status ResetAcl(const Caller& caller, const com::Bstr& key, com::Bstr& result) const;

  // The entry operations: every text argument present (QS_E_ARGUMENT_NULL),
  // the ACL read by QueryAcl (an unknown row has none, and the check refuses
  // it for that), the rights check ("ar" for Get, "aw" for Put and Update,
  // "ad" for Delete), then the document edit. Get answers the entry; the
  // others hand the edited document to `store`, the store's own whole-
  // document write, and give its outcome.
  enum class Entry { Get, Put, Update, Delete };
  Status EditAclEntry(Entry edit, const Caller& caller, const com::Bstr& key, const com::Bstr& acluser,
                      const com::Bstr& accright, com::Bstr& result,
                      const std::function<Status(const com::Bstr& edited)>& store) const;

  // ---- Locks ----
  // The row's lock text; null when there is no row.
  Status QueryLock(const com::Bstr& key, com::Bstr& lock) const;
  // Sets the lock to `lock` where it still holds `expected`.
  Status SetLock(const com::Bstr& lock, const com::Bstr& expected, const com::Bstr& key, com::Bstr& result) const;
  // The take of a lock read as `holder`: an unlocked row becomes `user`'s
  // (`taken` when someone took it in between); a lock of `user` stays
  // with success and no answer when `holderKeeps`; any other lock gives
  // `taken`.
  Status TakeLock(const com::Bstr& user, const com::Bstr& holder, const com::Bstr& key, HRESULT taken,
                  bool holderKeeps, com::Bstr& result) const;
  // The release of a lock read as `holder`: unlocked stays so (success, no
  // answer); the holder or an administrator unlocks; anybody else gets
  // QS_E_UNLOCK_NOT_ALLOWED.
  Status ReleaseLock(const Caller& caller, const com::Bstr& holder, const com::Bstr& key, com::Bstr& result) const;

 private:
  CDBConnect* db_;
  std::string table_, where_;
  std::string aclSelect_, aclUpdate_, lockSelect_, lockUpdate_;
};

}  // namespace quor::core::store
