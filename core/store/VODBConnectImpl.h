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
#include "platform/com/status.h"
#include "platform/com/variant.h"

namespace quor::core {

class CQuorServiceUtils;

class CVODBConnectImpl {
 public:
  // `connection` is the shared connection; the store does not own it.
  explicit CVODBConnectImpl(CDBConnect* connection);
  virtual ~CVODBConnectImpl();
  CVODBConnectImpl(const CVODBConnectImpl&) = delete;
  CVODBConnectImpl& operator=(const CVODBConnectImpl&) = delete;

  // Reads ResourceURL and ResourceDir (either may be missing). Always 0.
  HRESULT Init();

  // ---- Content ----
  // The caller's own object by name: "<root>content</root>", "<root/>" when
  // there is no such object.
  // With a `stream`, a large content is sent through it instead of `result`.
  HRESULT GetVOContent(const com::Bstr& user, const com::Bstr& name, com::Bstr& result,
                       com::ResultSink* stream = nullptr);
  HRESULT GetVOContentbyURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result,
                            com::ResultSink* stream = nullptr);
  // Creates the caller's object, or overwrites it when it exists.
  HRESULT PutVOContent(const com::Bstr& user, const com::Bstr& name, const com::Bstr& content, com::Bstr& result);
  // The resume queue's replay: accepted, nothing changes.
  HRESULT ForcePutVOContent(const com::Bstr& user, const com::Bstr& name, const com::Bstr& content,
                            com::Bstr& result);
  // UpdateVOContent: overwrites the caller's object unless another user holds
  // its lock.
  HRESULT UpdateVOContentA(const com::Bstr& user, const com::Bstr& name, const com::Bstr& content,
                           com::Bstr& result);
  HRESULT UpdateVOContentbyURI(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& content,
                               com::Bstr& result);
  HRESULT RemoveVOContent(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);
  HRESULT RemoveVOContentbyURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);

  // ---- Locks ----
  HRESULT LockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT ForceUnlockVO(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT GetVOContentwithLock(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);
  HRESULT GetVOContentbyURIwithLock(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT UpdateVOContentwithUnlock(const com::Bstr& user, const com::Bstr& name, const com::Bstr& content,
                                    com::Bstr& result);
  HRESULT UpdateVOContentbyURIwithUnlock(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& content,
                                         com::Bstr& result);

  // ---- ACLs of Vesk objects ----
  HRESULT GetACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT PutACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result);
  HRESULT UpdateACL(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acl, com::Bstr& result);
  HRESULT DeleteACL(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT GetACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser, com::Bstr& result);
  HRESULT PutACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser, const com::Bstr& accright,
                      com::Bstr& result);
  HRESULT UpdateACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser,
                         const com::Bstr& accright, com::Bstr& result);
  HRESULT DeleteACLEntry(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& acluser, com::Bstr& result);

  // ---- Lists and URN administration ----
  HRESULT GetVOList(const com::Bstr& user, com::Bstr& result);
  HRESULT GetVOListAll(com::Bstr& result);
  HRESULT GetVOAttribute(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT GetVOURIList(const com::Bstr& user, com::Bstr& result);
  HRESULT GetVOURIListAll(com::Bstr& result);
  // The owner of each object, one entry per object.
  HRESULT GetVOUserListAll(com::Bstr& result);
  HRESULT GetVOURI(const com::Bstr& user, const com::Bstr& owner, const com::Bstr& name, com::Bstr& result);
  // Administrators only: an empty object of `owner`, or its removal by URN.
  HRESULT PutVOURI(const com::Bstr& user, const com::Bstr& owner, const com::Bstr& name, com::Bstr& result);
  HRESULT RemoveVOURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& result);
  HRESULT GetCompressThreshold(com::Bstr& result);
  HRESULT GetAdminUserList(com::Bstr& result);
  HRESULT GetGroupList(com::Bstr& result);
  HRESULT GetGroupUserList(const com::Bstr& group, com::Bstr& result);
  HRESULT GetOwnGroupList(const com::Bstr& user, com::Bstr& result);

  // The lock holder ("0" when unlocked) of an object the caller may read;
  // none for a null URN, an unknown URN or a refused read.
  std::optional<com::Bstr> GetLockInfo(const com::Bstr& user, const com::Bstr& uri);

  const std::optional<std::string>& ResourceDir() const { return resourceDir_; }
  const std::optional<std::string>& ResourceURL() const { return resourceURL_; }

 private:
  bool Ready() const { return rows_.Ready(); }
  CQuorServiceUtils& Utils() const;
  // The answer of a content read: streamed when it is large and a stream is given.
  HRESULT Content(bool found, const com::Bstr& content, com::ResultSink* stream, com::Bstr& result);

  // ---- Query routines of the Vesk objects ----
  // The stored CONTENT of the first row, raw: `found` false when there is no
  // row; a failing query returns its status.
  Status QueryVOContent(std::string_view sql, std::span<const com::Variant> params, bool& found,
                        com::Bstr& content);
  // The same for the object `name` of the owner `user`.
  Status QueryOwnVOContent(const com::Bstr& user, const com::Bstr& name, bool& found, com::Bstr& content);
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
  Status OwnURI(const com::Bstr& user, const com::Bstr& name, com::Bstr& uri);
  // "<root>" with one "content" element per row of the seven listed columns.
  Status QueryVOList(std::string_view sql, std::span<const com::Variant> params, com::Bstr& result);
  // Removal after the right "d" and an unlocked object.
  Status RemoveChecked(const com::Bstr& user, const com::Bstr& uri, std::string_view sql,
                       std::span<const com::Variant> params, com::Bstr& result);
  // The checks before new content replaces the caller's object `name`:
  // `unchanged` when it equals the stored one (nothing to write), else the
  // object's URN and lock holder; `noLock` when the lock cannot be read,
  // QS_E_VESK_LOCKED_BY_OTHER when another user holds it.
  Status CheckOwnWrite(const com::Bstr& user, const com::Bstr& name, const com::Bstr& content, HRESULT noLock,
                       bool& unchanged, com::Bstr& uri, com::Bstr& holder);
  // The same by URN, after the rights "rw" (arguments checked by the caller).
  Status CheckWriteByURI(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& content, bool& unchanged,
                         com::Bstr& holder);
  // The lock holder of `uri` after the right "r": the check's status, or
  // QS_E_URI_INVALID when the lock cannot be read.
  Status HolderByURI(const com::Bstr& user, const com::Bstr& uri, com::Bstr& holder);

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
  HRESULT GetVOResourceURI(const com::Bstr& name, com::Bstr& result);
  HRESULT GetVOResourceURIList(com::Bstr& result);
  HRESULT GetVOResourceURL(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);
  HRESULT GetVOResourceAttribute(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);
  // The rows of the newest version of a module.
  HRESULT GetVOResourceAttributeList(const com::Bstr& user, const com::Bstr& modulename, com::Bstr& result);
  // Per module, what changed after `lastupdate` (a time compared as a time).
  HRESULT GetVOResourceUpdate(const com::Bstr& user, const com::Bstr& lastupdate, com::Bstr& result);
  HRESULT GetAllVOResourceAttributeList(const com::Bstr& user, com::Bstr& result);
  HRESULT GetVOResourceModuleNameList(const com::Bstr& user, com::Bstr& result);

  // Writers.
  HRESULT UpdateVOResourceAttribute(const com::Bstr& user, const com::Bstr& name, const com::Bstr& modulename,
                                    const com::Bstr& creator, const com::Bstr& version, const com::Bstr& type,
                                    const com::Bstr& id, const com::Bstr& description, com::Bstr& result);
  // Behind RemoveVOResourceAttribute: each argument is a flag ("true" clears).
  HRESULT RemoveVOResourceAttribute(const com::Bstr& user, const com::Bstr& name, const com::Bstr& modulename,
                                    const com::Bstr& creator, const com::Bstr& version, const com::Bstr& type,
                                    const com::Bstr& id, const com::Bstr& description, com::Bstr& result);
  HRESULT UpdateVOResourceProps(const com::Bstr& user, const com::Bstr& name, const com::Bstr& props,
                                com::Bstr& result);
  // The rows go; the file stays.
  HRESULT RemoveVOResource(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);

  // Locations. A new resource gets its row and its location; the file is put
  // there by others and served under the URL.
  HRESULT PutVOResource(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);
  HRESULT PutVOResourcewithAttribute(const com::Bstr& user, const com::Bstr& name, const com::Bstr& modulename,
                                     const com::Bstr& creator, const com::Bstr& version, const com::Bstr& type,
                                     const com::Bstr& id, const com::Bstr& description, const com::Bstr& leaf,
                                     const com::Bstr& props, com::Bstr& result);
  // `leaf` may be null or empty: the default location.
  HRESULT UpdateVOResourceURL(const com::Bstr& user, const com::Bstr& name, const com::Bstr& leaf, com::Bstr& result);
  // The resume queue's replays.
  HRESULT ForcePutVOResource(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);
  HRESULT ForcePutVOResourcewithAttribute(const com::Bstr& user, const com::Bstr& name, const com::Bstr& modulename,
                                          const com::Bstr& creator, const com::Bstr& version, const com::Bstr& type,
                                          const com::Bstr& id, const com::Bstr& description, const com::Bstr& leaf,
                                          const com::Bstr& props, com::Bstr& result);

  // ACLs of resources (the newest version's is read; every row's is written).
  HRESULT GetResourceACL(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);
  HRESULT GetResourceACLEntry(const com::Bstr& user, const com::Bstr& name, const com::Bstr& acluser,
                              com::Bstr& result);
  HRESULT PutResourceACL(const com::Bstr& user, const com::Bstr& name, const com::Bstr& acl, com::Bstr& result);
  HRESULT PutResourceACLEntry(const com::Bstr& user, const com::Bstr& name, const com::Bstr& acluser,
                              const com::Bstr& accright, com::Bstr& result);
  HRESULT UpdateResourceACL(const com::Bstr& user, const com::Bstr& name, const com::Bstr& acl, com::Bstr& result);
  HRESULT UpdateResourceACLEntry(const com::Bstr& user, const com::Bstr& name, const com::Bstr& acluser,
                                 const com::Bstr& accright, com::Bstr& result);
  // Resets the ACL to the caller's default document.
  HRESULT DeleteResourceACL(const com::Bstr& user, const com::Bstr& name, com::Bstr& result);
  HRESULT DeleteResourceACLEntry(const com::Bstr& user, const com::Bstr& name, const com::Bstr& acluser,
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
  Status AuthorizeResource(const com::Bstr& user, const com::Bstr& name, std::u16string_view rights,
                           HRESULT ownCode, com::Bstr* acl = nullptr, bool checkStatus = true);
  // A writer's start: a named resource and the rights (own code, never the
  // check's status); a refusal clears `result`.
  Status AuthorizeResourceWrite(const com::Bstr& user, const com::Bstr& name, std::u16string_view rights,
                                HRESULT ownCode, com::Bstr& result);
  // The rights of the location operations: QS_E_ACL_NOT_FOUND when the ACL
  // cannot be read, `refused` when it does not grant `rights`.
  Status ResourceRights(const com::Bstr& user, const com::Bstr& name, std::u16string_view rights, HRESULT refused,
                        com::Bstr* acl = nullptr);
  Status WriteResourceACL(const com::Bstr& name, const com::Bstr& acl, com::Bstr& result);
  // The entry operations after "aw": `accright` null where none is taken;
  // `edit` makes the new document from the stored one.
  Status EditResourceACLEntry(const com::Bstr& user, const com::Bstr& name, const com::Bstr& acluser,
                              const com::Bstr* accright, com::Bstr& result,
                              const std::function<Status(const com::Bstr& acl, com::Bstr& edited)>& edit);
  // Sets (clearing false) or clears the given attributes of every row of `name`.
  Status WriteResourceAttributes(const com::Bstr& name, std::span<const com::Bstr, 6> values, bool clearing,
                                 com::Bstr& result);
  // The same as a writer of its own: the right `rights` first.
  Status ChangeResourceAttributes(const com::Bstr& user, const com::Bstr& name, std::u16string_view rights,
                                  std::span<const com::Bstr, 6> values, bool clearing, com::Bstr& result);
  // The row of a new resource; `attributes` null for the plain put.
  Status InsertResource(const com::Bstr& user, const com::Bstr& name, std::string_view url, std::string_view path,
                        std::span<const com::Bstr, 7>* attributes);
  // Both puts: `attributes` (module name, creator, version, type, id,
  // description, props) null for the plain one.
  Status PutResource(const com::Bstr& user, const com::Bstr& name, std::span<const com::Bstr, 7>* attributes,
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
