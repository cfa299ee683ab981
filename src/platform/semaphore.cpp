// Thin wrappers over POSIX named semaphores. A handle is the sem_t pointer
// that sem_open returned; a null handle fails with EINVAL instead of
// reaching the system, so an item whose semaphore never opened cannot crash.
#include "platform/semaphore.h"

#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core.h"
#include "platform/regular_file.h"

// The build's budget (CMake cache variable ZRDB_SPIN_NS_DEFAULT): long
// enough to cover a wake-up on another CPU, short against a time slice.
#ifndef ZRDB_SPIN_NS_DEFAULT
#define ZRDB_SPIN_NS_DEFAULT 20000
#endif

namespace zrdb {

static_assert(ZRDB_SPIN_NS_DEFAULT >= 0 && ZRDB_SPIN_NS_DEFAULT <= kMaxSpinNs,
              "ZRDB_SPIN_NS_DEFAULT must lie in 0..10000000 ns");

timespec deadline_after_us(const timespec &now, uint32_t microseconds) {
  constexpr uint32_t kMicrosPerSecond = 1000000;
  constexpr uint32_t kNanosPerSecond = 1000000000;
  const auto nanos = static_cast<uint32_t>(now.tv_nsec);
  timespec deadline{};
  // 64-bit so that a timeout near 2^32 microseconds cannot wrap the carry.
  deadline.tv_sec =
      now.tv_sec + static_cast<time_t>((uint64_t{nanos / 1000} + microseconds) / kMicrosPerSecond);
  deadline.tv_nsec = static_cast<long>(
      (nanos + (microseconds % kMicrosPerSecond) * uint32_t{1000}) % kNanosPerSecond);
  return deadline;
}

timespec deadline_after_seconds(time_t nowSeconds, uint32_t seconds) {
  // Summed in 64 bits and saturated: with a 32-bit time_t a wait of more
  // than about 2^31 - now seconds would otherwise wrap to a deadline in the
  // past and end at once.
  const int64_t limit = std::numeric_limits<time_t>::max();
  const int64_t now = nowSeconds;
  timespec deadline{};
  deadline.tv_sec = now > limit - int64_t{seconds} - 1 ? static_cast<time_t>(limit)
                                                       : static_cast<time_t>(now + seconds + 1);
  return deadline;
}

namespace {

sem_t *as_sem(void *handle) { return static_cast<sem_t *>(handle); }

int invalid_handle() {
  errno = EINVAL;
  return -1;
}

// A signal handler that interrupts a wait must not look like a taken
// semaphore or a time-out: the wait goes on towards the same deadline.
// `deadline` is read on `clock`.
int timed_wait(sem_t *sem, const timespec &deadline, clockid_t clock = CLOCK_REALTIME) {
  int rc = 0;
  do {
    rc = sem_clockwait(sem, clock, &deadline);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Polling a semaphore only pays when its poster can run meanwhile.
bool single_cpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) == 1) return true;
  return sysconf(_SC_NPROCESSORS_ONLN) == 1;
}

// Initialised on first use, so the environment is read once.
std::atomic<long> &spin_budget() {
  static std::atomic<long> budget{initial_spin_ns()};
  return budget;
}

uint64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Tells the CPU that this is a busy-wait: it yields pipeline resources to
// a sibling hardware thread and saves power.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield" ::: "memory");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// One round of polls between two clock reads: 1 when a token was taken, 0
// when none came, -1 when the handle is broken (the wait then reports it).
// A failed poll only reads the count, so the poster's cache line is not
// fought over.
int poll_round(sem_t *sem) {
  constexpr int kPollsPerClockRead = 8;
  for (int i = 0; i < kPollsPerClockRead; ++i) {
    if (sem_trywait(sem) == 0) return 1;
    if (errno != EAGAIN) return -1;
    cpu_relax();
  }
  return 0;
}

// Polling pays only when the poster answers within the budget. When it
// does not, it is usually not running: it shares this CPU (then polling
// delays it by the whole budget), or it answers much later. So a thread
// whose polls keep finding nothing skips polling for a growing number of
// waits, then tries again; one token found by polling ends the back-off.
struct PollHistory {
  uint32_t misses = 0;  // polls in a row that found nothing
  uint32_t skips = 0;   // waits still to block without polling
};
thread_local PollHistory pollHistory;

constexpr uint32_t kMissesBeforeSkipping = 2;
constexpr uint32_t kMaxSkipShift = 8;  // at most 256 waits without polling

// The polling step of every wait: tries to take a token for at most
// `limitNs` (the budget, cut to the wait's own time-out). True when taken,
// and then it is the token the blocking wait would have taken. errno is
// left as it was.
bool spin_take(sem_t *sem, uint64_t limitNs) {
  PollHistory &h = pollHistory;
  if (limitNs == 0) return false;
  const int savedErrno = errno;
  // A token already there says nothing about polling: the blocking wait
  // would have taken it without sleeping too.
  if (sem_trywait(sem) == 0) return true;
  errno = savedErrno;
  if (h.skips > 0) {
    --h.skips;
    return false;
  }
  const uint64_t end = monotonic_ns() + limitNs;
  int got = 0;
  while ((got = poll_round(sem)) == 0 && monotonic_ns() < end) {
  }
  errno = savedErrno;
  if (got == 1) {
    h.misses = 0;
    return true;
  }
  if (++h.misses >= kMissesBeforeSkipping) {
    h.skips = 1u << std::min(h.misses - kMissesBeforeSkipping, kMaxSkipShift);
  }
  return false;
}

// The budget for a wait of `microseconds`: the polling never outlasts it.
uint64_t spin_limit_ns(uint64_t microseconds) {
  const auto budget = static_cast<uint64_t>(spin_budget_ns());
  return microseconds >= budget / 1000 + 1 ? budget : microseconds * 1000;
}

// Every user's processes wait on and post the database's semaphores.
constexpr mode_t kSemaphoreMode = 0666;

// sem_open's mode passes through the umask (0644 under the usual 022), so
// the file behind the semaphore gets its mode set afterwards. Clearing the
// umask around sem_open instead would change it for every thread of the
// process meanwhile. A semaphore that another user made is left as it is.
void open_to_all_users(const char *name) {
  // glibc and musl keep "/NAME" as /dev/shm/sem.NAME.
  const char *base = name + std::strspn(name, "/");
  char path[NAME_MAX + 16];
  std::snprintf(path, sizeof path, "/dev/shm/sem.%s", base);
  const int fd = open_regular_file(path, O_RDONLY | O_NOFOLLOW, 0, {.ownedOnly = true});
  if (fd < 0 && errno == EPERM) return;  // another user's semaphore
  if (fd < 0 || fchmod(fd, kSemaphoreMode) != 0) {
    const int err = errno;
    ZRDB_LOG(Warn, "%s: cannot set mode 0%o, other users may not open it: %s\n", path,
             static_cast<unsigned>(kSemaphoreMode), zrdb_fileProblem(err));
  }
  if (fd >= 0) close(fd);
}

// Takes the count down to at most 1 with non-blocking waits. The count is
// read once; a post that lands meanwhile is not accounted for.
void drain_to_one(sem_t *sem) {
  int n = 0;
  if (sem_getvalue(sem, &n) != 0) return;
  for (; n > 1; --n) sem_trywait(sem);
}

}  // namespace

