// The service core's module: the process-wide objects every component shares,
// set up when the library is loaded and torn down when it is unloaded.
//
// Calls run in parallel. Everything here is made at start-up (InitInstance,
// on the loading thread) and then only read, except:
//  - the repository's connections: each call leases one (CDBConnect::Lease);
//  - the query configuration: an immutable CServiceConfig swapped whole by
//    the reloads (CQuerySettings; a call keeps the one it took);
//  - the stores' and the settings' own locks for their mutable parts.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "core/QuerySettings.h"
#include "core/QuorServiceUtils.h"
#include "core/ServiceFrame.h"
#include "core/ServiceConfig.h"
#include "core/store/CollabDBConnectImpl.h"
#include "core/store/DBConnect.h"
#include "core/store/ResumeQueue.h"
#include "core/store/ServerLease.h"
#include "core/store/SignInCounts.h"
#include "core/store/VODBConnectImpl.h"
#include "platform/base/thread_annotations.h"

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
  Status InitInstance();
  // Shut-down: the stores, the utilities object and the connections go;
  // the settings, the authentication accessor and the keyword table stay for
  // the life of the process.
  void ExitInstance();

  CServiceConfig* Settings() const { return settingsView_.load(std::memory_order_acquire); }
  CDBConnect* Connection() const { return connection_.get(); }
  CQuorServiceUtils* Utils() const { return utilsView_.load(std::memory_order_acquire); }
  // Created by whichever first use needs them, once, whatever the threads;
  // the utilities object with the authentication accessor, which it uses.
  CQuorServiceUtils& EnsureUtils() QUOR_EXCLUDES(setupMutex_);
  CServiceConfig& EnsureSettings() QUOR_EXCLUDES(setupMutex_);
  AuthAccessor* Auth() const { return authView_.load(std::memory_order_acquire); }
  // Writes a store refused to make, kept for their clients to settle.
  CResumeQueue& ResumeQueue() { return resume_; }
  // What the request frame of either endpoint is made with.
  FrameContext Frame();
  // The process-wide collaboration store over the shared connection, made
  // and set up by the first component that needs it.
  CCollabDBConnectImpl& EnsureCollabStore() QUOR_EXCLUDES(storeMutex_);
  CCollabDBConnectImpl* CollabStore() QUOR_EXCLUDES(storeMutex_) {
    MutexLock lock(storeMutex_);
    return collab_.get();
  }
  // The process-wide content store, made the same way.
  CVODBConnectImpl& EnsureVOStore() QUOR_EXCLUDES(storeMutex_);

  // A repository connection for the calling thread until the lease goes.
  CDBConnect::Lease LeaseConnection() { return CDBConnect::Lease(connection_.get()); }

  // The query configuration in force, swapped whole by the reloads.
  CQuerySettings& QuerySettings() { return querySettings_; }

 private:
  CServiceModule() = default;
  void OpenRepository();
  // One event-log line per file the config folder's load left out.
  void ReportSkippedConfigFiles(const CServiceConfig& settings);

  std::unique_ptr<CDBConnect> connection_;
  // Opened with connection_ for the lease, which takes it at start.
  std::unique_ptr<CDBConnect> renewals_;

  // Making and dropping the settings and the utilities object; readers take
  // the views, which are set once the object is whole.
  Mutex setupMutex_;
  std::unique_ptr<CServiceConfig> settings_ QUOR_GUARDED_BY(setupMutex_);
  std::unique_ptr<CQuorServiceUtils> utils_ QUOR_GUARDED_BY(setupMutex_);
  std::unique_ptr<AuthAccessor> auth_ QUOR_GUARDED_BY(setupMutex_);
  std::atomic<CServiceConfig*> settingsView_{nullptr};
  std::atomic<CQuorServiceUtils*> utilsView_{nullptr};
  std::atomic<AuthAccessor*> authView_{nullptr};

  // This server's place in the repository, which the sharing list and the
  // resume queue last by; renewed from InitInstance to ExitInstance.
  CServerLease lease_;
  CSignInCounts signIns_{lease_};
  // A replay runs as the entry's user, resolved as the frame resolves callers.
  CResumeQueue resume_{lease_, [this](const com::Bstr& user) { return EnsureUtils().ResolveCaller(user); }};

  Mutex storeMutex_;
  std::unique_ptr<CCollabDBConnectImpl> collab_ QUOR_GUARDED_BY(storeMutex_);
  std::unique_ptr<CVODBConnectImpl> vo_ QUOR_GUARDED_BY(storeMutex_);

  CQuerySettings querySettings_{[this] { return static_cast<const CServiceConfig*>(Settings()); },
                                [this](const CServiceConfig& loaded) { ReportSkippedConfigFiles(loaded); }};
};

}  // namespace quor::core
