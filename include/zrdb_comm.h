/*
 * zrdb_comm.h - communication items of ZRDB within one machine: semaphore
 * items and their primitives, circular buffers, message buffers and the
 * synchronous call pattern built on them. Included by zrdb.h; not meant to
 * be included on its own.
 */
#ifndef ZRDB_COMM_H
#define ZRDB_COMM_H

#include "zrdb_export.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
ZRDB_VISIBLE_BEGIN

/* ------------------------------------------------------------------------ */
/* Semaphores                                                                */
/* ------------------------------------------------------------------------ */
/* Primitives over POSIX named semaphores; a handle is a sem_t pointer. */
void *hbdb_sem_Create(const char *name, uint32_t initial); /* NULL on failure */
void *hbdb_sem_Get(const char *name);                      /* NULL on failure */
int hbdb_sem_Wait(void *sem);
int hbdb_sem_Wait_binary(void *sem);
int hbdb_sem_timedWait(void *sem, uint32_t seconds);
int hbdb_sem_timedWait_us(void *sem, uint32_t microseconds);
int hbdb_sem_timedWait_binary(void *sem, uint32_t seconds);
int hbdb_sem_Post(void *sem);
int hbdb_sem_Post_binary(void *sem);
int hbdb_sem_Close(void *sem);
int hbdb_sem_Destroy(const char *name);
int hbdb_sem_Get_Value(void *sem, int32_t *value);

/* Semaphore item handlers. */
int zrdbsemp_create(ZRDB_DIT *dit);
int zrdbsemp_open(ZRDB_DIT *dit);
int zrdbsemp_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);
int zrdbsemp_print(ZRDB_DIT *dit, int32_t mode);
int zrdbsemp_close(ZRDB_DIT *dit);
int zrdbsemp_free(ZRDB_DIT *dit);

/* Semaphore item functions: the handler's result, -1 for an id out of range,
 * -3 when this process has no d_ctrl for the item or it is not a semaphore,
 * ZRDB_ERR_CORRUPT for a damaged record. The same -3 holds for the circular
 * and message buffer functions given an item of another type. */
int zrdb_semaPost(int32_t id, int32_t binary);
int zrdb_semaWait(int32_t id);
int zrdb_semaWait_timeout_us(int32_t id, uint32_t microseconds); /* 0: no limit */
int zrdb_semaGetValue(int32_t id, int32_t *value);
/* Time in ns that this process's semaphore item waits (and so the call
 * pattern's) poll before they block; 0 blocks at once. Returns the previous
 * setting, or -1 (nothing changed) below 0 or above 10000000. It overrides
 * ZRDB_SPIN_NS in the environment and the build's default. */
long zrdb_setSpinWait(long nanoseconds);

/* ------------------------------------------------------------------------ */
/* Circular buffers                                                          */
/* ------------------------------------------------------------------------ */

/* Parameter block of zrdbcbuf_ctrl (process-local, not shared). */
typedef struct ZRDB_CBUF_PARA {
  void *msg;        /* message part: source (write) or destination (read) */
  int32_t msize;    /* write: its length; read: capacity of msg */
  void *data;       /* data part */
  int32_t dsize;    /* write: its length; read: capacity of data */
  int32_t msgLen;   /* read: bytes delivered to msg */
  int32_t dataLen;  /* read: bytes delivered to data */
  int32_t did;      /* set by the handler to the item's id, for messages */
} ZRDB_CBUF_PARA;

/* Data area of a cbuf item (size E*N): this header, then N slots of E bytes.
 * rd is advanced only by the reader and wr only by the writer; each hands
 * its index over with a release store that the other side reads with an
 * acquire load, so a published slot is complete when it is seen. */
typedef struct ZRDB_CBUF_HDR {
  int32_t rd;   /* next slot to read, 0..N-1; rd == wr: empty */
  int32_t wr;   /* next slot to write, 0..N-1 */
  uint32_t of;  /* overflow count: writes that left N-1 records */
  uint32_t uf;  /* underflow count: reads that found it empty */
  uint32_t mbl; /* maximum buffer level seen after a write */
} ZRDB_CBUF_HDR;

/* Head of slot i, at 20 + i*E: the message part follows it, the data part
 * follows the message part. A record fits when msgLen + dataLen <= E - 12:
 * the last 4 bytes of a slot stay unused. */
typedef struct ZRDB_CBUF_SLOT {
  uint32_t msgLen;
  uint32_t dataLen;
} ZRDB_CBUF_SLOT;

int zrdbcbuf_create(ZRDB_DIT *dit);
int zrdbcbuf_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);
int zrdbcbuf_print(ZRDB_DIT *dit, int32_t mode);

/* Writes one two-part record. A full buffer is overwritten, not refused.
 * Returns 0, -1 (id out of range, a part missing or too big: no record
 * published; or a buffer without slots or whose slots are below 12 bytes),
 * -3 (not bound here), ZRDB_ERR_CORRUPT (damaged record or index). */
int zrdb_cbufWrite(int32_t did, const void *msg, int32_t msize, const void *data,
                   int32_t dsize);
/* Reads one record; a part whose destination is missing or too small is
 * skipped (length 0) but the record is consumed. Returns 0 (lengths
 * stored), -1 (empty, id out of range or unusable buffer), -3,
 * ZRDB_ERR_CORRUPT. */
int zrdb_cbufRead(int32_t did, void *msg, int32_t msize, void *data, int32_t dsize,
                  int32_t *msgLen, int32_t *dataLen);

