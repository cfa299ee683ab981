/*
 * client: calls the server ROUNDS times. Each call first writes a record
 * "event N" / "data N" to the circular buffer "events", then makes a
 * synchronous call of "command" (message "cmd N", argument N), which queues
 * the message for the server, wakes it and waits for its acknowledgement.
 *
 *   client DBFILE APPFILE ROUNDS
 */
#include <stdlib.h>
#include <string.h>

#include "ipc_common.h"

int main(int argc, char **argv) {
  ipc_items it;
  int32_t round, rounds;
  int failed = 0;
  if (argc != 4 || (rounds = atoi(argv[3])) <= 0) {
    fprintf(stderr, "usage: client DBFILE APPFILE ROUNDS\n");
    return 1;
  }
  if (ipc_attach("client", argv[1], argv[2], &it) != 0) return 1;
  for (round = 1; round <= rounds && !failed; ++round) {
    char msg[32], data[32], payload[ZRDB_MSGBUF_PAYLOAD];
    snprintf(msg, sizeof msg, "event %d", round);
    snprintf(data, sizeof data, "data %d", round);
    memset(payload, 0, sizeof payload);
    snprintf(payload, sizeof payload, "cmd %d", round);
    failed |= zrdb_cbufWrite(it.events, msg, (int32_t)strlen(msg), data, (int32_t)strlen(data));
    /* The call waits for the server's acknowledgement, so at most one
     * record is ever queued in "events". */
    failed |= zrdb_callMsgbufWrite(it.command, payload, (int32_t)sizeof payload, round, 1);
  }
  printf("client: %s after %d call(s)\n", failed ? "FAILED" : "done", round - 1);
  zrdb_Cleanup();
  return failed ? 1 : 0;
}
