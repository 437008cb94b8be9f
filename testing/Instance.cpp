#include "testing/Instance.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

#include "platform/directory/accounts.h"
#include "platform/odbc/odbc.h"
#include "platform/registry/registry.h"
#include "platform/xml/escape.h"

extern char** environ;

namespace quor::instance {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kServiceKey = "Software\\Velt\\QuorService";
constexpr std::string_view kVeltKey = "Software\\Velt";

Status Failed(std::string message) { return Status(E_FAIL, std::move(message)); }

Status WriteFile(const fs::path& file, std::string_view text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return Failed("cannot write " + file.string());
  return {};
}

Status WriteFileIfMissing(const fs::path& file, std::string_view text) {
  return fs::exists(file) ? Status() : WriteFile(file, text);
}

// A data source setting's text, the connection string escaped for XML.
std::string OleDbSetting(std::string_view comment, std::string_view inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- " + std::string(comment) + " -->\n<OLEDBSetting>\n" +
         std::string(inner) + "</OLEDBSetting>\n";
}

// Runs the statements of `script` (each ends its line with ';'; lines that
// begin with "--" are left out) on a new SQLite file. The file is made under
// another name and renamed into place once complete, so that a failed build
// leaves nothing that a second one would take as made.
Status MakeSqliteFile(const fs::path& file, std::string_view script) {
  const fs::path pending = file.string() + ".new";
  std::error_code ignored;
  fs::remove(pending, ignored);
  {
    auto connection = std::make_shared<odbc::Connection>();
    if (Status opened = connection->Open("DRIVER={SQLite3};Database=" + pending.string(), 30); !opened.ok())
      return Failed("cannot make " + file.string() + ": " + opened.Text());
    std::istringstream lines{std::string(script)};
    std::string statement;
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("--")) continue;
      statement += line + "\n";
      if (line.find(';') == std::string::npos) continue;
      odbc::Statement run(connection);
      if (!run.valid()) return Failed("cannot make " + file.string() + ": " + run.allocationStatus().Text());
      if (Status done = run.Execute(statement); !done.ok())
        return Failed("cannot make " + file.string() + ": " + done.Text() + "\n" + statement);
      statement.clear();
    }
  }
  fs::rename(pending, file, ignored);
  if (ignored) return Failed("cannot rename " + pending.string() + ": " + ignored.message());
  return {};
}

Status MakeSqliteFromFile(const fs::path& file, const fs::path& schema) {
  if (schema.empty()) return Failed("no schema given for the new repository " + file.string());
  std::ifstream in(schema, std::ios::binary);
  if (!in) return Failed("cannot read " + schema.string());
  std::ostringstream text;
  text << in.rdbuf();
  return MakeSqliteFile(file, text.str());
}

class RegistryWriter {
 public:
  explicit RegistryWriter(const fs::path& file) : registry_(file), file_(file) {}

  Status String(std::string_view key, std::string_view name, std::string_view value) {
    reg::Key k(registry_);
    Status s = k.Create(reg::Hive::LocalMachine, key);
    if (s.ok()) s = k.SetString(name, value);
    return Checked(s, key, name);
  }
  Status Dword(std::string_view key, std::string_view name, uint32_t value) {
    reg::Key k(registry_);
    Status s = k.Create(reg::Hive::LocalMachine, key);
    if (s.ok()) s = k.SetDword(name, value);
    return Checked(s, key, name);
  }
  // A string value when `value` is not empty.
  Status Optional(std::string_view key, std::string_view name, std::string_view value) {
    return value.empty() ? Status() : String(key, name, value);
  }

 private:
  Status Checked(const Status& s, std::string_view key, std::string_view name) const {
    if (s.ok()) return s;
    return Failed("cannot write " + std::string(key) + "\\" + std::string(name) + " in " + file_.string() + ": " +
                  s.Text());
  }

  reg::Registry registry_;
  fs::path file_;
};

