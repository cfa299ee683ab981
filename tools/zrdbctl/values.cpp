// Item values: get, set and print. The item arrives resolved and checked:
// its element size and count describe an area inside the data segment.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "snapshot.h"
#include "text.h"

namespace zrdbctl {
namespace {

int check_value_type(const ItemRef &ref, const char *command) {
  const int32_t type = ref.desc->type;
  if (type == ZRDB_TYPE_INTEGER || type == ZRDB_TYPE_STRING) {
    if (ref.desc->elemSize <= 0 || ref.desc->count <= 0) {
      return fail(kUsage, "'%s' has no elements", ref.label.c_str());
    }
    return kOk;
  }
  return fail(kUsage,
              "%s: '%s' is a %s item; %s takes integer and string items ('zrdbctl --json get "
              "%s' or 'zrdbctl print %s' shows it)",
              command, ref.label.c_str(), DBITEMTYPE_MAP[type].key, command, ref.label.c_str(),
              ref.label.c_str());
}

// A user item is an opaque block: shown as hex, sixteen bytes a line.
int show_user_block(const ItemRef &ref) {
  if (ref.indexed)
    return fail(kUsage, "'%s' is a user block; it has no elements", ref.label.c_str());
  ZRDB_BLK_INFO blk{};
  if (zrdb_getUserBlkInfo(ref.id, &blk) != 0 || blk.addr == nullptr) {
    return fail(kFailure, "cannot reach the data of '%s'", ref.label.c_str());
  }
  const auto *bytes = static_cast<const unsigned char *>(blk.addr);
  for (int32_t at = 0; at < blk.size; at += 16) {
    std::printf("%04x:", static_cast<unsigned>(at));
    for (int32_t i = at; i < at + 16 && i < blk.size; ++i) std::printf(" %02x", bytes[i]);
    std::printf("\n");
  }
  return kOk;
}

}  // namespace

int cmd_get(Invocation &inv) {
  const ItemRef &ref = inv.item;
  if (inv.opt.json) return print_json_item(ref, inv.opt.showSigned);
  if (ref.desc->type == ZRDB_TYPE_USER) return show_user_block(ref);
  if (const int rc = check_value_type(ref, "get"); rc != kOk) return rc;
  const bool integer = ref.desc->type == ZRDB_TYPE_INTEGER;
  const int32_t len = integer ? integer_width(ref.desc->elemSize) : ref.desc->elemSize;
  std::vector<char> buf(static_cast<size_t>(std::max(len, 4)) + 1, '\0');
  for (int32_t i = ref.first(); i <= ref.last(); ++i) {
    std::fill(buf.begin(), buf.end(), '\0');
    if (const int rc = zrdb_getiValue(ref.id, i, buf.data(), len); rc != 0) {
      return fail(kFailure, "reading '%s' element %d failed: %s (%d)", ref.label.c_str(), i,
                  zrdb_strerror(rc), rc);
    }
    if (integer) {
      const int64_t value = integer_value(reinterpret_cast<const unsigned char *>(buf.data()),
                                          static_cast<size_t>(len), inv.opt.showSigned);
      std::printf("%lld\n", static_cast<long long>(value));
    } else {
      const OneLine line;
      std::printf("%s\n", buf.data());  // NUL-terminated by the extra byte
    }
  }
  return kOk;
}

int cmd_set(Invocation &inv) {
  const ItemRef &ref = inv.item;
  if (const int rc = check_value_type(ref, "set"); rc != kOk) return rc;
  const char *value = inv.args[1];
  // Everything is checked before the first write: a bad value changes nothing.
  std::vector<char> bytes;
  int32_t len = 0;
  if (ref.desc->type == ZRDB_TYPE_INTEGER) {
    int64_t number = 0;
    len = integer_width(ref.desc->elemSize);
    // A negative number is stored as its 32-bit two's complement.
    if (const int rc = parse_number(value, {"number", INT32_MIN, UINT32_MAX}, number); rc != kOk)
      return rc;
    const auto word = static_cast<uint32_t>(number);
    if (len < 4 && word >> (8 * len) != 0) {
      return fail(kUsage, "%s does not fit the %d-byte elements of '%s'", value, len,
                  ref.label.c_str());
    }
    bytes.resize(4);
    std::memcpy(bytes.data(), &word, 4);  // the low bytes first, as the machine stores them
  } else {
    len = ref.desc->elemSize;
    const size_t textLen = std::strlen(value);
    if (textLen > static_cast<size_t>(len)) {
      return fail(kUsage, "'%s' is %zu bytes; an element of '%s' holds %d", value, textLen,
                  ref.label.c_str(), len);
    }
    // NUL-padded to the element, so no tail of an older, longer text stays.
    bytes.assign(static_cast<size_t>(len), '\0');
    std::memcpy(bytes.data(), value, textLen);
  }
  for (int32_t i = ref.first(); i <= ref.last(); ++i) {
    if (const int rc = zrdb_setiValue(ref.id, i, bytes.data(), len); rc != 0) {
      return fail(kFailure, "writing '%s' element %d failed: %s (%d)", ref.label.c_str(), i,
                  zrdb_strerror(rc), rc);
    }
  }
  return kOk;
}

int cmd_print(Invocation &inv) {
  const ItemRef &ref = inv.item;
  int64_t mode = 1;
  if (inv.args.size() > 1) {
    if (const int rc = parse_number(inv.args[1], {"print mode", 0, INT32_MAX}, mode); rc != kOk)
      return rc;
  }
  const auto m = static_cast<int32_t>(mode);
  int rc = 0;
  {
    const OneLine line;  // a handler prints one line; a value must not add any
    rc = ref.indexed ? zrdb_printiValue(ref.id, ref.index, m) : zrdb_printValue(ref.id, m);
  }
  if (rc != 0) {
    return fail(kFailure, "printing '%s' failed (%d)%s", ref.label.c_str(), rc,
                rc == -3 ? ": its type has no print handler for this" : "");
  }
  return kOk;
}

}  // namespace zrdbctl
