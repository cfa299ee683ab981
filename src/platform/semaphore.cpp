// Thin wrappers over POSIX named semaphores. A handle is the sem_t pointer
// that sem_open returned; a null handle fails with EINVAL instead of
// reaching the system, so an item whose semaphore never opened cannot crash.
#include "platform/semaphore.h"

#include <fcntl.h>
#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "core.h"

namespace zrdb {

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
  return timed_wait(as_sem(sem), deadline, CLOCK_MONOTONIC);
}

}  // namespace zrdb

using zrdb::as_sem;

extern "C" {

void *hbdb_sem_Create(const char *name, uint32_t initial) {
  if (name == nullptr) return nullptr;
  sem_unlink(name);  // a stale semaphore of an earlier database
  sem_t *sem = sem_open(name, O_CREAT, 0666, initial);
  if (sem == SEM_FAILED) {
    ZRDB_LOG(Err, "Create %s Semp failed, err = %s\n", name, std::strerror(errno));
    return nullptr;
  }
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

}  // extern "C"
