// Fuzz target of the remote buffer protocol text ("ROLE:udp://ADDR:PORT
// [NIC]"), which comes from the configuration file and from the data area
// any process may write. An accepted text must give a valid address, a
// known role and a terminated interface name of at most 30 characters;
// bytes of the record beyond the parsed fields stay untouched.
#include <string>

#include "core.h"
#include "input_file.h"

namespace {
using zrdb::fuzz::require;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  ZRDB_RMTBUF_INFO info;
  std::memset(&info, 0xA5, sizeof info);
  const int rc = parseProtocolInfo(text.c_str(), &info);
  require(rc == 0 || rc == -1);
  require(info.owner[0] == static_cast<char>(0xA5) && info.status == 0xA5 &&
          info.trace == static_cast<int32_t>(0xA5A5A5A5));
  require(strnlen(info.nic, sizeof info.nic) <= 30);
  if (rc == 0) {
    require(strnlen(info.ipAddr, sizeof info.ipAddr) < sizeof info.ipAddr);
    require(zrdb_validate_ip4(info.ipAddr) == 1);
    require((info.proto & 3) <= ZRDB_RMTBUF_ROLE_CLIENT);
  }
  return 0;
}
