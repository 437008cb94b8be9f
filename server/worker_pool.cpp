#include "server/worker_pool.h"

#include <algorithm>
#include <utility>

namespace quor::soap {
namespace {

// Which pool the calling thread works for, and whether it stood aside.
struct Membership {
  WorkerPool* pool = nullptr;
  bool aside = false;
};
thread_local Membership t_member;

}  // namespace

WorkerPool::WorkerPool(size_t workers, size_t maxAside) : workers_(std::max<size_t>(1, workers)), maxAside_(maxAside) {
  MutexLock lock(mutex_);
  for (size_t i = 0; i < workers_; ++i) Start();
}

WorkerPool::~WorkerPool() { Join(); }

void WorkerPool::Start() {
  ++live_;
  threads_.emplace_back([this] { Run(); });
}

void WorkerPool::Post(std::function<void()> work) {
  std::vector<std::thread> ended;
  {
    MutexLock lock(mutex_);
    queue_.push_back(std::move(work));
    work_.notify_one();
    Reap(ended);
  }
  for (std::thread& t : ended) t.join();
}

void WorkerPool::Run() {
  t_member = {this, false};
  for (;;) {
    std::function<void()> work;
    {
      MutexLock lock(mutex_);
      while (queue_.empty() && !joining_) work_.wait(mutex_);
      if (queue_.empty()) break;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
    // What the work captured goes before the thread takes more, or ends.
    work = nullptr;
    // Another thread has this one's place: it ends with its work.
    if (t_member.aside) break;
  }
  MutexLock lock(mutex_);
  if (t_member.aside) --aside_;
  --live_;
  ended_.push_back(std::this_thread::get_id());
  gone_.notify_all();
}

bool WorkerPool::StepAside() {
  Membership& member = t_member;
  if (!member.pool) return false;
  if (member.aside) return true;
  if (!member.pool->LeaveWorkers()) return false;
  member.aside = true;
  return true;
}

bool WorkerPool::LeaveWorkers() {
  std::vector<std::thread> ended;
  {
    MutexLock lock(mutex_);
    if (joining_ || aside_ >= maxAside_) return false;
    ++aside_;
    Start();
    Reap(ended);
  }
  for (std::thread& t : ended) t.join();
  return true;
}

size_t WorkerPool::Aside() const {
  MutexLock lock(mutex_);
  return aside_;
}

void WorkerPool::Reap(std::vector<std::thread>& ended) {
  if (ended_.empty()) return;
  for (std::thread& t : threads_)
    if (std::find(ended_.begin(), ended_.end(), t.get_id()) != ended_.end()) ended.push_back(std::move(t));
  std::erase_if(threads_, [](const std::thread& t) { return !t.joinable(); });
  ended_.clear();
}

void WorkerPool::Join() {
  std::vector<std::thread> all;
  {
    MutexLock lock(mutex_);
    joining_ = true;
    work_.notify_all();
    while (live_ > 0) gone_.wait(mutex_);
    all = std::move(threads_);
    threads_.clear();
    ended_.clear();
  }
  for (std::thread& t : all)
    if (t.joinable()) t.join();
}

}  // namespace quor::soap
