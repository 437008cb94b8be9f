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
#include "platform/soap/listener.h"

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
