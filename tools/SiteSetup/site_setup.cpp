// SiteSetup: prepares one web site for the service, or takes it off again.
//
//   SiteSetup HOST SITE LISTENER USER PASSWORD [ResDirWRITABLE]
//     adds the ".sod" and ".wsdl" script maps when missing, creates the
//     virtual directory "QuorService" (the current folder + "/IIS") when
//     absent, sets the anonymous account on the two service-description
//     files and, with "ResDirWRITABLE" (exact case) as sixth argument, makes
//     the folder "resource" writable.
//   SiteSetup
//     removes the virtual directory of site 1 on localhost and bumps the
//     site's unload counter; nothing to remove is not an error.
//
// Changes go to the site configuration file (platform/webconfig). Every
// failed step is reported on stderr as "QuorService Installation: <step>";
// the program goes on with the next file and exits 1 when anything failed,
// 2 on a wrong command line. Running it again with the same arguments leaves
// the file as it is.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/text/text.h"
#include "platform/webconfig/webconfig.h"

namespace {

namespace wc = quor::webconfig;

constexpr std::string_view kVirtualDirectory = "QuorService";
constexpr std::string_view kDefaultHost = "localhost";
constexpr std::string_view kWritableWord = "ResDirWRITABLE";
constexpr std::string_view kResourceFolder = "resource";
constexpr std::string_view kWsdlExecutable = "quor-server";
constexpr const char* kTitle = "QuorService Installation";

constexpr std::string_view kUsage =
    "usage: SiteSetup HOST SITE LISTENER USER PASSWORD [ResDirWRITABLE]\n"
    "       SiteSetup            (removes the QuorService virtual directory of site 1 on localhost)\n"
    "  Prepares site SITE of HOST for the service in the site configuration file\n"
    "  ($QUOR_SITE_CONFIG, else sites.xml beside the registry file).\n";

struct Arguments {
  std::string host, site, listener, user, password;
  bool resourceWritable = false;
};

class Setup {
 public:
  Setup(Arguments args, std::filesystem::path file) : args_(std::move(args)), file_(std::move(file)) {}

  // Both service-description files, then the resource folder; true when every step succeeded.
  bool Install() {
    ConfigureServiceFile("QuorServiceCore.xml");
    ConfigureServiceFile("QuorServiceCoreAdmin.xml");
    if (args_.resourceWritable) MakeResourceWritable();
    return !failed_;
  }

 private:
  void Report(std::string_view step, std::string_view why) {
    failed_ = true;
    std::fprintf(stderr, "%s: %.*s", kTitle, static_cast<int>(step.size()), step.data());
    if (!why.empty()) std::fprintf(stderr, " (%.*s)", static_cast<int>(why.size()), why.data());
    std::fputc('\n', stderr);
  }

  // One step, committed on its own: `edit` works on the bound site.
  bool Step(std::string_view step, const std::function<bool(wc::Site&, std::string&)>& edit) {
    std::string why;
    const quor::Status status =
        wc::Update(file_, [&](wc::SiteConfig& config) { return edit(config.Ensure(args_.host, number_), why); });
    // The file's failure is the one to tell; else what the edit refused.
    if (!status.ok()) why = status.message();
    if (!why.empty()) {
      Report(step, why);
      return false;
    }
    return true;
  }

  bool BindSite() {
    std::string why;
    const auto n = quor::text::ParseUInt32(args_.site);
    if (!quor::text::IsAsciiDigits(args_.site) || !n || *n == 0) {
      why = quor::text::Format("the site number \"%s\" is not a number from 1", args_.site);
    } else if (args_.host.empty() || args_.host.find_first_of("/\\ \t") != std::string::npos) {
      why = quor::text::Format("the host name \"%s\" is not usable", args_.host);
    } else {
      number_ = *n;
      const quor::Status loaded = wc::Load(file_).status();
      if (loaded.ok()) return true;
      why = loaded.message();
    }
    Report("Get Web Server Object", why);
    return false;
  }

