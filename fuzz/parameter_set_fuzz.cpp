// Fuzz target of the parameter-set reader (zrdb/parameters.hpp's file
// part), the input of zrdbctl load and create --restore. Whatever the bytes,
// it must return without a crash; a set it accepts must hold whole items,
// and writing it out and reading that back must give the same set.
#include <cstdint>
#include <string_view>

#include "input_file.h"
#include "zrdb/parameter_file.hpp"

using namespace zrdb::parameters;
using zrdb::fuzz::require;

namespace {

bool same(const ParameterSet &a, const ParameterSet &b) {
  if (a.system != b.system || a.items.size() != b.items.size()) return false;
  for (size_t i = 0; i < a.items.size(); ++i) {
    const SavedItem &x = a.items[i], &y = b.items[i];
    if (x.name != y.name || x.id != y.id || x.type != y.type || x.count != y.count ||
        x.size != y.size || x.base64 != y.base64 || x.bytes != y.bytes)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ParameterSet set;
  std::string error;
  if (!parse_parameter_set(std::string_view(reinterpret_cast<const char *>(data), size), set,
                           error)) {
    require(!error.empty() && error.find('\n') == std::string::npos);
    return 0;
  }
  for (const SavedItem &item : set.items) {
    require(plain_type_name(item.type) != nullptr && item.id >= 0 && item.id < ZRDB_MAX_ITEMS);
    require(item.bytes.size() == static_cast<size_t>(item.count) * static_cast<size_t>(item.size));
  }
  ParameterSet again;
  require(parse_parameter_set(format_parameter_set(set), again, error) && same(set, again));
  return 0;
}
