/* What the client and server examples share: attaching through the
 * application file and the ids of their items. */
#ifndef ZRDB_EXAMPLE_IPC_COMMON_H
#define ZRDB_EXAMPLE_IPC_COMMON_H

#include <stdio.h>

#include "zrdb.h"

typedef struct {
  int32_t reqSem, ackSem, requests, events, command;
} ipc_items;

/* Attaches as an application; returns 0 when every item was found. */
static int ipc_attach(const char *who, const char *db, const char *app, ipc_items *it) {
  ZRDB_APP_PARAM params[] = {{&it->reqSem, "req_sem"},   {&it->ackSem, "ack_sem"},
                             {&it->requests, "requests"}, {&it->events, "events"},
                             {&it->command, "command"},   {NULL, ""}};
  it->reqSem = it->ackSem = it->requests = it->events = it->command = -1;
  if (zrdb_cfgParse(db) != 0 || zrdb_appInit(app, params, HBUSER_CLIENT) != 0 ||
      it->reqSem < 0 || it->ackSem < 0 || it->requests < 0 || it->events < 0 || it->command < 0) {
    fprintf(stderr, "%s: cannot attach the database and its communication items\n", who);
    zrdb_Cleanup();
    return 1;
  }
  return 0;
}

#endif
