// Fuzz target of the application file reader (zrdb_appInit with its line,
// link and range parsers). No index is attached, so the final zrdb_Init
// refuses at once: what is exercised is the reading, the links and the item
// list, whose bounds ASan watches. After each file the link table must hold
// what the checks below say.
#include "core.h"
#include "input_file.h"

namespace {
zrdb::fuzz::InputFile g_input;
using zrdb::fuzz::require;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  g_input.open("zrdb-app");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *path = g_input.hold(data, size);
  int32_t speed = -1;
  int32_t sensors = -1;
  ZRDB_APP_PARAM params[] = {{&speed, "speed"}, {&sensors, "sensors"}, {nullptr, ""}};
  require(zrdb_appInit(path, params, HBUSER_CLIENT) == -1);  // no index attached
  require(glb_symblink_total >= 0 && glb_symblink_total <= ZRDB_SYMBLINK_MAX);
  for (const int32_t id : {speed, sensors}) {
    require(id == -1 || zrdb::valid_id(id) ||
            (id >= ZRDB_SYMBLINK_BASE && id < ZRDB_SYMBLINK_BASE + glb_symblink_total));
  }
  for (int32_t k = 0; k < glb_symblink_total; ++k) {
    const ZRDB_SYMBLINK *link = glb_symblink[k];
    require(link != nullptr && link->count >= 1 && link->pairSize == 4);
  }
  zrdb_Cleanup();  // frees the links
  require(glb_symblink_total == 0);
  return 0;
}
