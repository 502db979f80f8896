// The library's lock: std::mutex where the build can run threads; where it cannot (WebAssembly
// without the atomics feature has no shared memory, so no second thread can ever touch the
// library's state, and its libc++ has no std::mutex), a lock that does nothing.
#pragma once

#if defined(__wasm__) && !defined(__wasm_atomics__)
#define TAVIK_SINGLE_THREADED 1
#else
#include <mutex>
#endif

namespace tavik {

#if defined(TAVIK_SINGLE_THREADED)
struct Lock {
  void lock() {}
  void unlock() {}
};
#else
using Lock = std::mutex;
#endif

// Holds a Lock for its lifetime (std::lock_guard, which a single-threaded libc++ lacks).
class LockHold {
 public:
  explicit LockHold(Lock &l) : l_(l) { l_.lock(); }
  ~LockHold() { l_.unlock(); }
  LockHold(const LockHold &) = delete;
  LockHold &operator=(const LockHold &) = delete;

 private:
  Lock &l_;
};

}  // namespace tavik
