/*
 * zrdb_threads.h - thread transports of ZRDB: pipe FIFOs, thread FIFO items
 * and ring-buffer pool items. Included by zrdb.h; not meant to be included
 * on its own.
 *
 * Both item types move data between the threads of ONE process: the pipes
 * and the bins live in the process that opened the item, while the owner's
 * name and the statistics live in the data segment, where any process (for
 * example `zrdbctl print`) can read and reset them. An item is opened only
 * when it is bound through an id list (zrdb_appInit, or zrdb_Init with a
 * list), and only by one process at a time: opening takes an exclusive
 * flock on "/tmp/zrdbid<id>.lock", which the system releases when the owner
 * closes the item or dies, even by SIGKILL. The lock file stays on disk
 * until zrdb_removeItemLock (as `zrdbctl remove` calls it) deletes it.
 *
 * Statistics commands (the `mode` of zrdb_printValue, the `verbose` word of
 * zrdb_printiValue): low 16 bits 2 resets the statistics, 3 sets the trace
 * level to the high 16 bits; anything else prints the statistics line.
 */
#ifndef ZRDB_THREADS_H
#define ZRDB_THREADS_H

#include "zrdb_export.h"

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
ZRDB_VISIBLE_BEGIN

/* ------------------------------------------------------------------------ */
/* Pipe FIFO primitives                                                      */
/* ------------------------------------------------------------------------ */

/* A blocking pipe carrying elements of `size` bytes. Owned by the caller. */
typedef struct HBDB_FIFO {
  uint32_t size;         /* element size, set by hbdb_fifo_open */
  int32_t fd[2];         /* fd[0] read end, fd[1] write end */
  pthread_mutex_t mutex; /* serialises hbdb_fifo_put */
} HBDB_FIFO;

/* All return 0, or -1 after perror(): */
int hbdb_fifo_open(HBDB_FIFO *fifo, uint32_t size); /* pipe, close-on-exec */
int hbdb_fifo_close(HBDB_FIFO *fifo);               /* both ends, always */
/* One read of `size` (or n) bytes; -1 unless exactly that many came. */
int hbdb_fifo_get(HBDB_FIFO *fifo, void *buf);
int hbdb_fifo_get_wsize(HBDB_FIFO *fifo, void *buf, uint32_t n);
/* One write of `size` bytes under the mutex / of n bytes without it. */
int hbdb_fifo_put(HBDB_FIFO *fifo, const void *buf);
int hbdb_fifo_put_wsize(HBDB_FIFO *fifo, const void *buf, uint32_t n);
int hbdb_fifo_getInputFd(const HBDB_FIFO *fifo);  /* the READ end, fd[0] */
int hbdb_fifo_getOutputFd(const HBDB_FIFO *fifo); /* the WRITE end, fd[1] */

/* ------------------------------------------------------------------------ */
/* Thread FIFO items (type thrd_fifo, size = E*N: N FIFOs, 1 <= N <= 100)   */
/* ------------------------------------------------------------------------ */

#define ZRDB_TFIFO_MAX 100
#define ZRDB_TFIFO_OWNER_LEN 64

/* Data area: this header, then N ZRDB_TFIFO_STAT records (64 + 20*i). */
typedef struct ZRDB_TFIFO_HDR {
  char owner[ZRDB_TFIFO_OWNER_LEN]; /* application that opened it, "NONAME" */
} ZRDB_TFIFO_HDR;

/* Statistics of one FIFO, shared. */
typedef struct ZRDB_TFIFO_STAT {
  int32_t reserved;
  int32_t mbc;     /* most bytes seen pending (trace 2) */
  int32_t maxSize; /* largest put (trace 3) */
  int32_t minSize; /* smallest put (trace 3); 999999 once armed */
  int32_t trace;   /* 1 log every operation, 2 track mbc, 3 track sizes */
} ZRDB_TFIFO_STAT;

/* Parameter block of zrdbthrdfifo_ctrl. For the two descriptor operations
 * the handler stores the descriptor into `buf`, as an integer. */
typedef struct ZRDB_TFIFO_PARA {
  int32_t index; /* FIFO number, 0..N-1 */
  void *buf;
  int32_t size; /* bytes to transfer */
} ZRDB_TFIFO_PARA;

enum {
  ZRDBTHRDFIFO_GETDATA = 0,
  ZRDBTHRDFIFO_PUTDATA = 1,
  ZRDBTHRDFIFO_GETOUTPUTFD = 2, /* the read end: data comes out there */
  ZRDBTHRDFIFO_GETINPUTFD = 3   /* the write end: data goes in there */
};