int sem_wait_monotonic_us(void *sem, uint64_t microseconds) {
  if (sem == nullptr) return invalid_handle();
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t nanos = static_cast<uint64_t>(now.tv_nsec) + microseconds % 1000000 * 1000;
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(microseconds / 1000000 + nanos / 1000000000);
  deadline.tv_nsec = static_cast<long>(nanos % 1000000000);
  if (spin_take(as_sem(sem), spin_limit_ns(microseconds))) return 0;
  return timed_wait(as_sem(sem), deadline, CLOCK_MONOTONIC);
}

long parse_spin_ns(const char *text) {
  // Digits only: strtol alone would take a sign, blanks and a trailing rest.
  if (text == nullptr || *text == '\0' || std::strspn(text, "0123456789") != std::strlen(text)) {
    return -1;
  }
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  return errno != 0 || value > kMaxSpinNs ? -1 : value;
}

long initial_spin_ns() {
  if (const long fromEnv = parse_spin_ns(std::getenv("ZRDB_SPIN_NS")); fromEnv >= 0) {
    return fromEnv;
  }
  return single_cpu() ? 0 : ZRDB_SPIN_NS_DEFAULT;
}

long spin_budget_ns() { return spin_budget().load(std::memory_order_relaxed); }

int sem_wait_spinning(void *sem) {
  if (sem == nullptr) return invalid_handle();
  if (spin_take(as_sem(sem), spin_limit_ns(UINT64_MAX))) return 0;
  return hbdb_sem_Wait(sem);
}

