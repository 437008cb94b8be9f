#include "auth/util/lock.h"

#include <thread>

namespace quor::auth::util {

int CriticalSection::DefaultSpinCount() {
  static const int spin = std::thread::hardware_concurrency() > 1 ? 4000 : 0;
  return spin;
}

CriticalSection::CriticalSection(int spinCount) : spin_(spinCount < 0 ? DefaultSpinCount() : spinCount) {}

void CriticalSection::Enter() {
  for (int i = 0; i < spin_; ++i)
    if (mutex_.try_lock()) return;
  mutex_.lock();
}

}  // namespace quor::auth::util
