// The administration component: makes the running service read one of its
// configuration folders again (unify rules, transformers, data sources).
#pragma once

#include <span>

#include "core/RequestFrame.h"
#include "core/ServiceConfig.h"
#include "core/ServiceFrame.h"
#include "platform/com/dispatch.h"

namespace quor::core {

inline constexpr com::CLSID CLSID_QuorServiceCoreAdmin =
    com::Guid::Literal("{E33F667C-FE58-4485-BC0C-9BA82ADD9E07}");

struct IQuorServiceCoreAdmin : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{2189F3F0-CFA2-4F00-BD98-4D70815329DD}");

 protected:
  ~IQuorServiceCoreAdmin() = default;
};

class CQuorServiceCoreAdmin
    : public com::DispatchObject<CQuorServiceCoreAdmin, IQuorServiceCoreAdmin, com::ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = CRequestFrame::kErrorSource;

  explicit CQuorServiceCoreAdmin(FrameContext context);

  HRESULT ReLoadUnifyTable(const com::Bstr& user, com::Bstr* reskey, com::Bstr* result);
  HRESULT ReLoadTransform(const com::Bstr& user, com::Bstr* reskey, com::Bstr* result);
  HRESULT ReLoadConfig(const com::Bstr& user, com::Bstr* reskey, com::Bstr* result);

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override;
  static std::span<const com::DispatchEntry<CQuorServiceCoreAdmin>> DispatchTable();

 private:
  using Reload = Status (CServiceConfig::*)();
  // The three operations' edge: answers their HRESULT and error information.
  HRESULT Run(std::u16string_view operation, Reload reload, const com::Bstr& user, com::Bstr* reskey,
              com::Bstr* result);
  // The administration's own log rows (written at other levels than a data
  // operation's); a row whose write fails costs the call nothing.
  void LogOperation(std::u16string_view operation, const com::Bstr& principal);
  void LogResult(std::u16string_view operation, const com::Bstr& principal, const com::Bstr& result);
  void LogError(std::u16string_view operation, const com::Bstr& principal, const com::Bstr& result, HRESULT status);

  CRequestFrame frame_;
};

}  // namespace quor::core
