// The plain item types: user (opaque block), integer (unsigned 32-bit
// elements) and string (fixed-size character slots), and the generic copy
// handlers that strings, integers and semaphores share.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "types/plain_copy.h"

namespace zrdb {
namespace {

// The characters of a text field, never past its end.
int text_length(const unsigned char *text, int64_t room) {
  if (room <= 0) return 0;
  const void *nul = std::memchr(text, '\0', static_cast<size_t>(room));
  return static_cast<int>(nul != nullptr ? static_cast<const unsigned char *>(nul) - text : room);
}

uint32_t element_value(const BoundGeometry &g, int32_t idx) {
  const Span span = element_span(g, idx, 4);
  uint32_t value = 0;
  std::memcpy(&value, g.data + span.start, span.bytes);
  return value;
}

// Prints a text field (bounded by `room`), verbose with the item name and,
// for an element, its index.
int print_text(const ZRDB_ITEM_DESC *desc, const unsigned char *text, int64_t room,
               const int32_t *idx, int32_t verbose) {
  const int n = text_length(text, room);
  const char *chars = reinterpret_cast<const char *>(text);
  if (verbose == 0) {
    std::printf("%.*s\n", n, chars);
  } else if (idx != nullptr) {
    std::printf("%-32.31s[%d]= %.*s\n", desc->name, *idx, n, chars);
  } else {
    std::printf("%-32.31s= %.*s\n", desc->name, n, chars);
  }
  return 0;
}

}  // namespace

void copy_value_part(void *to, const void *from, size_t n) { copy_part(to, from, n); }

}  // namespace zrdb

extern "C" {

int zrdbgeneric_get(ZRDB_DIT *dit, void *buf, int32_t len) {
  return zrdb::call_get(zrdbgeneric_get, dit, buf, len);
}

int zrdbgeneric_set(ZRDB_DIT *dit, const void *buf, int32_t len) {
  return zrdb::call_set(zrdbgeneric_set, dit, buf, len);
}

int zrdbgeneric_iget(ZRDB_DIT *dit, int32_t idx, void *buf, int32_t len) {
  return zrdb::call_iget(zrdbgeneric_iget, dit, idx, buf, len);
}

int zrdbgeneric_iset(ZRDB_DIT *dit, int32_t idx, const void *buf, int32_t len) {
  return zrdb::call_iset(zrdbgeneric_iset, dit, idx, buf, len);
}

int zrdbgeneric_print(ZRDB_DIT *dit, int32_t verbose) {
  zrdb::BoundGeometry g{};
  if (!zrdb::bound_geometry_or_log(dit, g, __func__)) return ZRDB_ERR_CORRUPT;
  // The whole item is one text.
  return zrdb::print_text(dit->desc, g.data, g.size, nullptr, verbose);
}

int zrdbgeneric_iprint(ZRDB_DIT *dit, int32_t idx, int32_t verbose) {
  zrdb::BoundGeometry g{};
  if (!zrdb::bound_geometry_or_log(dit, g, __func__)) return ZRDB_ERR_CORRUPT;
  if (!zrdb::index_ok(__func__, g, idx)) return 0;
  const zrdb::Span span = zrdb::element_span(g, idx, g.elemSize);
  return zrdb::print_text(dit->desc, g.data + span.start, static_cast<int64_t>(span.bytes), &idx,
                          verbose);
}

int zrdbint_print(ZRDB_DIT *dit, int32_t verbose) {
  zrdb::BoundGeometry g{};
  if (!zrdb::bound_geometry_or_log(dit, g, __func__)) return ZRDB_ERR_CORRUPT;
  const uint32_t value = zrdb::element_value(g, 0);
  if (verbose != 0) {
    std::printf("%-32.31s= %u(0x%08x)\n", dit->desc->name, value, value);
  } else {
    std::printf("%u\n", value);
  }
  return 0;
}

int zrdbint_iprint(ZRDB_DIT *dit, int32_t idx, int32_t verbose) {
  zrdb::BoundGeometry g{};
  if (!zrdb::bound_geometry_or_log(dit, g, __func__)) return ZRDB_ERR_CORRUPT;
  if (!zrdb::index_ok(__func__, g, idx)) return 0;
  const uint32_t value = zrdb::element_value(g, idx);
  if (verbose != 0) {
    std::printf("%-32.31s[%d]= %u(0x%08x)\n", dit->desc->name, idx, value, value);
  } else {
    std::printf("%u\n", value);
  }
  return 0;
}

int zrdbuser_print(ZRDB_DIT *dit, int32_t /*verbose*/) {
  std::printf("%-32.31s= User defined, size(%d Bytes)\n", dit->desc->name, dit->desc->size);
  return 0;
}

int zrdbuser_ctrl(ZRDB_DIT * /*dit*/, int32_t /*op*/, intptr_t /*para*/) { return 0; }

}  // extern "C"
