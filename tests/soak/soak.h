/* What the participants of the crash soak share: the counters file, the
 * time-out checks and the payload pattern. */
#ifndef ZRDB_SOAK_H
#define ZRDB_SOAK_H

#define _GNU_SOURCE
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

enum { kSlackMs = 1000, kLockWaitUs = 2000000, kCallMs = 1000, kUdpReadMs = 1000 };
/* A VLINK transaction waits 5 s for its answer; an attach that binds the
 * master waits up to 21 s for a VLINK semaphore a killed caller kept. */
enum { kVlinkMs = 5000, kVlinkAttachMs = 21000, kBoxId = 2, kBoxLen = 64 };
enum { kLedgerWords = 8, kNoteLen = 48, kCbufSlots = 32, kPoolBins = 16, kFramePoll = 2000 };

/* Totals over the whole run, then the state of the current database. */
typedef struct {
  uint64_t ops, corrupt, overruns, expired, failures, vlinkChecked;
  uint64_t ledgerWrites, cbufNext, cbufLast, callNext, callLastServed;
  uint64_t calls, served, acked, udpNext, udpSent, udpEchoed, udpMatched, lockTaken;
  uint64_t cbufMissing, vlinkNext, vlinkConfirmed, vlinkOkMs, stuck;
} soak_stats;
_Static_assert(sizeof(soak_stats) == 24 * 8, "counters file layout");
#define EPOCH_FIRST ledgerWrites

extern soak_stats *st;
extern volatile sig_atomic_t stopping;
extern const char *role;

static inline uint64_t add(uint64_t *counter, uint64_t n) {
  return __atomic_add_fetch(counter, n, __ATOMIC_SEQ_CST);
}
static inline uint64_t get(const uint64_t *counter) {
  return __atomic_load_n(counter, __ATOMIC_SEQ_CST);
}
static inline void put(uint64_t *counter, uint64_t v) {
  __atomic_store_n(counter, v, __ATOMIC_SEQ_CST);
}

static inline void fault(uint64_t *counter, const char *what, unsigned long long seq) {
  add(counter, 1);
  fprintf(stderr, "soak %s[%d]: %s (seq %llu)\n", role, (int)getpid(), what, seq);
}

/* The boot-time clock, which the driver reads from /proc/uptime. */
static inline int64_t now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* A blocking call that returned later than its time-out allows. */
static inline void check_duration(int64_t since, int64_t timeoutMs, const char *what) {
  if (now_ms() - since > timeoutMs + kSlackMs) fault(&st->overruns, what, 0);
}

static inline void pause_us(long us) {
  struct timespec ts = {us / 1000000L, (us % 1000000L) * 1000L};
  nanosleep(&ts, NULL);
}

/* The bytes of payload `seq`: equal only for equal sequence numbers. */
static inline unsigned char pattern(uint64_t seq, int at) {
  return (unsigned char)(seq * 131u + (unsigned)at * 7u + 1u);
}
static inline void fill(unsigned char *p, int n, uint64_t seq) {
  for (int i = 0; i < n; ++i) p[i] = pattern(seq, i);
}
static inline int matches(const unsigned char *p, int n, uint64_t seq) {
  for (int i = 0; i < n; ++i)
    if (p[i] != pattern(seq, i)) return 0;
  return 1;
}

/* The roles of soak_flows.c. */
enum { CMD, REQS, REQ_SEM, ACK_SEM };
extern const char *const kCallItems[];
void run_producer(int32_t cbuf);
void run_consumer(int32_t cbuf);
void run_server(const int32_t *ids);
void run_client(const int32_t *ids);
void run_pipeline(const int32_t *ids);
void run_udpsrv(int32_t srv);
void run_udpcli(int32_t cli);
void run_vlink(int32_t master);

#endif
