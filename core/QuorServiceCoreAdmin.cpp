#include "core/QuorServiceCoreAdmin.h"

#include "core/QuerySettings.h"
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "platform/com/hresult.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

using com::Bstr;

bool LogsDetails(int32_t level) { return level == LOGLEVEL_DEBUG || level == LOGLEVEL_DETAIL; }

// "<text of status> Skipped: a.xml (0x...), b.xml (0x...)." (file names only:
// the caller has no business with the server's folders).
std::string DescribeSkipped(HRESULT status, const std::vector<SkippedConfigFile>& skipped) {
  std::string text = std::string(StatusText(status)) + " Skipped:";
  for (size_t i = 0; i < skipped.size(); ++i) {
    const std::string& path = skipped[i].path;
    const size_t slash = path.find_last_of('/');
    text += text::Format("%s %s (0x%X)", i ? "," : "", slash == std::string::npos ? path : path.substr(slash + 1),
                         skipped[i].status);
  }
  return text + ".";
}

}  // namespace

CQuorServiceCoreAdmin::CQuorServiceCoreAdmin(FrameContext context) : frame_(std::move(context)) {}

HRESULT CQuorServiceCoreAdmin::InterfaceSupportsErrorInfo(const com::IID& iid) {
  return iid == IQuorServiceCoreAdmin::kIid ? S_OK : S_FALSE;
}

std::span<const com::DispatchEntry<CQuorServiceCoreAdmin>> CQuorServiceCoreAdmin::DispatchTable() {
  static const com::DispatchEntry<CQuorServiceCoreAdmin> table[] = {
      com::Method<&CQuorServiceCoreAdmin::ReLoadUnifyTable>(u"ReLoadUnifyTable", 1, {u"user", u"reskey", u"result"}),
      com::Method<&CQuorServiceCoreAdmin::ReLoadTransform>(u"ReLoadTransform", 2, {u"user", u"reskey", u"result"}),
      com::Method<&CQuorServiceCoreAdmin::ReLoadConfig>(u"ReLoadConfig", 3, {u"user", u"reskey", u"result"}),
  };
  return table;
}

HRESULT CQuorServiceCoreAdmin::ReLoadUnifyTable(const Bstr& user, Bstr* reskey, Bstr* result) {
  return Run(u"ReLoadUnifyTable", &CServiceConfig::ReloadUnifyTable, user, reskey, result);
}

HRESULT CQuorServiceCoreAdmin::ReLoadTransform(const Bstr& user, Bstr* reskey, Bstr* result) {
  return Run(u"ReLoadTransform", &CServiceConfig::ReloadTransform, user, reskey, result);
}

HRESULT CQuorServiceCoreAdmin::ReLoadConfig(const Bstr& user, Bstr* reskey, Bstr* result) {
  return Run(u"ReLoadConfig", &CServiceConfig::ReloadConfig, user, reskey, result);
}

void CQuorServiceCoreAdmin::LogOperation(std::u16string_view operation, const Bstr& principal) {
  const int32_t level = frame_.LogLevel();
  if (!LogsDetails(level) && level != LOGLEVEL_NORMAL) return;
  frame_.Log().InsertLog3(Bstr(operation), principal, Bstr()).Ignore();
}

void CQuorServiceCoreAdmin::LogResult(std::u16string_view operation, const Bstr& principal, const Bstr& result) {
  if (!LogsDetails(frame_.LogLevel())) return;
  frame_.Log().InsertLog4(Bstr(operation), principal, Bstr(), result).Ignore();
}

void CQuorServiceCoreAdmin::LogError(std::u16string_view operation, const Bstr& principal, const Bstr& result,
                                     HRESULT status) {
  if (!LogsDetails(frame_.LogLevel())) return;
  const Bstr message = Bstr::FromUtf8(text::Format("Error Code (HRESULT: 0x%X)", status));
  frame_.Log().InsertLog5(Bstr(operation), principal, Bstr(), result, message).Ignore();
}

HRESULT CQuorServiceCoreAdmin::Run(std::u16string_view operation, Reload reload, const Bstr& user, Bstr* reskey,
                                   Bstr* result) {
  if (!reskey || !result) return E_POINTER;
  *reskey = Bstr(u"");
  *result = Bstr(u"");
  const auto lease = frame_.Lease();
  const FrameContext& context = frame_.Context();

  Bstr principal;
  Bstr text(u"");
  Bstr faultText;  // none: the status's own text
  Status outcome;
  if (!frame_.Unwrap(user, operation, {}, {}, principal).ok()) {
    // The request token itself stays out of the log.
    const Bstr caller(u"(request token)");
    LogOperation(operation, caller);
    outcome = Status(QS_E_USER_KEY_INVALID);
    LogError(operation, caller, text, outcome.code());
  } else {
    LogOperation(operation, principal);
    if (!context.utils.IsAdministrator(principal)) {
      outcome = Status(QS_E_ADMINISTRATOR_ONLY);
    } else {
      std::vector<SkippedConfigFile> skipped;
      outcome = context.querySettings.Reload(reload, &skipped);
      // A config folder that loaded only in part answers the status of its
      // first bad file, naming every file left out; the others are in force.
      if (!skipped.empty()) {
        if (SUCCEEDED(outcome.code())) outcome = Status(skipped.front().status);
        faultText = Bstr::FromUtf8(DescribeSkipped(outcome.code(), skipped));
      }
    }
    if (SUCCEEDED(outcome.code())) {
      text = Bstr(u"<root>0</root>");
      LogResult(operation, principal, text);
    } else {
      LogError(operation, principal, text, outcome.code());
    }
  }
  if (FAILED(outcome.code())) return CRequestFrame::Raise(outcome, faultText);
  // A response key that cannot be made leaves it empty; the reload stands.
  *reskey = frame_.Wrap(user, operation, text);
  *result = std::move(text);
  return outcome.code();
}

}  // namespace quor::core
