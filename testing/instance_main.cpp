// quor-instance: prepares the instance folder that run.sh and
// install-service.sh serve (scripts/instance.sh), with the builder the tests
// and benchmarks use (testing/Instance.h).
//
//   quor-instance --dir DIR [--schema FILE] [--repository ODBC] [--bin DIR] [--lib DIR]
//                 [--console-service URL] [--locator URL] [--log-level LEVEL] [--password-file FILE]
//
// Prints the administrator's password when it made the account store now.
// Exit status: 0 done, 1 failed, 2 a wrong command line.

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/text/base64.h"
#include "testing/Instance.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: quor-instance --dir DIR [options]\n"
    "Prepares a service instance in DIR, making only what is missing: the registry file, the home folder\n"
    "(config/, unifier/, transform/ with the CSV and XHTML transformers), keys/, logs/, resource/, the\n"
    "repository, the data source \"sample\", the local account store (domain QUOR) with the user\n"
    "administrator, and the component libraries registered again each time.\n"
    "  --schema FILE          the tables of a new SQLite repository DIR/repository.db (sql/sqlite.sql)\n"
    "  --repository ODBC      the repository is this database, its tables made, instead\n"
    "  --bin DIR              where quor-regsvr is (default: this program's folder)\n"
    "  --lib DIR              the component libraries to register (default: ../lib from this program)\n"
    "  --console-service URL  the console's default service \"local\"\n"
    "  --locator URL          the locator OpenSession answers (default http://%s/QuorService/QuorServiceCore.sod)\n"
    "  --log-level LEVEL      LogLevel of a new registry file (default Normal)\n"
    "  --password-file FILE   the administrator's password, made when missing (default DIR/administrator.password)\n"
    "Prints the administrator's password when it made the account store now.\n";

int Usage(std::string_view why) {
  std::fprintf(stderr, "quor-instance: %.*s\n%s", static_cast<int>(why.size()), why.data(), kUsage);
  return 2;
}

// A fresh random password: 12 bytes, URL-safe Base64 without padding.
std::string NewPassword() {
  uint8_t bytes[12];
  size_t have = 0;
  while (have < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + have, sizeof bytes - have, 0);
    if (n > 0) have += static_cast<size_t>(n);
  }
  std::string text = quor::text::Base64Encode(bytes);
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

// The password kept in `file`, made when the file is missing or empty. The
// file is readable by its owner alone and appears complete or not at all.
bool PasswordFrom(const fs::path& file, std::string& password) {
  std::error_code ignored;
  if (!fs::exists(file) || fs::file_size(file, ignored) == 0) {
    const fs::path pending = file.string() + ".tmp";
    const mode_t before = ::umask(077);
    std::ofstream(pending, std::ios::binary | std::ios::trunc) << NewPassword() << "\n";
    ::umask(before);
    fs::rename(pending, file, ignored);
    if (ignored) return false;
  }
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, ignored);
  std::ifstream in(file);
  return static_cast<bool>(std::getline(in, password));
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string, std::less<>> given;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    static constexpr std::string_view kOptions[] = {"--dir",     "--schema",          "--repository",
                                                    "--bin",     "--lib",             "--console-service",
                                                    "--locator", "--log-level",       "--password-file"};
    bool known = false;
    for (std::string_view option : kOptions) known = known || arg == option;
    if (!known) return Usage("unknown argument " + std::string(arg));
    if (i + 1 >= argc) return Usage(std::string(arg) + " needs a value");
    given[std::string(arg)] = argv[++i];
  }
  const auto value = [&](std::string_view name, std::string fallback) {
    const auto it = given.find(name);
    return it == given.end() ? fallback : it->second;
  };
  if (value("--dir", "").empty()) return Usage("give the instance folder with --dir");

  std::error_code error;
  const fs::path dir = fs::absolute(value("--dir", ""), error);
  const fs::path self = fs::read_symlink("/proc/self/exe", error).parent_path();
  const fs::path bin = value("--bin", self.string());
  const fs::path lib = value("--lib", (self.parent_path() / "lib").string());

  quor::instance::Options options;
  options.dir = dir;
  options.logLevel = value("--log-level", "Normal");
  options.adminUsers = "administrator";
  options.resourceUrl = "/QuorService/resource";
  options.resourceDir = (dir / "resource").string();
  options.repositoryOdbc = value("--repository", "");
  options.schema = value("--schema", "");
  options.serviceFolders = options.sample = options.transformers = true;
  options.consoleService = value("--console-service", "");
  options.locator = value("--locator", options.locator);
  options.regsvr = bin / "quor-regsvr";
  for (const char* library : {"QuorServiceCore", "QuorAuth", "QuorAccessor", "FlatConvert", "GridPage", "QuorAdminMMC"})
    if (const fs::path file = lib / ("lib" + std::string(library) + ".so"); fs::exists(file))
      options.components.push_back(file);

  quor::instance::LocalAccounts accounts;
  accounts.computer = quor::instance::ComputerName(accounts.domain, "QUORHOST");
  if (fs::create_directories(dir, error); error) {
    std::fprintf(stderr, "quor-instance: cannot make %s: %s\n", dir.c_str(), error.message().c_str());
    return 1;
  }
  if (!fs::exists(dir / "registry.reg.accounts")) {
    const fs::path file = value("--password-file", (dir / "administrator.password").string());
    std::string password;
    if (!PasswordFrom(file, password) || password.empty()) {
      std::fprintf(stderr, "quor-instance: cannot keep the administrator's password in %s\n", file.c_str());
      return 1;
    }
    accounts.users.push_back({"administrator", password});
  }
  options.directory = accounts;

  const quor::Result<quor::instance::Built> built = quor::instance::Build(options);
  if (!built.ok()) {
    std::fprintf(stderr, "quor-instance: %s\n", built.status().Text().c_str());
    return 1;
  }
  if (built->accountsMade) std::printf("%s\n", accounts.users.front().password.c_str());
  return 0;
}
