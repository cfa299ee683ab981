/* The soak's flows between participants: circular buffer, synchronous
 * call, thread FIFO + pool pipeline and remote buffers. */
#include "soak.h"

#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "zrdb.h"
#include "zrdb_comm.h"
#include "zrdb_net.h"
#include "zrdb_threads.h"

/* ---- circular buffer --------------------------------------------------- */

static int record_len(uint64_t seq) { return 1 + (int)(seq % 40); }

void run_producer(int32_t cbuf) {
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

void run_consumer(int32_t cbuf) {
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
    if (sscanf(msg, "ev %llu", &seq) != 1 || dataLen != record_len(seq) ||
        !matches(data, dataLen, seq))
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

const char *const kCallItems[] = {"command", "requests", "req_sem", "ack_sem", NULL};

void run_server(const int32_t *ids) {
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
      if (from != ids[CMD] || msize != ZRDB_MSGBUF_PAYLOAD ||
          !matches(payload, msize, (uint64_t)arg))
        fault(&st->corrupt, "call message torn or mixed", (unsigned long long)arg);
      else if ((uint64_t)arg <= get(&st->callLastServed))
        fault(&st->corrupt, "call message out of order", (unsigned long long)arg);
      put(&st->callLastServed, (uint64_t)arg);
      add(&st->served, 1);
      zrdb_semaPost(ids[ACK_SEM], 0);
    }
  }
}

void run_client(const int32_t *ids) {
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
    const int rc =
        zrdb_callMsgbufWriteEx(ids[CMD], payload, sizeof payload, (int32_t)seq, 1, kCallMs, NULL);
    check_duration(t0, kCallMs, "synchronous call outlived its time-out");
    if (rc == 0)
      add(&st->acked, 1);
    else if (rc == ZRDB_ERR_TIMEOUT)
      add(&st->expired, 1);
    else
      fault(&st->failures, "synchronous call failed", seq);
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
  if (zrdb_tfifo_putdata(p->fifo, 0, &end, sizeof end) != 0)
    fault(&st->failures, "end marker lost", 0);
  return NULL;
}

static void *pipe_consumer(void *arg) {
  pipeline *p = arg;
  struct pollfd pfd = {zrdb_tfifo_getFd(p->fifo, 0, 1), POLLIN, 0};
  for (;;) {
    ZRDB_RBUF_BIN *bin = NULL;
    uint64_t seq = 0;
    if (poll(&pfd, 1, kFramePoll) != 1) {
      fault(&st->overruns, "thread FIFO frame did not arrive", p->got + 1);
      return NULL;
    }
    if (zrdb_tfifo_getdata(p->fifo, 0, &bin, sizeof bin) != 0) {
      fault(&st->failures, "thread FIFO get failed", p->got + 1);
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

void run_pipeline(const int32_t *ids) {
  pipeline p = {ids[0], ids[1], 0, 0};
  pthread_t prod, cons;
  ZRDB_RBUF_BIN *bins[kPoolBins + 1];
  int n = 0;
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  /* SIGTERM goes to this thread only: taken by the consumer, it would end
   * its wait early (EINTR) and look like a frame that did not arrive. */
  pthread_sigmask(SIG_BLOCK, &term, &old);
  const int consumer = pthread_create(&cons, NULL, pipe_consumer, &p) == 0;
  const int producer = consumer && pthread_create(&prod, NULL, pipe_producer, &p) == 0;
  pthread_sigmask(SIG_SETMASK, &old, NULL);
  if (!producer) {
    fault(&st->failures, "pipeline threads not started", 0);
    if (consumer) pthread_cancel(cons), pthread_join(cons, NULL);
    return;
  }
  pthread_join(prod, NULL);
  pthread_join(cons, NULL);
  /* Every bin went back: the pool hands out all of them, and no more. */
  while (n <= kPoolBins && (bins[n] = zrdb_rbuf_alloc(p.pool)) != NULL) ++n;
  if (n != kPoolBins || p.put != p.got)
    fault(&st->failures, "pool or FIFO lost count", (unsigned long long)n);
  while (n > 0) zrdb_rbuf_recycle(bins[--n]);
}

/* ---- remote buffers ------------------------------------------------------ */

enum { kDgram = 64 };

static int parse_dgram(const unsigned char *buf, int32_t len, char kind, uint64_t *seq) {
  if (len != kDgram || buf[0] != (unsigned char)kind) return -1;
  memcpy(seq, buf + 8, sizeof *seq);
  return matches(buf + 16, kDgram - 16, *seq) ? 0 : -1;
}

void run_udpsrv(int32_t srv) {
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

void run_udpcli(int32_t cli) {
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

/* ---- VLINK through the two link daemons ---------------------------------- */

/* The peer's item holds the sequence number of the set that wrote it and
 * the pattern of that number (all zero before the first set). */
static int box_intact(const unsigned char *box, uint64_t *seq) {
  static const unsigned char zero[kBoxLen];
  memcpy(seq, box, sizeof *seq);
  return *seq == 0 ? memcmp(box, zero, kBoxLen) == 0 : matches(box + 8, kBoxLen - 8, *seq);
}

/* One transaction: 0, or -1 (link down, refused, no answer in 5 s), the
 * library's one failure; anything else or a late return is a fault. */
static int vlink_xact(int32_t master, int set, unsigned char *box, uint64_t seq) {
  const int64_t t0 = now_ms();
  const int rc = set ? zrdb_VLINKSetValue(master, 0, 0, kBoxId, 0, box, kBoxLen)
                     : zrdb_VLINKGetValue(master, 0, 0, kBoxId, 0, box, kBoxLen);
  check_duration(t0, kVlinkMs, "VLINK transaction outlived its time-out");
  if (rc == 0)
    put(&st->vlinkOkMs, (uint64_t)t0);
  else if (rc == -1)
    add(&st->expired, 1);
  else
    fault(&st->failures, "VLINK transaction failed oddly", seq);
  return rc;
}

/* A get returns a whole value written by one of the sets made, never one
 * older than the last set that was confirmed: a set that failed may still
 * have been applied (its answer lost with a daemon), so a newer value than
 * the confirmed one is allowed, up to the last set sent. */
void run_vlink(int32_t master) {
  unsigned char box[kBoxLen];
  while (!stopping) {
    const uint64_t seq = add(&st->vlinkNext, 1), done = get(&st->vlinkConfirmed);
    uint64_t got = 0;
    memcpy(box, &seq, sizeof seq);
    fill(box + 8, kBoxLen - 8, seq);
    if (vlink_xact(master, 1, box, seq) == 0 && seq > done) put(&st->vlinkConfirmed, seq);
    const uint64_t floor = get(&st->vlinkConfirmed);
    if (vlink_xact(master, 0, box, seq) == 0) {
      add(&st->ops, 1), add(&st->vlinkChecked, 1);
      if (!box_intact(box, &got))
        fault(&st->corrupt, "VLINK value torn or mixed", got);
      else if (got < floor || got > get(&st->vlinkNext))
        fault(&st->corrupt, "VLINK value older than the last confirmed set, or never sent", got);
    } else {
      pause_us(10000); /* the link is down or its daemon gone */
    }
    pause_us(5000 + rand() % 10000);
  }
}