// The store is made under another name and renamed into place once complete,
// so an interrupted build starts it over.
Status MakeAccountStore(const std::string& file, const LocalAccounts& accounts) {
  const std::string pending = file + ".new";
  std::error_code ignored;
  fs::remove(pending, ignored);
  fs::remove(pending + ".lock", ignored);
  const uint32_t iterations = accounts.iterations ? accounts.iterations : dir::AccountStore::kDefaultIterations;
  if (const Status created = dir::CreateAccountStore(pending, accounts.domain, accounts.computer, iterations);
      !created.ok())
    return Failed("cannot make the account store " + file + ": " + created.message());
  const Status changed = dir::UpdateAccountStore(pending, [&](dir::AccountStore& store) -> Status {
    for (const Account& user : accounts.users) QUOR_RETURN_IF_ERROR(store.AddUser(user.name, "", "", user.password));
    std::vector<std::string> groups;
    for (const auto& [group, member] : accounts.members)
      if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
    for (const std::string& group : groups) QUOR_RETURN_IF_ERROR(store.AddGroup(group, ""));
    for (const auto& [group, member] : accounts.members) QUOR_RETURN_IF_ERROR(store.AddMember(group, member));
    return {};
  });
  if (!changed.ok()) return Failed("cannot fill the account store " + file + ": " + changed.message());
  fs::rename(pending, file, ignored);
  if (ignored) return Failed("cannot rename " + pending + ": " + ignored.message());
  fs::remove(pending + ".lock", ignored);
  return {};
}

// Runs `program` with `args` and the process's environment with
// `overrides` ("NAME=value") in place; its exit status and what it wrote to
// standard output and error.
struct Ran {
  int status = -1;
  std::string output;
};
Ran Run(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const std::string& o) {
      return entry.substr(0, entry.find('=') + 1) == std::string_view(o).substr(0, o.find('=') + 1);
    });
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  std::vector<std::string> owned{program};
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  Ran ran;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return ran;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc == 0) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) ran.output.append(buffer, n);
  } else {
    ran.output = program + ": cannot start it";
  }
  ::close(fds[0]);
  if (rc != 0) return ran;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ran;
}

constexpr std::string_view kSample =
    "CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT NOT NULL, dept TEXT);\n"
    "INSERT INTO staff VALUES (1, 'Ann', 'Sales'), (2, 'Bob', 'Support'), (3, 'Cy', 'Sales');\n";

Status MakeHome(const Options& options, const fs::path& home) {
  for (const auto& [path, text] : options.homeFiles)
    if (Status s = WriteFile(home / path, text); !s.ok()) return s;

  if (options.sample) {
    const fs::path sample = options.dir / "sample.db";
    if (!fs::exists(sample))
      if (Status s = MakeSqliteFile(sample, kSample); !s.ok()) return s;
    const std::string setting = OleDbSetting(
        "A data source for queries. Its account's rights are what a query can do.",
        "  <Provider>MSDASQL.1</Provider>\n  <DataSource>sample</DataSource>\n  <InitialCatalog>main</InitialCatalog>\n"
        "  <ExtendedProperties>DRIVER={SQLite3};Database=" + xml::Escaped(sample.string()) + "</ExtendedProperties>\n");
    if (Status s = WriteFileIfMissing(home / "config" / "sample.xml", setting); !s.ok()) return s;
  }

  std::string odbc = options.repositoryOdbc;
  if (odbc.empty()) {
    const fs::path file = options.sqliteRepository.empty() ? options.dir / "repository.db" : options.sqliteRepository;
    if (!fs::exists(file))
      if (Status s = MakeSqliteFromFile(file, options.schema); !s.ok()) return s;
    odbc = "DRIVER={SQLite3};Database=" + file.string();
  }
  const std::string definition =
      OleDbSetting(options.repositoryOdbc.empty() ? "The embedded repository database." : "The repository database.",
                   "  <quorservice>VODB</quorservice>\n  <Provider>MSDASQL.1</Provider>\n  <ExtendedProperties>" +
                       xml::Escaped(odbc) + "</ExtendedProperties>\n");
  if (Status s = WriteFileIfMissing(home / "config" / "repository.xml", definition); !s.ok()) return s;

  if (options.transformers) {
    for (const auto& [name, progId] : {std::pair{"csv", "FlatConvert.TransCSV"}, {"xhtml", "GridPage.TransXHTML"}}) {
      const std::string text = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<QuorTransform>\n  <transform>\n") +
                               "    <ProgID>" + progId + "</ProgID>\n    <Method>Convert</Method>\n  </transform>\n" +
                               "</QuorTransform>\n";
      if (Status s = WriteFileIfMissing(home / "transform" / (std::string(name) + ".xml"), text); !s.ok()) return s;
    }
  }
  return {};
}

}  // namespace

