// The content store: Vesk objects (rows of QUORVESK: named text content of
// one owner, with its ACL document and lock) and resources (rows of
// QUORVESKRES with their files below ResourceDir).
//
// Every operation takes the verified calling user first where it has one and
// answers through `result` (left null where the operation answers nothing).
// Values reach the database only as bound parameters.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/store/DBConnect.h"
#include "core/store/OperationGate.h"
#include "core/store/StoreRows.h"
#include "platform/com/bstr.h"
#include "platform/com/callcontext.h"
#include "platform/com/hresult.h"
#include "platform/com/memory_budget.h"
#include "platform/com/status.h"
#include "platform/com/variant.h"

namespace quor::core {

class CVODBConnectImpl {
 public:
  // `connection` is the shared connection; the store does not own it.
  explicit CVODBConnectImpl(CDBConnect* connection);
  virtual ~CVODBConnectImpl();
  CVODBConnectImpl(const CVODBConnectImpl&) = delete;
  CVODBConnectImpl& operator=(const CVODBConnectImpl&) = delete;

  // Reads ResourceURL and ResourceDir (either may be missing). Always 0.
  Status Init();

  // ---- Content ----
  // The caller's own object by name: "<root>content</root>", "<root/>" when
  // there is no such object.
  // With a `stream`, a large content is sent through it instead of `result`.
  Status GetVOContent(const Caller& caller, const com::Bstr& name, com::Bstr& result,
                      com::ResultSink* stream = nullptr);
  Status GetVOContentbyURI(const Caller& caller, const com::Bstr& uri, com::Bstr& result,
                           com::ResultSink* stream = nullptr);
  // Creates the caller's object, or overwrites it when it exists.
  Status PutVOContent(const Caller& caller, const com::Bstr& name, const com::Bstr& content, com::Bstr& result);
  // The resume queue's replay: accepted, nothing changes.
  Status ForcePutVOContent(const Caller& caller, const com::Bstr& name, const com::Bstr& content, com::Bstr& result);
  // UpdateVOContent: overwrites the caller's object unless another user holds
  // its lock.
  Status UpdateVOContentA(const Caller& caller, const com::Bstr& name, const com::Bstr& content, com::Bstr& result);
  Status UpdateVOContentbyURI(const Caller& caller, const com::Bstr& uri, const com::Bstr& content, com::Bstr& result);
  Status RemoveVOContent(const Caller& caller, const com::Bstr& name, com::Bstr& result);
  Status RemoveVOContentbyURI(const Caller& caller, const com::Bstr& uri, com::Bstr& result);

