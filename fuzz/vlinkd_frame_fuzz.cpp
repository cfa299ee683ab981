// Fuzz target of zrdb-vlinkd's frame decoder, which reads whatever any host
// that reaches the daemon's port sends. A frame it accepts must lie within
// the bytes given, carry at most 512 value bytes, and encode back to exactly
// the bytes it came from; a refusal must say why.
#include <cstring>

#include "frame.h"
#include "input_file.h"

namespace {
using zrdb::fuzz::require;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  vlinkd::Frame frame;
  const vlinkd::Decoded d = vlinkd::decode_frame({data, size}, frame);
  if (d.status != vlinkd::DecodeStatus::Complete) {
    require(d.consumed == 0);
    require((d.status == vlinkd::DecodeStatus::Malformed) == (d.error != nullptr));
    return 0;
  }
  require(d.consumed <= size && d.consumed <= vlinkd::kMaxFrame);
  require(frame.valueLen <= vlinkd::kMaxValue && frame.size <= vlinkd::kMaxValue);
  uint8_t out[vlinkd::kMaxFrame];
  const size_t n = vlinkd::encode_frame(frame, out);
  require(n == d.consumed && std::memcmp(out, data, n) == 0);
  return 0;
}
