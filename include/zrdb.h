/*
 * zrdb.h - ZRDB, a shared-memory database for cooperating processes.
 *
 * Overview
 * --------
 * A database is a fixed catalogue of up to 5000 typed items, numbered by their
 * item id (ZRDID, 0..4999), defined by a text configuration file and held in
 * two System V shared-memory segments:
 *   - the index segment (fixed key 0x20150427): a ZRDB_SYS_HDR followed by one
 *     ZRDB_ITEM_DESC per possible id;
 *   - the data segment (key and size from the [system] section): the items'
 *     data areas, placed in configuration-file order.
 *
 * Every process starts the same way:
 *   1. zrdb_cfgParse(dbfile)   attach the index, parsing the file if needed;
 *   2. zrdb_Init(mode, list)   attach the data segment and bind handlers
 *      (or zrdb_appInit(appfile, params, mode), which builds the list);
 *   3. use the access functions (zrdb_getValue, zrdb_setiValue, ...);
 *   4. zrdb_Cleanup()          close and detach.
 * The allocating process calls zrdb_Init(HBUSER_ALLOCATE, NULL); the removal
 * tool calls zrdb_Init(HBUSER_REMOVE, NULL) and then zrdb_Remove().
 *
 * Caveats
 * -------
 *   - Set-up runs once per process, from one thread, before other threads use
 *     the database. The access functions take no lock.
 *   - Circular and message buffers assume one writer and one reader at a time.
 *   - The shared records use 32-bit little-endian words; they never hold
 *     pointers, only ids and offsets.
 *   - Diagnostics go to the system log and to standard output.
 *
 * Results: 0 is success, small negative numbers are failures; each function
 * lists its codes. The library never throws and never aborts on bad input.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef ZRDB_H
#define ZRDB_H

#include "zrdb_export.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
ZRDB_VISIBLE_BEGIN

/* ------------------------------------------------------------------------ */
/* Constants                                                                 */
/* ------------------------------------------------------------------------ */

#define ZRDB_MAX_ITEMS 5000           /* ids 0..4999 */
#define ZRDB_INDEX_KEY 538248231      /* 0x20150427, key of the index segment */
#define ZRDB_SYS_HDR_SIZE 48
#define ZRDB_ITEM_DESC_SIZE 292
#define ZRDB_INDEX_SIZE 1460048       /* 48 + 5000 * 292 */
#define ZRDB_MAGIC 0x32AC230u         /* index is valid */
#define ZRDB_ITEM_NAME_LEN 32
#define ZRDB_VALUE_LEN 128
#define ZRDB_RT_MAX 5                 /* realtime-control entries per item */
#define ZRDB_RT_DEFAULT_TIMEOUT 2     /* milliseconds */
#define ZRDB_LINE_LEN 1024            /* configuration line buffer */
#define ZRDB_FILE_MAX 4194304       /* largest database or application file (4 MiB) */

/* Result of every function that reaches an item whose record in the index
 * or data segment is damaged (an offset, size or count that does not fit the
 * segment, an unknown type). The reason is logged with the item's id. */
#define ZRDB_ERR_CORRUPT (-9)
/* Results of the functions of ours below (and of the C++ layer, zrdb.hpp):
 * the element size is not what the caller reads or writes; this process is
 * attached already; a call found no acknowledgement within its time-out; an
 * item is defined but this process has not bound it (it is missing from the
 * application file); an item has no server for the kind of call made. */
#define ZRDB_ERR_SIZE (-10)
#define ZRDB_ERR_ATTACHED (-11)
#define ZRDB_ERR_TIMEOUT (-12)
#define ZRDB_ERR_UNBOUND (-13)
#define ZRDB_ERR_NO_SERVER (-14)

/* A short English text for any result of the library's functions: 0, -1 ..
 * -5 (whose exact meaning each function lists) and the ZRDB_ERR_* codes;
 * "unknown result" for any other value. Never NULL; static storage. */
const char *zrdb_strerror(int code);

