// The content store's resource locations: the puts that make a resource's
// row and folder, its relocation, and the resume queue's forced forms.
#include <ctime>
#include <filesystem>

#include "core/ServiceHelpers.h"
#include "core/store/ResourceFiles.h"
#include "core/store/VODBConnectImpl.h"
#include "core/store/VODBConnectImpl_ResourceDetail.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core {

using namespace store;
using namespace resource;

namespace {

// The stamp of the plain insert, month first and padded: 03/07/2004 09:05:01.
std::string PaddedLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return text::Format("%02d/%02d/%04d %02d:%02d:%02d", local.tm_mon + 1, local.tm_mday, local.tm_year + 1900,
                      local.tm_hour, local.tm_min, local.tm_sec);
}

// The location a request asks for: the client's leaf, or the default one.
Status Locate(std::string_view base, std::string_view dir, const com::Bstr& name, const com::Bstr& leaf,
              Location& location) {
  if (!IsSafeName(name.View())) return Status(QS_E_NAME_INVALID);
  if (Missing(leaf)) return DefaultLocation(base, dir, name.View(), location);
  QUOR_RETURN_IF_ERROR(LeafLocation(base, dir, leaf.View(), location));
  // A leaf in a folder of its own gets that folder made.
  if (leaf.View().find(u'/') != std::u16string_view::npos) location.folder = FolderOf(location.path);
  return Status();
}

// The location a request for the resource `name` asks for, below the
// settings' folder `dir`: the refusal of a missing name or setting, or of
// the location itself.
Status Place(const CVODBConnectImpl& store, const com::Bstr& name, const com::Bstr& leaf, std::string& dir,
             Location& location) {
  if (Missing(name)) return Status(QS_E_NAME_NOT_SPECIFIED);
  const auto& base = store.ResourceURL();
  if (!base || base->empty()) return Status(QS_E_RESOURCE_URL_NOT_SET);
  if (!store.ResourceDir() || store.ResourceDir()->empty()) return Status(QS_E_RESOURCE_DIR_NOT_SET);
  dir = *store.ResourceDir();
  return Locate(*base, dir, name, leaf, location);
}

bool SamePath(std::string_view a, std::string_view b) {
  namespace fs = std::filesystem;
  return fs::path(a).lexically_normal() == fs::path(b).lexically_normal();
}

// Makes the location's folder; `made` tells whether it is new (and so may be
// removed again should the row not be written).
Status PrepareFolder(std::string_view dir, const Location& location, bool& made) {
  made = false;
  if (location.folder.empty()) return Status();
  made = !Exists(location.folder);
  return MakeFolder(dir, location.folder);
}

com::Bstr UrlAnswer(const std::string& url, bool withResultCode) {
  if (withResultCode) return RootAnswer({{"resultCode", "0"}, {"url", url}});
  return RootAnswer({{"url", url}});
}

}  // namespace

Status CVODBConnectImpl::InsertResource(const Caller& caller, const com::Bstr& name, std::string_view url,
                                        std::string_view path, std::span<const com::Bstr, 7>* attributes) {
  if (!Ready()) return Status(QS_E_NATIVE_DB_NOT_INSTALLED);
  com::Bstr acl;
  QUOR_RETURN_IF_ERROR(CServiceHelpers::MakeDefaultACL(caller.name, acl));
  const com::Bstr uri = com::Bstr::FromUtf8(CServiceHelpers::MakeVOResourceURI(name.ToUtf8()));
  const com::Variant urlValue(com::Bstr::FromUtf8(url)), pathValue(com::Bstr::FromUtf8(path));
  if (!attributes) {
    const com::Variant now(com::Bstr::FromUtf8(PaddedLocalTime()));
    const com::Variant params[] = {Value(name), Value(uri), urlValue, pathValue, now, now, Value(acl)};
    return db_->ExecuteNonQuery(
        "INSERT INTO QUORVESKRES (NAME, MODULENAME, CREATOR, VERSION, TYPE, "
        "ID, DESCRIPTION, VORESOURCEURI, "
        "VORESOURCEURL, VORESOURCEDIR, CREATEDATE, UPDATEDATE, URLINSTANCE, "
        "PROPS, ACCESSLIST) "
        "VALUES (?, '', '', '', '', '', '', ?, ?, ?, ?, ?, '0', '', ?)",
        params);
  }
  const auto& a = *attributes;
  const com::Variant now = Now();
  const com::Variant params[] = {Value(name),      Value(a[0]), Value(a[1]), Value(a[2]), Value(a[3]), Value(a[4]),
                                 Value(Cut(a[5])), Value(uri),  urlValue,    pathValue,   now,         now,
                                 Value(a[6]),      Value(acl)};
  return db_->ExecuteNonQuery(
      "INSERT INTO QUORVESKRES (NAME, MODULENAME, CREATOR, VERSION, TYPE, ID, "
      "DESCRIPTION, VORESOURCEURI, "
      "VORESOURCEURL, VORESOURCEDIR, CREATEDATE, UPDATEDATE, URLINSTANCE, "
      "PROPS, ACCESSLIST, CLIENTLOCATION) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, '0', ?, ?, 'vesk\\bin\\')",
      params);
}