std::string ComputerName(std::string_view domain, std::string_view fallback) {
  char host[256] = {};
  std::string name;
  if (::gethostname(host, sizeof host - 1) == 0) {
    for (const char* c = host; *c && *c != '.' && name.size() < 15; ++c)
      if (std::isalnum(static_cast<unsigned char>(*c)) || *c == '-')
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  }
  return name.empty() || name == domain ? std::string(fallback) : name;
}

Result<Built> Build(const Options& options) {
  Built built;
  if (options.dir.empty()) return Failed("no instance folder given");
  const fs::path home = options.dir / "home";
  std::error_code error;
  for (const char* folder : {"config", "unifier", "transform"}) fs::create_directories(home / folder, error);
  if (options.serviceFolders)
    for (const char* folder : {"keys", "logs", "resource"}) fs::create_directories(options.dir / folder, error);
  if (error) return Failed("cannot make the folders of " + options.dir.string() + ": " + error.message());

  built.registry = options.registry.empty() ? options.dir / "registry.reg" : options.registry;
  built.registryMade = !fs::exists(built.registry);

  if (Status s = MakeHome(options, home); !s.ok()) return s;

  const auto* local = std::get_if<LocalAccounts>(&options.directory);
  if (local) {
    const std::string accounts = built.registry.string() + ".accounts";
    if (!fs::exists(accounts)) {
      if (Status s = MakeAccountStore(accounts, *local); !s.ok()) return s;
      built.accountsMade = true;
    }
  }

  RegistryWriter registry(built.registry);
  Status s;
  if (built.registryMade) {
    s = registry.String(kServiceKey, "HomeDir", home.string());
    if (s.ok()) s = registry.String(kServiceKey, "LogLevel", options.logLevel);
    if (s.ok()) s = registry.Dword(kServiceKey, "CompressThreshold", options.compressThreshold);
    for (const auto& [name, value] : options.serviceDwords)
      if (s.ok()) s = registry.Dword(kServiceKey, name, value);
  }
  // What sign-in and the service core need of the directory; later edits
  // are kept while the directory stays.
  if (s.ok() && (built.registryMade || built.accountsMade)) {
    if (local) {
      const std::string authority = "WinNT://" + local->domain;
      s = registry.String(kVeltKey, "DefaultAuthority", authority);
      if (s.ok()) s = registry.String(kVeltKey, "DefaultRealm", local->domain);
      if (s.ok()) s = registry.String(kServiceKey, "RootContext", authority);
    } else {
      const auto& ldap = std::get<LdapDirectory>(options.directory);
      s = registry.String(kVeltKey, "DefaultAuthority", ldap.authority);
      if (s.ok()) s = registry.String(kVeltKey, "DefaultRealm", ldap.realm);
      if (s.ok()) s = registry.String(kServiceKey, "RootContext", ldap.authority);
      if (s.ok()) s = registry.String("Software\\Velt\\Directory", "ServiceUser", ldap.serviceUser);
      if (s.ok()) s = registry.String("Software\\Velt\\Directory", "ServicePassword", ldap.servicePassword);
    }
    if (s.ok()) s = registry.Optional(kServiceKey, "AdminUsers", options.adminUsers);
    if (s.ok()) s = registry.Optional(kServiceKey, "AdminGroupName", options.adminGroupName);
    if (s.ok()) s = registry.Optional(kServiceKey, "ResourceURL", options.resourceUrl);
    if (s.ok()) s = registry.Optional(kServiceKey, "ResourceDir", options.resourceDir);
  }
  // Every build: the endpoint may have changed since the last.
  if (s.ok()) s = registry.Optional("Software\\Velt\\QuorService\\ServiceInfo\\local", "Service", options.consoleService);
  if (s.ok()) s = registry.Optional("Software\\Velt\\Services", "qsc", options.locator);
  if (!s.ok()) return s;

  std::vector<std::string> env{"QUOR_REGISTRY=" + built.registry.string()};
  if (!options.eventLog.empty()) env.push_back("QUOR_EVENTLOG=" + options.eventLog.string());
  for (const fs::path& library : options.components) {
    const Ran ran = Run(options.regsvr.string(), {"-s", library.string()}, env);
    if (ran.status != 0) return Failed("quor-regsvr " + library.string() + ": " + ran.output);
  }
  return built;
}

}  // namespace quor::instance
