// The gate of one store's operations. An operation that writes passes alone:
// a lock test and the lock write, an ACL read and its write, see the same
// row. Operations that only read pass together (the database gives each
// statement a committed state), so one slow reader never holds up another.
//
// A thread already inside enters again freely, as operations build on one
// another. A writer may call readers; a reader never calls a writer (it
// could not become one while other readers are inside).
#pragma once

#include <cassert>
#include <shared_mutex>
#include <vector>

namespace quor::core {

class OperationGate {
 public:
  OperationGate() = default;
  OperationGate(const OperationGate&) = delete;
  OperationGate& operator=(const OperationGate&) = delete;

  // Inside the gate from construction to destruction, as a writer or not.
  template <bool kWriting>
  class Passage {
   public:
    explicit Passage(OperationGate& gate) : gate_(gate) { gate_.Enter(kWriting); }
    ~Passage() { gate_.Leave(); }
    Passage(const Passage&) = delete;
    Passage& operator=(const Passage&) = delete;

   private:
    OperationGate& gate_;
  };
  using Reading = Passage<false>;
  using Writing = Passage<true>;

 private:
  struct Held {
    const OperationGate* gate;
    bool writing;
    int depth;
  };

  // The gates the calling thread is inside, with how it entered.
  static std::vector<Held>& HeldByThread() {
    thread_local std::vector<Held> held;
    return held;
  }

  static Held* Find(const OperationGate* gate) {
    for (Held& h : HeldByThread())
      if (h.gate == gate) return &h;
    return nullptr;
  }

  void Enter(bool writing) {
    if (Held* h = Find(this)) {
      assert((h->writing || !writing) && "a reading operation called a writing one");
      ++h->depth;
      return;
    }
    if (writing)
      mutex_.lock();
    else
      mutex_.lock_shared();
    HeldByThread().push_back({this, writing, 1});
  }

  void Leave() {
    auto& held = HeldByThread();
    for (auto it = held.begin(); it != held.end(); ++it) {
      if (it->gate != this) continue;
      if (--it->depth > 0) return;
      const bool writing = it->writing;
      held.erase(it);
      if (writing)
        mutex_.unlock();
      else
        mutex_.unlock_shared();
      return;
    }
  }

  std::shared_mutex mutex_;
};

}  // namespace quor::core
