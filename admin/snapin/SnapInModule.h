// What the console's nodes share across the module: the SOAP client that the
// root node creates, the service's home directory, the result-pane flag, and
// the message boxes (shown through the host's dialogs).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "platform/com/guid.h"
#include "platform/console/snapin.h"

namespace quor::admin {
class CVeltService;
}

namespace quor::admin::snapin {

inline constexpr com::CLSID kClsidQuorAdminMMC = com::Guid::Literal("{0E445EDE-7C1C-47F8-A299-E2B7F9446781}");
inline constexpr com::CLSID kClsidQuorAdminMMCAbout = com::Guid::Literal("{0C0E5AA5-F6BE-4B26-8E99-063E5365144E}");
inline constexpr com::Guid kLibidQuorAdmin = com::Guid::Literal("{A0203B89-1A87-43E1-A175-502B4F647A92}");

// Module-wide state. Everything runs on the host's user-interface thread.
class Module {
 public:
  // The SOAP client of the signed-in console; null before the root node made
  // it and after the root node ended.
  static CVeltService* Service();
  static void SetService(CVeltService* service);
  static const std::string& HomeDir();
  static void SetHomeDir(std::string_view home);
  // 1 while a transformer row, 2 while a repository row, 0 while any other
  // row last answered a column text.
  static int ResultPaneFlag();
  static void SetResultPaneFlag(int flag);
  // The host's dialogs, set when the host hands the snap-in its console.
  static console::IDialogHost* Dialogs();
  static void SetDialogs(console::IDialogHost* dialogs);
};

// One request on the console's SOAP client with its parameters in order;
// the answer stays loaded in the client for the caller to read. False when
// there is no client or the call failed (transport, fault, or a response key
// that does not validate); with `report`, the client's fault text is then
// shown in the error box.
using Parameters = std::initializer_list<std::pair<std::string_view, std::string_view>>;
bool CallService(std::string_view method, Parameters parameters = {}, bool report = true);

// The four kinds of message box. Each has no owner window; its style is the
// kind's combined with the extra style word (0, or MB_TASKMODAL when
// switched on). Without a host the box is not shown and answers as if
// dismissed (IDCANCEL, or IDNO for the warning).
class CMessageBox {
 public:
  static void SetTaskModal(bool on);
  static uint32_t ExtraStyle();

  static void Information(std::string_view text);
  static void Information(int stringId);
  static int Warning(std::string_view text);
  static int Warning(int stringId);
  static int Error(std::string_view text);
  static int Error(int stringId);
  static int ErrorRetry(std::string_view text);
  static int ErrorRetry(int stringId);
};

}  // namespace quor::admin::snapin
