// What circular and message buffers share: a header of read and write
// indices followed by N slots of E bytes in the item's data area. One
// writer and one reader hand the indices over with release stores and
// acquire loads on the same 32-bit words.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>

#include "core.h"

namespace zrdb {

inline std::atomic_ref<int32_t> index_ref(int32_t &word) { return std::atomic_ref<int32_t>(word); }

// The buffer as this process sees it. With an E that is not a multiple of 4
// the slots are unaligned, so their fields are copied, never dereferenced.
template <typename Hdr>
struct SlotRing {
  Hdr *hdr;
  unsigned char *slots;
  int32_t elemSize;
  int32_t count;

  static SlotRing view(const ZRDB_DIT *dit) {
    unsigned char *base = item_data(dit);
    return {reinterpret_cast<Hdr *>(base), base + sizeof(Hdr), dit->desc->elemSize,
            dit->desc->count};
  }
  static SlotRing view(const BoundGeometry &g) {
    unsigned char *base = g.data;
    return {reinterpret_cast<Hdr *>(base), base + sizeof(Hdr), g.elemSize, g.count};
  }
  // The index after `i`, which must be in 0..count-1: a compare, where a
  // division would cost tens of cycles on every call.
  int32_t next(int32_t i) const { return i + 1 == count ? 0 : i + 1; }
  unsigned char *slot(int32_t i) const {
    return slots + static_cast<size_t>(i) * static_cast<size_t>(elemSize);
  }
  // Indices come from shared memory; one out of range would address memory
  // outside the buffer.
  bool index_ok(int32_t index, int32_t did, const char *func) const {
    if (index >= 0 && index < count) return true;
    log_message(LogLevel::Warn, func, "ZRDBDID[%d]:corrupt buffer index(%d)\n", did, index);
    return false;
  }
};

// A slot shorter than its fixed part would let writes run into the next
// slot or the neighbouring item: such a buffer is refused. `kind` names the
// buffer in the message.
inline bool geometry_ok(const BoundGeometry &g, int32_t minSlot, const char *kind,
                        const char *func) {
  if (g.elemSize >= minSlot && g.count >= 1) return true;
  log_message(LogLevel::Warn, func,
              "ZRDBDID[%d]:%s size(%d*%d) refused, slots need at least %d bytes\n", g.did, kind,
              g.elemSize, g.count, minSlot);
  return false;
}
inline bool geometry_ok(const ZRDB_ITEM_DESC *desc, int32_t minSlot, const char *kind,
                        const char *func) {
  return geometry_ok({.did = desc->did, .elemSize = desc->elemSize, .count = desc->count}, minSlot,
                     kind, func);
}

}  // namespace zrdb
