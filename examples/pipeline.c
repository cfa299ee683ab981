/*
 * pipeline: two threads of one process hand pool buffers to each other
 * through a thread FIFO, the way a capture thread passes frames to a worker
 * without copying them.
 *
 *   pipeline DBFILE APPFILE LIMIT
 *
 * LIMIT is a number of frames (500) or of seconds (3s). The producer thread
 * takes a buffer of the pool "frames" (zrdb_rbuf_alloc), fills it and puts
 * the bin's address into FIFO 0 of "frame_queue"; the consumer thread takes
 * the address, checks the buffer and recycles the bin. A null address ends
 * the stream. Before the threads start it turns on the statistics an
 * operator reads from another process with `zrdbctl print frames` and
 * `zrdbctl print frame_queue.0`: the bytes pending in the FIFO (trace 2)
 * and how long buffers are held (trace 3). Where the library binds no print
 * handlers in the owning process, the operator turns them on instead, with
 * `zrdbctl trace`.
 *
 * Every wait is bounded: a frame that does not arrive within 2 s, or a
 * buffer that stays unavailable for 1 s, fails the run. Exits 0 when every
 * frame arrived intact, in order, and every buffer went back to the pool;
 * else 1.
 */
#define _POSIX_C_SOURCE 200809L

#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zrdb.h"

#define ARRIVAL_TIMEOUT_MS 2000 /* the consumer's longest wait for a frame */
#define ALLOC_TRIES 1000        /* 1 ms apart: the producer's longest wait for a buffer */
#define BURST 5                 /* frames the producer makes before it pauses */

/* Statistics commands of zrdb_printValue / zrdb_printiValue. */
#define STAT_PRINT 0
#define STAT_RESET 2
#define STAT_TRACE(level) ((int32_t)(((uint32_t)(level) << 16) | 3u))

typedef struct {
  int32_t pool, fifo, readFd;
  uint32_t maxFrames; /* 0: run until the deadline */
  struct timespec deadline;
  /* Each written by its own thread only, read after both are joined. */
  uint32_t produced, consumed, allocRetries;
  int producerFailed, consumerFailed;
} pipeline;

static void pause_us(long us) {
  struct timespec ts;
  ts.tv_sec = us / 1000000L;
  ts.tv_nsec = (us % 1000000L) * 1000L;
  nanosleep(&ts, NULL);
}

static int past(const struct timespec *deadline) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline->tv_sec ||
         (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec);
}

/* Frame n: its number in the first 4 bytes, then a pattern that differs
 * from frame to frame, so a stale or swapped buffer shows. */
static unsigned char pattern(uint32_t n, int32_t at) {
  return (unsigned char)(n * 31u + (uint32_t)at);
}

static void fill(ZRDB_RBUF_BIN *bin, uint32_t n) {
  unsigned char *bytes = bin->addr;
  int32_t at;
  memcpy(bytes, &n, sizeof n);
  for (at = (int32_t)sizeof n; at < bin->size; ++at) bytes[at] = pattern(n, at);
}

/* 0 when the bin is one of our pool's and holds frame n. */
static int check_frame(const pipeline *p, const ZRDB_RBUF_BIN *bin, uint32_t n) {
  const unsigned char *bytes = bin->addr;
  uint32_t got = 0;
  int32_t at;
  if (bin->barcode != ZRDB_RBUF_BARCODE || bin->did != p->pool || bin->addr == NULL) {
    fprintf(stderr, "pipeline: frame %u came in a bin that is not one of the pool's\n", n);
    return -1;
  }
  memcpy(&got, bytes, sizeof got);
  if (got != n) {
    fprintf(stderr, "pipeline: frame %u arrived where frame %u was due\n", got, n);
    return -1;
  }
  for (at = (int32_t)sizeof n; at < bin->size; ++at) {
    if (bytes[at] != pattern(n, at)) {
      fprintf(stderr, "pipeline: frame %u differs at byte %d (buffer %d)\n", n, (int)at,
              (int)bin->index);
      return -1;
    }
  }
  return 0;
}

/* A free buffer, waiting for the consumer to give one back if need be.
 * Each failed try counts in the pool's AFC. */
static ZRDB_RBUF_BIN *alloc_bounded(pipeline *p) {
  int tries;
  for (tries = 0; tries < ALLOC_TRIES; ++tries) {
    ZRDB_RBUF_BIN *bin = zrdb_rbuf_alloc(p->pool);
    if (bin != NULL) return bin;
    ++p->allocRetries;
    pause_us(1000);
  }
  return NULL;
}

