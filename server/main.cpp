// quor-server: the web server's SOAP listener (see server/listener.h).
//
// Prints "listening on ADDRESS:PORT" once bound, serves until SIGTERM or
// SIGINT, then stops cleanly. Exit status: 0 stopped by a signal, 1 cannot
// listen or serving failed, 2 bad command line or TLS files that cannot be
// used (checked before listening).
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/eventlog/eventlog.h"
#include "platform/odbc/odbc.h"
#include "platform/registry/registry.h"
#include "platform/text/url.h"
#include "server/listener.h"

namespace {

// Without --resource-url, the resource folder is the service's own:
// ResourceDir published under the path of ResourceURL (a base URL such as
// "http://host:8080/QuorService/resource", or just its path).
void ResourceFolderFromRegistry(quor::soap::ListenerOptions& options) {
  quor::reg::Key key;
  if (!key.Open(quor::reg::Hive::LocalMachine, "Software\\Velt\\QuorService").ok()) return;
  auto readUrl = key.GetString("ResourceURL");
  auto readDir = key.GetString("ResourceDir");
  if (!readUrl.ok() || !readDir.ok()) return;
  std::string url = std::move(*readUrl), dir = std::move(*readDir);
  if (url.empty() || dir.empty()) return;
  if (const auto parts = quor::text::SplitUrl(url)) url = std::string(parts->rest.substr(0, parts->rest.find('?')));
  while (url.size() > 1 && url.back() == '/') url.pop_back();
  if (url.size() < 2 || url[0] != '/') return;
  options.resourceUrl = url;
  options.resourceDir = dir;
}

}  // namespace

int main(int argc, char** argv) {
  // Every worker thread would otherwise get a malloc arena of its own, each
  // keeping the pages of the largest answer it ever built: resident memory
  // grows by hundreds of MB under large answers. A few shared arenas suffice.
  mallopt(M_ARENA_MAX, 2);
  // A buffer of 4 MiB or more (a content, a request body, an answer made
  // whole) is mapped on its own and goes back to the system when freed,
  // rather than staying in an arena once the call that held it ended; below
  // that, the arenas' reuse is cheaper than a mapping per call.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  // psqlODBC sets the character type from the environment on every connect
  // (setlocale is process-wide and not safe while other threads run): set it
  // once before any thread starts, so the process's locale does not change
  // under running calls, nor with the first connect to PostgreSQL.
  std::setlocale(LC_CTYPE, "");
  // Likewise what SQLite keeps for the whole process, before its first use.
  if (const quor::Status prepared = quor::odbc::PrepareDriverLibraries(); !prepared.ok())
    std::fprintf(stderr, "quor-server: %s\n", prepared.Text().c_str());

  std::vector<std::string_view> args(argv + 1, argv + argc);
  quor::soap::ListenerOptions options;
  bool help = false;
  if (const quor::Status parsed = quor::soap::ParseCommandLine(args, options, help); !parsed.ok()) {
    // The reason may quote an argument: escaped like an event, it stays one line.
    std::fprintf(stderr, "quor-server: %s\n%s", quor::eventlog::EscapeText(parsed.message()).c_str(),
                 std::string(quor::soap::Usage()).c_str());
    return 2;
  }
  if (help) {
    std::fputs(std::string(quor::soap::Usage()).c_str(), stdout);
    return 0;
  }
  if (options.resourceUrl.empty()) ResourceFolderFromRegistry(options);
  // Each connection is a descriptor (and so is each one refused with 503):
  // room for both at the cap, plus files and databases, as far as the hard
  // limit allows. Not simply the hard limit: a library that still calls
  // select() breaks on high descriptors, so none are handed out needlessly.
  if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    const rlim_t want = std::min<rlim_t>(files.rlim_max, 2 * options.maxConnections + 1024);
    if (files.rlim_cur < want) {
      files.rlim_cur = want;
      ::setrlimit(RLIMIT_NOFILE, &files);
    }
  }

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
    // Both refusals are printed and logged alike; only the exit status differs.
    const auto refuse = [](const quor::Status& failure, int exitStatus) {
      std::fprintf(stderr, "quor-server: %s\n", quor::eventlog::EscapeText(failure.message()).c_str());
      quor::eventlog::EventSource("QuorServer").Report(quor::eventlog::EventType::Error, 3, {failure.message()});
      return exitStatus;
    };
    if (const quor::Status loaded = listener.LoadTls(); !loaded.ok()) return refuse(loaded, 2);
    if (const quor::Status bound = listener.Bind(); !bound.ok()) return refuse(bound, 1);
    std::printf("listening on %s:%d\n", listener.Options().address.c_str(), listener.Port());
    std::fflush(stdout);

    std::atomic<bool> failed{false};
    std::thread serving([&] {
      failed = !listener.Run();
      // Wake the waiting main thread when serving ended on its own.
      ::kill(::getpid(), SIGTERM);
    });
    int received = 0;
    sigwait(&signals, &received);
    // Also right when Run has not started yet: it then returns at once.
    listener.Stop();
    serving.join();
    status = failed ? 1 : 0;
  }
  return status;
}
