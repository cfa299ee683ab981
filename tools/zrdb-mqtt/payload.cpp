#include "payload.h"

#include <charconv>
#include <cstring>
#include <nlohmann/json.hpp>

#include "snapshot.h"
#include "text.h"
#include "zrdb.h"

namespace zrdb_mqtt {
namespace {

using nlohmann::json;

constexpr int kMaxDepth = 3;  // {"value":[..]}: deeper is refused before parsing
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The parser recurses per level (and so does freeing what it built):
// nesting is counted first, outside strings.
bool shallow(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

std::string text_of(const unsigned char *at, size_t size) {
  return {reinterpret_cast<const char *>(at), strnlen(reinterpret_cast<const char *>(at), size)};
}

void append_number(std::string &out, int64_t n) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end);
}

// Appends element `at` as JSON: every poll encodes whatever changed, so
// no temporary strings for the common case, a number.
void append_element(std::string &out, const ItemShape &item, const unsigned char *at) {
  if (item.type == ZRDB_TYPE_INTEGER) {
    append_number(out, zrdbctl::integer_value(at, static_cast<size_t>(item.elemSize), false));
  } else {
    out += zrdbctl::json_dump(zrdbctl::json_text(text_of(at, static_cast<size_t>(item.elemSize))));
  }
}

std::string element(const ItemShape &item, const json &value, std::vector<unsigned char> &bytes) {
  if (item.type == ZRDB_TYPE_INTEGER) {
    if (!value.is_number_integer()) return std::string("not an integer: ") + value.dump();
    const int32_t width = zrdbctl::integer_width(item.elemSize);
    const bool negative = value.is_number_integer() && !value.is_number_unsigned();
    const int64_t n = negative ? value.get<int64_t>() : -1;
    const uint64_t u = negative ? 0 : value.get<uint64_t>();
    if ((negative && n < INT32_MIN) || (!negative && u > UINT32_MAX))
      return value.dump() + " is out of the 32-bit range";
    const auto word = negative ? static_cast<uint32_t>(n) : static_cast<uint32_t>(u);
    if (width < 4 && word >> (8 * width) != 0)
      return value.dump() + " does not fit the " + std::to_string(width) + "-byte elements";
    bytes.resize(static_cast<size_t>(width));
    std::memcpy(bytes.data(), &word, bytes.size());  // the low bytes, as the machine stores them
    return {};
  }
  if (!value.is_string()) return std::string("not a string: ") + value.dump().substr(0, 64);
  const auto &s = value.get_ref<const std::string &>();
  if (s.find('\0') != std::string::npos) return "a NUL character in the text";
  if (s.size() > static_cast<size_t>(item.elemSize))
    return std::string("text of ") + std::to_string(s.size()) + " bytes; an element holds " +
           std::to_string(item.elemSize);
  // NUL-padded to the element, so no tail of an older, longer text stays.
  bytes.assign(static_cast<size_t>(item.elemSize), 0);
  std::memcpy(bytes.data(), s.data(), s.size());
  return {};
}

std::string user_block(const ItemShape &item, int32_t index, const json &value,
                       std::vector<Write> &writes) {
  if (index != kWholeItem) return "a user block has no elements";
  Write w;
  if (!value.is_string() || !base64_decode(value.get_ref<const std::string &>(), w.bytes))
    return "a user block takes a base64 string";
  if (w.bytes.size() != static_cast<size_t>(item.size))
    return std::string("base64 of ") + std::to_string(w.bytes.size()) + " bytes; the block has " +
           std::to_string(item.size);
  w.index = kWholeItem;
  writes.push_back(std::move(w));
  return {};
}

}  // namespace

std::string encode_value(const ItemShape &item, const unsigned char *area, int64_t tsMs) {
  std::string out;
  out.reserve(40);
  out += "{\"value\":";
  if (item.type == ZRDB_TYPE_USER) {
    out.append("\"").append(base64_encode(area, static_cast<size_t>(item.size))).append("\"");
  } else if (item.count == 1) {
    append_element(out, item, area);
  } else {
    out += '[';
    for (int32_t i = 0; i < item.count; ++i) {
      if (i > 0) out += ',';
      append_element(out, item, area + static_cast<size_t>(i) * static_cast<size_t>(item.elemSize));
    }
    out += ']';
  }
  out += ",\"ts\":";
  append_number(out, tsMs);
  out += '}';
  return out;
}

std::string parse_set(std::string_view payload, const ItemShape &item, int32_t index,
                      std::vector<Write> &writes) {
  writes.clear();
  if (payload.size() > kMaxSetPayload) return "payload larger than 65536 bytes";
  if (!shallow(payload)) return "JSON nested deeper than 3 levels";
  json doc = json::parse(payload.begin(), payload.end(), nullptr, false);
  if (doc.is_discarded()) return "not JSON";
  if (doc.is_object()) {
    for (const auto &[key, v] : doc.items()) {
      if (key != "value" && key != "ts")
        return std::string("unknown key \"") + key.substr(0, 32) + "\"";
    }
    if (!doc.contains("value")) return "an object without \"value\"";
    doc = json(doc["value"]);
  }
  if (item.type == ZRDB_TYPE_USER) return user_block(item, index, doc, writes);
  if (index >= item.count)
    return std::string("index ") + std::to_string(index) + " out of range: the item has " +
           std::to_string(item.count) + " element(s)";
  const bool whole = index == kWholeItem;
  if (whole && item.count > 1 && !doc.is_array())
    return std::string("an array of ") + std::to_string(item.count) + " values, or ITEM/INDEX/set";
  if (doc.is_array() && (!whole || doc.size() != static_cast<size_t>(item.count)))
    return whole ? std::string("an array of ") + std::to_string(doc.size()) +
                       " values; the item has " + std::to_string(item.count)
                 : "an element takes one value, not an array";
  std::vector<const json *> values;
  if (doc.is_array()) {
    for (const json &v : doc) values.push_back(&v);
  } else {
    values.push_back(&doc);
  }
  for (size_t i = 0; i < values.size(); ++i) {
    Write w;
    w.index = whole ? static_cast<int32_t>(i) : index;
    if (std::string why = element(item, *values[i], w.bytes); !why.empty()) {
      writes.clear();
      return doc.is_array() ? std::string("element ") + std::to_string(i) + ": " + why : why;
    }
    writes.push_back(std::move(w));
  }
  return {};
}

std::string base64_encode(const unsigned char *data, size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t n = uint32_t{data[i]} << 16 | (i + 1 < size ? uint32_t{data[i + 1]} << 8 : 0) |
                       (i + 2 < size ? data[i + 2] : 0);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += i + 1 < size ? kAlphabet[n >> 6 & 63] : '=';
    out += i + 2 < size ? kAlphabet[n & 63] : '=';
  }
  return out;
}

bool base64_decode(std::string_view text, std::vector<unsigned char> &out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t n = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const char *at = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
      // Padding only at the end, at most two, and nothing after it.
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++pad;
        n <<= 6;
        continue;
      }
      if (at == nullptr || pad > 0) return false;
      n = n << 6 | static_cast<uint32_t>(at - kAlphabet);
    }
    out.push_back(static_cast<unsigned char>(n >> 16));
    if (pad < 2) out.push_back(static_cast<unsigned char>(n >> 8));
    if (pad < 1) out.push_back(static_cast<unsigned char>(n));
  }
  return true;
}

}  // namespace zrdb_mqtt
