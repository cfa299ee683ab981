// IPv4 texts and interface addresses.
#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zrdb.h"

namespace zrdb {
namespace {

// The hardware address of ifname; zero bytes when the socket or the
// request fails. A name too long for the request is not truncated into the
// name of another interface: it has no address.
void hardware_address(const char *ifname, unsigned char (&mac)[6]) {
  ifreq request{};
  std::memset(mac, 0, sizeof mac);
  if (ifname == nullptr || std::strlen(ifname) >= sizeof request.ifr_name) return;
  std::memcpy(request.ifr_name, ifname, std::strlen(ifname));
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return;
  if (ioctl(sock, SIOCGIFHWADDR, &request) == 0)
    std::memcpy(mac, request.ifr_hwaddr.sa_data, sizeof mac);
  close(sock);
}

int format_mac(const char *ifname, char *out, uint32_t outLen, const char *format) {
  unsigned char m[6];
  hardware_address(ifname, m);
  if (out != nullptr && outLen > 0)
    std::snprintf(out, outLen, format, m[0], m[1], m[2], m[3], m[4], m[5]);
  return 0;
}

}  // namespace

int32_t net_ip__is_multicast_ip(uint32_t addr) {
  unsigned char first = 0;
  std::memcpy(&first, &addr, 1);  // the byte at the lowest address
  return first >= 224 && first <= 239 ? 1 : 0;
}

int32_t get_ip_from_inf(const char *ifname, char *out, int32_t outLen) {
  ifaddrs *list = nullptr;
  if (ifname == nullptr || getifaddrs(&list) != 0) return -1;
  int32_t rc = -1;
  for (const ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET ||
        std::strcmp(a->ifa_name, ifname) != 0)
      continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr, text,
              sizeof text);
    if (out != nullptr && outLen > 0) std::snprintf(out, static_cast<size_t>(outLen), "%s", text);
    rc = 0;
    break;
  }
  freeifaddrs(list);
  return rc;
}

int udp_socket_above_stdio() {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0 || sock > STDERR_FILENO) return sock;
  const int moved = fcntl(sock, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int err = errno;
  close(sock);
  errno = err;
  return moved;
}

}  // namespace zrdb

extern "C" {

int zrdb_validate_ip4(const char *text) {
  if (text == nullptr) return 0;
  const size_t n = std::strlen(text);
  if (n < 7 || n > 15) return 0;
  unsigned a = 0, b = 0, c = 0, d = 0;
  char rest[16] = {};
  if (std::sscanf(text, "%3u.%3u.%3u.%3u%15s", &a, &b, &c, &d, rest) != 4 || rest[0] != '\0')
    return 0;
  return a <= 255 && b <= 255 && c <= 255 && d <= 255 ? 1 : 0;
}

int zrdb_get_mac_addr(const char *ifname, char *out, uint32_t outLen) {
  return zrdb::format_mac(ifname, out, outLen, "%x:%x:%x:%x:%x:%x");
}

int zrdb_get_mac_addr_v2(const char *ifname, char *out, uint32_t outLen) {
  return zrdb::format_mac(ifname, out, outLen, "%02x:%02x:%02x:%02x:%02x:%02x");
}

}  // extern "C"
