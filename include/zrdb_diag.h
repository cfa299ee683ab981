/*
 * zrdb_diag.h - diagnostics: the application's name and debug level, data
 * capture into files, the system debug flag, a microsecond clock and the
 * parameter reader. Included by zrdb.h; not meant to be included on its
 * own. The VSYSDBG functions are C++ only.
 */
#ifndef ZRDB_DIAG_H
#define ZRDB_DIAG_H

#include "zrdb_export.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
ZRDB_VISIBLE_BEGIN

extern int32_t zrdbdbg_debug_lvl;  /* the application's debug level */
extern int32_t zrdbdbg_dump_reset; /* 1 after a level change: capture restarts */

/* Where the library's messages go. Each message goes to the system log and,
 * tagged "|ERR |app|function| " (or WARN, INFO; "|DBG |app(level)|function| "
 * for debug traces), to standard output. A program whose standard output is
 * its data sets a handler: from then on the handler receives each message
 * instead of standard output (the system log still gets its copy), with its
 * level, the library function that issued it, the formatted text (at most
 * 1023 bytes, newline included) and user as given here. A handler that does
 * nothing drops them; a null handler restores standard output. Set it early,
 * before other threads use the library; the handler runs in whichever thread
 * logs, and should not call back into the library. */
enum {
  ZRDB_LOG_ERR = 0,
  ZRDB_LOG_WARN = 1,
  ZRDB_LOG_INFO = 2,
  ZRDB_LOG_DEBUG = 3 /* traces that a debug level switched on */
};
typedef void (*ZRDB_LOG_HANDLER)(int level, const char *function, const char *message, void *user);
void zrdb_setLogHandler(ZRDB_LOG_HANDLER handler, void *user);

/* Opens the system log under name (with the process id, user facility) and
 * makes the first 63 characters of name the application's name. */
void zrdbdbg_setAppName(const char *name);
/* Sets this application's debug level when name is its name, announcing a
 * change on standard error and restarting the capture. 0 when the name
 * matched and the level was already in force; non-zero otherwise. */
int zrdbdbg_updateDebugLvl(const char *name, int32_t level);
/* Applies this application's entry of the debug board, a string item named
 * "zrdb_debug" whose elements read "APP LEVEL" (`zrdbctl debug APP LEVEL`
 * writes them), through zrdbdbg_updateDebugLvl; call it from time to time.
 * -1 without a board, 1 without an entry for this application, else
 * zrdbdbg_updateDebugLvl's result. */
int zrdbdbg_pollDebugLvl(void);
/* Appends len bytes to the capture file path until limit bytes are
 * captured; restarts (truncating the file) after a debug level change. The
 * file is opened without following a symbolic link and used only when it is
 * a regular file of this user (a FIFO or another user's file at the path is
 * refused), then given mode 0644. 0, or -1 when the file cannot be opened or
 * written (or buf is null, or len is negative). */
int zrdbdbg_dumpData(const char *path, const void *buf, int32_t len, int32_t limit);

/* One entry of a zrdbcfg_readParams table; a null dest ends the table. */
typedef struct ZRDB_CFG_PARAM {
  int32_t *pdid; /* the item id (or link id), as zrdb_appInit filled it */
  int32_t idx;   /* element */
  void *dest;
  int32_t len;    /* bytes of dest */
  int32_t direct; /* non-zero: the element's bytes; zero: a number of len (1, 2, 4) bytes */
} ZRDB_CFG_PARAM;

/* For each entry: a synchronous call to the item's servers, then the read.
 * Returns 0. */
int zrdbcfg_readParams(ZRDB_CFG_PARAM *table);

/* The floor of a value access, for measuring what the checks cost: the copy
 * zrdb_getiValue / zrdb_setiValue end in, between buf and base + offset, with
 * no check at all, as an out-of-line call of this library. */
void zrdb_floorGet(const void *base, size_t offset, void *buf, size_t len);
void zrdb_floorSet(void *base, size_t offset, const void *buf, size_t len);

#ifdef __cplusplus
}

namespace VSYSDBG {
extern int32_t gblSysDebug;      /* the system debug flag, as last read */
extern int32_t gblSysDebugReset; /* 1 after it changed: capture restarts */
/* Calls item 0's servers synchronously, then reads its element 0 as the
 * system debug flag. */
void zrdb_dbgflag_update();
/* Wall-clock microseconds, low 37 bits; 0 when the clock cannot be read. */
int64_t get_host_time();
/* Writes buf1 and, when given, buf2 to a new file (opened as the capture
 * file of zrdbdbg_dumpData). 0, -1 (open), -2 (write). */
int dumpOneFrameData(const char *path, const void *buf1, int32_t len1, const void *buf2,
                     int32_t len2);
/* As zrdbdbg_dumpData, restarted by a change of the system debug flag. */
int dumpData(const char *path, const void *buf, int32_t len, int32_t limit);
}  // namespace VSYSDBG
#endif

ZRDB_VISIBLE_END

#endif /* ZRDB_DIAG_H */
