// IPv4 and interface helpers of the remote buffers.
#pragma once

#include <cstdint>

namespace zrdb {

// 1 when addr (network byte order) is in 224.0.0.0/4, else 0.
int32_t net_ip__is_multicast_ip(uint32_t addr);
// The first IPv4 address of interface ifname as dotted text in out: 0, or
// -1 (out unchanged) when it has none.
int32_t get_ip_from_inf(const char *ifname, char *out, int32_t outLen);
// A close-on-exec IPv4 datagram socket on descriptor 3 or above, or -1
// (errno set). A process that closed its standard descriptors would
// otherwise get the socket there, where a stray printf or a read of
// standard input reaches the network.
int udp_socket_above_stdio();

}  // namespace zrdb
