// Mirroring of item accesses to a peer. The access functions call the hook
// before every read, write and print of an item.
#include "core.h"

extern "C" {

int zrdb_callSynctoMessageInternal(int32_t did, int32_t /*idx*/, const void * /*buf*/,
                                   int32_t /*len*/, int32_t mode) {
  const ZRDB_ITEM_DESC *desc = zrdb::descriptor(did);
  if (desc == nullptr || desc->syncto.mode != mode) return -1;
  if (!zrdb::sync_wanted(desc, mode)) return 0;
  // Messages travel through a remote buffer item; until that item type is
  // built, the hook checks the mode and sends nothing.
  return 0;
}

}  // extern "C"
