// Fuzz target of the application file reader (zrdb_appInit with its line,
// link and range parsers). No index is attached, so the final zrdb_Init
// refuses at once: what is exercised is the reading, the links and the item
// list, whose bounds ASan watches. After each file the link table must hold
// what the checks below say.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core.h"

extern "C" void syslog(int /*priority*/, const char * /*format*/, ...) {}

namespace {

int g_input = -1;
std::string g_path;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  g_input = memfd_create("zrdb-app", 0);
  if (g_input < 0) std::abort();
  g_path = "/proc/self/fd/" + std::to_string(g_input);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (ftruncate(g_input, 0) != 0) std::abort();
  if (size > 0 && pwrite(g_input, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  int32_t speed = -1;
  int32_t sensors = -1;
  ZRDB_APP_PARAM params[] = {{&speed, "speed"}, {&sensors, "sensors"}, {nullptr, ""}};
  require(zrdb_appInit(g_path.c_str(), params, HBUSER_CLIENT) == -1);  // no index attached
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
