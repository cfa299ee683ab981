/*
 * udp_server: answers ROUNDS numbered requests that arrive on the remote
 * buffer item "udp_srv" (a UDP server on 127.0.0.1, see plant.db). Each
 * "request N" gets "answer N", sent to whoever sent last: a server item
 * replies to the last sender. A request that comes again (the client asked
 * twice) is answered again. Gives up after 10 seconds without a datagram.
 * Exits 0 once every request 1..ROUNDS was answered.
 *
 *   udp_server DBFILE ROUNDS
 *
 * One process at a time may own a server item, so it is not in
 * network.app, which the client binds: the server binds it alone, by id.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zrdb.h"

#define UDP_SERVER_ITEM 40
#define IDLE_SECONDS 10

int main(int argc, char **argv) {
  const int32_t ids[] = {UDP_SERVER_ITEM, -1};
  const char *name;
  int32_t rounds, next = 1, idle = 0;
  if (argc != 3 || (rounds = atoi(argv[2])) <= 0) {
    fprintf(stderr, "usage: udp_server DBFILE ROUNDS\n");
    return 1;
  }
  snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "udp_server");
  /* Binding through an id list is what opens the socket (and takes the
   * item's lock, /tmp/zrdbid40.lock, which the library leaves on disk). */
  if (zrdb_cfgParse(argv[1]) != 0 || (name = zrdb_getName(UDP_SERVER_ITEM)) == NULL ||
      strcmp(name, "udp_srv") != 0 || zrdb_Init(HBUSER_CLIENT, ids) != 0) {
    fprintf(stderr, "udp_server: cannot open item %d 'udp_srv' of %s\n", UDP_SERVER_ITEM, argv[1]);
    zrdb_Cleanup();
    return 1;
  }
  while (next <= rounds && idle < IDLE_SECONDS) {
    char buf[64], answer[32];
    int32_t len = 0, n;
    /* Waits up to a second; -1 when nothing came. */
    if (zrdb_rmtbufRead(UDP_SERVER_ITEM, buf, (int32_t)sizeof buf - 1, &len) != 0) {
      ++idle;
      continue;
    }
    idle = 0;
    buf[len] = '\0';
    if (strncmp(buf, "request ", 8) != 0 || (n = atoi(buf + 8)) < 1 || n > next) {
      fprintf(stderr, "udp_server: unexpected datagram '%s' (waiting for request %d)\n", buf, next);
      continue;
    }
    snprintf(answer, sizeof answer, "answer %d", n);
    if (zrdb_rmtbufWrite(UDP_SERVER_ITEM, answer, (int32_t)strlen(answer)) != 0) break;
    if (n == next) ++next;
  }
  printf("udp_server: %s after %d answer(s)\n", next > rounds ? "served" : "FAILED", next - 1);
  zrdb_Cleanup();
  return next > rounds ? 0 : 1;
}
