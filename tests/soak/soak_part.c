/*
 * soak_part: one participant of the crash soak (scripts/soak.sh), which
 * starts, SIGKILLs and restarts these at random on one database.
 *
 *   soak_part ROLE DIR [PID]
 *
 * DIR holds soak.db and the counters file `stats`, shared by every
 * participant through mmap so that what a killed participant counted stays
 * counted. Every payload carries its sequence number and a pattern derived
 * from it: a torn, mixed, stale or reordered payload shows as a corruption.
 * Every blocking call has a time-out, and one that returns later than its
 * time-out plus kSlackMs counts as an overrun. A fault is also described on
 * standard error, which the driver keeps.
 *
 * Roles running until SIGTERM: writer, reader (values under the lock
 * semaphore), producer, consumer (circular buffer), server, client (the
 * synchronous call), pipeline (thread FIFO + pool, two threads), udpsrv,
 * udpcli (remote buffers on loopback). Driver helpers, run once: stuck
 * (exit 3 when the lock is held by a dead holder; PID is the participant
 * just killed), newepoch (clear the per-database state), final (check that
 * the counters add up), report (print the totals as shell variables).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "zrdb.h"
#include "zrdb_comm.h"
#include "zrdb_diag.h"
#include "zrdb_net.h"
#include "zrdb_threads.h"

enum { kSlackMs = 1000, kLockWaitUs = 2000000, kCallMs = 1000, kUdpReadMs = 1000 };
enum { kLedgerWords = 8, kNoteLen = 48, kCbufSlots = 32, kPoolBins = 16, kFramePoll = 2000 };

/* Totals over the whole run, then the state of the current database. */
typedef struct {
  uint64_t ops, corrupt, overruns, expired, failures;
  uint64_t ledgerWrites, cbufNext, cbufLast, callNext, callLastServed;
  uint64_t calls, served, acked, udpNext, udpSent, udpEchoed, udpMatched, lockTaken;
  uint64_t cbufMissing, stuck;
} soak_stats;
_Static_assert(sizeof(soak_stats) == 20 * 8, "counters file layout");
#define EPOCH_FIRST ledgerWrites

static soak_stats *st;
static volatile sig_atomic_t stopping;
static const char *role = "?";

static uint64_t add(uint64_t *counter, uint64_t n) { return __atomic_add_fetch(counter, n, __ATOMIC_SEQ_CST); }
static uint64_t get(const uint64_t *counter) { return __atomic_load_n(counter, __ATOMIC_SEQ_CST); }
static void put(uint64_t *counter, uint64_t v) { __atomic_store_n(counter, v, __ATOMIC_SEQ_CST); }

static void fault(uint64_t *counter, const char *what, unsigned long long seq) {
  add(counter, 1);
  fprintf(stderr, "soak %s[%d]: %s (seq %llu)\n", role, (int)getpid(), what, seq);
}

static int64_t now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* A blocking call that returned later than its time-out allows. */
static void check_duration(int64_t since, int64_t timeoutMs, const char *what) {
  if (now_ms() - since > timeoutMs + kSlackMs) fault(&st->overruns, what, 0);
}

static void pause_us(long us) {
  struct timespec ts = {us / 1000000L, (us % 1000000L) * 1000L};
  nanosleep(&ts, NULL);
}

/* The bytes of payload `seq`: equal only for equal sequence numbers. */
static unsigned char pattern(uint64_t seq, int at) { return (unsigned char)(seq * 131u + (unsigned)at * 7u + 1u); }
static void fill(unsigned char *p, int n, uint64_t seq) {
  for (int i = 0; i < n; ++i) p[i] = pattern(seq, i);
}
static int matches(const unsigned char *p, int n, uint64_t seq) {
  for (int i = 0; i < n; ++i)
    if (p[i] != pattern(seq, i)) return 0;
  return 1;
}

static void drop_log(int level, const char *function, const char *message, void *user) {
  (void)level, (void)function, (void)message, (void)user;
}