int sem_timed_wait_us_spinning(void *sem, uint32_t microseconds) {
  if (sem == nullptr) return invalid_handle();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const timespec deadline = deadline_after_us(now, microseconds);
  if (spin_take(as_sem(sem), spin_limit_ns(microseconds))) return 0;
  return timed_wait(as_sem(sem), deadline);
}

}  // namespace zrdb

using zrdb::as_sem;

extern "C" {

void *hbdb_sem_Create(const char *name, uint32_t initial) {
  if (name == nullptr) return nullptr;
  sem_unlink(name);  // a stale semaphore of an earlier database
  sem_t *sem = sem_open(name, O_CREAT, zrdb::kSemaphoreMode, initial);
  if (sem == SEM_FAILED) {
    ZRDB_LOG(Err, "Create %s Semp failed, err = %s\n", name, std::strerror(errno));
    return nullptr;
  }
  zrdb::open_to_all_users(name);
  return sem;
}

void *hbdb_sem_Get(const char *name) {
  if (name == nullptr) return nullptr;
  sem_t *sem = sem_open(name, 0);
  if (sem == SEM_FAILED) {
    ZRDB_LOG(Err, "Get %s Semp failed, err = %s\n", name, std::strerror(errno));
    return nullptr;
  }
  return sem;
}

int hbdb_sem_Wait(void *sem) {
  if (sem == nullptr) return zrdb::invalid_handle();
  int rc = 0;
  do {
    rc = sem_wait(as_sem(sem));
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int hbdb_sem_Wait_binary(void *sem) {
  if (sem == nullptr) return zrdb::invalid_handle();
  zrdb::drain_to_one(as_sem(sem));
  return hbdb_sem_Wait(sem);
}

int hbdb_sem_timedWait(void *sem, uint32_t seconds) {
  if (sem == nullptr) return zrdb::invalid_handle();
  return zrdb::timed_wait(as_sem(sem), zrdb::deadline_after_seconds(time(nullptr), seconds));
}

int hbdb_sem_timedWait_us(void *sem, uint32_t microseconds) {
  if (sem == nullptr) return zrdb::invalid_handle();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return zrdb::timed_wait(as_sem(sem), zrdb::deadline_after_us(now, microseconds));
}

int hbdb_sem_timedWait_binary(void *sem, uint32_t seconds) {
  if (sem == nullptr) return zrdb::invalid_handle();
  zrdb::drain_to_one(as_sem(sem));
  return hbdb_sem_timedWait(sem, seconds);
}

int hbdb_sem_Post(void *sem) {
  if (sem == nullptr) return zrdb::invalid_handle();
  return sem_post(as_sem(sem));
}

int hbdb_sem_Post_binary(void *sem) {
  if (sem == nullptr) return zrdb::invalid_handle();
  int n = 0;
  if (sem_getvalue(as_sem(sem), &n) != 0) return -1;
  return n <= 1 ? sem_post(as_sem(sem)) : 0;
}

int hbdb_sem_Close(void *sem) {
  if (sem == nullptr) return zrdb::invalid_handle();
  return sem_close(as_sem(sem));
}

int hbdb_sem_Destroy(const char *name) {
  if (name == nullptr) return zrdb::invalid_handle();
  return sem_unlink(name);
}

int hbdb_sem_Get_Value(void *sem, int32_t *value) {
  if (value == nullptr) return -1;
  if (sem == nullptr) return zrdb::invalid_handle();
  int n = 0;
  const int rc = sem_getvalue(as_sem(sem), &n);
  if (rc == 0) *value = n;
  return rc;
}

long zrdb_setSpinWait(long nanoseconds) {
  if (nanoseconds < 0 || nanoseconds > zrdb::kMaxSpinNs) return -1;
  return zrdb::spin_budget().exchange(nanoseconds, std::memory_order_relaxed);
}

}  // extern "C"