int zrdbthrdfifo_create(ZRDB_DIT *dit);
int zrdbthrdfifo_open(ZRDB_DIT *dit);
int zrdbthrdfifo_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);
int zrdbthrdfifo_print(ZRDB_DIT *dit, int32_t cmd);
int zrdbthrdfifo_iprint(ZRDB_DIT *dit, int32_t index, int32_t cmd);
int zrdbthrdfifo_close(ZRDB_DIT *dit);

/* zrdid is a plain item id (no link translation). Blocking: a get waits for
 * data, a put while the pipe is full. One put's bytes stay together; a get
 * of more bytes than are queued returns what came and fails. Returns 0, -1
 * (index out of range, short transfer, null buffer, negative size, id out
 * of range), -3 (not opened by this process, or not a thread FIFO) or
 * ZRDB_ERR_CORRUPT. */
int zrdb_tfifo_getdata(int32_t zrdid, int32_t index, void *buf, int32_t size);
int zrdb_tfifo_putdata(int32_t zrdid, int32_t index, const void *buf, int32_t size);
/* output non-zero: the descriptor to read from; zero: the one to write to.
 * Returns the descriptor or a negative result as above. */
int zrdb_tfifo_getFd(int32_t zrdid, int32_t index, int32_t output);

/* Deletes the lock file of item zrdid (thread FIFO, pool, remote buffer
 * server) when no process holds it, which it checks by taking the lock
 * without waiting. Meant for a database that is being removed: a process
 * opening the item at that very moment could lock the deleted file. Returns
 * 1 when deleted, 0 when there is none, -1 when it is held, is not a regular
 * file or cannot be deleted. */
int zrdb_removeItemLock(int32_t zrdid);

/* ------------------------------------------------------------------------ */
/* Ring-buffer pool items (type thrd_rbuf, size = E*N: N buffers of E bytes) */
/* ------------------------------------------------------------------------ */

#define ZRDB_RBUF_BARCODE 0x20150331u

/* Data area: this header, then buffer i at 64 + E*i. */
typedef struct ZRDB_RBUF_INFO {
  uint32_t flags;    /* bit 0: open in its owning process */
  char owner[32];    /* owning application, "NONAME" */
  uint32_t fb;       /* free buffers */
  uint32_t uc;       /* buffers in use */
  uint32_t muc;      /* most buffers in use since the last reset */
  uint32_t afc;      /* failed allocations */
  uint32_t maxDelay; /* longest hold, microseconds (trace 3) */
  uint32_t minDelay; /* shortest hold, microseconds (trace 3) */
  int32_t trace;     /* 1 log every operation, 3 measure hold times */
} ZRDB_RBUF_INFO;

/* One buffer of a pool, as handed out by zrdb_rbuf_alloc. Owned by the
 * pool; valid until the pool is closed. */
typedef struct ZRDB_RBUF_BIN {
  uint32_t barcode; /* ZRDB_RBUF_BARCODE */
  int32_t did;      /* the pool item */
  int32_t index;    /* buffer number */
  void *addr;       /* the buffer, in this process's data segment */
  int32_t size;     /* bytes in the buffer */
  int64_t timestamp;
  int32_t inUse;
  struct ZRDB_RBUF_BIN *next;
} ZRDB_RBUF_BIN;

enum { ZRDBTHRDRBUFOP_ALLOC = 0, ZRDBTHRDRBUFOP_RECYCLE = 1, ZRDBTHRDRBUFOP_RESET = 2 };

int zrdbthrdrbuf_create(ZRDB_DIT *dit);
int zrdbthrdrbuf_open(ZRDB_DIT *dit);
int zrdbthrdrbuf_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);
int zrdbthrdrbuf_print(ZRDB_DIT *dit, int32_t cmd);
int zrdbthrdrbuf_iprint(ZRDB_DIT *dit, int32_t index, int32_t cmd);
int zrdbthrdrbuf_close(ZRDB_DIT *dit);

/* A free buffer, searched in ring order from where the last search
 * stopped; NULL when none is free (counted as a failed allocation), or the
 * item is not a pool opened by this process. zrdid may be a link id. */
ZRDB_RBUF_BIN *zrdb_rbuf_alloc(int32_t zrdid);
/* Gives a buffer back. Returns 0, -1 (a bin of another pool, a wrong
 * barcode, or not one of the pool's bins; nothing changes), -3 (the pool
 * is not open here) or ZRDB_ERR_CORRUPT. A bin recycled twice is not
 * detected: the counters move again. */
int zrdb_rbuf_recycle(ZRDB_RBUF_BIN *bin);
/* Marks every buffer free and clears the counters. Returns 0, or -1. */
int zrdb_rbuf_reset(int32_t zrdid);

ZRDB_VISIBLE_END
#ifdef __cplusplus
}
#endif

#endif /* ZRDB_THREADS_H */
