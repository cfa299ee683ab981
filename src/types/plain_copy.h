// The generic copy handlers' work, inline: the handlers themselves use it, and
// so do the access functions when an item's handler is one of them, which
// saves the indirect call on the most common access.
#pragma once

#include <algorithm>
#include <cstring>

#include "core.h"

namespace zrdb {

// `handler` names the calling handler in the log.
inline bool index_ok(const char *handler, const ZRDB_DIT *dit, int32_t idx) {
  if (idx >= 0 && idx < dit->desc->count) [[likely]]
    return true;
  log_message(LogLevel::Warn, handler, "DID(%d),idx(%d) is out of range!\n", dit->desc->did, idx);
  return false;
}

// Byte offset of element idx and the bytes a copy of `len` may move from
// there: min(size, len), cut at the end of the item. A negative length
// copies nothing.
struct Span {
  int64_t start;
  size_t bytes;
};

inline Span element_span(const ZRDB_DIT *dit, int32_t idx, int32_t len) {
  const ZRDB_ITEM_DESC *desc = dit->desc;
  const int64_t start = static_cast<int64_t>(desc->elemSize) * idx;
  const int64_t room = static_cast<int64_t>(desc->size) - start;
  const int64_t bytes =
      std::min({static_cast<int64_t>(desc->size), static_cast<int64_t>(len), room});
  return {start, bytes > 0 ? static_cast<size_t>(bytes) : 0};
}

// One 32-bit element is by far the most common copy: a fixed-size copy
// compiles to a single move instead of a library call.
inline void copy_bytes(void *dst, const void *src, size_t bytes) {
  if (bytes == 4) {
    std::memcpy(dst, src, 4);
  } else if (bytes > 0) {
    std::memcpy(dst, src, bytes);
  }
}

inline int copy_out(ZRDB_DIT *dit, int32_t idx, void *buf, int32_t len) {
  const Span span = element_span(dit, idx, len);
  if (buf != nullptr) copy_bytes(buf, item_data(dit) + span.start, span.bytes);
  return 0;
}

inline int copy_in(ZRDB_DIT *dit, int32_t idx, const void *buf, int32_t len) {
  const Span span = element_span(dit, idx, len);
  if (buf != nullptr) copy_bytes(item_data(dit) + span.start, buf, span.bytes);
  return 0;
}

inline int generic_iget(ZRDB_DIT *dit, int32_t idx, void *buf, int32_t len) {
  if (!index_ok("zrdbgeneric_iget", dit, idx)) return 0;
  return copy_out(dit, idx, buf, len);
}

inline int generic_iset(ZRDB_DIT *dit, int32_t idx, const void *buf, int32_t len) {
  if (!index_ok("zrdbgeneric_iset", dit, idx)) return 0;
  return copy_in(dit, idx, buf, len);
}

// A bound handler called, inline when it is the generic one.
inline int call_get(decltype(ZRDB_ITEM_OPS::d_get) fn, ZRDB_DIT *dit, void *buf, int32_t len) {
  return fn == zrdbgeneric_get ? copy_out(dit, 0, buf, len) : fn(dit, buf, len);
}
inline int call_set(decltype(ZRDB_ITEM_OPS::d_set) fn, ZRDB_DIT *dit, const void *buf,
                    int32_t len) {
  return fn == zrdbgeneric_set ? copy_in(dit, 0, buf, len) : fn(dit, buf, len);
}
inline int call_iget(decltype(ZRDB_ITEM_OPS::d_iget) fn, ZRDB_DIT *dit, int32_t idx, void *buf,
                     int32_t len) {
  return fn == zrdbgeneric_iget ? generic_iget(dit, idx, buf, len) : fn(dit, idx, buf, len);
}
inline int call_iset(decltype(ZRDB_ITEM_OPS::d_iset) fn, ZRDB_DIT *dit, int32_t idx,
                     const void *buf, int32_t len) {
  return fn == zrdbgeneric_iset ? generic_iset(dit, idx, buf, len) : fn(dit, idx, buf, len);
}

}  // namespace zrdb
