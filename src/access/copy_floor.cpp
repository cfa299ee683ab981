// The unchecked copies the access benchmarks measure the checked path
// against. They live in the library, not in the benchmark, so that both sides
// pay the same call into a shared object.
#include <cstring>

#include "zrdb.h"

extern "C" {

void zrdb_floorGet(const void *base, size_t offset, void *buf, size_t len) {
  std::memcpy(buf, static_cast<const unsigned char *>(base) + offset, len);
}

void zrdb_floorSet(void *base, size_t offset, const void *buf, size_t len) {
  std::memcpy(static_cast<unsigned char *>(base) + offset, buf, len);
}

}  // extern "C"
