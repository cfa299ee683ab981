// The bridge's messages: an item's value as the JSON it publishes, and the
// JSON of a set message checked against the item and turned into the
// writes it asks for. A set message comes from any client of the broker:
// everything in it is checked before anything is written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zrdb_mqtt {

// What the bridge knows of an item, from its checked record.
struct ItemShape {
  int32_t type = 0;
  int32_t elemSize = 0;
  int32_t count = 0;
  int32_t size = 0;
};

inline constexpr int32_t kWholeItem = -1;
inline constexpr size_t kMaxSetPayload = 65536;

// {"value":V,"ts":MS}: integers unsigned, a number or an array; text a
// string or an array of strings; a user block base64.
std::string encode_value(const ItemShape &item, const unsigned char *area, int64_t tsMs);

struct Write {
  int32_t index = 0;                 // element
  std::vector<unsigned char> bytes;  // what zrdb_setiValue takes for it
};

// A set payload: V or {"value":V} as published (a "ts" is ignored). On an
// element (`index` >= 0) a scalar; on the whole item a scalar when it has
// one element, else an array of every element. Integers from -2^31 to
// 2^32-1 that fit the element (negative ones in two's complement), text of
// at most an element's bytes, a user block as base64 of its exact size.
// Returns the reason it is refused, or an empty string with `writes` set.
std::string parse_set(std::string_view payload, const ItemShape &item, int32_t index,
                      std::vector<Write> &writes);

std::string base64_encode(const unsigned char *data, size_t size);
// False on a character outside the alphabet or bad padding.
bool base64_decode(std::string_view text, std::vector<unsigned char> &out);

}  // namespace zrdb_mqtt
