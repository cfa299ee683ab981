// The second process of a cross-process benchmark, and the shared memory it
// talks through. A partner is forked after the database exists, so it
// inherits the attachment and the semaphore handles of this process.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>

namespace zrdb::bench {

// An anonymous MAP_SHARED mapping, zero-filled; made before the fork, it is
// the same memory in both processes.
class SharedMemory {
 public:
  explicit SharedMemory(size_t bytes);
  ~SharedMemory();
  SharedMemory(const SharedMemory &) = delete;
  SharedMemory &operator=(const SharedMemory &) = delete;

  void *get() const { return addr_; }  // null when the mapping failed
  template <typename T>
  T *as() const {
    return static_cast<T *>(addr_);
  }

 private:
  void *addr_ = nullptr;
  size_t bytes_ = 0;
};

// A forked child that runs one function and ends with _exit(its result). It
// never runs this process's exit handlers or fatal-signal handlers (those
// remove the database), and it is killed when this process dies, however
// that happens. The destructor kills and reaps a child still running, so an
// early return from a benchmark cannot leave one behind.
class Partner {
 public:
  Partner() = default;
  ~Partner();
  Partner(const Partner &) = delete;
  Partner &operator=(const Partner &) = delete;

  // Forks and runs `serve` in the child. False when fork failed.
  bool start(const std::function<int()> &serve);

  // Waits up to `limitMs` for the child to end by itself (the caller has
  // asked it to), then kills it. Returns its exit status, or -1 when it had
  // to be killed or died by a signal.
  int finish(int limitMs = 5000);

  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// Waiting for the other process without a system call while it is likely
// to be running on the other core, then giving the core away.
class Backoff {
 public:
  void pause();
  void reset() { spins_ = 0; }

 private:
  unsigned spins_ = 0;
};

// Calls `ready` until it returns true, for at most `limitMs`; false on
// time-out.
bool wait_for(const std::function<bool()> &ready, int limitMs = 5000);

}  // namespace zrdb::bench
