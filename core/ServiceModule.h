// The service core's module: the process-wide objects every component shares,
// set up when the library is loaded and torn down when it is unloaded.
#pragma once

#include <memory>
#include <mutex>

#include "core/QuorServiceUtils.h"
#include "core/ServiceConfig.h"
#include "core/store/CollabDBConnectImpl.h"
#include "core/store/DBConnect.h"
#include "core/store/VODBConnectImpl.h"

namespace quor::core {

class CServiceModule {
 public:
  // The one module of the process.
  static CServiceModule& Instance();

  // Start-up: keyword table, utilities object, settings (HomeDir, config
  // folder, LogLevel, AdminUsers, UserGroup, CompressThreshold) and the shared
  // connection, opened with the first repository definition. A missing or
  // unreachable repository does not stop start-up: the service stays
  // not ready and the event log says why.
  HRESULT InitInstance();
  // Shut-down: the stores, the utilities object and the shared connection go;
  // the settings and the keyword table stay for the life of the process.
  void ExitInstance();

  CServiceConfig* Settings() const { return settings_.get(); }
  CDBConnect* Connection() const { return connection_.get(); }
  CQuorServiceUtils* Utils() const { return utils_.get(); }
  // Created by whichever first use needs them.
  CQuorServiceUtils& EnsureUtils();
  CServiceConfig& EnsureSettings();
  // The process-wide collaboration store over the shared connection, made
  // and set up by the first component that needs it.
  CCollabDBConnectImpl& EnsureCollabStore();
  CCollabDBConnectImpl* CollabStore() const { return collab_.get(); }
  // The process-wide content store, made the same way.
  CVODBConnectImpl& EnsureVOStore();
  CVODBConnectImpl* VOStore() const { return vo_.get(); }

 private:
  CServiceModule() = default;
  void OpenRepository();

  std::unique_ptr<CDBConnect> connection_;
  std::unique_ptr<CServiceConfig> settings_;
  std::unique_ptr<CQuorServiceUtils> utils_;
  std::unique_ptr<CCollabDBConnectImpl> collab_;
  std::unique_ptr<CVODBConnectImpl> vo_;
  std::mutex storeMutex_;
};

}  // namespace quor::core
