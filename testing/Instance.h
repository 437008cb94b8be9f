// One instance folder of the service, made the same way for run.sh and
// install-service.sh (through quor-instance), the end-to-end tests and the
// benchmarks: a registry file, a home folder with config/, unifier/ and
// transform/, the repository and its definition, a directory (the local
// account store beside the registry file, or an LDAP server), and the
// component libraries registered with quor-regsvr.
//
// Whatever exists is kept: a folder built before is completed, never
// overwritten, so a second build reuses it (same accounts, same passwords).
// The service key's first values are written with a new registry file, the
// directory's settings with a new registry file or a new account store;
// the locator, the console's service and the registrations on every build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/com/status.h"

namespace quor::instance {

struct Account {
  std::string name, password;
};

// The local account store, "<registry file>.accounts".
struct LocalAccounts {
  std::string domain = "QUOR";
  std::string computer = "QUORHOST";
  uint32_t iterations = 0;  // hash rounds of its passwords; 0: the store's default
  std::vector<Account> users;
  std::vector<std::pair<std::string, std::string>> members;  // (group, member); groups made as named
};

// A directory server instead of the account store.
struct LdapDirectory {
  std::string authority;  // "LDAP://host:port/base"
  std::string realm;
  std::string serviceUser, servicePassword;
};

struct Options {
  std::filesystem::path dir;       // made when missing
  std::filesystem::path registry;  // empty: dir/registry.reg

  // The service key Software\Velt\QuorService.
  std::string logLevel = "Normal";
  uint32_t compressThreshold = 0;
  std::vector<std::pair<std::string, uint32_t>> serviceDwords;  // more REG_DWORD values
  std::string adminUsers;      // AdminUsers (comma-separated), when not empty
  std::string adminGroupName;  // AdminGroupName, when not empty
  std::string resourceUrl;     // ResourceURL, when not empty
  std::string resourceDir;     // ResourceDir, when not empty

  // The repository, named by home/config/repository.xml: the ODBC connection
  // string when given (its tables made beforehand, or one that is meant not
  // to answer), else an SQLite file made from `schema`.
  std::string repositoryOdbc;
  std::filesystem::path sqliteRepository;  // empty: dir/repository.db
  std::filesystem::path schema;            // sql/sqlite.sql

  std::variant<LocalAccounts, LdapDirectory> directory = LocalAccounts{};

  // Written below the home folder ("config/x.xml", its text), before the
  // instance's own files there.
  std::vector<std::pair<std::string, std::string>> homeFiles;
  bool serviceFolders = false;  // keys/, logs/ and resource/
  bool sample = false;          // sample.db, the data source "sample" (catalog "main", table "staff")
  bool transformers = false;    // home/transform/ naming the CSV and XHTML transformers

  // Software\Velt\Services "qsc", the locator OpenSession answers.
  std::string locator = "http://%s/QuorService/QuorServiceCore.sod";
  // Software\Velt\QuorService\ServiceInfo\local "Service", the console's
  // default service, when not empty.
  std::string consoleService;

  // Registered with `regsvr` ("quor-regsvr"), which runs with QUOR_REGISTRY
  // naming the registry file and QUOR_EVENTLOG `eventLog` when that is given.
  std::filesystem::path regsvr;
  std::vector<std::filesystem::path> components;
  std::filesystem::path eventLog;
};

// What a build found missing and made.
struct Built {
  std::filesystem::path registry;
  bool registryMade = false;
  bool accountsMade = false;
};

Result<Built> Build(const Options& options);

// The host's short name as an account store's computer name: letters,
// digits and '-', upper case, at most 15; `fallback` when none is left or
// it is `domain`.
std::string ComputerName(std::string_view domain, std::string_view fallback);

}  // namespace quor::instance
