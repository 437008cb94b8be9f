#include "core/ServiceModule.h"

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

// Start-up entries share the request frame's event id.
constexpr uint32_t kEventId = 4096;

}  // namespace

CServiceModule& CServiceModule::Instance() {
  static CServiceModule module;
  return module;
}

CQuorServiceUtils& CServiceModule::EnsureUtils() {
  if (CQuorServiceUtils* utils = Utils()) return *utils;
  CServiceConfig& settings = EnsureSettings();
  MutexLock lock(setupMutex_);
  if (!auth_) {
    auth_ = std::make_unique<AuthAccessor>();
    authView_.store(auth_.get(), std::memory_order_release);
  }
  if (!utils_) {
    utils_ = std::make_unique<CQuorServiceUtils>(settings, auth_.get());
    utilsView_.store(utils_.get(), std::memory_order_release);
  }
  return *utils_;
}

CServiceConfig& CServiceModule::EnsureSettings() {
  if (CServiceConfig* settings = Settings()) return *settings;
  MutexLock lock(setupMutex_);
  if (!settings_) {
    settings_ = std::make_unique<CServiceConfig>();
    settingsView_.store(settings_.get(), std::memory_order_release);
  }
  return *settings_;
}

FrameContext CServiceModule::Frame() {
  CQuorServiceUtils& utils = EnsureUtils();
  return FrameContext{
      .settings = EnsureSettings(),
      .utils = utils,
      .eventLog = utils.EventLog,
      .auth = Auth(),
      .connection = connection_.get(),
      .collab = EnsureCollabStore(),
      .vo = EnsureVOStore(),
      .resume = resume_,
      .signIns = signIns_,
      .querySettings = querySettings_,
  };
}

CCollabDBConnectImpl& CServiceModule::EnsureCollabStore() {
  MutexLock lock(storeMutex_);
  if (!collab_) {
    auto store = std::make_unique<CCollabDBConnectImpl>(connection_.get(), resume_);
    // A set-up that fails leaves the store working with the settings it has.
    store->Init().Ignore();
    collab_ = std::move(store);
  }
  return *collab_;
}

CVODBConnectImpl& CServiceModule::EnsureVOStore() {
  MutexLock lock(storeMutex_);
  if (!vo_) {
    auto store = std::make_unique<CVODBConnectImpl>(connection_.get());
    store->Init().Ignore();
    vo_ = std::move(store);
  }
  return *vo_;
}

Status CServiceModule::InitInstance() {
  CKeywordTable::Instance();
  // The settings are read before the utilities object and the accessor are
  // made over them.
  const bool firstStart = !Settings();
  CServiceConfig& settings = EnsureSettings();
  HRESULT loaded = S_OK;
  if (firstStart) {
    settings.ReadHomeDir();
    loaded = settings.LoadConfigDirectory().code();
    settings.ReadLogLevel();
    settings.ReadAdminUsers();
    settings.ReadUserGroups();
    settings.ReadCompressThreshold();
    settings.ReadAnswerMemory();
    // The administrators' directory group: the administrators' lists and the
    // reloads ask for it before any store has been made to read it.
    settings.ReadAdminGroupName();
  }
  CQuorServiceUtils& utils = EnsureUtils();
  if (firstStart) {
    if (!settings.SkippedConfigFiles.empty()) {
      ReportSkippedConfigFiles(settings);
    } else if (FAILED(loaded) && loaded != QS_E_CONFIG_NOT_EXIST) {
      utils.EventLog.ReportError(kEventId, text::Format("[0x%X] %s (%s)", loaded, StatusText(loaded),
                                                        settings.FolderPath("config")));
    }
  }
  if (!connection_) OpenRepository();
  if (firstStart) signIns_.SetLimits(SignInLimits::Read());
  lease_.Start(connection_.get(), std::move(renewals_));
  // What calls share is made now, on the loading thread, so that calls only
  // read it.
  EnsureCollabStore();
  EnsureVOStore();
  querySettings_.Current();
  return Status();
}