#define ZRDB_FLAG_ACTIVE 0x1u         /* descriptor is defined */
#define ZRDB_FLAG_BOUND 0x2u          /* some process bound handlers */

#define ZRDB_SYMBLINK_BASE 10000      /* link ids 10000..10099 */
#define ZRDB_SYMBLINK_MAX 100
#define ZRDB_APP_LIST_LEN 1024        /* item list of zrdb_appInit */

/* Item types (codes of DBITEMTYPE_MAP). */
enum {
  ZRDB_TYPE_USER = 0,
  ZRDB_TYPE_INTEGER = 1,
  ZRDB_TYPE_STRING = 2,
  ZRDB_TYPE_SEMAP = 3,
  ZRDB_TYPE_CBUF = 4,
  ZRDB_TYPE_VLINKMST = 5,
  ZRDB_TYPE_VLINKSLV = 6,
  ZRDB_TYPE_MSGBUF = 7,
  ZRDB_TYPE_THRD_RBUF = 8,
  ZRDB_TYPE_THRD_FIFO = 9,
  ZRDB_TYPE_RMTBUF = 10,
  ZRDB_TYPE_VLINKBUF = 11,
  ZRDB_TYPE_COUNT = 12
};

/* User modes, the first argument of zrdb_Init. HBUSER_CLIENT and
 * HBUSER_COMPONENT behave identically. */
enum {
  HBUSER_ALLOCATE = 0,
  HBUSER_REMOVE = 1,
  HBUSER_PRINT = 2,
  HBUSER_CLIENT = 3,
  HBUSER_VLINK_DAEMON = 4,
  HBUSER_COMPONENT = 5
};

/* Operation codes of the communication objects (d_ctrl). */
enum { ZRDBSEMPOP_WAIT = 0, ZRDBSEMPOP_POST = 1, ZRDBSEMPOP_GETVALUE = 2 };
enum { ZRDBCBUFOP_READ = 0, ZRDBCBUFOP_WRITE = 1 };
enum { ZRDBMSGBUFOP_READ = 0, ZRDBMSGBUFOP_WRITE = 1 };

/* ------------------------------------------------------------------------ */
/* Shared-memory records (index segment)                                     */
/* ------------------------------------------------------------------------ */

/* Offset 0 of the index segment; 48 bytes. */
typedef struct ZRDB_SYS_HDR {
  uint32_t magic;  /* ZRDB_MAGIC once a configuration parsed cleanly */
  char name[32];   /* system name; not necessarily NUL-terminated */
  uint32_t size;   /* data segment size, whole pages */
  int32_t maxDid;  /* highest defined id */
  int32_t key;     /* SysV key of the data segment */
} ZRDB_SYS_HDR;

/* Realtime-control block of a descriptor: up to five (message buffer,
 * request semaphore, acknowledge semaphore, time-out) entries. */
typedef struct ZRDB_RT_CTRL {
  int32_t rtA[ZRDB_RT_MAX];       /* message-buffer item */
  int32_t rtB[ZRDB_RT_MAX];       /* request semaphore item */
  int32_t rtC[ZRDB_RT_MAX];       /* acknowledge semaphore item, 0 = none */
  int32_t rtTimeout[ZRDB_RT_MAX]; /* acknowledge time-out, milliseconds */
  uint32_t rtCount;               /* entries in use, 0..5 */
} ZRDB_RT_CTRL;

/* Where updates of an item are mirrored; {-1, -1, 0} = nowhere. */
typedef struct ZRDB_SYNCTO {
  int32_t rmtDid;
  int32_t remoteId;
  int32_t mode;
} ZRDB_SYNCTO;

/* Offset 48 + 292 * id of the index segment; 292 bytes. Written only by the
 * configuration parser, except the ZRDB_FLAG_BOUND bit. */
