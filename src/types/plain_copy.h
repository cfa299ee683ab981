// The generic copy handlers' work, inline: the handlers themselves use it, and
// so do the access functions when an item's handler is one of them, which
// saves the indirect call on the most common access.
#pragma once

#include <algorithm>
#include <cstring>

#include "core.h"
#include "types/copy_bytes.h"

namespace zrdb {

// `handler` names the calling handler in the log.
inline bool index_ok(const char *handler, const BoundGeometry &g, int32_t idx) {
  if (idx >= 0 && idx < g.count) [[likely]]
    return true;
  log_message(LogLevel::Warn, handler, "DID(%d),idx(%d) is out of range!\n", g.did, idx);
  return false;
}

// Byte offset of element idx and the bytes a copy of `len` may move from
// there: min(size, len), cut at the end of the item. A negative length
// copies nothing.
struct Span {
  int64_t start;
  size_t bytes;
};
// `idx` is within 0..count-1 (or 0 for a whole value) and the record check
// at bind made E non-negative, so the room never exceeds the size.
inline Span element_span(const BoundGeometry &g, int32_t idx, int32_t len) {
  const int64_t start = static_cast<int64_t>(g.elemSize) * idx;
  const int64_t room = static_cast<int64_t>(g.size) - start;
  const int64_t bytes = std::min(static_cast<int64_t>(len), room);
  return {start, bytes > 0 ? static_cast<size_t>(bytes) : 0};
}

// One 32-bit element is by far the most common copy: a fixed-size copy
// compiles to a single move instead of a call.
inline void copy_bytes(void *dst, const void *src, size_t bytes) {
  if (bytes == 4) {
    std::memcpy(dst, src, 4);
  } else if (bytes > 0) {
    copy_value_part(dst, src, bytes);
  }
}

// The copies take the geometry from the record this process checked at
// bind, never from the shared descriptor; the index and the length are
// bounded by it. `whole` copies from element 0 without an index check.
inline int copy_out(const char *handler, const BoundGeometry &g, int32_t idx, void *buf,
                    int32_t len, bool whole) {
  if (!whole && !index_ok(handler, g, idx)) return 0;
  const Span span = element_span(g, idx, len);
  if (buf != nullptr) copy_bytes(buf, g.data + span.start, span.bytes);
  return 0;
}

inline int copy_in(const char *handler, const BoundGeometry &g, int32_t idx, const void *buf,
                   int32_t len, bool whole) {
  if (!whole && !index_ok(handler, g, idx)) return 0;
  const Span span = element_span(g, idx, len);
  if (buf != nullptr) copy_bytes(g.data + span.start, buf, span.bytes);
  return 0;
}

// The geometry of a copy: `known` when the caller has it already (the usual
// access took it from bound_geometry), else bound_geometry's; null after
// logging as `handler`.
inline const BoundGeometry *geometry_for(const ZRDB_DIT *dit, const BoundGeometry *known,
                                         BoundGeometry &own, const char *handler) {
  if (known != nullptr) return known;
  return bound_geometry_or_log(dit, own, handler) ? &own : nullptr;
}

// The generic handlers' work. `Get` picks the direction, `whole` the
// whole-value form (element 0, no index check).
template <bool Get, bool Whole, typename Buf>
inline int generic_copy(const char *handler, const ZRDB_DIT *dit, int32_t idx, Buf buf, int32_t len,
                        const BoundGeometry *known) {
  BoundGeometry own{};
  const BoundGeometry *g = geometry_for(dit, known, own, handler);
  if (g == nullptr) return ZRDB_ERR_CORRUPT;
  if constexpr (Get) {
    return copy_out(handler, *g, idx, buf, len, Whole);
  } else {
    return copy_in(handler, *g, idx, buf, len, Whole);
  }
}

// A bound handler called, inline when it is the generic one; `known` as for
// geometry_for.
inline int call_get(decltype(ZRDB_ITEM_OPS::d_get) fn, ZRDB_DIT *dit, void *buf, int32_t len,
                    const BoundGeometry *known = nullptr) {
  if (fn != zrdbgeneric_get) return fn(dit, buf, len);
  return generic_copy<true, true>("zrdbgeneric_get", dit, 0, buf, len, known);
}
inline int call_set(decltype(ZRDB_ITEM_OPS::d_set) fn, ZRDB_DIT *dit, const void *buf, int32_t len,
                    const BoundGeometry *known = nullptr) {
  if (fn != zrdbgeneric_set) return fn(dit, buf, len);
  return generic_copy<false, true>("zrdbgeneric_set", dit, 0, buf, len, known);
}
inline int call_iget(decltype(ZRDB_ITEM_OPS::d_iget) fn, ZRDB_DIT *dit, int32_t idx, void *buf,
                     int32_t len, const BoundGeometry *known = nullptr) {
  if (fn != zrdbgeneric_iget) return fn(dit, idx, buf, len);
  return generic_copy<true, false>("zrdbgeneric_iget", dit, idx, buf, len, known);
}
inline int call_iset(decltype(ZRDB_ITEM_OPS::d_iset) fn, ZRDB_DIT *dit, int32_t idx,
                     const void *buf, int32_t len, const BoundGeometry *known = nullptr) {
  if (fn != zrdbgeneric_iset) return fn(dit, idx, buf, len);
  return generic_copy<false, false>("zrdbgeneric_iset", dit, idx, buf, len, known);
}

}  // namespace zrdb
