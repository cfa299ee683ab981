// The protocol text of a remote buffer item, "role:udp://address:port" and
// optionally an interface name, parsed.
#pragma once

#include "core.h"

namespace zrdb {

inline constexpr uint8_t kRoleBits = 0x03;      // proto bits 0-1
inline constexpr uint8_t kProtocolBits = 0x3C;  // proto bits 2-5, 0 = udp

struct Endpoint {
  char ipAddr[16];
  uint8_t role;
  uint16_t port;
  char nic[32];
  bool portExact;  // the port text was a number in 1..65535, as written
};

// 0, or -1 when the text does not parse (e is then incomplete).
int parse_endpoint(const char *text, Endpoint &e);
// The item's text, from a bounded copy of its data area.
int endpoint_of(const ZRDB_DIT *dit, Endpoint &e);

}  // namespace zrdb