Status CVODBConnectImpl::PutVOResource(const Caller& caller, const com::Bstr& name, com::Bstr& result) {
  return PutResource(caller, name, nullptr, com::Bstr(), result);
}

Status CVODBConnectImpl::PutVOResourcewithAttribute(const Caller& caller, const com::Bstr& name,
                                                    const com::Bstr& modulename, const com::Bstr& creator,
                                                    const com::Bstr& version, const com::Bstr& type,
                                                    const com::Bstr& id, const com::Bstr& description,
                                                    const com::Bstr& leaf, const com::Bstr& props, com::Bstr& result) {
  const com::Bstr attributes[] = {modulename, creator, version, type, id, description, props};
  std::span<const com::Bstr, 7> view(attributes);
  return PutResource(caller, name, &view, leaf, result);
}

Status CVODBConnectImpl::PutResource(const Caller& caller, const com::Bstr& name,
                                     std::span<const com::Bstr, 7>* attributes, const com::Bstr& leaf,
                                     com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  // Everything is checked before the disk or the table is touched.
  std::string dir;
  Location location;
  QUOR_RETURN_IF_ERROR(Place(*this, name, leaf, dir, location));
  bool found = false;
  QUOR_RETURN_IF_ERROR(ResourceExists(name, found));
  if (found) return Status();  // nothing to make: the resource is there

  bool made = false;
  QUOR_RETURN_IF_ERROR(PrepareFolder(dir, location, made));
  if (Status status = InsertResource(caller, name, location.url, location.path, attributes); !status.ok()) {
    if (made) RemoveEmptyFolder(dir, location.folder);
    return status;
  }
  result = UrlAnswer(location.url, attributes == nullptr);
  return Status();
}

Status CVODBConnectImpl::Relocate(const com::Bstr& name, const com::Bstr& leaf, std::string& url, std::string& oldPath,
                                  std::string& newPath) {
  std::string dir;
  Location location;
  QUOR_RETURN_IF_ERROR(Place(*this, name, leaf, dir, location));
  {
    const com::Variant params[] = {Value(name)};
    com::Bstr stored;
    bool found = false;
    Status read = resources_.First("SELECT VORESOURCEDIR FROM QUORVESKRES WHERE NAME = ?", params, "VORESOURCEDIR",
                                   stored, &found);
    if (read.code() == QS_E_NATIVE_DB_NOT_INSTALLED) return read;
    if (!read.ok() || !found) return Status(QS_E_RESOURCE_NOT_FOUND);
    oldPath = stored.ToUtf8();
  }
  bool made = false;
  QUOR_RETURN_IF_ERROR(PrepareFolder(dir, location, made));
  const com::Bstr uri = com::Bstr::FromUtf8(CServiceHelpers::MakeVOResourceURI(name.ToUtf8()));
  const com::Variant params[] = {Now(), Value(uri), com::Variant(com::Bstr::FromUtf8(location.url)),
                                 com::Variant(com::Bstr::FromUtf8(location.path)), Value(name)};
  com::Bstr ignored;
  if (Status status = RunResourceWrite(resources_,
                                       "UPDATE QUORVESKRES SET UPDATEDATE = ?, VORESOURCEURI = ?, "
                                       "VORESOURCEURL = ?, VORESOURCEDIR = ? "
                                       "WHERE NAME = ?",
                                       params, ignored);
      !status.ok()) {
    if (made) RemoveEmptyFolder(dir, location.folder);
    return status;
  }
  url = location.url;
  newPath = location.path;
  return Status();
}