static void *producer(void *arg) {
  pipeline *p = arg;
  ZRDB_RBUF_BIN *end = NULL;
  uint32_t n;
  for (n = 0; p->maxFrames == 0 ? !past(&p->deadline) : n < p->maxFrames; ++n) {
    ZRDB_RBUF_BIN *bin = alloc_bounded(p);
    if (bin == NULL) {
      fprintf(stderr, "pipeline: no free buffer for frame %u within %d ms\n", n, ALLOC_TRIES);
      p->producerFailed = 1;
      break;
    }
    if (bin->size < (int32_t)sizeof n) {
      fprintf(stderr, "pipeline: buffers of %d bytes cannot hold a frame\n", (int)bin->size);
      zrdb_rbuf_recycle(bin);
      p->producerFailed = 1;
      break;
    }
    fill(bin, n);
    /* The address travels, not the frame: the consumer reads the buffer in
     * place. The pipe holds far more addresses than the pool has buffers,
     * so this put never blocks for long. */
    if (zrdb_tfifo_putdata(p->fifo, 0, &bin, (int32_t)sizeof bin) != 0) {
      fprintf(stderr, "pipeline: putting frame %u into the FIFO failed\n", n);
      zrdb_rbuf_recycle(bin);
      p->producerFailed = 1;
      break;
    }
    /* Bursts keep a few buffers in flight, so the statistics have
     * something to show. */
    if (n % BURST == BURST - 1) pause_us(2000);
  }
  p->produced = n;
  if (zrdb_tfifo_putdata(p->fifo, 0, &end, (int32_t)sizeof end) != 0) {
    fprintf(stderr, "pipeline: putting the end marker failed\n");
    p->producerFailed = 1;
  }
  return NULL;
}

static void *consumer(void *arg) {
  pipeline *p = arg;
  for (;;) {
    struct pollfd pfd;
    ZRDB_RBUF_BIN *bin = NULL;
    int ready;
    pfd.fd = p->readFd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    ready = poll(&pfd, 1, ARRIVAL_TIMEOUT_MS);
    if (ready <= 0) {
      fprintf(stderr, "pipeline: no frame %s within %d ms\n",
              ready == 0 ? "arrived" : "could be waited for", ARRIVAL_TIMEOUT_MS);
      p->consumerFailed = 1;
      return NULL;
    }
    if (zrdb_tfifo_getdata(p->fifo, 0, &bin, (int32_t)sizeof bin) != 0) {
      fprintf(stderr, "pipeline: reading the FIFO failed after frame %u\n", p->consumed);
      p->consumerFailed = 1;
      return NULL;
    }
    if (bin == NULL) return NULL; /* the end marker */
    if (check_frame(p, bin, p->consumed) != 0) p->consumerFailed = 1;
    pause_us(100); /* the work done on a frame */
    if (zrdb_rbuf_recycle(bin) != 0) {
      fprintf(stderr, "pipeline: the pool refused buffer %d back\n", (int)bin->index);
      p->consumerFailed = 1;
    }
    ++p->consumed;
  }
}

/* LIMIT: "N" frames or "Ns" seconds, N from 1 to 1000000. */
static int parse_limit(const char *text, pipeline *p) {
  char *end = NULL;
  const long value = strtol(text, &end, 10);
  if (end == text || value < 1 || value > 1000000L) return -1;
  if (*end == '\0') {
    p->maxFrames = (uint32_t)value;
    return 0;
  }
  if (strcmp(end, "s") != 0) return -1;
  clock_gettime(CLOCK_MONOTONIC, &p->deadline);
  p->deadline.tv_sec += value;
  return 0;
}

/* The pool's shared counters, as any process sees them. */
static int pool_info(int32_t pool, ZRDB_RBUF_INFO *info) {
  ZRDB_BLK_INFO blk;
  if (zrdb_getUserBlkInfo(pool, &blk) != 0 || blk.addr == NULL || blk.size < (int32_t)sizeof *info)
    return -1;
  memcpy(info, blk.addr, sizeof *info);
  return 0;
}

/* A statistics command to FIFO 0 of a thread FIFO or to a pool: the
 * handler's result, or 1 when this process has no print handler bound for
 * the item. */
static int statistics(int32_t id, int32_t cmd) {
  const ZRDB_ITEM_OPS *ops = zrdb_getInfoHdr()->dit[id].op;
  if (zrdb_getType(id) == ZRDB_TYPE_THRD_FIFO)
    return ops == NULL || ops->d_iprint == NULL ? 1 : zrdb_printiValue(id, 0, cmd);
  return ops == NULL || ops->d_print == NULL ? 1 : zrdb_printValue(id, cmd);
}

