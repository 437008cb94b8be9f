#include "admin/snapin/SnapInModule.h"

#include "admin/ConsoleLog.h"
#include "admin/VeltService.h"
#include "admin/snapin/Resources.h"

namespace quor::admin::snapin {

namespace {

// The module-wide state named in SnapInModule.h, in one place.
struct ModuleState {
  CVeltService* service = nullptr;
  std::string homeDir;
  int resultPaneFlag = 0;
  console::IDialogHost* dialogs = nullptr;
  uint32_t extraStyle = 0;
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

int Show(std::string_view text, std::string_view caption, uint32_t style, int dismissed) {
  console::IDialogHost* dialogs = State().dialogs;
  if (!dialogs) {
    ConsoleLog::Instance().Write("No console to show a message box in");
    return dismissed;
  }
  return dialogs->MessageBox(text, caption, style | State().extraStyle);
}

}  // namespace

CVeltService* Module::Service() { return State().service; }
void Module::SetService(CVeltService* service) { State().service = service; }
const std::string& Module::HomeDir() { return State().homeDir; }
void Module::SetHomeDir(std::string_view home) { State().homeDir = home; }
int Module::ResultPaneFlag() { return State().resultPaneFlag; }
void Module::SetResultPaneFlag(int flag) { State().resultPaneFlag = flag; }
console::IDialogHost* Module::Dialogs() { return State().dialogs; }
void Module::SetDialogs(console::IDialogHost* dialogs) { State().dialogs = dialogs; }

bool CallService(std::string_view method, Parameters parameters, bool report) {
  CVeltService* service = Module::Service();
  if (!service) {
    if (report) CMessageBox::Error("Not connected to the service.");
    return false;
  }
  bool ok = service->BeginRequest(method) == 0;
  if (ok) {
    for (const auto& [name, value] : parameters) service->AddParameter(name, value);
    ok = service->Invoke();
  }
  if (!ok) {
    ConsoleLog::Instance().Write(std::string(method) + " failed: " + service->FormatFault());
    if (report) CMessageBox::Error(service->FaultText());
  }
  return ok;
}

void CMessageBox::SetTaskModal(bool on) { State().extraStyle = on ? console::MB_TASKMODAL : 0; }
uint32_t CMessageBox::ExtraStyle() { return State().extraStyle; }

void CMessageBox::Information(std::string_view text) {
  Show(text, "Information", console::MB_ICONINFORMATION | console::MB_OK, console::IDOK);
}
void CMessageBox::Information(int stringId) { Information(LoadString(stringId)); }

int CMessageBox::Warning(std::string_view text) {
  return Show(text, "Warning", console::MB_ICONEXCLAMATION | console::MB_YESNO, console::IDNO);
}
int CMessageBox::Warning(int stringId) { return Warning(LoadString(stringId)); }

int CMessageBox::Error(std::string_view text) {
  return Show(text, "Error", console::MB_ICONHAND | console::MB_OK, console::IDOK);
}
int CMessageBox::Error(int stringId) { return Error(LoadString(stringId)); }

int CMessageBox::ErrorRetry(std::string_view text) {
  return Show(text, "Error", console::MB_ICONHAND | console::MB_RETRYCANCEL, console::IDCANCEL);
}
int CMessageBox::ErrorRetry(int stringId) { return ErrorRetry(LoadString(stringId)); }

}  // namespace quor::admin::snapin
