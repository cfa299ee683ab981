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

}  // namespace zrdb
