// The query configuration in force: what the config, unifier and transform
// folders gave, held as one immutable snapshot that a reload swaps whole.
//
// A call takes the snapshot in force and runs on a configuration of its own
// sharing it (CServiceConfig::ShareQueryParts), so what the engine loads on
// the way stays the call's; Keep then puts that in force for the calls after,
// unless a reload came first.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "core/ServiceConfig.h"
#include "platform/base/thread_annotations.h"
#include "platform/com/status.h"

namespace quor::core {

class CQuerySettings {
 public:
  // `startup`: the settings read at start-up, the first snapshot's source
  // (null until they are made). `reportSkipped`: tells the event log of the
  // files a load of the config folder left out.
  using Startup = std::function<const CServiceConfig*()>;
  using SkippedReporter = std::function<void(const CServiceConfig& loaded)>;
  CQuerySettings(Startup startup, SkippedReporter reportSkipped)
      : startup_(std::move(startup)), reportSkipped_(std::move(reportSkipped)) {}
  CQuerySettings(const CQuerySettings&) = delete;
  CQuerySettings& operator=(const CQuerySettings&) = delete;

  // The snapshot in force, made from the start-up settings on first need.
  std::shared_ptr<const CServiceConfig> Current() QUOR_EXCLUDES(mutex_);
  // What a call loaded beyond `from` (the snapshot it took) goes in force.
  void Keep(const std::shared_ptr<const CServiceConfig>& from, const CServiceConfig& loaded) QUOR_EXCLUDES(mutex_);
  // Runs `reload` on a new configuration that starts from the snapshot in
  // force, and puts it in force; the reloads run one at a time. When the
  // reload read the config folder, the files it left out are reported and
  // handed back in `skipped`.
  using ReloadStep = Status (CServiceConfig::*)();
  Status Reload(ReloadStep reload, std::vector<SkippedConfigFile>* skipped = nullptr)
      QUOR_EXCLUDES(reloadMutex_, mutex_);
  // Drops the snapshot (shut-down); the next Current makes it again.
  void Reset() QUOR_EXCLUDES(mutex_);

 private:
  const Startup startup_;
  const SkippedReporter reportSkipped_;
  Mutex reloadMutex_ QUOR_ACQUIRED_BEFORE(mutex_);  // one reload at a time
  Mutex mutex_;
  std::shared_ptr<const CServiceConfig> current_ QUOR_GUARDED_BY(mutex_);  // the pointer only
};

}  // namespace quor::core
