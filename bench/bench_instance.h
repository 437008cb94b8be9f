// The instance the signed-in benchmarks prepare for their own quor-server
// (a ServerProcess's preparation step), made by the tests' instance builder
// (testing/Instance.h): an SQLite repository and its definition, the service
// and authentication keys, a local account store with the given users, and
// any further files below the home folder; the SQLite tables and contents
// they move; and the process figures they measure.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "admin/VeltService.h"
#include "testing/Instance.h"

namespace quor::bench {

struct InstanceSettings {
  std::string logLevel = "None";  // None: the log table does not grow under a measurement
  uint32_t compressThreshold = 0;
  std::vector<std::string> users{"bench"};
  std::string password = "bench-pw";
  // Hash rounds of the account store; 0 keeps quor-accounts' own (slow on
  // purpose: a bench that opens many sessions takes fewer).
  int iterations = 0;
  std::vector<std::pair<std::string, std::string>> homeFiles;  // "config/x.xml", text
  // The repository's ODBC string when it lives elsewhere (its tables made
  // beforehand); empty: a fresh SQLite file in the instance folder.
  std::string repositoryOdbc;
  // AdminUsers (comma-separated), when not empty.
  std::string adminUsers;
  // ResourceURL and ResourceDir, when not empty.
  std::string resourceUrl, resourceDir;
  // Groups of the account store, as (group, member) pairs.
  std::vector<std::pair<std::string, std::string>> members;
  // More REG_DWORD values of the service key (e.g. {"AllAnswersMemoryMB", 512}).
  std::vector<std::pair<std::string, uint32_t>> serviceDwords;
};

// Prepares `dir` and the registry file (which QUOR_REGISTRY then names, as
// the console's client reads it); the repository's path in `database`.
inline bool PrepareInstance(const std::filesystem::path& dir, const std::filesystem::path& registry,
                            const InstanceSettings& settings, std::filesystem::path& database, std::string& error) {
  ::setenv("QUOR_REGISTRY", registry.c_str(), 1);
  database = dir / "repo.db";
  instance::Options build;
  build.dir = dir;
  build.registry = registry;
  build.logLevel = settings.logLevel;
  build.compressThreshold = settings.compressThreshold;
  build.serviceDwords = settings.serviceDwords;
  build.adminUsers = settings.adminUsers;
  build.resourceUrl = settings.resourceUrl;
  build.resourceDir = settings.resourceDir;
  build.homeFiles = settings.homeFiles;
  build.repositoryOdbc = settings.repositoryOdbc;
  build.sqliteRepository = database;
  build.schema = std::filesystem::path(QUOR_SOURCE_DIR) / "sql" / "sqlite.sql";
  instance::LocalAccounts accounts;
  accounts.domain = "BENCH";
  accounts.computer = "BENCHHOST";
  accounts.iterations = static_cast<uint32_t>(std::max(settings.iterations, 0));
  for (const std::string& user : settings.users) accounts.users.push_back({user, settings.password});
  accounts.members = settings.members;
  build.directory = std::move(accounts);
  const Result<instance::Built> built = instance::Build(build);
  if (!built.ok()) error = built.status().Text();
  return built.ok();
}

// The data source setting (config/<dsn>.xml) that reaches the SQLite file
// `file`, catalog "main".
inline std::string SqliteSourceSetting(std::string_view dsn, const std::filesystem::path& file) {
  return "<OLEDBSetting><Provider>MSDASQL.1</Provider><DataSource>" + std::string(dsn) +
         "</DataSource><InitialCatalog>main</InitialCatalog><ExtendedProperties>DRIVER={SQLite3};Database=" +
         admin::CVeltService::EscapeXml(file.string()) + "</ExtendedProperties></OLEDBSetting>";
}

// The SQLite statements that make table `name` of `rows` rows x 8 columns:
// integers, reals, a short and a longer text, a date as text, NULLs in two.
inline std::string SqliteQueryTable(std::string_view name, long rows) {
  const std::string table(name);
  return "CREATE TABLE " + table +
         " (id INTEGER PRIMARY KEY, qty INTEGER, price REAL, score REAL, code TEXT, note TEXT, day TEXT, tag TEXT);"
         "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < " +
         std::to_string(rows) + ") INSERT INTO " + table +
         " SELECT x, (x * 7919) % 100000 - 50000, round(x * 0.37, 2), CASE WHEN x % 5 = 0 THEN NULL ELSE x / 7.0 END,"
         " 'C' || (x % 1000), 'Row ' || x || ' of the sample, a longer text that describes it in a few words',"
         " date('2020-01-01', '+' || (x % 3650) || ' days'), CASE WHEN x % 3 = 0 THEN NULL ELSE 'tag' || (x % 17) END"
         " FROM n;";
}

// A Query document that reads every row of `table`.
inline std::string QueryAllDocument(std::string_view dsn, std::string_view catalog, std::string_view table) {
  return "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>" + std::string(dsn) +
         "</dsn><catalog>" + std::string(catalog) + "</catalog><table>" + std::string(table) +
         "</table></target></get></query>";
}

// A content of `size` bytes: printable text without markup or tabs.
inline std::string TextContent(long size) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789.,;:-";
  std::string text(static_cast<size_t>(size), ' ');
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (char& c : text) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = kAlphabet[x % (sizeof kAlphabet - 1)];
  }
  return text;
}

// A line of /proc/<pid>/status in KiB (0 when it cannot be read).
inline long StatusKiB(int pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
      return std::atol(line.c_str() + field.size() + 1);
  return 0;
}

// VmRSS of a process, in KiB.
inline long ResidentKiB(int pid) { return StatusKiB(pid, "VmRSS"); }

// VmHWM of a process (its peak resident size so far), in KiB.
inline long PeakResidentKiB(int pid) { return StatusKiB(pid, "VmHWM"); }

// The most a process's resident size rose above its size at the start
// while `work` ran, in KiB: VmRSS sampled every 2 ms from another thread
// (a call that lasts less than a few samples may be missed).
inline long ResidentRiseDuring(int pid, const std::function<void()>& work) {
  const long idle = ResidentKiB(pid);
  std::atomic<bool> done{false};
  std::atomic<long> highest{idle};
  std::thread sampler([&] {
    while (!done.load()) {
      const long now = ResidentKiB(pid);
      if (now > highest.load()) highest = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  work();
  done = true;
  sampler.join();
  return std::max(0L, highest.load() - idle);
}

// CPU seconds a process has used (user and system), from /proc.
inline double ProcessCpu(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace quor::bench
