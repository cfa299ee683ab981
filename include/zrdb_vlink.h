/*
 * zrdb_vlink.h - VLINK: reading and writing items of peer systems through a
 * link daemon (zrdb-vlinkd). Included by zrdb.h; not meant to be included
 * on its own.
 *
 * A VLINK master item (type vlinkmst) holds the link configuration
 * "NLINK[:HOST[:PORT]]" and the state of up to 32 links (1 = up). In an
 * application, zrdb_VLINKGetValue / zrdb_VLINKSetValue become one
 * transaction each with the link daemon over a System V message queue
 * (key ZRDB_VLINK_QUEUE_KEY): a request message, answered by a response
 * that echoes op, lid, itemId, itemIdx and the transaction number in aux
 * within 5 seconds; answers with another number (of transactions given up
 * earlier) are dropped. Transactions of
 * all processes are serialised by the named semaphore "/vlinkmstsemp". A
 * VLINK slave item (type vlinkslv) holds the state of one link.
 *
 * A transaction waits at most 5 seconds for its answer, ended by a SIGALRM
 * sent to the waiting thread alone: the process's SIGALRM handler is the
 * library's once a master item is open.
 */
#ifndef ZRDB_VLINK_H
#define ZRDB_VLINK_H

#include "zrdb_export.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
ZRDB_VISIBLE_BEGIN

#define ZRDB_VLINK_QUEUE_KEY 99128 /* 0x18338 */
#define ZRDB_VLINK_REQUEST_TYPE 2  /* application to daemon */
#define ZRDB_VLINK_RESPONSE_TYPE 1 /* daemon to application */
#define ZRDB_VLINK_MSG_SIZE 544    /* message size of every send and receive */
#define ZRDB_VLINK_DATA_MAX 512
#define ZRDB_VLINK_MAX_LINKS 32
#define ZRDB_VLINK_SEMAPHORE "/vlinkmstsemp"
#define ZRDB_VLINK_DEFAULT_PORT 50712
#define ZRDB_VLINK_TIMEOUT_S 5

enum {
  ZRDBVLINKOP_GETVALUE = 0,
  ZRDBVLINKOP_SETVALUE = 1,
  ZRDBVLINKOP_GETSTATUS = 2,
  ZRDBVLINKOP_SETSTATUS = 3
};

/* One VLINK operation, as the access functions describe it to d_ctrl. */
typedef struct ZRDB_VLINK_MSG {
  uint16_t op;                       /* ZRDBVLINKOP_* */
  uint16_t status;                   /* preset 0xFFFF; 0 = done */
  uint32_t lid;                      /* link number, 0..nlink-1 */
  int32_t itemId;                    /* peer item */
  int32_t itemIdx;                   /* its element */
  uint32_t size;                     /* value bytes, at most 512 carried */
  uint32_t aux;                      /* not sent: aux carries the transaction number */
  uint8_t data[ZRDB_VLINK_DATA_MAX]; /* value, or the link state word */
} ZRDB_VLINK_MSG;

/* A message on the queue (request and response alike), 548 bytes: the type
 * word, then the ZRDB_VLINK_MSG_SIZE bytes that msgsnd/msgrcv carry. */
typedef struct ZRDB_VLINK_WIRE {
  int32_t mtype;   /* ZRDB_VLINK_REQUEST_TYPE or ZRDB_VLINK_RESPONSE_TYPE */
  uint32_t one;    /* a request carries 1 */
  uint32_t op;     /* echoed by the response */
  uint32_t lid;    /* echoed */
  int32_t itemId;  /* echoed */
  int32_t itemIdx; /* echoed */
  uint32_t aux;    /* request: the transaction number; echoed */
  uint32_t result; /* request: low nibble 0xF; response: low nibble 0 = success */
  uint32_t size;   /* request: min(size, 512) */
  uint8_t value[ZRDB_VLINK_DATA_MAX]; /* set: the value; get response: the value read */
} ZRDB_VLINK_WIRE;

/* Sending and receiving a ZRDB_VLINK_WIRE on the queue. The system's
 * message type word is a native long (8 bytes on a 64-bit machine), so a
 * ZRDB_VLINK_WIRE must not be handed to msgsnd/msgrcv as it is: these copy
 * the ZRDB_VLINK_MSG_SIZE body bytes (from `one` on) and the type, and keep
 * the body the same on every machine. Results and errno as msgsnd/msgrcv. */
int zrdb_vlink_msgsnd(int queue, const ZRDB_VLINK_WIRE *msg, int flags);
int zrdb_vlink_msgrcv(int queue, ZRDB_VLINK_WIRE *msg, long type, int flags);

/* Per-process context of an open master item (the ZRDB_DIT's para). */
typedef struct ZRDB_VLINK_CTX {
  int32_t nlink;
  char host[64];
  int32_t port;
  void *sem; /* "/vlinkmstsemp"; null in the daemon */
} ZRDB_VLINK_CTX;

/* The queue identifier (created if absent); ends the process when the
 * system refuses the queue. */
int GetVlinkMsgQ(void);
/* Obtains the queue and drops stale requests and responses (oversize ones
 * too). Returns 0. */
int ipc_init(void *ctx);
/* One transaction for msg: 0 when its answer arrived (msg->status says
 * whether it was a success), -1 without a queue, -2 when sending failed or
 * no answer with the request's transaction number came within 5 seconds. */
int ipc_do_xact(void *ctx, ZRDB_VLINK_MSG *msg);
int ipc_close(void *ctx);
void ALARMhandler(int sig);
/* Parses "NLINK[:HOST[:PORT]]" into ctx. Returns 0. */
int parseVlinkStr(const char *text, ZRDB_VLINK_CTX *ctx);
int32_t getLinkStatus(const void *data, uint32_t lid);
int setLinkStatus(void *data, uint32_t lid, int32_t value);

int zrdbvlmst_create(ZRDB_DIT *dit);
int zrdbvlmst_free(ZRDB_DIT *dit);
int zrdbvlmst_open(ZRDB_DIT *dit);
int zrdbvlmst_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);
int zrdbvlmst_close(ZRDB_DIT *dit);
int zrdbvlmst_daemon_open(ZRDB_DIT *dit);
int zrdbvlmst_daemon_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);
int zrdbvlmst_daemon_close(ZRDB_DIT *dit);
int zrdbvlslv_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);

/* did: the master item (or a link id to it). Results: 0; -1 link number
 * out of range, link down, no answer or a failed answer; -3 the item is not
 * bound here (or is not a VLINK item); ZRDB_ERR_CORRUPT. */
int zrdb_VLINKGetStatus(int32_t did, int32_t lid, int32_t *state);
int zrdb_VLINKSetStatus(int32_t did, int32_t lid, int32_t state);
/* size: bytes of the peer item (512 at most are carried; negative: -1).
 * aux is not sent: the request's aux word carries the transaction number. */
int zrdb_VLINKGetValue(int32_t did, int32_t lid, int32_t aux, int32_t itemId, int32_t itemIdx,
                       void *buf, int32_t size);
int zrdb_VLINKSetValue(int32_t did, int32_t lid, int32_t aux, int32_t itemId, int32_t itemIdx,
                       const void *buf, int32_t size);
/* The number of links of the master item opened in this process, or -1. */
int zrdb_VLINKIdOrNum(int32_t did);

ZRDB_VISIBLE_END
#ifdef __cplusplus
}
#endif

#endif /* ZRDB_VLINK_H */
