// The instance the signed-in benchmarks prepare for their own quor-server
// (a ServerProcess's preparation step): an SQLite repository and its
// definition, the service and authentication keys, a local account store
// with the given users, and any further files below the home folder.
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

#include "platform/registry/registry.h"
#include "platform/xml/escape.h"

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
};

// Prepares `dir` and the registry file (which QUOR_REGISTRY then names, as
// the console's client reads it); the repository's path in `database`.
inline bool PrepareInstance(const std::filesystem::path& dir, const std::filesystem::path& registry,
                            const InstanceSettings& settings, std::filesystem::path& database, std::string& error) {
  namespace fs = std::filesystem;
  ::setenv("QUOR_REGISTRY", registry.c_str(), 1);
  const fs::path home = dir / "home";
  for (const char* folder : {"config", "unifier", "transform"}) fs::create_directories(home / folder);
  for (const auto& [path, text] : settings.homeFiles) std::ofstream(home / path, std::ios::binary) << text;
  database = dir / "repo.db";
  std::string odbc = settings.repositoryOdbc;
  if (odbc.empty()) {
    const std::string schema = std::string(QUOR_SOURCE_DIR) + "/sql/sqlite.sql";
    if (std::system(("sqlite3 '" + database.string() + "' < '" + schema + "'").c_str()) != 0) {
      error = "sqlite3 could not create the repository (is the sqlite3 program installed?)";
      return false;
    }
    odbc = "DRIVER={SQLite3};Database=" + database.string();
  }
  const std::string escaped = xml::Escaped(odbc);
  std::ofstream(home / "config" / "repository.xml")
      << "<?xml version=\"1.0\"?><OLEDBSetting><quorservice>VODB</quorservice><Provider>MSDASQL.1</Provider>"
         "<ExtendedProperties>"
      << escaped << "</ExtendedProperties></OLEDBSetting>\n";
  auto set = [](std::string_view key, std::string_view name, std::string_view value) {
    reg::Key k;
    return k.Create(reg::Hive::LocalMachine, key).ok() && k.SetString(name, value).ok();
  };
  reg::Key service;
  const bool written = set("Software\\Velt\\QuorService", "HomeDir", home.string()) &&
                       set("Software\\Velt\\QuorService", "LogLevel", settings.logLevel) &&
                       set("Software\\Velt\\QuorService", "RootContext", "WinNT://BENCH") &&
                       set("Software\\Velt", "DefaultAuthority", "WinNT://BENCH") &&
                       set("Software\\Velt", "DefaultRealm", "BENCH") &&
                       set("Software\\Velt\\Services", "qsc", "http://%s/QuorService/QuorServiceCore.sod") &&
                       service.Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService").ok() &&
                       service.SetDword("CompressThreshold", settings.compressThreshold).ok();
  if (!written) {
    error = "cannot write the registry file " + registry.string();
    return false;
  }
  for (const auto& [name, value] : {std::pair{"AdminUsers", &settings.adminUsers},
                                    std::pair{"ResourceURL", &settings.resourceUrl},
                                    std::pair{"ResourceDir", &settings.resourceDir}})
    if (!value->empty() && !set("Software\\Velt\\QuorService", name, *value)) {
      error = "cannot write the registry file " + registry.string();
      return false;
    }
  const std::string accounts = std::string(QUOR_BIN_DIR) + "/quor-accounts";
  const std::string rounds = settings.iterations > 0 ? " --iterations " + std::to_string(settings.iterations) : "";
  if (std::system(("'" + accounts + "' init BENCH BENCHHOST" + rounds + " > /dev/null").c_str()) != 0) {
    error = "quor-accounts init failed";
    return false;
  }
  for (const std::string& user : settings.users) {
    FILE* add = ::popen(("'" + accounts + "' add-user '" + user + "' > /dev/null").c_str(), "w");
    const bool fed = add && std::fprintf(add, "%s\n", settings.password.c_str()) >= 0;
    if (!add || ::pclose(add) != 0 || !fed) {
      error = "quor-accounts add-user " + user + " failed";
      return false;
    }
  }
  std::vector<std::string> groups;
  for (const auto& [group, member] : settings.members)
    if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
  for (const std::string& group : groups)
    if (std::system(("'" + accounts + "' add-group '" + group + "' > /dev/null").c_str()) != 0) {
      error = "quor-accounts add-group " + group + " failed";
      return false;
    }
  for (const auto& [group, member] : settings.members)
    if (std::system(("'" + accounts + "' add-to-group '" + group + "' '" + member + "' > /dev/null").c_str()) != 0) {
      error = "quor-accounts add-to-group " + group + " " + member + " failed";
      return false;
    }
  return true;
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