static int map_stats(const char *dir) {
  char path[512];
  snprintf(path, sizeof path, "%s/stats", dir);
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  void *m = mmap(NULL, sizeof *st, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (m == MAP_FAILED) return -1;
  st = m;
  return 0;
}

/* Marks in DIR/m tell the driver whether a kill hit the attach. */
static void mark(const char *dir, char kind) {
  char path[512];
  snprintf(path, sizeof path, "%s/m/%d.%c", dir, (int)getpid(), kind);
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

static int32_t item(const char *name) {
  const int32_t id = zrdb_findItem(name);
  if (id < 0) fprintf(stderr, "soak %s: item %s not found\n", role, name);
  return id;
}

/* Attaches binding the named items (NULL-terminated); ids in `ids`. */
static int attach(const char *dir, const char *const *names, int32_t *ids) {
  char db[512];
  int32_t list[8];
  int n = 0;
  snprintf(db, sizeof db, "%s/soak.db", dir);
  mark(dir, 's');
  if (zrdb_cfgParse(db) != 0) return -1;
  for (; names[n] != NULL; ++n)
    if ((list[n] = ids[n] = item(names[n])) < 0) return -1;
  list[n] = -1;
  if (zrdb_Init(HBUSER_CLIENT, list) != 0) return -1;
  mark(dir, 'a');
  return 0;
}

/* ---- values under the lock semaphore ---------------------------------- */

enum { LOCK, LEDGER, NOTE, HOLDER };
static const char *const kValueItems[] = {"lock", "ledger", "note", "holder", NULL};

static uint32_t ledger_word(uint64_t seq, int i) { return (uint32_t)seq * (2654435761u + 2u * (unsigned)i); }
static void note_text(uint64_t seq, char *out) {
  memset(out, 0, kNoteLen);
  if (seq == 0) snprintf(out, kNoteLen, "n:0"); /* the database file's value */
  else snprintf(out, kNoteLen, "n:%llu:%08x", (unsigned long long)seq, ledger_word(seq, 5));
}

static void write_ledger(const int32_t *ids, uint64_t seq) {
  uint32_t words[kLedgerWords];
  char note[kNoteLen];
  for (int i = 0; i < kLedgerWords; ++i) words[i] = ledger_word(seq, i);
  note_text(seq, note);
  zrdb_setValue(ids[LEDGER], words, sizeof words);
  zrdb_setValue(ids[NOTE], note, kNoteLen);
}

/* The ledger and note, read under the lock: one write, whole, the last. */
static uint64_t check_ledger(const int32_t *ids) {
  uint32_t words[kLedgerWords];
  char note[kNoteLen], want[kNoteLen];
  zrdb_getValue(ids[LEDGER], words, sizeof words);
  zrdb_getValue(ids[NOTE], note, kNoteLen);
  const uint64_t seq = get(&st->ledgerWrites);
  add(&st->ops, 1);
  note_text(seq, want);
  for (int i = 0; i < kLedgerWords; ++i)
    if (words[i] != ledger_word(seq, i)) {
      fault(&st->corrupt, "ledger is not the last write (lost update or torn value)", seq);
      return seq;
    }
  if (memcmp(note, want, kNoteLen) != 0) fault(&st->corrupt, "note does not match the ledger", seq);
  return seq;
}

static void run_values(const int32_t *ids, int writes) {
  uint64_t seen = 0;
  const int32_t me = (int32_t)getpid(), none = 0;
  while (!stopping) {
    const int64_t t0 = now_ms();
    const int rc = zrdb_semaWait_timeout_us(ids[LOCK], kLockWaitUs);
    check_duration(t0, kLockWaitUs / 1000, "lock wait outlived its time-out");
    if (rc != 0) {
      add(&st->expired, 1);
      continue;
    }
    add(&st->lockTaken, 1);
    zrdb_setValue(ids[HOLDER], &me, sizeof me);
    const uint64_t seq = check_ledger(ids);
    if (seq < seen) fault(&st->corrupt, "ledger went back", seq);
    seen = seq;
    if (writes) {
      put(&st->ledgerWrites, seq + 1); /* first: a repair completes this write */
      write_ledger(ids, seq + 1);
    }
    zrdb_setValue(ids[HOLDER], &none, sizeof none);
    zrdb_semaPost(ids[LOCK], 0);
    pause_us(rand() % 2000);
  }
}

static int alive(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); }

/* Exit 3 when the lock is taken by a participant that is gone: the holder
 * item names the victim, or for a second the lock stays taken by nobody
 * alive while no one else takes it (a holder killed between the wait and
 * noting itself, or between clearing the note and the post). The ledger is
 * then completed, as the dead holder would have, for the driver's sem-post. */
static int run_stuck(const int32_t *ids, int32_t victim) {
  int32_t value = 0, holder = 0;
  const uint64_t taken = get(&st->lockTaken);
  zrdb_semaGetValue(ids[LOCK], &value);
  if (value > 1) {
    fault(&st->failures, "lock count above 1", (unsigned long long)value);
    return 1;
  }
  for (int sample = 0; sample < 10; ++sample) {
    zrdb_semaGetValue(ids[LOCK], &value);
    zrdb_getValue(ids[HOLDER], &holder, sizeof holder);
    if (value != 0) return 0;
    if (holder != 0 && holder == victim) break;
    if (alive(holder) || get(&st->lockTaken) != taken) return 0;
    pause_us(100000);
  }
  const int32_t none = 0;
  write_ledger(ids, get(&st->ledgerWrites));
  zrdb_setValue(ids[HOLDER], &none, sizeof none);
  add(&st->stuck, 1);
  return 3;
}

/* ---- circular buffer --------------------------------------------------- */

static int record_len(uint64_t seq) { return 1 + (int)(seq % 40); }

static void run_producer(int32_t cbuf) {
  unsigned char data[64];
  char msg[24];
  while (!stopping) {
    /* A full buffer is overwritten by design: stay two slots short. */
    if (get(&st->cbufNext) - get(&st->cbufLast) >= kCbufSlots - 2) {
      pause_us(500);
      continue;
    }
    const uint64_t seq = add(&st->cbufNext, 1);
    snprintf(msg, sizeof msg, "ev %llu", (unsigned long long)seq);
    fill(data, record_len(seq), seq);
    if (zrdb_cbufWrite(cbuf, msg, (int32_t)strlen(msg), data, record_len(seq)) != 0)
      fault(&st->failures, "circular buffer write failed", seq);
    pause_us(100);
  }
}

static void run_consumer(int32_t cbuf) {
  unsigned char data[64];
  char msg[24];
  while (!stopping) {
    int32_t msgLen = 0, dataLen = 0;
    memset(msg, 0, sizeof msg);
    if (zrdb_cbufRead(cbuf, msg, sizeof msg - 1, data, sizeof data, &msgLen, &dataLen) != 0) {
      pause_us(200);
      continue;
    }
    unsigned long long seq = 0;
    add(&st->ops, 1);
    if (sscanf(msg, "ev %llu", &seq) != 1 || dataLen != record_len(seq) || !matches(data, dataLen, seq))
      fault(&st->corrupt, "circular buffer record torn or mixed", seq);
    else if (seq <= get(&st->cbufLast))
      fault(&st->corrupt, "circular buffer record out of order", seq);
    else {
      add(&st->cbufMissing, seq - get(&st->cbufLast) - 1);
      put(&st->cbufLast, seq);
    }
  }
}

/* ---- the synchronous call ---------------------------------------------- */

enum { CMD, REQS, REQ_SEM, ACK_SEM };
static const char *const kCallItems[] = {"command", "requests", "req_sem", "ack_sem", NULL};

static void run_server(const int32_t *ids) {
  unsigned char payload[ZRDB_MSGBUF_PAYLOAD];
  while (!stopping) {
    const int64_t t0 = now_ms();
    if (zrdb_semaWait_timeout_us(ids[REQ_SEM], kCallMs * 1000) != 0) {
      check_duration(t0, kCallMs, "request wait outlived its time-out");
      continue;
    }
    /* Every queued message: a server killed after its wake-up left one. */
    int32_t from = 0, arg = 0, msize = 0;
    while (zrdb_msgbufRead(ids[REQS], &from, &arg, &msize, payload) == 0) {
      add(&st->ops, 1);
      if (from != ids[CMD] || msize != ZRDB_MSGBUF_PAYLOAD || !matches(payload, msize, (uint64_t)arg))
        fault(&st->corrupt, "call message torn or mixed", (unsigned long long)arg);
      else if ((uint64_t)arg <= get(&st->callLastServed))
        fault(&st->corrupt, "call message out of order", (unsigned long long)arg);
      put(&st->callLastServed, (uint64_t)arg);
      add(&st->served, 1);
      zrdb_semaPost(ids[ACK_SEM], 0);
    }
  }
}

static void run_client(const int32_t *ids) {
  unsigned char payload[ZRDB_MSGBUF_PAYLOAD];
  while (!stopping) {
    int32_t stale = 0;
    /* Acknowledgements that came after their call had timed out. */
    while (zrdb_semaGetValue(ids[ACK_SEM], &stale) == 0 && stale > 0)
      zrdb_semaWait_timeout_us(ids[ACK_SEM], 1000);
    const uint64_t seq = add(&st->callNext, 1);
    fill(payload, sizeof payload, seq);
    add(&st->calls, 1);
    const int64_t t0 = now_ms();
    const int rc = zrdb_callMsgbufWriteEx(ids[CMD], payload, sizeof payload, (int32_t)seq, 1, kCallMs, NULL);
    check_duration(t0, kCallMs, "synchronous call outlived its time-out");
    if (rc == 0) add(&st->acked, 1);
    else if (rc == ZRDB_ERR_TIMEOUT) add(&st->expired, 1);
    else fault(&st->failures, "synchronous call failed", seq);
    pause_us(rand() % 1000);
  }
}

/* ---- thread FIFO + pool pipeline ---------------------------------------- */

typedef struct {
  int32_t pool, fifo;
  uint64_t put, got;
} pipeline;

static void *pipe_producer(void *arg) {
  pipeline *p = arg;
  ZRDB_RBUF_BIN *end = NULL;
  while (!stopping) {
    ZRDB_RBUF_BIN *bin = zrdb_rbuf_alloc(p->pool);
    if (bin == NULL) {
      pause_us(500); /* all in flight: the consumer gives them back */
      continue;
    }
    const uint64_t seq = p->put + 1;
    memcpy(bin->addr, &seq, sizeof seq);
    fill((unsigned char *)bin->addr + sizeof seq, bin->size - (int)sizeof seq, seq);
    if (zrdb_tfifo_putdata(p->fifo, 0, &bin, sizeof bin) != 0) {
      fault(&st->failures, "thread FIFO put failed", seq);
      zrdb_rbuf_recycle(bin);
      break;
    }
    p->put = seq;
  }
  if (zrdb_tfifo_putdata(p->fifo, 0, &end, sizeof end) != 0) fault(&st->failures, "end marker lost", 0);
  return NULL;
}

static void *pipe_consumer(void *arg) {
  pipeline *p = arg;
  struct pollfd pfd = {zrdb_tfifo_getFd(p->fifo, 0, 1), POLLIN, 0};
  for (;;) {
    ZRDB_RBUF_BIN *bin = NULL;
    uint64_t seq = 0;
    if (poll(&pfd, 1, kFramePoll) <= 0 || zrdb_tfifo_getdata(p->fifo, 0, &bin, sizeof bin) != 0) {
      fault(&st->overruns, "thread FIFO frame did not arrive", p->got + 1);
      return NULL;
    }
    if (bin == NULL) return NULL;
    memcpy(&seq, bin->addr, sizeof seq);
    add(&st->ops, 1);
    if (bin->barcode != ZRDB_RBUF_BARCODE || bin->did != p->pool || seq != p->got + 1 ||
        !matches((unsigned char *)bin->addr + sizeof seq, bin->size - (int)sizeof seq, seq))
      fault(&st->corrupt, "pool frame torn, foreign or out of order", seq);
    p->got = seq;
    if (zrdb_rbuf_recycle(bin) != 0) fault(&st->failures, "pool refused its own bin", seq);
  }
}

static void run_pipeline(const int32_t *ids) {
  pipeline p = {ids[0], ids[1], 0, 0};
  pthread_t prod, cons;
  ZRDB_RBUF_BIN *bins[kPoolBins + 1];
  int n = 0;
  if (pthread_create(&cons, NULL, pipe_consumer, &p) != 0) return;
  if (pthread_create(&prod, NULL, pipe_producer, &p) != 0) {
    stopping = 1;
    pthread_join(cons, NULL);
    return;
  }
  pthread_join(prod, NULL);
  pthread_join(cons, NULL);
  /* Every bin went back: the pool hands out all of them, and no more. */
  while (n <= kPoolBins && (bins[n] = zrdb_rbuf_alloc(p.pool)) != NULL) ++n;
  if (n != kPoolBins || p.put != p.got) fault(&st->failures, "pool or FIFO lost count", (unsigned long long)n);
  while (n > 0) zrdb_rbuf_recycle(bins[--n]);
}

/* ---- remote buffers ------------------------------------------------------ */

enum { kDgram = 64 };

static int parse_dgram(const unsigned char *buf, int32_t len, char kind, uint64_t *seq) {
  if (len != kDgram || buf[0] != (unsigned char)kind) return -1;
  memcpy(seq, buf + 8, sizeof *seq);
  return matches(buf + 16, kDgram - 16, *seq) ? 0 : -1;
}

static void run_udpsrv(int32_t srv) {
  unsigned char buf[256];
  while (!stopping) {
    int32_t len = 0;
    uint64_t seq = 0;
    const int64_t t0 = now_ms();
    const int rc = zrdb_rmtbufRead(srv, buf, sizeof buf, &len);
    check_duration(t0, kUdpReadMs, "remote buffer read outlived its time-out");
    if (rc != 0) continue;
    add(&st->ops, 1);
    if (parse_dgram(buf, len, 'q', &seq) != 0) {
      fault(&st->corrupt, "request datagram torn or mixed", seq);
      continue;
    }
    buf[0] = 'r';
    add(&st->udpEchoed, 1); /* first, so that a kill cannot leave it short */
    zrdb_rmtbufWrite(srv, buf, len);
  }
}

static void run_udpcli(int32_t cli) {
  unsigned char buf[256];
  while (!stopping) {
    const uint64_t seq = add(&st->udpNext, 1);
    memset(buf, 0, 16);
    buf[0] = 'q';
    memcpy(buf + 8, &seq, sizeof seq);
    fill(buf + 16, kDgram - 16, seq);
    add(&st->udpSent, 1); /* first, so that a kill cannot leave it short */
    if (zrdb_rmtbufWrite(cli, buf, kDgram) != 0) {
      pause_us(10000); /* no route yet */
      continue;
    }
    for (int tries = 0; tries < 4 && !stopping; ++tries) {
      int32_t len = 0;
      uint64_t got = 0;
      const int64_t t0 = now_ms();
      const int rc = zrdb_rmtbufRead(cli, buf, sizeof buf, &len);
      check_duration(t0, kUdpReadMs, "remote buffer read outlived its time-out");
      if (rc != 0) {
        add(&st->expired, 1);
        break;
      }
      add(&st->ops, 1);
      if (parse_dgram(buf, len, 'r', &got) != 0 || got > seq) {
        fault(&st->corrupt, "reply datagram torn, mixed or from the future", got);
        break;
      }
      if (got == seq) {
        add(&st->udpMatched, 1);
        break;
      } /* else the late reply of a request that had timed out */
    }
  }
}

/* ---- driver helpers ---------------------------------------------------- */

/* Each acknowledgement, echo and reply answers one request taken or sent:
 * no more of them than of those. The ledger holds the last counted write.
 * A circular buffer record goes missing only with a kill: of the producer
 * between taking its number and publishing it, or of the consumer between
 * reading and noting it (`kills` of these two in this database's life). */
static int run_final(const char *dir, uint64_t kills) {
  int32_t ids[4];
  if (get(&st->cbufMissing) > kills)
    fault(&st->failures, "circular buffer records lost beyond the kills", get(&st->cbufMissing));
  if (get(&st->acked) > get(&st->served) || get(&st->served) > get(&st->calls))
    fault(&st->failures, "calls: acknowledged > served > made", get(&st->acked));
  if (get(&st->udpMatched) > get(&st->udpEchoed) || get(&st->udpEchoed) > get(&st->udpSent))
    fault(&st->failures, "datagrams: replies > echoes > requests", get(&st->udpMatched));
  if (attach(dir, kValueItems, ids) != 0) {
    fault(&st->failures, "final check could not attach", 0);
    return 1;
  }
  check_ledger(ids);
  return 0;
}

static void on_term(int sig) {
  (void)sig;
  stopping = 1;
}

int main(int argc, char **argv) {
  int32_t ids[4];
  if (argc < 3) {
    fprintf(stderr, "usage: soak_part ROLE DIR [PID]\n");
    return 2;
  }
  role = argv[1];
  const char *dir = argv[2];
  if (map_stats(dir) != 0) {
    fprintf(stderr, "soak_part: no counters file in %s\n", dir);
    return 2;
  }
  if (strcmp(role, "report") == 0) {
    printf("ops=%llu corrupt=%llu overruns=%llu expired=%llu failures=%llu stuck=%llu\n",
           (unsigned long long)get(&st->ops), (unsigned long long)get(&st->corrupt),
           (unsigned long long)get(&st->overruns), (unsigned long long)get(&st->expired),
           (unsigned long long)get(&st->failures), (unsigned long long)get(&st->stuck));
    return 0;
  }
  if (strcmp(role, "newepoch") == 0) {
    memset(&st->EPOCH_FIRST, 0, sizeof *st - offsetof(soak_stats, EPOCH_FIRST) - sizeof st->stuck);
    return 0;
  }
  zrdb_setLogHandler(drop_log, NULL);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_term;
  sigaction(SIGTERM, &sa, NULL);
  srand((unsigned)getpid());
  int rc = 0;
  if (strcmp(role, "final") == 0) {
    rc = run_final(dir, argc > 3 ? strtoull(argv[3], NULL, 10) : 0);
    zrdb_Cleanup();
    return rc;
  }
  if (strcmp(role, "stuck") == 0) {
    rc = attach(dir, kValueItems, ids) != 0 ? 1 : run_stuck(ids, argc > 3 ? atoi(argv[3]) : 0);
    zrdb_Cleanup();
    return rc;
  }
  if (strcmp(role, "writer") == 0 || strcmp(role, "reader") == 0) {
    if ((rc = attach(dir, kValueItems, ids)) == 0) run_values(ids, role[0] == 'w');
  } else if (strcmp(role, "producer") == 0 || strcmp(role, "consumer") == 0) {
    static const char *const names[] = {"events", NULL};
    if ((rc = attach(dir, names, ids)) == 0) (role[0] == 'p' ? run_producer : run_consumer)(ids[0]);
  } else if (strcmp(role, "server") == 0 || strcmp(role, "client") == 0) {
    if ((rc = attach(dir, kCallItems, ids)) == 0) (role[0] == 's' ? run_server : run_client)(ids);
  } else if (strcmp(role, "pipeline") == 0) {
    static const char *const names[] = {"frames", "frame_queue", NULL};
    if ((rc = attach(dir, names, ids)) == 0) run_pipeline(ids);
  } else if (strcmp(role, "udpsrv") == 0 || strcmp(role, "udpcli") == 0) {
    static const char *const srv[] = {"udp_srv", NULL}, *const cli[] = {"udp_cli", NULL};
    if ((rc = attach(dir, role[3] == 's' ? srv : cli, ids)) == 0)
      (role[3] == 's' ? run_udpsrv : run_udpcli)(ids[0]);
  } else {
    fprintf(stderr, "soak_part: unknown role %s\n", role);
    return 2;
  }
  /* An owner killed must be replaceable: a participant that cannot attach
   * (open its FIFO, pool or server socket) is a fault. */
  if (rc != 0) fault(&st->failures, "could not attach or open its items", 0);
  zrdb_Cleanup();
  return rc;
}
