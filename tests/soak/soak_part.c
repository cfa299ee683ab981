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
 * udpcli (remote buffers on loopback), vlink (VLINK set and get of an item
 * of the second system). Driver helpers, run once: stuck (exit 3 when the
 * lock is held by a dead holder; PID is the participant just killed),
 * vsem (exit 3 when the VLINK semaphore is taken; with a third argument it
 * is given back), vlinkok (print when the
 * last successful VLINK transaction began), newepoch (clear the
 * per-database state), final (check that the counters add up), report
 * (print the totals as shell variables).
 */
#include "soak.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "zrdb.h"
#include "zrdb_comm.h"
#include "zrdb_diag.h"

soak_stats *st;
volatile sig_atomic_t stopping;
const char *role = "?";

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

static uint32_t ledger_word(uint64_t seq, int i) {
  return (uint32_t)seq * (2654435761u + 2u * (unsigned)i);
}
static void note_text(uint64_t seq, char *out) {
  memset(out, 0, kNoteLen);
  if (seq == 0)
    snprintf(out, kNoteLen, "n:0"); /* the database file's value */
  else
    snprintf(out, kNoteLen, "n:%llu:%08x", (unsigned long long)seq, ledger_word(seq, 5));
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
    printf(
        "ops=%llu corrupt=%llu overruns=%llu expired=%llu failures=%llu stuck=%llu vchecked=%llu\n",
        (unsigned long long)get(&st->ops), (unsigned long long)get(&st->corrupt),
        (unsigned long long)get(&st->overruns), (unsigned long long)get(&st->expired),
        (unsigned long long)get(&st->failures), (unsigned long long)get(&st->stuck),
        (unsigned long long)get(&st->vlinkChecked));
    return 0;
  }
  if (strcmp(role, "vlinkok") == 0) {
    printf("%llu\n", (unsigned long long)get(&st->vlinkOkMs));
    return 0;
  }
  if (strcmp(role, "vsem") == 0) {
    /* Only the VLINK participant takes it on this system: taken while that
     * participant is dead means the killed one kept it. */
    void *sem = hbdb_sem_Get(ZRDB_VLINK_SEMAPHORE);
    int32_t value = 1;
    if (sem != NULL && hbdb_sem_Get_Value(sem, &value) == 0 && value == 0 && argc > 3)
      hbdb_sem_Post(sem); /* given back, as an operator would */
    if (sem != NULL) hbdb_sem_Close(sem);
    return value == 0 ? 3 : 0;
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
  } else if (strcmp(role, "vlink") == 0) {
    static const char *const names[] = {"vlink", NULL};
    const int64_t t0 = now_ms();
    rc = attach(dir, names, ids);
    check_duration(t0, kVlinkAttachMs, "attach outlived the VLINK semaphore's time-out");
    if (rc == 0) run_vlink(ids[0]);
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
