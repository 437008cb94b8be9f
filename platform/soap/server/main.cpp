// quor-server: the web server's SOAP listener (see platform/soap/listener.h).
//
// Prints "listening on ADDRESS:PORT" once bound, serves until SIGTERM or
// SIGINT, then stops cleanly. Exit status: 0 stopped by a signal, 1 cannot
// listen or serving failed, 2 bad command line.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/eventlog/eventlog.h"
#include "platform/registry/registry.h"
#include "platform/soap/listener.h"

namespace {

// Without --resource-url, the resource folder is the service's own:
// ResourceDir published under the path of ResourceURL (a base URL such as
// "http://host:8080/QuorService/resource", or just its path).
void ResourceFolderFromRegistry(quor::soap::ListenerOptions& options) {
  quor::reg::Key key;
  std::string url, dir;
  if (key.Open(quor::reg::Hive::LocalMachine, "Software\\Velt\\QuorService") != quor::ERROR_SUCCESS ||
      key.GetString("ResourceURL", url) != quor::ERROR_SUCCESS ||
      key.GetString("ResourceDir", dir) != quor::ERROR_SUCCESS || url.empty() || dir.empty())
    return;
  if (const size_t scheme = url.find("://"); scheme != std::string::npos) {
    const size_t path = url.find('/', scheme + 3);
    url = path == std::string::npos ? std::string() : url.substr(path);
  }
  while (url.size() > 1 && url.back() == '/') url.pop_back();
  if (url.size() < 2 || url[0] != '/') return;
  options.resourceUrl = url;
  options.resourceDir = dir;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  quor::soap::ListenerOptions options;
  std::string error;
  bool help = false;
  if (!quor::soap::ParseCommandLine(args, options, error, help)) {
    std::fprintf(stderr, "quor-server: %s\n%s", error.c_str(), std::string(quor::soap::Usage()).c_str());
    return 2;
  }
  if (help) {
    std::fputs(std::string(quor::soap::Usage()).c_str(), stdout);
    return 0;
  }
  if (options.resourceUrl.empty()) ResourceFolderFromRegistry(options);

  // The signals are taken by sigwait below; every thread started from here
  // on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  int status = 0;
  {
    quor::soap::Listener listener(std::move(options));
    if (!listener.Bind(error)) {
      std::fprintf(stderr, "quor-server: %s\n", error.c_str());
      quor::eventlog::EventSource("QuorServer").Report(quor::eventlog::EventType::Error, 3, {error});
      return 1;
    }
    std::printf("listening on %s:%d\n", listener.Options().address.c_str(), listener.Port());
    std::fflush(stdout);

    std::atomic<bool> finished{false};
    std::atomic<bool> failed{false};
    std::thread serving([&] {
      failed = !listener.Run();
      finished = true;
      // Wake the waiting main thread when serving ended on its own.
      ::kill(::getpid(), SIGTERM);
    });
    int received = 0;
    sigwait(&signals, &received);
    // A stop issued before the server loop has started is lost: repeat it.
    while (!finished) {
      listener.Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    serving.join();
    status = failed ? 1 : 0;
  }
  return status;
}