/* Runs both threads; 0 when the run was clean. */
static int run(pipeline *p) {
  pthread_t prod, cons;
  ZRDB_RBUF_INFO info;
  if (pthread_create(&cons, NULL, consumer, p) != 0) {
    fprintf(stderr, "pipeline: cannot start the consumer thread\n");
    return 1;
  }
  if (pthread_create(&prod, NULL, producer, p) != 0) {
    /* The consumer gives up after its time-out: nothing arrives. */
    fprintf(stderr, "pipeline: cannot start the producer thread\n");
    pthread_join(cons, NULL);
    return 1;
  }
  pthread_join(prod, NULL);
  pthread_join(cons, NULL);
  printf("pipeline: %u frame(s) produced, %u consumed, %u allocation retries\n", p->produced,
         p->consumed, p->allocRetries);
  if (p->consumed != p->produced) {
    fprintf(stderr, "pipeline: %u frame(s) lost\n", p->produced - p->consumed);
    return 1;
  }
  if (pool_info(p->pool, &info) != 0 || info.uc != 0) {
    fprintf(stderr, "pipeline: not every buffer returned to the pool\n");
    return 1;
  }
  if (info.trace == 3 && info.minDelay <= info.maxDelay)
    printf("pipeline: buffers held %u to %u us\n", info.minDelay, info.maxDelay);
  return p->producerFailed || p->consumerFailed || p->produced == 0;
}

int main(int argc, char **argv) {
  pipeline p;
  ZRDB_APP_PARAM params[] = {{&p.pool, "frames"}, {&p.fifo, "frame_queue"}, {NULL, ""}};
  int failed, rc;

  memset(&p, 0, sizeof p);
  p.pool = p.fifo = -1;
  if (argc != 4 || parse_limit(argv[3], &p) != 0) {
    fprintf(stderr, "usage: pipeline DBFILE APPFILE FRAMES|SECONDSs (e.g. 500 or 3s)\n");
    return 1;
  }
  /* The owner that the operator sees in the statistics lines. */
  snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "pipeline");
  /* Binding the items through the list opens them, taking each item's
   * lock: a second pipeline fails here. */
  if (zrdb_cfgParse(argv[1]) != 0 || zrdb_appInit(argv[2], params, HBUSER_CLIENT) != 0) {
    fprintf(stderr,
            "pipeline: cannot attach the database and open its items (created with 'zrdbctl "
            "create %s'? another pipeline running?)\n",
            argv[1]);
    zrdb_Cleanup();
    return 1;
  }
  if (p.pool < 0 || p.fifo < 0 || zrdb_getType(p.pool) != ZRDB_TYPE_THRD_RBUF ||
      zrdb_getType(p.fifo) != ZRDB_TYPE_THRD_FIFO) {
    fprintf(stderr, "pipeline: %s must name the pool frames and the thread FIFO frame_queue\n",
            argv[2]);
    zrdb_Cleanup();
    return 1;
  }
  p.readFd = zrdb_tfifo_getFd(p.fifo, 0, 1);
  if (p.readFd < 0) {
    fprintf(stderr, "pipeline: frame_queue is not open here (%d)\n", p.readFd);
    zrdb_Cleanup();
    return 1;
  }
  /* Fresh statistics, then the traces they need: most bytes pending in
   * FIFO 0 (MBC), and the pool's hold times. */
  rc = statistics(p.fifo, STAT_RESET);
  if (rc == 0) rc = statistics(p.fifo, STAT_TRACE(2));
  if (rc == 0) rc = statistics(p.pool, STAT_RESET);
  if (rc == 0) rc = statistics(p.pool, STAT_TRACE(3));
  if (rc == 1) {
    printf("pipeline: no statistics commands in the owning process; 'zrdbctl trace' sets them\n");
  } else if (rc != 0) {
    fprintf(stderr, "pipeline: cannot reset the statistics or set the trace levels (%d)\n", rc);
    zrdb_Cleanup();
    return 1;
  }

  failed = run(&p);
  if (rc == 0) {
    failed |= statistics(p.pool, STAT_PRINT) != 0;
    failed |= statistics(p.fifo, STAT_PRINT) != 0;
  }
  printf("pipeline: %s\n", failed ? "FAILED" : "every frame arrived intact and in order");
  zrdb_Cleanup();
  return failed ? 1 : 0;
}