  // ---- Locks ----
  Status LockVO(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status ForceUnlockVO(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status GetVOContentwithLock(const Caller& caller, const com::Bstr& name, com::Bstr& result);
  Status GetVOContentbyURIwithLock(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status UpdateVOContentwithUnlock(const Caller& caller, const com::Bstr& name, const com::Bstr& content,
                                   com::Bstr& result);
  Status UpdateVOContentbyURIwithUnlock(const Caller& caller, const com::Bstr& uri, const com::Bstr& content,
                                        com::Bstr& result);

  // ---- ACLs of Vesk objects ----
  Status GetACL(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status PutACL(const Caller& caller, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result);
  Status UpdateACL(const Caller& caller, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result);
  Status DeleteACL(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status GetACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser, com::Bstr& result);
  Status PutACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser, const com::Bstr& accright,
                     com::Bstr& result);
  Status UpdateACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser, const com::Bstr& accright,
                        com::Bstr& result);
  Status DeleteACLEntry(const Caller& caller, const com::Bstr& uri, const com::Bstr& acluser, com::Bstr& result);

  // ---- Lists and URN administration ----
  Status GetVOList(const Caller& caller, com::Bstr& result);
  Status GetVOListAll(com::Bstr& result);
  Status GetVOAttribute(const Caller& caller, const com::Bstr& uri, com::Bstr& result);
  Status GetVOURIList(const Caller& caller, com::Bstr& result);
  Status GetVOURIListAll(com::Bstr& result);
  // The owner of each object, one entry per object.
  Status GetVOUserListAll(com::Bstr& result);
  Status GetVOURI(const Caller& caller, const com::Bstr& owner, const com::Bstr& name, com::Bstr& result);
  // Administrators only: an empty object of `owner`, or its removal by URN.
  Status PutVOURI(const Caller& caller, const com::Bstr& owner, const com::Bstr& name, com::Bstr& result);
  Status RemoveVOURI(const Caller& caller, const com::Bstr& uri, com::Bstr& result);

  // The lock holder ("0" when unlocked) of an object the caller may read;
  // none for a null URN, an unknown URN or a refused read.
  std::optional<com::Bstr> GetLockInfo(const Caller& caller, const com::Bstr& uri);

  const std::optional<std::string>& ResourceDir() const { return resourceDir_; }
  const std::optional<std::string>& ResourceURL() const { return resourceURL_; }

 private:
  bool Ready() const { return rows_.Ready(); }

  // A stored content as read, with what it holds of the call's memory
  // account for as long as it lives.
  struct StoredContent {
    com::Bstr text;  // "" for NULL
    com::MemoryHold hold;
    bool found = false;  // a row
  };
  // The answer of a content read: streamed when it is large and a stream is given.
  Status Content(const StoredContent& content, com::ResultSink* stream, com::Bstr& result);

  // ---- Query routines of the Vesk objects ----
  // The CONTENT of the row of QUORVESK that `where` (with `params`) picks,
  // read straight into one buffer of its size; what the read holds is
  // reserved before it is taken, and a refusal is the failure. `found`
  // false when there is no row; a failing query returns its status.
  Status ReadContent(std::string_view where, std::span<const com::Variant> params, StoredContent& content);
  // The same for the caller's own object `name`.
  Status ReadOwnContent(const Caller& caller, const com::Bstr& name, StoredContent& content);
  // LOCK_STATUS of the object of `uri`; null when no row.
  Status QueryVOLockA(const com::Bstr& uri, com::Bstr& lock);
  // Inserts the row and, when `content` is not null, its content, in one
  // transaction. The insert's status (QS_E_VESK_EXISTS for a taken URN).
  Status InsertVO(const com::Bstr& owner, const com::Bstr& name, const com::Bstr& content);
  // Replace the content by URN (UPDATEDATE kept) or by owner and name
  // (UPDATEDATE stamped). QS_E_VESK_CONTENT_NOT_FOUND when no row changed.
  Status UpdateVOContentB(const com::Bstr& uri, const com::Bstr& content);
  Status UpdateVOContentC(const com::Bstr& owner, const com::Bstr& name, const com::Bstr& content);
  // Writes the content and releases the lock in one transaction.
  Status UpdateAndUnlock(const com::Bstr& uri, const com::Bstr& lock, const com::Bstr* owner,
                         const com::Bstr* name, const com::Bstr& content, com::Bstr& result);
  // The URN stored for the caller's object `name`; null when there is none.
  Status OwnURI(const Caller& caller, const com::Bstr& name, com::Bstr& uri);
  // "<root>" with one "content" element per row of the seven listed columns.
  Status QueryVOList(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result);
  // Removal after the right "d" and an unlocked object.
  Status RemoveChecked(const Caller& caller, const com::Bstr& uri, std::string_view sql,
                       std::span<const com::Variant> params, com::Bstr& result);
  // The checks before new content replaces the caller's object `name`:
  // `unchanged` when it equals the stored one (nothing to write), else the
  // object's URN and lock holder; `noLock` when the lock cannot be read,
  // QS_E_VESK_LOCKED_BY_OTHER when another user holds it.
  Status CheckOwnWrite(const Caller& caller, const com::Bstr& name, const com::Bstr& content, HRESULT noLock,
                       bool& unchanged, com::Bstr& uri, com::Bstr& holder);
  // The same by URN, after the rights "rw" (arguments checked by the caller).
  Status CheckWriteByURI(const Caller& caller, const com::Bstr& uri, const com::Bstr& content, bool& unchanged,
                         com::Bstr& holder);
  // The lock holder of `uri` after the right "r": the check's status, or
  // QS_E_URI_INVALID when the lock cannot be read.
  Status HolderByURI(const Caller& caller, const com::Bstr& uri, com::Bstr& holder);

  CDBConnect* db_;
  // The rows of QUORVESK by VOURI and of QUORVESKRES by NAME; stateless,
  // shared by every thread.
  store::StoreRows rows_;
  store::StoreRows resources_;
  std::optional<std::string> resourceDir_;
  std::optional<std::string> resourceURL_;
  // Writing operations one at a time and alone: a lock test and the lock
  // write, an ACL read and its write, see the same row. Readers together.
  // Re-entered by operations that build on one another.
  mutable OperationGate operation_;

  // ---- resources (VODBConnectImpl_Resource*.cpp)
 public:
  // Column listing: "<root>" with one `element` per row holding `column`
  // ("<root/>" for none).
  Status QueryResourceField(std::string_view sql, std::span<const com::Variant> params, std::string_view column,
                            std::string_view element, com::Bstr& result);

  // Readers. A name without rows gives "<root/>", except GetVOResourceURL.
  Status GetVOResourceURI(const com::Bstr& name, com::Bstr& result);
  Status GetVOResourceURIList(com::Bstr& result);
  Status GetVOResourceURL(const Caller& caller, const com::Bstr& name, com::Bstr& result);
  Status GetVOResourceAttribute(const Caller& caller, const com::Bstr& name, com::Bstr& result);
  // The rows of the newest version of a module.
  Status GetVOResourceAttributeList(const Caller& caller, const com::Bstr& modulename, com::Bstr& result);
  // Per module, what changed after `lastupdate` (a time compared as a time).
  Status GetVOResourceUpdate(const Caller& caller, const com::Bstr& lastupdate, com::Bstr& result);
  Status GetAllVOResourceAttributeList(const Caller& caller, com::Bstr& result);
  Status GetVOResourceModuleNameList(const Caller& caller, com::Bstr& result);

  // Writers.
  Status UpdateVOResourceAttribute(const Caller& caller, const com::Bstr& name, const com::Bstr& modulename,
                                   const com::Bstr& creator, const com::Bstr& version, const com::Bstr& type,
                                   const com::Bstr& id, const com::Bstr& description, com::Bstr& result);
  // Behind RemoveVOResourceAttribute: each argument is a flag ("true" clears).
  Status RemoveVOResourceAttribute(const Caller& caller, const com::Bstr& name, const com::Bstr& modulename,
                                   const com::Bstr& creator, const com::Bstr& version, const com::Bstr& type,
                                   const com::Bstr& id, const com::Bstr& description, com::Bstr& result);
  Status UpdateVOResourceProps(const Caller& caller, const com::Bstr& name, const com::Bstr& props, com::Bstr& result);
  // The rows go; the file stays.
  Status RemoveVOResource(const Caller& caller, const com::Bstr& name, com::Bstr& result);

  // Locations. A new resource gets its row and its location; the file is put
  // there by others and served under the URL.
  Status PutVOResource(const Caller& caller, const com::Bstr& name, com::Bstr& result);
  Status PutVOResourcewithAttribute(const Caller& caller, const com::Bstr& name, const com::Bstr& modulename,
                                    const com::Bstr& creator, const com::Bstr& version, const com::Bstr& type,
                                    const com::Bstr& id, const com::Bstr& description, const com::Bstr& leaf,
                                    const com::Bstr& props, com::Bstr& result);
  // `leaf` may be null or empty: the default location.
  Status UpdateVOResourceURL(const Caller& caller, const com::Bstr& name, const com::Bstr& leaf, com::Bstr& result);
  // The resume queue's replays.
  Status ForcePutVOResource(const Caller& caller, const com::Bstr& name, com::Bstr& result);
  Status ForcePutVOResourcewithAttribute(const Caller& caller, const com::Bstr& name, const com::Bstr& modulename,
                                         const com::Bstr& creator, const com::Bstr& version, const com::Bstr& type,
                                         const com::Bstr& id, const com::Bstr& description, const com::Bstr& leaf,
                                         const com::Bstr& props, com::Bstr& result);

  // ACLs of resources (the newest version's is read; every row's is written).
  Status GetResourceACL(const Caller& caller, const com::Bstr& name, com::Bstr& result);
  Status GetResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser, com::Bstr& result);
  Status PutResourceACL(const Caller& caller, const com::Bstr& name, const com::Bstr& acl, com::Bstr& result);
  Status PutResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser,
                             const com::Bstr& accright, com::Bstr& result);
  Status UpdateResourceACL(const Caller& caller, const com::Bstr& name, const com::Bstr& acl, com::Bstr& result);
  Status UpdateResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser,
                                const com::Bstr& accright, com::Bstr& result);
  // Resets the ACL to the caller's default document.
  Status DeleteResourceACL(const Caller& caller, const com::Bstr& name, com::Bstr& result);
  Status DeleteResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser,
                                com::Bstr& result);

 private:
  // "<root>" with a "content" element per row holding the attribute elements.
  Status QueryResource(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result);
  // Whether `name` has a row.
  Status ResourceExists(const com::Bstr& name, bool& found);
  // The ACL of the newest version of `name`: QS_E_URI_INVALID for a name
  // without rows or an ACL of "<root/>".
  Status GetRawResourceACL(const com::Bstr& name, com::Bstr& acl);
  // GetRawResourceACL, then the rights check: a refusal gives the check's
  // status (checkStatus) or `ownCode`.
  Status AuthorizeResource(const Caller& caller, const com::Bstr& name, std::u16string_view rights, HRESULT ownCode,
                           com::Bstr* acl = nullptr, bool checkStatus = true);
  // A writer's start: a named resource and the rights (own code, never the
  // check's status); a refusal clears `result`.
  Status AuthorizeResourceWrite(const Caller& caller, const com::Bstr& name, std::u16string_view rights,
                                HRESULT ownCode, com::Bstr& result);
  // The rights of the location operations: QS_E_ACL_NOT_FOUND when the ACL
  // cannot be read, `refused` when it does not grant `rights`.
  Status ResourceRights(const Caller& caller, const com::Bstr& name, std::u16string_view rights, HRESULT refused,
                        com::Bstr* acl = nullptr);
  Status WriteResourceACL(const com::Bstr& name, const com::Bstr& acl, com::Bstr& result);
  // The entry operations after "aw": `accright` null where none is taken;
  // `edit` makes the new document from the stored one.
  Status EditResourceACLEntry(const Caller& caller, const com::Bstr& name, const com::Bstr& acluser,
                              const com::Bstr* accright, com::Bstr& result,
                              const std::function<Status(const com::Bstr& acl, com::Bstr& edited)>& edit);
  // Sets (clearing false) or clears the given attributes of every row of `name`.
  Status WriteResourceAttributes(const com::Bstr& name, std::span<const com::Bstr, 6> values, bool clearing,
                                 com::Bstr& result);
  // The same as a writer of its own: the right `rights` first.
  Status ChangeResourceAttributes(const Caller& caller, const com::Bstr& name, std::u16string_view rights,
                                  std::span<const com::Bstr, 6> values, bool clearing, com::Bstr& result);
  // The row of a new resource; `attributes` null for the plain put.
  Status InsertResource(const Caller& caller, const com::Bstr& name, std::string_view url, std::string_view path,
                        std::span<const com::Bstr, 7>* attributes);
  // Both puts: `attributes` (module name, creator, version, type, id,
  // description, props) null for the plain one.
  Status PutResource(const Caller& caller, const com::Bstr& name, std::span<const com::Bstr, 7>* attributes,
                     const com::Bstr& leaf, com::Bstr& result);
  // The relocation after its checks: the new folder, then the row (inside
  // the caller's transaction when there is one); the old file stays.
  Status Relocate(const com::Bstr& name, const com::Bstr& leaf, std::string& url, std::string& oldPath,
                  std::string& newPath);
  // Deletes the file a relocation replaced, once the row has moved.
  void DropReplacedFile(const std::string& oldPath, const std::string& newPath);
  // ---- end resources
};

}  // namespace quor::core
