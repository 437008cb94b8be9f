#include "core/QuerySettings.h"

namespace quor::core {

std::shared_ptr<const CServiceConfig> CQuerySettings::Current() {
  MutexLock lock(mutex_);
  if (!current_) {
    auto first = std::make_shared<CServiceConfig>();
    if (const CServiceConfig* startup = startup_ ? startup_() : nullptr) first->ShareQueryParts(*startup);
    current_ = std::move(first);
  }
  return current_;
}

void CQuerySettings::Keep(const std::shared_ptr<const CServiceConfig>& from, const CServiceConfig& loaded) {
  // A call that had to read the config folder itself says what it left out.
  if (loaded.ConfigDocument && loaded.ConfigDocument != from->ConfigDocument && reportSkipped_) reportSkipped_(loaded);
  if (!loaded.HasMoreThan(*from)) return;
  auto next = std::make_shared<CServiceConfig>();
  next->ShareQueryParts(loaded);
  MutexLock lock(mutex_);
  // A reload since the call began wins over what the call loaded.
  if (current_ == from) current_ = std::move(next);
}

Status CQuerySettings::Reload(ReloadStep reload, std::vector<SkippedConfigFile>* skipped) {
  MutexLock one(reloadMutex_);
  auto next = std::make_shared<CServiceConfig>();
  const std::shared_ptr<const CServiceConfig> current = Current();
  next->ShareQueryParts(*current);
  Status status = ((*next).*reload)();
  if (next->ConfigDocument && next->ConfigDocument != current->ConfigDocument) {
    if (reportSkipped_) reportSkipped_(*next);
    if (skipped) *skipped = next->SkippedConfigFiles;
  }
  MutexLock swap(mutex_);
  current_ = std::move(next);
  return status;
}

void CQuerySettings::Reset() {
  MutexLock lock(mutex_);
  current_.reset();
}

}  // namespace quor::core
