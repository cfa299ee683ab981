// Fuzz target of what zrdb-vlinkd parses from outside: the messages an
// admitted peer sends, and the settings file. A message it accepts must
// carry at most 512 value bytes and encode back to exactly the bytes it came
// from; a settings text it accepts must give links and item ranges within
// their bounds, and one it refuses must say where.
#include <cstring>
#include <string_view>

#include "config.h"
#include "input_file.h"
#include "message.h"
#include "zrdb.h"

namespace {
using zrdb::fuzz::require;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  vlinkd::Message m;
  if (vlinkd::decode_message({data, size}, m) == nullptr) {
    require(m.valueLen <= vlinkd::kMaxValue && m.size <= vlinkd::kMaxValue);
    uint8_t out[vlinkd::kMaxMessage];
    const size_t n = vlinkd::encode_message(m, out);
    require(n == size && std::memcmp(out, data, n) == 0);
  }
  vlinkd::Config config;
  std::string error;
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  if (!vlinkd::parse_config(text, "f", config, error)) {
    require(error.starts_with("f:"));
    return 0;
  }
  require(config.links.size() <= vlinkd::kMaxLinkNumber + 1);
  for (const vlinkd::LinkConfig &link : config.links)
    require(link.number >= 0 && link.number <= vlinkd::kMaxLinkNumber && !link.keyArg.empty());
  for (const vlinkd::ItemList &list : config.allowSet)
    for (const auto &[first, last] : list.ranges)
      require(first >= 0 && first <= last && last < ZRDB_MAX_ITEMS);
  return 0;
}
