// Texts for the library's result codes, shared by the tools and the C++
// layer so that a code reads the same everywhere.
#include "zrdb.h"

extern "C" const char *zrdb_strerror(int code) {
  switch (code) {
    case 0:
      return "success";
    case -1:
      return "refused (id or index out of range, bad argument), empty, timed out or a system "
             "call failed: the log says which";
    case -2:
      return "item not defined in the database (or an allocation failed)";
    case -3:
      return "item not bound in this process or not of the type this call takes: list it "
             "in the application file";
    case -4:
      return "configuration key or system object not recognised (see the log)";
    case -5:
      return "a system semaphore could not be taken (see the log)";
    case ZRDB_ERR_CORRUPT:
      return "the item's record in shared memory is damaged (see the log)";
    case ZRDB_ERR_SIZE:
      return "the item's element size is not that of the type read or written";
    case ZRDB_ERR_ATTACHED:
      return "this process is attached already";
    case ZRDB_ERR_TIMEOUT:
      return "no acknowledgement within the time-out: is the server running?";
    case ZRDB_ERR_UNBOUND:
      return "item not bound in this process: list it in the application file";
    case ZRDB_ERR_NO_SERVER:
      return "the item names no server for this kind of call";
    default:
      return "unknown result";
  }
}
