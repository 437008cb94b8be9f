#include "admin/snapin/RootNode.h"

#include "admin/ConsoleLog.h"
#include "admin/RegistryAccess.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/SettingsPropertyPage.h"
#include "admin/snapin/SnapInModule.h"
#include "platform/text/text.h"

namespace quor::admin::snapin {

namespace {

void Log(std::string_view line) { ConsoleLog::Instance().Write(line); }

// Signing in waits on the service; the connecting dialog says what for.
int ConnectShowingProgress(CVeltService& service, std::string_view name, std::string_view user,
                           std::string_view password) {
  console::ProgressScope progress(Module::Dialogs(), text::Format("Service: %s", name));
  progress.Set(10);
  const int result = service.Connect(name, user, password);
  progress.Set(100);
  return result;
}

}  // namespace

const NodeIdentity CQuorAdminMMCData::kIdentity{"7560B67F-BC85-46D3-92A3-527678FC80A9", "QuorAdmin", IDR_ROOT_MENU, 1};

CQuorAdminMMCData::CQuorAdminMMCData(std::string displayName) : CSnapInItem(std::move(displayName), kIdentity) {
  Log("CQuorAdminMMCData Start");
  Log("CQuorAdminMMCData Start1");
  ConsoleLog::Instance().SetPrefix("QuorAdmin");
  RegistryAccess registry;
  Log("CQuorAdminMMCData Start1x");
  storedService_ = registry.ReadServiceText("Service");
  Log("CQuorAdminMMCData Start1xService");
  storedUser_ = registry.ReadServiceText("UserName");
  Log("CQuorAdminMMCData Start1xUserName");
  storedPassword_ = registry.ReadServiceText("Password");
  Log("CQuorAdminMMCData Start1xPassword");
  Module::SetHomeDir(registry.ReadServiceText("HomeDir"));
  Log("CQuorAdminMMCData Start2");

  service_ = std::make_unique<CVeltService>();
  Module::SetService(service_.get());
  if (!storedPassword_.empty()) {
    Log("CQuorAdminMMCData Connectx");
    connectionResult_ = SilentConnect();
  } else {
    connectionResult_ = Connect();
  }
  Log("CQuorAdminMMCData Start3");
  if (connectionResult_ == 0) {
    databases_ = std::make_unique<CDatabasesNode>();
    nativeDb_ = std::make_unique<CNativeDBNode>();
    transformers_ = std::make_unique<CTransformersNode>();
    users_ = std::make_unique<CUsersNode>();
  }
  Log("CQuorAdminMMCData Started");
}

CQuorAdminMMCData::~CQuorAdminMMCData() {
  users_.reset();
  transformers_.reset();
  nativeDb_.reset();
  databases_.reset();
  if (service_) service_->EndSession();
  if (Module::Service() == service_.get()) Module::SetService(nullptr);
  service_.reset();
}

int CQuorAdminMMCData::SilentConnect() {
  // The same default service name as the logon dialog's.
  return ConnectShowingProgress(*service_, storedService_.empty() ? "local" : storedService_, storedUser_,
                                storedPassword_);
}

int CQuorAdminMMCData::Connect() {
  Log("CQuorAdminMMCData Connect");
  Log("CQuorAdminMMCData Connect1");
  int result = 0;
  for (int attempt = 1; attempt <= kMaxLogonAttempts; ++attempt) {
    Log("CQuorAdminMMCData Connect2");
    // What the logon dialog starts with: the stored names and the known services.
    RegistryAccess registry;
    console::LogonRequest request;
    request.serviceName = registry.ReadServiceText("Service");
    if (request.serviceName.empty()) request.serviceName = "local";
    request.userName = registry.ReadServiceText("UserName");
    request.knownServices = registry.ListSubkeys("SOFTWARE\\Velt\\QuorService\\ServiceInfo");

    console::IDialogHost* dialogs = Module::Dialogs();
    const console::LogonReply reply = dialogs ? dialogs->RunLogon(request) : console::LogonReply{};
    if (!reply.ok) {
      result = -1;
      CMessageBox::Information("Service Logon cancelled.");
      break;
    }
    result = ConnectShowingProgress(*service_, reply.serviceName, reply.userName, reply.password);
    if (result != 0) {
      CMessageBox::Error(service_->FormatFault());
      continue;
    }
    if (IsAdministrator(reply.userName)) {
      registry.WriteServiceText("Service", reply.serviceName);
      registry.WriteServiceText("UserName", reply.userName);
      break;
    }
    // A session that may not administer is of no use: close it rather than
    // leave it open on the service.
    service_->EndSession();
    CMessageBox::Information("This is not an administrator.");
    result = -8;
  }
  return result;
}

bool CQuorAdminMMCData::IsAdministrator(std::string_view user) {
  if (service_->BeginRequest("GetAdminUserList") != 0 || !service_->Invoke()) {
    Log("GetAdminUserList failed: " + service_->FormatFault());
    return false;
  }
  const int count = service_->ChildCount();
  for (int i = 0; i < count; ++i)
    if (text::EqualsNoCase(service_->GetChildText(i), user)) return true;
  return false;
}

std::vector<CSnapInItem*> CQuorAdminMMCData::ScopeChildren() {
  if (!Connected()) return {};
  return {databases_.get(), nativeDb_.get(), transformers_.get(), users_.get()};
}

HRESULT CQuorAdminMMCData::Notify(uint32_t event, std::intptr_t arg, std::intptr_t param, CQuorAdminMMC* componentData,
                                  CQuorAdminMMCComponent* component, uint32_t type) {
  console::IConsole* console = componentData ? componentData->Console() : component ? component->Console() : nullptr;
  if (!console) return E_UNEXPECTED;
  switch (event) {
    case console::MMCN_EXPAND:
    case console::MMCN_SHOW:
      return CSnapInItem::Notify(event, arg, param, componentData, component, type);
    case console::MMCN_SELECT: {
      console::IConsoleVerb* verbs = console->ConsoleVerb();
      if (!verbs) return E_UNEXPECTED;
      verbs->SetVerbState(console::MMC_VERB_PROPERTIES, console::ENABLED, Connected());
      return S_OK;
    }
    default:
      return E_NOTIMPL;
  }
}

long CQuorAdminMMCData::MenuItemState(long commandId) {
  const bool reload = commandId == ID_RELOAD_CONFIG || commandId == ID_RELOAD_TRANSFORM || commandId == ID_RELOAD_UNIFY;
  return reload && connectionResult_ < 0 ? console::MF_GRAYED | console::MF_DISABLED : console::MF_ENABLED;
}

HRESULT CQuorAdminMMCData::Command(long commandId, uint32_t /*type*/) {
  switch (commandId) {
    case ID_RELOAD_CONFIG:
      Reload("ReLoadConfig", "Configuration files reloaded.", "Fail to reload configuration files.");
      break;
    case ID_RELOAD_TRANSFORM:
      Reload("ReLoadTransform", "Transformer files reloaded.", "Fail to reload transformer files.");
      break;
    case ID_RELOAD_UNIFY:
      Reload("ReLoadUnifyTable", "Unify tables reloaded.", "Fail to reload unify tables.");
      break;
    default:
      break;
  }
  return S_OK;
}

void CQuorAdminMMCData::Reload(std::string_view method, std::string_view success, std::string_view failure) {
  const bool answered = service_->BeginRequest(method) == 0 && service_->Invoke();
  if (answered && service_->GetChildText(0) == "0")
    CMessageBox::Information(success);
  else
    CMessageBox::Error(failure);
}

std::vector<std::unique_ptr<console::IPropertyPage>> CQuorAdminMMCData::MakePages() {
  std::vector<std::unique_ptr<console::IPropertyPage>> pages;
  pages.push_back(std::make_unique<CServiceSettingsPropertyPage>());
  return pages;
}

}  // namespace quor::admin::snapin