typedef struct ZRDB_ITEM_DESC {
  char name[32];          /* at most 31 characters, NUL-padded */
  int32_t did;            /* the item's own id */
  uint32_t flags;         /* ZRDB_FLAG_ACTIVE | ZRDB_FLAG_BOUND */
  int32_t size;           /* bytes in the data segment, multiple of 4 */
  int32_t elemSize;       /* E of the size key */
  int32_t count;          /* N of the size key */
  uint16_t mapB;          /* mapto A:B:C, stored only */
  uint16_t mapC;
  int32_t mapA;
  int32_t type;           /* ZRDB_TYPE_* */
  uint8_t reserved[128];  /* zero */
  uint32_t offset;        /* of the data area in the data segment */
  ZRDB_RT_CTRL rt;        /* realtime-control block */
  ZRDB_SYNCTO syncto;     /* mirroring target */
} ZRDB_ITEM_DESC;

/* ------------------------------------------------------------------------ */
/* Per-process records                                                       */
/* ------------------------------------------------------------------------ */

typedef struct ZRDB_DIT ZRDB_DIT;

/* Handler table: one per item per process; a null slot means the operation
 * is not available to this process for this item. */
typedef struct ZRDB_ITEM_OPS {
  int (*d_create)(ZRDB_DIT *dit);
  int (*d_open)(ZRDB_DIT *dit);
  int (*d_get)(ZRDB_DIT *dit, void *buf, int32_t len);
  int (*d_set)(ZRDB_DIT *dit, const void *buf, int32_t len);
  int (*d_print)(ZRDB_DIT *dit, int32_t mode);
  int (*d_iget)(ZRDB_DIT *dit, int32_t idx, void *buf, int32_t len);
  int (*d_iset)(ZRDB_DIT *dit, int32_t idx, const void *buf, int32_t len);
  int (*d_iprint)(ZRDB_DIT *dit, int32_t idx, int32_t verbose);
  int (*d_ctrl)(ZRDB_DIT *dit, int32_t op, intptr_t para);
  int (*d_close)(ZRDB_DIT *dit);
  int (*d_free)(ZRDB_DIT *dit);
  ZRDB_DIT *dit; /* back pointer: the first argument of every handler */
} ZRDB_ITEM_OPS;

/* One entry per item id in the process's index. */
struct ZRDB_DIT {
  void *data;             /* dataBase + offset; set only by the id-list bind */
  ZRDB_ITEM_OPS *op;      /* bound handlers, null while unbound */
  intptr_t para;          /* private per-process state of the handlers */
  ZRDB_ITEM_DESC *desc;   /* descriptor in the index segment */
};

/* One heap node per defined item, in configuration-file order after a parse,
 * in ascending id order after a rebuild from a valid index. */
typedef struct ZRDB_DIDNODE {
  int32_t did;
  char value[ZRDB_VALUE_LEN]; /* initial-value text, empty after a rebuild */
  struct ZRDB_DIDNODE *next;
} ZRDB_DIDNODE;

/* The process's private index (zrdbIndexHdr). */
typedef struct ZRDB_INDEX_HDR {
  int32_t dataShmId;
  uint32_t nextOffset; /* next free data byte while a file is parsed */
  int32_t idxShmId;
  uint32_t idxSize;
  void *dataBase;      /* data segment in this process */
  ZRDB_DIDNODE *didHead;
  ZRDB_DIDNODE *didTail;
  ZRDB_DIT dit[ZRDB_MAX_ITEMS];
  ZRDB_SYS_HDR *sysHdr; /* index segment in this process */
} ZRDB_INDEX_HDR;

/* A keyword table entry: keyword and its code (= position). */
typedef struct ZRDB_KEYMAP {
  char key[32];
  int32_t code;
} ZRDB_KEYMAP;

/* The 16-byte size/map block of a configuration line. */
typedef struct ZRDB_SIZE_MAP {
  int32_t elemSize; /* E */
  int32_t count;    /* N */
  uint16_t mapB;
  uint16_t mapC;
  int32_t mapA;
} ZRDB_SIZE_MAP;

/* One (item id, element index) pair of a symbolic link. */
typedef struct ZRDB_SYMPAIR {
  int16_t did;
  int16_t idx;
} ZRDB_SYMPAIR;

