/*
 * udp_client: sends ROUNDS numbered requests "request N" through the remote
 * buffer item "udp_cli" to udp_server and checks that each is answered with
 * "answer N". A request without an answer within a second is sent again, up
 * to 5 times in all. Then it writes ROUNDS to "mirrored", whose configuration
 * line (syncto=43:45) makes the library send a sync message through
 * "sync_link" before the write. Exits 0 only when every request was
 * answered.
 *
 *   udp_client DBFILE APPFILE ROUNDS
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zrdb.h"

#define TRIES 5

/* Sends request `round` and waits for its answer, sending it again after
 * each second of silence (the server may not have been up yet) and reading
 * past late answers to requests sent twice. Returns 0, or 1 when no right
 * answer came. */
static int call(int32_t item, int32_t round) {
  char request[32], buf[64];
  int32_t len = 0, n, reads, silent = 0;
  snprintf(request, sizeof request, "request %d", round);
  if (zrdb_rmtbufWrite(item, request, (int32_t)strlen(request)) != 0) return 1;
  /* Each read waits a second at most: 2 * TRIES reads bound the call. */
  for (reads = 0; reads < 2 * TRIES; ++reads) {
    if (zrdb_rmtbufRead(item, buf, (int32_t)sizeof buf - 1, &len) != 0) {
      if (++silent == TRIES) break;
      if (zrdb_rmtbufWrite(item, request, (int32_t)strlen(request)) != 0) return 1;
      continue;
    }
    buf[len] = '\0';
    n = strncmp(buf, "answer ", 7) == 0 ? atoi(buf + 7) : 0;
    if (n == round) return 0;
    if (n < 1 || n > round) {
      fprintf(stderr, "udp_client: request %d got '%s'\n", round, buf);
      return 1;
    }
  }
  fprintf(stderr, "udp_client: no answer to request %d\n", round);
  return 1;
}

int main(int argc, char **argv) {
  int32_t udp = -1, mirrored = -1, syncLink = -1;
  ZRDB_APP_PARAM params[] = {
      {&udp, "udp_cli"}, {&syncLink, "sync_link"}, {&mirrored, "mirrored"}, {NULL, ""}};
  int32_t round, rounds;
  int failed = 0;
  if (argc != 4 || (rounds = atoi(argv[3])) <= 0) {
    fprintf(stderr, "usage: udp_client DBFILE APPFILE ROUNDS\n");
    return 1;
  }
  snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "udp_client");
  if (zrdb_cfgParse(argv[1]) != 0 || zrdb_appInit(argv[2], params, HBUSER_CLIENT) != 0 || udp < 0 ||
      syncLink < 0 || mirrored < 0) {
    fprintf(stderr, "udp_client: cannot attach the database and udp_cli, sync_link, mirrored\n");
    zrdb_Cleanup();
    return 1;
  }
  for (round = 1; round <= rounds && !failed; ++round) failed = call(udp, round);
  printf("udp_client: %s after %d request(s)\n", failed ? "FAILED" : "answered", round - 1);
  /* Mirrored to the peer: the sync message goes out before the write, and
   * a failed send is only logged. */
  if (!failed) failed = zrdb_setValue(mirrored, &rounds, 4) != 0;
  zrdb_Cleanup();
  return failed ? 1 : 0;
}
