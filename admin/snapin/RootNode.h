// The root of the console tree. It reads the stored connection settings,
// creates the console's one SOAP client and signs in (silently with a stored
// password, else through the logon dialog with an administrator check); when
// signed in it holds the four top-level folders, offers the three reload
// commands and the service's registry settings as its page.
#pragma once

#include <memory>
#include <string>

#include "admin/VeltService.h"
#include "admin/snapin/DatabasesNode.h"
#include "admin/snapin/NativeDBNode.h"
#include "admin/snapin/TransformersNode.h"
#include "admin/snapin/SnapInItem.h"
#include "admin/snapin/UsersNode.h"

namespace quor::admin::snapin {

class CQuorAdminMMCData final : public CSnapInItem {
 public:
  static const NodeIdentity kIdentity;
  static constexpr int kMaxLogonAttempts = 3;

  // Signs in before it returns: the dialogs are those of the host set in
  // Module::SetDialogs.
  explicit CQuorAdminMMCData(std::string displayName);
  ~CQuorAdminMMCData() override;

  // Interactive sign-in: 0 when signed in as an administrator; -1 cancelled;
  // -1 to -7 a sign-in step failed; -8 not an administrator (the last
  // attempt's result after three).
  int Connect();
  // The stored credentials, without dialog or administrator check.
  int SilentConnect();

  int ConnectionResult() const { return connectionResult_; }
  bool Connected() const { return connectionResult_ == 0; }
  CVeltService* Service() const { return service_.get(); }

  HRESULT Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                 CQuorAdminMMCComponent* component, uint32_t type) override;
  HRESULT Command(long commandId, uint32_t type) override;

  CDatabasesNode* Databases() const { return databases_.get(); }
  CNativeDBNode* NativeDB() const { return nativeDb_.get(); }
  CTransformersNode* Transformers() const { return transformers_.get(); }
  CUsersNode* Users() const { return users_.get(); }

 protected:
  long MenuItemState(long commandId) override;
  std::vector<CSnapInItem*> ScopeChildren() override;
  std::vector<std::unique_ptr<console::IPropertyPage>> MakePages() override;

 private:
  // Whether `user` is in the service's administrator list.
  bool IsAdministrator(std::string_view user);
  void Reload(std::string_view method, std::string_view success, std::string_view failure);

  std::string storedService_, storedUser_, storedPassword_;
  int connectionResult_ = -1;
  std::unique_ptr<CVeltService> service_;
  std::unique_ptr<CDatabasesNode> databases_;
  std::unique_ptr<CNativeDBNode> nativeDb_;
  std::unique_ptr<CTransformersNode> transformers_;
  std::unique_ptr<CUsersNode> users_;
};

}  // namespace quor::admin::snapin