/* A symbolic link: link id 10000 + k maps element i to pairs[i]. One
 * allocation: the pairs follow the record inline, from byte 136. (C++ has
 * no flexible array members; GCC and clang accept them as in C.) */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
typedef struct ZRDB_SYMBLINK {
  char name[128];
  int32_t count;        /* number of pairs */
  int32_t pairSize;     /* always 4 */
  ZRDB_SYMPAIR pairs[]; /* count pairs, (-1, -1) until filled */
} ZRDB_SYMBLINK;
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

/* Parameter table entry of zrdb_appInit; the table ends at a null pdid. */
typedef struct ZRDB_APP_PARAM {
  int32_t *pdid;  /* receives the id (or link id) of the named item */
  char name[128];
} ZRDB_APP_PARAM;

/* Result of zrdb_getUserBlkInfo. */
typedef struct ZRDB_BLK_INFO {
  void *addr;
  int32_t size;
} ZRDB_BLK_INFO;

/* ------------------------------------------------------------------------ */
/* Process-wide variables                                                    */
/* ------------------------------------------------------------------------ */

extern ZRDB_INDEX_HDR zrdbIndexHdr;
extern int32_t glb_vLinkDid;              /* VLINK master item, -1 = none */
extern ZRDB_SYMBLINK *glb_symblink[ZRDB_SYMBLINK_MAX];
extern int32_t glb_symblink_total;
extern int32_t glb_ZrdbDebugLvl;
extern char zrdbdbg_app_name[64];         /* "NONAME" until set */
extern uint32_t zrdbdbg_app_syslog_counter;

extern const ZRDB_KEYMAP DBITEMTYPE_MAP[12];
extern const ZRDB_KEYMAP DBSEGEKY_MAP[10];
extern const ZRDB_KEYMAP SYSSEGKEY_MAP[3];

/* ------------------------------------------------------------------------ */
/* Keywords and value parsers                                                */
/* ------------------------------------------------------------------------ */

/* Position of `key` in the keyword table `map` (one of the three tables
 * above, recognised by address), or -1. Exact, case-sensitive. */
int getKeyMapIdx(const ZRDB_KEYMAP *map, const char *key);

/* "E" or "E*N": out->elemSize = E, out->count = N (1 when absent).
 * Returns 0 when E and N are both non-zero, else -1. */
int getSizeFromStr(const char *text, ZRDB_SIZE_MAP *out);
/* "A:B:C": fills mapA always, mapB and mapC when present. Returns 0, -1 (no
 * B), -2 (no C) or -3 (B is 0). */
int getMapInfoFromStr(const char *text, ZRDB_SIZE_MAP *out);
/* "A*B" or "A*B*C": appends a realtime-control entry {A, B, C or 0, 2}.
 * Returns 0, or -1 (nothing appended) without "*" or when the block is full. */
int getIdFromStr(const char *text, ZRDB_RT_CTRL *rt);
/* "A:B" or "A:B:C": out = {A, B, C or 0}. Returns 0, or -1 without ":". */
int getSyncInfoFromStr(const char *text, ZRDB_SYNCTO *out);
/* Copies colon-separated field n of `text` into dst (at most dstSize - 1
 * characters, NUL-terminated; empty when there is no such field). Returns 0. */
int getItemFromStr(const char *text, int n, char *dst, int dstSize);

/* ------------------------------------------------------------------------ */
/* Set-up                                                                    */
/* ------------------------------------------------------------------------ */

/* Opens `path` for reading when it is a regular file of at most maxSize
 * bytes (any size when maxSize is negative): a FIFO, a device or a directory
 * is refused without blocking. The database and application files are read
 * through it, with ZRDB_FILE_MAX. Returns a close-on-exec descriptor, or -1
 * with errno set: EINVAL (not a regular file), EFBIG (larger than maxSize)
 * or the error of the open. */
