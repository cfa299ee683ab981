// Named POSIX semaphores: the deadline arithmetic of the timed waits, kept
// apart from the clock so that it can be checked on its own. The wrappers
// themselves (hbdb_sem_*) are declared in zrdb.h.
#pragma once

#include <cstdint>
#include <ctime>

namespace zrdb {

// Absolute deadline of a wait of `microseconds` started at `now` (real-time
// clock). The carry into the seconds includes the microseconds of now, so
// the deadline is exact to the microsecond; the nanosecond sum is unsigned
// 32-bit, which cannot overflow since both terms are below 10^9.
timespec deadline_after_us(const timespec &now, uint32_t microseconds);

// Absolute deadline of a wait of `seconds` started at the whole second
// `nowSeconds`: the next whole second after now + seconds, so the wait
// lasts more than `seconds` and at most one second longer.
timespec deadline_after_seconds(time_t nowSeconds, uint32_t seconds);

// Waits on `sem` for at most `microseconds`, timed on the monotonic clock
// so that setting the system time does not move the deadline. 0 when
// taken, -1 with errno (ETIMEDOUT on time-out, EINVAL for a null handle).
int sem_wait_monotonic_us(void *sem, uint64_t microseconds);

// The waits of the semaphore items and of the call pattern first poll the
// semaphore for a short time: when the poster runs on another CPU, its
// answer usually comes within microseconds, and taking it without sleeping
// saves the two context switches of a futex wake-up. Only the time before
// blocking changes; results, deadlines and counts are those of the plain
// waits. The budget is per process: zrdb_setSpinWait, else ZRDB_SPIN_NS in
// the environment (read once), else the build's default, or 0 when this
// process may run on one CPU only (the poster then cannot run meanwhile).
// A thread whose polls keep finding nothing polls less often.
constexpr long kMaxSpinNs = 10000000;

// The budget in nanoseconds that ZRDB_SPIN_NS's text asks for, or -1 when
// the text is absent, not a plain decimal number, or above kMaxSpinNs.
long parse_spin_ns(const char *text);

// The budget a process starts with: ZRDB_SPIN_NS when usable, else 0 when
// it may run on one CPU only, else the build's default.
long initial_spin_ns();

// This process's current budget.
long spin_budget_ns();

// hbdb_sem_Wait and hbdb_sem_timedWait_us, polling first. The timed wait's
// deadline is taken when it is called, before the polling.
int sem_wait_spinning(void *sem);
int sem_timed_wait_us_spinning(void *sem, uint32_t microseconds);

}  // namespace zrdb
