// Fuzz target of zrdb-mqtt's set payload parser: the JSON any client of the
// broker may send. The first byte picks the item's shape and the element;
// the rest is the payload. Accepted writes must fit the item exactly;
// refused payloads must leave no write behind.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "payload.h"
#include "zrdb.h"

namespace {

inline void require(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr zrdb_mqtt::ItemShape kShapes[] = {
    {ZRDB_TYPE_INTEGER, 4, 1, 4}, {ZRDB_TYPE_INTEGER, 4, 3, 12}, {ZRDB_TYPE_INTEGER, 1, 2, 4},
    {ZRDB_TYPE_STRING, 8, 1, 8},  {ZRDB_TYPE_STRING, 5, 4, 20},  {ZRDB_TYPE_USER, 6, 1, 8},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const zrdb_mqtt::ItemShape &item = kShapes[data[0] % std::size(kShapes)];
  const int32_t index = data[0] / std::size(kShapes) % 6 - 1;  // -1 (whole item) .. 4
  const std::string_view payload(reinterpret_cast<const char *>(data + 1), size - 1);
  std::vector<zrdb_mqtt::Write> writes;
  const std::string why = zrdb_mqtt::parse_set(payload, item, index, writes);
  require(why.empty() != writes.empty());
  for (const zrdb_mqtt::Write &w : writes) {
    if (item.type == ZRDB_TYPE_USER) {
      require(w.bytes.size() == static_cast<size_t>(item.size));
      continue;
    }
    require(w.index >= 0 && w.index < item.count && (index < 0 || w.index == index));
    const size_t width = item.type == ZRDB_TYPE_INTEGER && item.elemSize < 4
                             ? static_cast<size_t>(item.elemSize)
                         : item.type == ZRDB_TYPE_INTEGER ? 4
                                                          : static_cast<size_t>(item.elemSize);
    require(w.bytes.size() == width);
  }
  return 0;
}