void CServiceModule::ReportSkippedConfigFiles(const CServiceConfig& settings) {
  CQuorServiceUtils& utils = EnsureUtils();
  for (const SkippedConfigFile& file : settings.SkippedConfigFiles)
    utils.EventLog.ReportError(kEventId, text::Format("[0x%X] %s The config file %s is skipped; the others are loaded.",
                                                      file.status, StatusText(file.status), file.path));
}

void CServiceModule::OpenRepository() {
  CQuorServiceUtils& utils = EnsureUtils();
  const CServiceConfig& settings = EnsureSettings();
  connection_ = std::make_unique<CSqlServerDBConnect>();
  if (settings.RepositoryDefinitions.empty()) {
    utils.EventLog.ReportError(
        kEventId, text::Format("[0x%X] %s No repository definition (quorservice VODB) in %s.",
                               QS_E_VESK_RESOURCE_DB_NOT_INSTALLED, StatusText(QS_E_VESK_RESOURCE_DB_NOT_INSTALLED),
                               settings.FolderPath("config")));
    return;
  }
  const DataSourceDefinition& definition = *settings.RepositoryDefinitions.front();
  const std::string& provider = definition.GetProviderAnsi();
  if (provider.compare(0, 8, "OraOLEDB") == 0) connection_ = std::make_unique<COracleDBConnect>();
  // While the repository is down calls answer that it is not there; the
  // event log says when its link went, each reopen that failed (at most one
  // every few seconds) and when it is back.
  connection_->SetLinkReporter([&utils, provider](bool up, const std::string& reason) {
    if (up) {
      utils.EventLog.WriteEvent(4, kEventId, text::Format("The repository (%s) is open again.", provider));
      return;
    }
    utils.EventLog.ReportError(
        kEventId, text::Format("[0x%X] %s The repository %s cannot be reached: %s", QS_E_VESK_RESOURCE_DB_NOT_INSTALLED,
                               StatusText(QS_E_VESK_RESOURCE_DB_NOT_INSTALLED), provider, reason));
  });
  const Status opened = connection_->Open(provider, definition.GetDataSource(), definition.GetInitialCatalog(),
                                          definition.GetUserName(), definition.GetPassword(),
                                          definition.GetExtendedProperties());
  // The lease's renewals go over a database object of their own (without a
  // reporter: the calls' connection tells the event log about the link).
  if (provider.compare(0, 8, "OraOLEDB") == 0)
    renewals_ = std::make_unique<COracleDBConnect>();
  else
    renewals_ = std::make_unique<CSqlServerDBConnect>();
  renewals_->Open(provider, definition.GetDataSource(), definition.GetInitialCatalog(), definition.GetUserName(),
                  definition.GetPassword(), definition.GetExtendedProperties())
      .Ignore();
  if (opened.ok()) {
    utils.EventLog.WriteEvent(4, kEventId,
                              text::Format("QuorService started: the repository (%s, %s) is open.", provider,
                                           connection_->DataSource().empty() ? std::string("ODBC") : connection_->DataSource()));
  } else {
    utils.EventLog.ReportError(
        kEventId, text::Format("[0x%X] %s The repository %s could not be opened: %s", QS_E_VESK_RESOURCE_DB_NOT_INSTALLED,
                               StatusText(QS_E_VESK_RESOURCE_DB_NOT_INSTALLED), provider, opened.message()));
  }
}

void CServiceModule::ExitInstance() {
  lease_.Stop();
  {
    MutexLock lock(storeMutex_);
    vo_.reset();
    collab_.reset();
  }
  querySettings_.Reset();
  if (connection_) connection_->SetLinkReporter(nullptr);
  {
    MutexLock lock(setupMutex_);
    utilsView_.store(nullptr, std::memory_order_release);
    utils_.reset();
  }
  connection_.reset();
}

}  // namespace quor::core
