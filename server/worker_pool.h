// The workers the listener's blocking work runs on (component calls, files,
// the site configuration). A fixed number of threads take work from one
// queue. A call that turns out large (its answer begins to stream, or it
// holds more memory than a small call would) steps aside: its thread leaves
// the workers and a new thread takes its place, so that however many large
// calls run, and however slowly their clients read, small calls find as
// many workers as ever. A thread that stood aside ends with its work.
//
// Which threads may block on what: the I/O threads never block on a
// worker. A worker may block on the databases, the directory, the memory
// budget's bounded wait, and a full answer queue (a slow client) only once
// it stood aside. At most `maxAside` stand aside at once; past that a large
// call keeps its worker (the memory budget bounds large calls anyway).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "platform/base/thread_annotations.h"

namespace quor::soap {

class WorkerPool {
 public:
  WorkerPool(size_t workers, size_t maxAside);
  // Waits for the work queued and running to end.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Post(std::function<void()> work) QUOR_EXCLUDES(mutex_);
  // Ends the threads once the queue is empty and their work done.
  void Join() QUOR_EXCLUDES(mutex_);

  // From work running on a pool's thread: a new thread takes this one's
  // place among the workers. True when the thread stands aside (now or
  // already); false off the pool, or when too many stand aside.
  static bool StepAside();

  size_t Workers() const { return workers_; }
  // Threads standing aside now.
  size_t Aside() const QUOR_EXCLUDES(mutex_);

 private:
  // One thread's loop: takes work while it is a worker.
  void Run() QUOR_EXCLUDES(mutex_);
  bool LeaveWorkers() QUOR_EXCLUDES(mutex_);
  void Start() QUOR_REQUIRES(mutex_);
  // Joins the threads that ended (never the caller's own).
  void Reap(std::vector<std::thread>& ended) QUOR_REQUIRES(mutex_);

  const size_t workers_;
  const size_t maxAside_;
  mutable Mutex mutex_;
  std::condition_variable_any work_;  // work queued, or joining
  std::condition_variable_any gone_;  // a thread ended
  std::deque<std::function<void()>> queue_ QUOR_GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ QUOR_GUARDED_BY(mutex_);
  std::vector<std::thread::id> ended_ QUOR_GUARDED_BY(mutex_);  // not yet joined
  size_t aside_ QUOR_GUARDED_BY(mutex_) = 0;
  size_t live_ QUOR_GUARDED_BY(mutex_) = 0;  // threads that have not ended
  bool joining_ QUOR_GUARDED_BY(mutex_) = false;
};

}  // namespace quor::soap
