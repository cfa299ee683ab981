// Parsers of the compound values of the configuration files. Each works on
// a bounded private copy of its input and never writes past its output.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core.h"

namespace zrdb {
namespace {

constexpr size_t kCopyLen = 127;  // characters of the private copy

// A bounded, NUL-terminated private copy of a value text.
template <size_t N>
struct Copy {
  char text[N + 1] = {};
  explicit Copy(const char *src) { copy_padded(text, src); }
};

// Splits `text` in place at the first `sep`; returns the text after it, or
// null when there is none.
char *split_at(char *text, char sep) {
  char *at = std::strchr(text, sep);
  if (at == nullptr) return nullptr;
  *at = '\0';
  return at + 1;
}

}  // namespace

namespace {
// strtol of the 32-bit target: out-of-range values saturate.
int32_t parse_saturated(const char *text, int base) {
  if (text == nullptr) return 0;
  const long long value = std::strtoll(text, nullptr, base);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}
}  // namespace

int32_t parse_int(const char *text) { return parse_saturated(text, 0); }

int32_t parse_decimal(const char *text) { return parse_saturated(text, 10); }

}  // namespace zrdb

extern "C" {

int getSizeFromStr(const char *text, ZRDB_SIZE_MAP *out) {
  zrdb::Copy<zrdb::kCopyLen> copy(text);
  char *count = zrdb::split_at(copy.text, '*');
  out->elemSize = zrdb::parse_int(copy.text);
  out->count = count != nullptr ? zrdb::parse_int(count) : 1;
  return (out->elemSize != 0 && out->count != 0) ? 0 : -1;
}

int getMapInfoFromStr(const char *text, ZRDB_SIZE_MAP *out) {
  zrdb::Copy<zrdb::kCopyLen> copy(text);
  char *b = zrdb::split_at(copy.text, ':');
  char *c = b != nullptr ? zrdb::split_at(b, ':') : nullptr;
  out->mapA = zrdb::parse_int(copy.text);
  if (b == nullptr) return -1;
  out->mapB = static_cast<uint16_t>(zrdb::parse_int(b));
  if (c == nullptr) return -2;
  out->mapC = static_cast<uint16_t>(zrdb::parse_int(c));
  return out->mapB != 0 ? 0 : -3;
}

int getIdFromStr(const char *text, ZRDB_RT_CTRL *rt) {
  zrdb::Copy<zrdb::kCopyLen> copy(text);
  char *b = zrdb::split_at(copy.text, '*');
  if (b == nullptr || rt->rtCount >= ZRDB_RT_MAX) return -1;
  char *c = zrdb::split_at(b, '*');
  const uint32_t i = rt->rtCount;
  rt->rtA[i] = zrdb::parse_int(copy.text);
  rt->rtB[i] = zrdb::parse_int(b);
  rt->rtC[i] = c != nullptr ? zrdb::parse_int(c) : 0;
  rt->rtTimeout[i] = ZRDB_RT_DEFAULT_TIMEOUT;
  rt->rtCount = i + 1;
  return 0;
}

int getSyncInfoFromStr(const char *text, ZRDB_SYNCTO *out) {
  zrdb::Copy<zrdb::kCopyLen> copy(text);
  char *b = zrdb::split_at(copy.text, ':');
  if (b == nullptr) return -1;
  char *c = zrdb::split_at(b, ':');
  out->rmtDid = zrdb::parse_int(copy.text);
  out->remoteId = zrdb::parse_int(b);
  out->mode = c != nullptr ? zrdb::parse_int(c) : 0;
  return 0;
}

int getItemFromStr(const char *text, int n, char *dst, int dstSize) {
  if (dst == nullptr || dstSize <= 0) return 0;
  dst[0] = '\0';
  zrdb::Copy<zrdb::kCopyLen + 1> copy(text);
  char *field = copy.text;
  // Fields are separated by single colons; empty fields count.
  for (int i = 0; i < n && field != nullptr; ++i) field = zrdb::split_at(field, ':');
  if (field == nullptr || n < 0) return 0;
  zrdb::split_at(field, ':');
  zrdb::copy_padded(dst, static_cast<size_t>(dstSize), field);
  return 0;
}

}  // extern "C"