  void ConfigureServiceFile(std::string_view fileName) {
    if (!BindSite()) return;
    // Maps are recognised by their extension field, compared without case.
    if (!Step("Get Script Maps", [](wc::Site&, std::string&) { return false; })) return;
    if (!Step("Add .sod map", [&](wc::Site& site, std::string& why) {
          if (site.FindScriptMap(".sod")) return false;
          if (args_.listener.empty() || args_.listener.find(',') != std::string::npos) {
            why = quor::text::Format("the listener path \"%s\" is empty or holds a comma", args_.listener);
            return false;
          }
          site.scriptMaps.push_back(".sod," + args_.listener + ",5,POST");
          return true;
        }))
      return;
    if (!Step("Add .wsdl map", [&](wc::Site& site, std::string&) {
          if (site.FindScriptMap(".wsdl")) return false;
          site.scriptMaps.push_back(".wsdl," + std::string(kWsdlExecutable) + ",5,GET, POST, HEAD");
          return true;
        }))
      return;
    if (!Step("Get QuorService Directory Object", [&](wc::Site& site, std::string& why) {
          if (site.FindVirtualDirectory(kVirtualDirectory)) return false;
          std::error_code ec;
          const std::filesystem::path here = std::filesystem::current_path(ec);
          if (ec) {
            why = "the current folder is unknown: " + ec.message();
            return false;
          }
          site.virtualDirectories.push_back({std::string(kVirtualDirectory), (here / "IIS").string(), {}, {}});
          return true;
        }))
      return;
    Step("Get " + std::string(fileName) + " Object", [&](wc::Site& site, std::string&) {
      wc::VirtualDirectory* vd = site.FindVirtualDirectory(kVirtualDirectory);
      if (!vd) return false;
      wc::FileSettings* f = vd->FindFile(fileName);
      if (!f) {
        vd->files.push_back({std::string(fileName), {}, false, false});
        f = &vd->files.back();
      }
      f->anonymousUserName = args_.user;
      // Only whether a password was given is kept, never the password.
      f->anonymousPasswordGiven = !args_.password.empty();
      f->anonymousPasswordSync = false;
      return true;
    });
  }

  void MakeResourceWritable() {
    if (!BindSite()) return;
    Step("Get resource Directory Object", [&](wc::Site& site, std::string& why) {
      wc::VirtualDirectory* vd = site.FindVirtualDirectory(kVirtualDirectory);
      if (!vd) {
        why = "the QuorService virtual directory is missing";
        return false;
      }
      vd->EnsureDirectory(kResourceFolder).accessWrite = true;
      return true;
    });
  }

  Arguments args_;
  std::filesystem::path file_;
  uint32_t number_ = 0;
  bool failed_ = false;
};

// Takes the virtual directory off and unloads the site's applications.
// Nothing to remove is success; a file that cannot be read is reported
// (and left as it is).
bool Remove(const std::filesystem::path& file) {
  const quor::Status status = wc::Update(file, [](wc::SiteConfig& config) {
    wc::Site* site = config.Find(kDefaultHost, 1);
    if (!site) return false;
    ++site->unloadCount;
    site->RemoveVirtualDirectory(kVirtualDirectory);
    return true;
  });
  if (status.ok()) return true;
  std::fprintf(stderr, "%s: Remove Virtual Dir (%s)\n", kTitle, status.message().c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const std::filesystem::path file = wc::DefaultPath();
  if (args.empty()) return Remove(file) ? 0 : 1;
  if (args.size() < 5) {
    std::fputs(std::string(kUsage).c_str(), stderr);
    return 2;
  }
  Arguments a{std::string(args[0]), std::string(args[1]), std::string(args[2]), std::string(args[3]),
              std::string(args[4]), args.size() == 6 && args[5] == kWritableWord};
  return Setup(std::move(a), file).Install() ? 0 : 1;
}