int zrdb_openRegularFile(const char *path, int64_t maxSize);
/* Why zrdb_openRegularFile refused, from its errno: "not a regular file",
 * "larger than allowed", "owned by another user" or strerror's text. */
const char *zrdb_fileProblem(int err);

/* Attaches the index segment, creating it and parsing `path` when it is new
 * or invalid, otherwise rebuilding this process's item list from it.
 * Returns 0, -1 (segment or file failure) or the parser's negative result. */
int zrdb_cfgParse(const char *path);
/* As zrdb_cfgParse, but always parses `path` again. */
int zrdb_cfgParseFromFile(const char *path);

/* Attaches (mode HBUSER_ALLOCATE: creates and fills) the data segment and
 * binds handler tables by item type and user mode. idList (ended by a value
 * outside 0..4999) binds only the listed items, modes 3 and 5; mode 4
 * ignores it. Returns 0, -1 (segment, allocation or handler failure; also a
 * data key of 0 or equal to the index key), -2 (id list with a mode other
 * than 3, 4, 5) or ZRDB_ERR_CORRUPT (a damaged item record: the walk stops
 * there, except in HBUSER_REMOVE and HBUSER_PRINT, which bind every sound
 * item first). */
int zrdb_Init(int32_t mode, const int32_t *idList);
/* Attach of the VLINK link daemon. `arg` is unused. Returns 0 or -1. */
int zrdb_Init_daemon(int32_t arg);
/* Closes every bound item, frees the item list and the symbolic links and
 * detaches the data segment. Returns 0. */
int zrdb_Cleanup(void);
/* Releases the items' system objects, then removes the data segment and
 * the index segment. Requires zrdb_Init (normally HBUSER_REMOVE). Returns
 * the result of removing the index segment (0 or -1). */
int zrdb_Remove(void);

/* Reads the application file `path`, stores the ids of the items named in
 * `params` (may be null), builds the symbolic links and calls zrdb_Init with
 * the ids the file names. Returns zrdb_Init's result, -1 when the file cannot
 * be opened, -2 when the item list cannot be allocated. */
int zrdb_appInit(const char *path, ZRDB_APP_PARAM *params, int32_t mode);
/* With the index attached, zrdb_appInit refuses an application file that
 * names an item id (on an id line or in a link's ranges) the database does
 * not define: every such line is logged and -2 is returned without calling
 * zrdb_Init. */

/* The one rule by which a name becomes an id, for every layer: the names of
 * the application files this process read (items and links; of two lines
 * with the same name the later one, as for the parameter table), then the
 * names of the database's defined items (within their 31 characters).
 * Returns the id (0..4999 or a link id), -1 for a null or empty name, -2
 * when nothing has that name. The application files' names are forgotten at
 * zrdb_Cleanup. */
int32_t zrdb_findItem(const char *name);

/* ------------------------------------------------------------------------ */
/* Value access                                                              */
/* ------------------------------------------------------------------------ */
/* `id` is an item id 0..4999 or a link id 10000..10099. Unless stated, the
 * functions return the handler's result, or -1 (id out of range), -2 (item
 * not defined), -3 (this process has no such handler for the item) or
 * ZRDB_ERR_CORRUPT (the item's record is damaged; checked before each use). */

/* Translates a link id: stores the item id (and, when outIdx is not null,
 * the element index) of the link's pair `idx` and returns 1; returns 0 and
 * stores nothing for any other id. A link this process did not define, or
 * an element beyond the link's pairs, translates to item id -1. */
int zrdb_symblink_check(int32_t id, int32_t idx, int32_t *outId, int32_t *outIdx);

/* Copies min(size, len) bytes of the item into / from buf. */
int zrdb_getValue(int32_t id, void *buf, int32_t len);
int zrdb_setValue(int32_t id, const void *buf, int32_t len);
/* Prints the item; mode 1 adds the "%04d: %-10s: " prefix, non-zero is verbose. */
int zrdb_printValue(int32_t id, int32_t mode);
/* Element-indexed forms; the copy never leaves the item. */
int zrdb_getiValue(int32_t id, int32_t idx, void *buf, int32_t len);
int zrdb_setiValue(int32_t id, int32_t idx, const void *buf, int32_t len);
int zrdb_printiValue(int32_t id, int32_t idx, int32_t verbose);
/* As zrdb_getiValue / zrdb_setiValue; the local set sends no sync notice, the
 * local get's notice carries element 0. */
