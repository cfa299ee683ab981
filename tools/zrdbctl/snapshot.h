// One item's state as an operator sees it, read from the data segment:
// values, fill levels, counters, owners and link states. The output forms
// of get --json, dump --json and watch.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text.h"

namespace zrdbctl {

struct Snapshot {
  int32_t id = -1;
  std::string name;
  std::string type;
  std::vector<std::pair<std::string, Json>> fields;  // in the order shown
};

// An integer element of `width` bytes (the low four when wider), as the
// machine stores it: unsigned, or `asSigned` in two's complement.
int64_t integer_value(const unsigned char *bytes, size_t width, bool asSigned);

// Bytes of one integer element that get and set move: the elements are
// 32-bit, but a narrower configured element must not spill into the next.
inline int32_t integer_width(int32_t elemSize) {
  return elemSize > 0 && elemSize < 4 ? elemSize : 4;
}

// The state of item `id`, whose record the caller checked; integer values
// unsigned unless `signedValues`.
Snapshot take_snapshot(int32_t id, bool signedValues = false);
// {"id":..,"name":..,"type":..,key:value,...}
Json to_json(const Snapshot &s);
// "name(id) type key=value ..."
std::string to_line(const Snapshot &s);

// Appends the parts in order. GCC 12 at -O3 warns (-Wrestrict, wrongly) on
// a text literal added to a temporary string; appending has no such case.
template <typename... Parts>
std::string cat(const Parts &...parts) {
  std::string out;
  (out.append(parts), ...);
  return out;
}

}  // namespace zrdbctl