/* ------------------------------------------------------------------------ */
/* Message buffers and the call pattern                                      */
/* ------------------------------------------------------------------------ */

#define ZRDB_MSGBUF_PAYLOAD 64

/* Parameter block of zrdbmsgbuf_ctrl (process-local). */
typedef struct ZRDB_MSGBUF_PARA {
  int32_t *from;
  int32_t *arg;
  int32_t *msize;
  void *payload; /* 64 bytes */
} ZRDB_MSGBUF_PARA;

/* Data area of a msgbuf item (size E*N, E >= 76): this header, then N
 * slots of E bytes, each starting with a ZRDB_MSGBUF_MSG. Indices are
 * handed over like those of ZRDB_CBUF_HDR. */
typedef struct ZRDB_MSGBUF_HDR {
  int32_t rd; /* next slot to read; rd == wr: empty */
  int32_t wr; /* next slot to write */
} ZRDB_MSGBUF_HDR;

typedef struct ZRDB_MSGBUF_MSG {
  int32_t from;  /* sending item */
  int32_t arg;   /* carried unchanged */
  int32_t msize; /* payload length given by the sender */
  /* always copied whole, whatever msize says */
  uint8_t payload[ZRDB_MSGBUF_PAYLOAD];
} ZRDB_MSGBUF_MSG;

int zrdbmsgbuf_create(ZRDB_DIT *dit);
int zrdbmsgbuf_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);
int zrdbmsgbuf_print(ZRDB_DIT *dit, int32_t mode);
int zrdbmsgbuf_free(ZRDB_DIT *dit);

/* Queue one message (payload: 64 bytes read when msize is not 0). Returns
 * 0, -1 (null payload with a length, id out of range, or a buffer whose
 * slots are below 76 bytes), -3, ZRDB_ERR_CORRUPT. Buffers with such slots
 * are created (emptied) like any other, but refused here. */
int zrdb_msgbufWrite(int32_t did, int32_t from, int32_t arg, int32_t msize,
                     const void *payload);
/* Take one message (payload: room for 64 bytes). Returns 0, -1 (empty or
 * null address), -3, ZRDB_ERR_CORRUPT. */
int zrdb_msgbufRead(int32_t did, int32_t *from, int32_t *arg, int32_t *msize, void *payload);
/* Empties the buffer. Returns 0, -1 (id out of range) or -3. */
int zrdb_msgbufClear(int32_t did);
/* Call pattern: post a message to each server of the item's realtime-control
 * block, wake it, and (sync = 1) wait for its acknowledgement. A missing
 * acknowledgement only prints a time-out line. Returns 0, or -1 when did
 * does not resolve to an item id. */
int zrdb_callMsgbufWrite(int32_t did, const void *payload, int32_t msize, int32_t arg,
                         int32_t sync);
/* As zrdb_callMsgbufWrite with timeoutMs in place of every entry's time-out:
 * negative waits without limit, 0 checks once. */
int zrdb_callMsgbufWriteTimeout(int32_t did, const void *payload, int32_t msize, int32_t arg,
                                int32_t sync, int32_t timeoutMs);

/* What became of one realtime-control entry in zrdb_callMsgbufWriteEx. */
enum {
  ZRDB_CALL_SKIPPED = 0,      /* the entry does not take this kind of call */
  ZRDB_CALL_ACKNOWLEDGED = 1, /* synchronous: the server acknowledged */
  ZRDB_CALL_SENT = 2,         /* asynchronous: message queued, server woken */
  ZRDB_CALL_TIMED_OUT = 3,    /* synchronous: no acknowledgement in time */
  ZRDB_CALL_UNBOUND = 4       /* an item of the entry is not bound here: nothing sent */
};
typedef struct ZRDB_CALL_ENTRY {
  int32_t outcome; /* ZRDB_CALL_* */
  int32_t item;    /* ZRDB_CALL_UNBOUND: the item to list in the application file, else -1 */
} ZRDB_CALL_ENTRY;

/* The call pattern of zrdb_callMsgbufWriteTimeout, that says what happened.
 * timeoutMs: milliseconds for every entry, -1 without limit, 0 checks once,
 * ZRDB_CALL_CONFIGURED_TIMEOUT (or below) each entry's configured time-out. An entry whose message buffer, request semaphore or (sync = 1)
 * acknowledge semaphore this process has not bound gets nothing. When
 * `entries` is not null it receives one record per realtime-control entry
 * (ZRDB_RT_MAX records; those past the item's entries are SKIPPED).
 * Returns 0 when every entry that takes the call was acknowledged (sync = 1)
 * or sent (sync = 0); ZRDB_ERR_UNBOUND when an entry was not bound (logged
 * with the item to list), else ZRDB_ERR_TIMEOUT when one timed out;
 * ZRDB_ERR_NO_SERVER when no entry takes this kind of call; -1 when did does
 * not resolve to an item id; -2 (not defined) or ZRDB_ERR_CORRUPT for the
 * calling item. */
#define ZRDB_CALL_CONFIGURED_TIMEOUT (-2)
int zrdb_callMsgbufWriteEx(int32_t did, const void *payload, int32_t msize, int32_t arg,
                           int32_t sync, int32_t timeoutMs, ZRDB_CALL_ENTRY *entries);

ZRDB_VISIBLE_END
#ifdef __cplusplus
}
#endif

#endif /* ZRDB_COMM_H */