int zrdb_local_getiValue(int32_t id, int32_t idx, void *buf, int32_t len);
int zrdb_local_setiValue(int32_t id, int32_t idx, const void *buf, int32_t len);

/* Descriptor queries: the item must be defined, not bound. */
int zrdb_getType(int32_t id);       /* type code, or -1 / -2 */
int zrdb_item_size(int32_t id);     /* elemSize, or -1 / -2 */
int zrdb_item_count(int32_t id);    /* count, or -1 / -2 */
const char *zrdb_getName(int32_t id); /* name in the index, or NULL */
int zrdb_getUserBlkInfo(int32_t id, ZRDB_BLK_INFO *info); /* 0, -1, -2 */
/* 1 when the item is defined and bound by some process, else 0. No link
 * translation. */
int zrdb_isOperational(int32_t id);
/* 0 when this process bound the item (a link: the item of its pair 0) and
 * has its data segment attached, so that the access functions can reach it;
 * -1 (id out of range), -2 (not defined) or ZRDB_ERR_UNBOUND. */
int zrdb_checkBound(int32_t id);

/* Checks the item's descriptor against the segments this process attached:
 * type, offset, size, element size and count must describe an area inside
 * the data segment (or, with only the index attached, be consistent among
 * themselves). No link translation. Returns 0, -1 (id out of range), -2 (not
 * defined) or ZRDB_ERR_CORRUPT, logging why. */
int zrdb_checkItem(int32_t id);

/* Prints the system header and every item of the list in verbose form.
 * Returns the result of writing the last line (negative on failure). */
int zrdb_dumpAll(void);
void *zrdb_getBaseAddr(void);
ZRDB_INDEX_HDR *zrdb_getInfoHdr(void);
void zrdb_setDebugLvl(int32_t level);

/* Mirroring hook, called by the access functions before the handler.
 * Returns -1 when `mode` differs from the item's syncto mode, else 0. */
int zrdb_callSynctoMessageInternal(int32_t did, int32_t idx, const void *buf, int32_t len,
                                   int32_t mode);

/* ------------------------------------------------------------------------ */
/* Plain item handlers (user, integer, string)                               */
/* ------------------------------------------------------------------------ */
/* All return 0; an element index outside 0..count-1 is logged and ignored. */
int zrdbgeneric_get(ZRDB_DIT *dit, void *buf, int32_t len);
int zrdbgeneric_set(ZRDB_DIT *dit, const void *buf, int32_t len);
int zrdbgeneric_iget(ZRDB_DIT *dit, int32_t idx, void *buf, int32_t len);
int zrdbgeneric_iset(ZRDB_DIT *dit, int32_t idx, const void *buf, int32_t len);
int zrdbgeneric_print(ZRDB_DIT *dit, int32_t verbose);
int zrdbgeneric_iprint(ZRDB_DIT *dit, int32_t idx, int32_t verbose);
int zrdbint_print(ZRDB_DIT *dit, int32_t verbose);
int zrdbint_iprint(ZRDB_DIT *dit, int32_t idx, int32_t verbose);
int zrdbuser_print(ZRDB_DIT *dit, int32_t verbose);
int zrdbuser_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);

ZRDB_VISIBLE_END
#ifdef __cplusplus
}
#endif

/* Semaphores, buffers and the call pattern; thread FIFOs and ring-buffer
 * pools; network transports; VLINK; diagnostics. */
#include "zrdb_comm.h"
#include "zrdb_threads.h"
#include "zrdb_net.h"
#include "zrdb_vlink.h"
#include "zrdb_diag.h"

#endif /* ZRDB_H */
