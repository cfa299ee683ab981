/*
 * server: serves ROUNDS calls of the client. For each it waits on
 * "req_sem" (5 s at most), takes the message from "requests" and the record
 * from "events", checks both against the call's number and acknowledges on
 * "ack_sem". Exits 0 when every call arrived complete and in order.
 *
 *   server DBFILE APPFILE ROUNDS
 */
#include <stdlib.h>
#include <string.h>

#include "ipc_common.h"

static int serve(const ipc_items *it, int32_t round) {
  int32_t from = 0, arg = 0, msize = 0, msgLen = 0, dataLen = 0;
  char payload[ZRDB_MSGBUF_PAYLOAD + 1], want[32], msg[64], data[64];
  memset(payload, 0, sizeof payload);
  memset(msg, 0, sizeof msg);
  memset(data, 0, sizeof data);
  if (zrdb_semaWait_timeout_us(it->reqSem, 5000000u) != 0) {
    fprintf(stderr, "server: no call %d within 5 s\n", round);
    return 1;
  }
  if (zrdb_msgbufRead(it->requests, &from, &arg, &msize, payload) != 0 ||
      zrdb_cbufRead(it->events, msg, (int32_t)sizeof msg - 1, data, (int32_t)sizeof data - 1,
                    &msgLen, &dataLen) != 0) {
    fprintf(stderr, "server: call %d arrived without its message or record\n", round);
    return 1;
  }
  zrdb_semaPost(it->ackSem, 0);
  snprintf(want, sizeof want, "cmd %d", round);
  if (from != it->command || arg != round || strcmp(payload, want) != 0) {
    fprintf(stderr, "server: call %d: got from=%d arg=%d '%s'\n", round, from, arg, payload);
    return 1;
  }
  snprintf(want, sizeof want, "event %d", round);
  if (strcmp(msg, want) != 0 || strncmp(data, "data ", 5) != 0 || atoi(data + 5) != round) {
    fprintf(stderr, "server: call %d: got record '%s' / '%s'\n", round, msg, data);
    return 1;
  }
  return 0;
}

int main(int argc, char **argv) {
  ipc_items it;
  int32_t round, rounds;
  int failed = 0;
  if (argc != 4 || (rounds = atoi(argv[3])) <= 0) {
    fprintf(stderr, "usage: server DBFILE APPFILE ROUNDS\n");
    return 1;
  }
  if (ipc_attach("server", argv[1], argv[2], &it) != 0) return 1;
  for (round = 1; round <= rounds && !failed; ++round) failed = serve(&it, round);
  printf("server: %s after %d call(s)\n", failed ? "FAILED" : "served", round - 1);
  zrdb_Cleanup();
  return failed ? 1 : 0;
}
