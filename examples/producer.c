/*
 * producer: an example application that writes values for another process.
 *
 *   producer DBFILE APPFILE ROUNDS
 *
 * Attaches the database through the application file, then for each round
 * r = 1..ROUNDS writes r to "counter", r*10+k to elements k = 0..2 of the
 * link "sensors" (speed[0..2]) and increments link element 3 (levels[0]).
 * It sets "status" to "running" first and to "done" last, so a reader that
 * sees "done" sees every round. Exits 0, or 1 on any failure.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zrdb.h"

static int set_status(int32_t id, const char *text) {
  char buf[32];
  int32_t len = zrdb_item_size(id);
  if (len <= 0 || len > (int32_t)sizeof buf) len = (int32_t)sizeof buf;
  memset(buf, 0, sizeof buf);
  strncpy(buf, text, sizeof buf - 1);
  return zrdb_setValue(id, buf, len);
}

static void pause_ms(long ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  nanosleep(&ts, NULL);
}

int main(int argc, char **argv) {
  int32_t counter = -1, status = -1, sensors = -1;
  ZRDB_APP_PARAM params[] = {
      {&counter, "counter"}, {&status, "status"}, {&sensors, "sensors"}, {NULL, ""}};
  uint32_t round, rounds;
  int32_t k;
  int failed = 0;

  if (argc != 4 || atoi(argv[3]) <= 0) {
    fprintf(stderr, "usage: producer DBFILE APPFILE ROUNDS\n");
    return 1;
  }
  rounds = (uint32_t)atoi(argv[3]);
  if (zrdb_cfgParse(argv[1]) != 0 || zrdb_appInit(argv[2], params, HBUSER_CLIENT) != 0) {
    fprintf(stderr, "producer: cannot attach the database (created with 'zrdbctl create %s'?)\n",
            argv[1]);
    zrdb_Cleanup();
    return 1;
  }
  if (counter < 0 || status < 0 || sensors < ZRDB_SYMBLINK_BASE) {
    fprintf(stderr, "producer: %s must name counter, status and the link sensors\n", argv[2]);
    zrdb_Cleanup();
    return 1;
  }

  failed |= set_status(status, "running") != 0;
  for (round = 1; round <= rounds && !failed; ++round) {
    uint32_t level = 0;
    failed |= zrdb_setValue(counter, &round, 4) != 0;
    for (k = 0; k < 3; ++k) {
      const uint32_t value = round * 10 + (uint32_t)k;
      failed |= zrdb_setiValue(sensors, k, &value, 4) != 0;
    }
    /* Read-modify-write through the link: element 3 is levels[0]. */
    failed |= zrdb_getiValue(sensors, 3, &level, 4) != 0;
    ++level;
    failed |= zrdb_setiValue(sensors, 3, &level, 4) != 0;
    pause_ms(5);
  }
  failed |= set_status(status, failed ? "failed" : "done") != 0;

  printf("producer: %s after %u round(s)\n", failed ? "FAILED" : "done", round - 1);
  zrdb_Cleanup();
  return failed ? 1 : 0;
}
