// quor-regsvr: registers or unregisters an in-process component server.
//
//   quor-regsvr [-u] [-s] <library>
//
// Loads the library (the path is used as given, never through a shell) and
// calls its DllRegisterServer, or DllUnregisterServer with -u. The registry
// is the file named by QUOR_REGISTRY. -s prints nothing on success.
// Exit status: 0 done, 1 usage, 2 no such file, 3 not a loadable library,
// 4 not a component server, 5 the entry failed.

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/com/errorinfo.h"
#include "platform/com/hresult.h"
#include "platform/com/server.h"

namespace {

int Usage() {
  std::fputs("usage: quor-regsvr [-u] [-s] <library>\n"
             "  registers (or with -u unregisters) the component server <library>\n",
             stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  bool silent = false;
  const char* library = nullptr;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && arg == "-u") {
      unregister = true;
    } else if (options && arg == "-s") {
      silent = true;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "quor-regsvr: unknown option %s\n", argv[i]);
      return Usage();
    } else if (!library) {
      library = argv[i];
    } else {
      std::fputs("quor-regsvr: give exactly one library\n", stderr);
      return Usage();
    }
  }
  if (!library || !*library) return Usage();

  struct stat st {};
  if (::stat(library, &st) != 0) {
    std::fprintf(stderr, "quor-regsvr: %s: %s\n", library, std::strerror(errno));
    return 2;
  }
  if (!S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "quor-regsvr: %s: not a file\n", library);
    return 3;
  }
  // An absolute path: dlopen must not search for a bare name, and the server
  // records the path it was loaded from.
  char* resolved = ::realpath(library, nullptr);
  if (!resolved) {
    std::fprintf(stderr, "quor-regsvr: %s: %s\n", library, std::strerror(errno));
    return 2;
  }
  std::string path = resolved;
  std::free(resolved);

  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    std::fprintf(stderr, "quor-regsvr: %s: not a loadable shared library: %s\n", library, why ? why : "unknown reason");
    return 3;
  }
  const char* entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto entry = reinterpret_cast<quor::com::server::DllRegisterServerFn>(::dlsym(handle, entryName));
  if (!entry) {
    std::fprintf(stderr, "quor-regsvr: %s: not a component server (it does not export %s)\n", library, entryName);
    return 4;
  }
  quor::com::ClearErrorInfo();
  HRESULT hr = entry();
  if (FAILED(hr)) {
    std::string detail;
    if (auto info = quor::com::GetErrorInfo(); info && !info->description.Empty())
      detail = ": " + info->description.ToUtf8();
    std::fprintf(stderr, "quor-regsvr: %s: %s failed with 0x%08X (%s)%s\n", library, entryName,
                 static_cast<unsigned>(hr), quor::com::HResultText(hr).c_str(), detail.c_str());
    return 5;
  }
  if (!silent)
    std::printf("quor-regsvr: %s %s\n", unregister ? "unregistered" : "registered", path.c_str());
  // The library stays loaded until exit: its code may still be referenced by
  // exit handlers it registered.
  return 0;
}
