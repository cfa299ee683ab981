// IPv4 and interface helpers of the remote buffers.
#pragma once

#include <cstdint>

namespace zrdb {

// 1 when addr (network byte order) is in 224.0.0.0/4, else 0.
int32_t net_ip__is_multicast_ip(uint32_t addr);
// The first IPv4 address of interface ifname as dotted text in out: 0, or
// -1 (out unchanged) when it has none.
int32_t get_ip_from_inf(const char *ifname, char *out, int32_t outLen);

}  // namespace zrdb
