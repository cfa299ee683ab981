// The second process of a cross-process benchmark, and the shared memory it
// talks through. A partner is forked after the database exists, so it
// inherits the attachment and the semaphore handles of this process.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
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

// What the two processes share besides the objects measured. The partner
// writes its totals once, when it ends.
struct Control {
  std::atomic<int32_t> ready;
  std::atomic<int32_t> stop;
  std::atomic<int64_t> served;
  std::atomic<int64_t> errors;
  std::atomic<int64_t> idlePolls;  // a buffer's reader: reads that found it empty
};
// Lock-free atomics work across processes: they are plain words.
static_assert(std::atomic<int32_t>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);

// The control block at the start of `shm`; null when the mapping failed.
Control *make_control(SharedMemory &shm);

// Starts `serve` in a partner process and waits until it runs; false after
// skipping the run with the reason.
bool start_partner(benchmark::State &state, Partner &partner, Control *ctl,
                   const std::function<int()> &serve);

// Stops the partner (`wake` unblocks it after the stop flag is raised) and
// checks that it served `expected` iterations without an error, else skips
// the run with the reason.
void stop_partner(benchmark::State &state, Partner &partner, Control *ctl,
                  const std::function<void()> &wake, int64_t expected);

}  // namespace zrdb::bench