// The replaced file goes only once the row names the new location, and only
// when it lies below ResourceDir and is not the new file itself; its folder
// goes with it when that leaves it empty.
void CVODBConnectImpl::DropReplacedFile(const std::string& oldPath, const std::string& newPath) {
  if (oldPath.empty() || SamePath(oldPath, newPath) || !resourceDir_) return;
  const std::string& dir = *resourceDir_;
  if (!Exists(oldPath) || !IsBelow(dir, oldPath)) return;
  // Nothing deleted (gone already, or refused): its folder stays too.
  if (!DeleteFile(dir, oldPath).ok()) return;
  const std::string folder = FolderOf(oldPath);
  if (!SamePath(folder, dir) && !SamePath(folder, FolderOf(newPath))) RemoveEmptyFolder(dir, folder);
}

Status CVODBConnectImpl::UpdateVOResourceURL(const Caller& caller, const com::Bstr& name, const com::Bstr& leaf,
                                             com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  std::string dir;
  Location location;
  if (Status status = Place(*this, name, leaf, dir, location); !status.ok()) return status;
  if (Status status = ResourceRights(caller, name, u"w", QS_E_CONTENT_WRITE_RIGHT_REQUIRED); !status.ok())
    return status;
  std::string url, oldPath, newPath;
  if (Status status = Relocate(name, leaf, url, oldPath, newPath); !status.ok()) return status;
  DropReplacedFile(oldPath, newPath);
  result = UrlAnswer(url, false);
  return Status();
}

Status CVODBConnectImpl::ForcePutVOResource(const Caller& caller, const com::Bstr& name, com::Bstr& result) {
  return UpdateVOResourceURL(caller, name, com::Bstr(), result);
}

// The relocation and the attribute and property writes of a replay commit
// together or not at all; the old file goes after the commit.
Status CVODBConnectImpl::ForcePutVOResourcewithAttribute(const Caller& caller, const com::Bstr& name,
                                                         const com::Bstr& modulename, const com::Bstr& creator,
                                                         const com::Bstr& version, const com::Bstr& type,
                                                         const com::Bstr& id, const com::Bstr& description,
                                                         const com::Bstr& leaf, const com::Bstr& props,
                                                         com::Bstr& result) {
  OperationGate::Writing lock(operation_);
  const RowLock rowLock = resources_.Lock(name);
  std::string dir;
  Location location;
  if (Status status = Place(*this, name, leaf, dir, location); !status.ok()) return status;
  const com::Bstr values[] = {modulename, creator, version, type, id, description};
  bool anyMissing = false, anyGiven = false;
  com::Bstr flags[6];
  for (size_t i = 0; i < 6; ++i) {
    const bool missing = Missing(values[i]);
    anyMissing |= missing;
    anyGiven |= !Missing(values[i]);
    flags[i] = CKeywordTable::Instance()[missing ? KW_TRUE : KW_FALSE];
  }
  if (!anyGiven) return Status(QS_E_RESOURCE_ATTRIBUTE_UPDATE_FAILED);
  // Every right the steps need, before any of them runs.
  com::Bstr acl;
  if (Status status = ResourceRights(caller, name, u"w", QS_E_CONTENT_WRITE_RIGHT_REQUIRED, &acl); !status.ok())
    return status;
  if (!CheckResourceRights(caller, u"aw", acl, QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED, false).ok() ||
      (anyMissing && !CheckResourceRights(caller, u"ad", acl, QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED, false).ok()))
    return Status(QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED);

  // A folder made for the new location goes again when the writes roll back.
  const bool folderIsNew = !location.folder.empty() && !Exists(location.folder);
  std::string url, oldPath, newPath;
  const Status written = [&]() -> Status {
    DBTransaction transaction(*db_);
    QUOR_RETURN_IF_ERROR(transaction.Begin());
    QUOR_RETURN_IF_ERROR(Relocate(name, leaf, url, oldPath, newPath));
    com::Bstr ignored;
    if (anyMissing) QUOR_RETURN_IF_ERROR(WriteResourceAttributes(name, flags, true, ignored));
    QUOR_RETURN_IF_ERROR(WriteResourceAttributes(name, values, false, ignored));
    if (!props.IsNull()) {
      const com::Variant params[] = {Value(props), Now(), Value(name)};
      QUOR_RETURN_IF_ERROR(RunResourceWrite(
          resources_, "UPDATE QUORVESKRES SET PROPS = ?, UPDATEDATE = ? WHERE NAME = ?", params, ignored));
    }
    return transaction.Commit();
  }();
  if (!written.ok()) {
    if (folderIsNew) RemoveEmptyFolder(dir, location.folder);
    return written;
  }
  DropReplacedFile(oldPath, newPath);
  result = UrlAnswer(url, false);
  return Status();
}

}  // namespace quor::core
