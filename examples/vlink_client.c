/*
 * vlink_client: reads and writes an item of the peer system through link 0
 * of the VLINK master item "vlink" (the link daemons carry the
 * transactions), and watches the link's state.
 *
 *   vlink_client DBFILE APPFILE status STATE SECONDS
 *       waits up to SECONDS (1..600) for link 0 to be in STATE (0 or 1)
 *   vlink_client DBFILE APPFILE transfer VALUE
 *       waits up to 10 s for link 0 to be up, then reads element 1 of the
 *       peer's item 10 ("pressure" in peer.db), writes VALUE to it, reads
 *       it again, and asks for the peer's item 4999, which it does not have
 *   vlink_client DBFILE APPFILE refused ITEM
 *       writes 1 to element 0 of the peer's item ITEM, which the peer's
 *       settings must refuse (an item not on the link's allow-set list)
 *
 * Prints what it sees. Exits 0 when the state was reached, or the value read
 * back is VALUE and the peer refused item 4999, or the peer refused the
 * write of ITEM; else 1 (2 for bad usage).
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zrdb.h"

#define LINK 0
#define PEER_ITEM 10 /* peer.db: pressure, 4 elements of 4 bytes */
#define PEER_IDX 1
#define PEER_MISSING 4999
#define UP_WAIT_S 10

static long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void pause_ms(long ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  nanosleep(&ts, NULL);
}

/* Link state, or -1 when it cannot be read. */
static int32_t link_state(int32_t master) {
  int32_t state = -1;
  return zrdb_VLINKGetStatus(master, LINK, &state) == 0 ? state : -1;
}

/* Polls the link state every 50 ms for at most `seconds`. Returns 0 when it
 * became `want`, printing the state and how long that took, else 1. */
static int wait_state(int32_t master, int32_t want, long seconds) {
  const long start = now_ms();
  int32_t state = link_state(master);
  while (state != want && now_ms() - start < seconds * 1000) {
    pause_ms(50);
    state = link_state(master);
  }
  if (state != want) {
    fprintf(stderr, "vlink_client: link %d is still in state %d after %ld s, not %d\n", LINK, state,
            seconds, want);
    return 1;
  }
  printf("vlink_client: link %d state %d (%s) after %ld ms\n", LINK, state,
         state == 1 ? "up" : "down", now_ms() - start);
  return 0;
}

/* Reads element PEER_IDX of the peer's item; 0 or the library's result. */
static int peer_get(int32_t master, int32_t *value) {
  const int rc = zrdb_VLINKGetValue(master, LINK, 0, PEER_ITEM, PEER_IDX, value, 4);
  if (rc == 0) {
    printf("vlink_client: peer item %d[%d] = %d\n", PEER_ITEM, PEER_IDX, *value);
  } else {
    fprintf(stderr, "vlink_client: reading peer item %d[%d] failed (%d)\n", PEER_ITEM, PEER_IDX,
            rc);
  }
  return rc;
}

static int transfer(int32_t master, int32_t value) {
  int32_t before = 0, after = 0, ignored = 0;
  int rc;
  if (wait_state(master, 1, UP_WAIT_S) != 0 || peer_get(master, &before) != 0) return 1;
  rc = zrdb_VLINKSetValue(master, LINK, 0, PEER_ITEM, PEER_IDX, &value, 4);
  if (rc != 0) {
    fprintf(stderr, "vlink_client: writing peer item %d[%d] failed (%d)\n", PEER_ITEM, PEER_IDX,
            rc);
    return 1;
  }
  printf("vlink_client: wrote %d to peer item %d[%d]\n", value, PEER_ITEM, PEER_IDX);
  if (peer_get(master, &after) != 0) return 1;
  if (after != value) {
    fprintf(stderr, "vlink_client: read back %d, not %d\n", after, value);
    return 1;
  }
  /* The peer's library checks the item: one it does not have is refused. */
  rc = zrdb_VLINKGetValue(master, LINK, 0, PEER_MISSING, 0, &ignored, 4);
  printf("vlink_client: peer item %d: %s (%d)\n", PEER_MISSING, rc == 0 ? "read" : "refused", rc);
  return rc == 0 ? 1 : 0;
}

/* Writes 1 to the peer's item; 0 when the peer refused it. */
static int refused(int32_t master, int32_t item) {
  const int32_t one = 1;
  int rc;
  if (wait_state(master, 1, UP_WAIT_S) != 0) return 1;
  rc = zrdb_VLINKSetValue(master, LINK, 0, item, 0, &one, 4);
  printf("set peer item %d to 1: %d%s\n", item, rc, rc == -1 ? " (refused by the peer)" : "");
  return rc == -1 ? 0 : 1;
}

int main(int argc, char **argv) {
  int32_t master = -1;
  ZRDB_APP_PARAM params[] = {{&master, "vlink"}, {NULL, ""}};
  char *end = NULL;
  long a = 0, b = 0;
  int status;
  const int statusCmd = argc == 6 && strcmp(argv[3], "status") == 0;
  const int transferCmd = argc == 5 && strcmp(argv[3], "transfer") == 0;
  const int refusedCmd = argc == 5 && strcmp(argv[3], "refused") == 0;
  if (statusCmd || transferCmd || refusedCmd) a = strtol(argv[4], &end, 10);
  if (statusCmd && *end == '\0') b = strtol(argv[5], &end, 10);
  if ((!statusCmd && !transferCmd && !refusedCmd) || *end != '\0' ||
      (refusedCmd && (a < 0 || a >= ZRDB_MAX_ITEMS)) ||
      (statusCmd && ((a != 0 && a != 1) || b < 1 || b > 600)) ||
      (transferCmd && (a < -2147483647L || a > 2147483647L))) {
    fprintf(stderr,
            "usage: vlink_client DBFILE APPFILE status STATE SECONDS\n"
            "       vlink_client DBFILE APPFILE transfer VALUE\n"
            "       vlink_client DBFILE APPFILE refused ITEM\n");
    return 2;
  }
  snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "vlink_client");
  if (zrdb_cfgParse(argv[1]) != 0 || zrdb_appInit(argv[2], params, HBUSER_CLIENT) != 0 ||
      master < 0) {
    fprintf(stderr, "vlink_client: cannot attach the database and its VLINK master \"vlink\"\n");
    zrdb_Cleanup();
    return 1;
  }
  status = statusCmd    ? wait_state(master, (int32_t)a, b)
           : refusedCmd ? refused(master, (int32_t)a)
                        : transfer(master, (int32_t)a);
  zrdb_Cleanup();
  return status;
}
