// The debug board: a string item named "zrdb_debug" whose elements read
// "APP LEVEL". An operator writes an application's entry (zrdbctl debug);
// the application picks it up with zrdbdbg_pollDebugLvl, which hands it to
// zrdbdbg_updateDebugLvl: other applications' entries are ignored there.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core.h"

extern "C" int zrdbdbg_pollDebugLvl(void) {
  const int32_t id = zrdb::item_named("zrdb_debug");
  const ZRDB_ITEM_DESC *d = zrdb::descriptor(id);
  if (d == nullptr || d->type != ZRDB_TYPE_STRING || zrdbIndexHdr.dataBase == nullptr ||
      zrdb::check_record(__func__, id, d) != 0 || d->count <= 0)
    return -1;
  const auto width = static_cast<size_t>(d->size / d->count);
  const unsigned char *area = zrdb::item_data(&zrdbIndexHdr.dit[id]);
  for (int32_t i = 0; i < d->count; ++i) {
    char entry[ZRDB_VALUE_LEN + 1] = {};
    std::memcpy(entry, area + static_cast<size_t>(i) * width, std::min(width, sizeof entry - 1));
    char app[64] = {};
    int32_t level = 0;
    if (std::sscanf(entry, "%63s %d", app, &level) == 2 && std::strcmp(app, zrdbdbg_app_name) == 0)
      return zrdbdbg_updateDebugLvl(app, level);
  }
  return 1;
}
