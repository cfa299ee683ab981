/*
 * consumer: an example application that reads what the producer wrote.
 *
 *   consumer DBFILE APPFILE ROUNDS [TIMEOUT_S]
 *
 * Attaches the database through the application file, waits until "status"
 * reads "done" (at most TIMEOUT_S seconds, 10 by default), then checks, on a
 * freshly created database, that "counter" is ROUNDS, that speed[k] is
 * ROUNDS*10+k for k = 0..2 (written through the link "sensors") and that
 * levels[0] is ROUNDS, read both by item and through link element 3.
 * Prints what it read; exits 0 when everything matches, else 1.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zrdb.h"

static void pause_ms(long ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  nanosleep(&ts, NULL);
}

/* Waits for the producer's final status; 0 when it is "done". */
static int wait_for_done(int32_t status, long timeoutMs) {
  char text[33];
  long waited;
  for (waited = 0; waited <= timeoutMs; waited += 10) {
    memset(text, 0, sizeof text);
    if (zrdb_getValue(status, text, 32) != 0) return -1;
    if (strcmp(text, "done") == 0) return 0;
    if (strcmp(text, "failed") == 0) return -1;
    pause_ms(10);
  }
  return -1;
}

static int check(const char *what, uint32_t got, uint32_t want) {
  printf("consumer: %-10s = %u%s\n", what, got, got == want ? "" : " (MISMATCH)");
  if (got != want) fprintf(stderr, "consumer: %s is %u, expected %u\n", what, got, want);
  return got == want ? 0 : 1;
}

int main(int argc, char **argv) {
  int32_t counter = -1, status = -1, speed = -1, levels = -1, sensors = -1;
  ZRDB_APP_PARAM params[] = {{&counter, "counter"}, {&status, "status"}, {&speed, "speed"},
                             {&levels, "levels"},   {&sensors, "sensors"}, {NULL, ""}};
  uint32_t rounds, value = 0, viaLink = 0;
  long timeoutS = 10;
  int32_t k;
  int bad = 0;

  if ((argc != 4 && argc != 5) || atoi(argv[3]) <= 0) {
    fprintf(stderr, "usage: consumer DBFILE APPFILE ROUNDS [TIMEOUT_S]\n");
    return 1;
  }
  rounds = (uint32_t)atoi(argv[3]);
  if (argc == 5) timeoutS = atol(argv[4]);
  if (zrdb_cfgParse(argv[1]) != 0 || zrdb_appInit(argv[2], params, HBUSER_CLIENT) != 0) {
    fprintf(stderr, "consumer: cannot attach the database (created with 'zrdbctl create %s'?)\n",
            argv[1]);
    zrdb_Cleanup();
    return 1;
  }
  if (counter < 0 || status < 0 || speed < 0 || levels < 0 || sensors < ZRDB_SYMBLINK_BASE) {
    fprintf(stderr, "consumer: %s must name counter, status, speed, levels and sensors\n",
            argv[2]);
    zrdb_Cleanup();
    return 1;
  }
  if (wait_for_done(status, timeoutS * 1000) != 0) {
    fprintf(stderr, "consumer: the producer did not report done within %ld s\n", timeoutS);
    zrdb_Cleanup();
    return 1;
  }

  bad |= zrdb_getValue(counter, &value, 4) != 0;
  bad |= check("counter", value, rounds);
  for (k = 0; k < 3; ++k) {
    char what[16];
    snprintf(what, sizeof what, "speed[%d]", (int)k);
    value = 0;
    bad |= zrdb_getiValue(speed, k, &value, 4) != 0;
    bad |= check(what, value, rounds * 10 + (uint32_t)k);
  }
  value = 0;
  bad |= zrdb_getiValue(levels, 0, &value, 4) != 0;
  bad |= check("levels[0]", value, rounds);
  bad |= zrdb_getiValue(sensors, 3, &viaLink, 4) != 0;
  bad |= check("sensors[3]", viaLink, value);

  printf("consumer: %s\n", bad ? "FAILED" : "all values as expected");
  zrdb_Cleanup();
  return bad ? 1 : 0;
}
