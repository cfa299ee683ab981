// Remote buffer protocol texts: parsing, and what the binding and the
// creation read from them.
#include "types/rmtbuf_text.h"

#include <cstring>

namespace zrdb {
namespace {

// A port text that is exactly a number in 1..65535: anything else would
// bind or send elsewhere than the text says.
bool exact_port(const char *text) {
  size_t n = 0;
  for (; text[n] != '\0'; ++n) {
    if (text[n] < '0' || text[n] > '9' || n >= 5) return false;
  }
  const int32_t value = parse_decimal(text);
  return n > 0 && value >= 1 && value <= 65535;
}

}  // namespace

int parse_endpoint(const char *text, Endpoint &e) {
  e = {};
  char copy[ZRDB_RMTBUF_TEXT_LEN + 1];
  copy_padded(copy, text);  // at most 128 characters
  constexpr const char *kDelims = " :/\r\n";
  char *save = nullptr;
  const char *role = strtok_r(copy, kDelims, &save);
  if (role == nullptr) return -1;
  if (std::strstr(role, "server") != nullptr) {
    e.role = ZRDB_RMTBUF_ROLE_SERVER;
  } else if (std::strstr(role, "client") != nullptr) {
    e.role = ZRDB_RMTBUF_ROLE_CLIENT;
  } else {
    return -1;
  }
  const char *protocol = strtok_r(nullptr, kDelims, &save);
  if (protocol == nullptr || std::strstr(protocol, "udp") == nullptr) return -1;
  const char *address = strtok_r(nullptr, kDelims, &save);
  if (address == nullptr || zrdb_validate_ip4(address) == 0) return -1;
  copy_padded(e.ipAddr, address);
  const char *port = strtok_r(nullptr, kDelims, &save);
  if (port == nullptr) return -1;
  e.port = static_cast<uint16_t>(parse_decimal(port));
  e.portExact = exact_port(port);
  const char *nic = strtok_r(nullptr, " \r\n", &save);
  if (nic != nullptr) copy_padded(e.nic, 31, nic);  // at most 30 characters
  return 0;
}

int endpoint_of(const ZRDB_DIT *dit, Endpoint &e) { return parse_endpoint(item_text(dit).text, e); }

bool rmtbuf_client_role(const ZRDB_DIT &dit) {
  Endpoint e{};
  return endpoint_of(&dit, e) == 0 && e.role == ZRDB_RMTBUF_ROLE_CLIENT;
}

}  // namespace zrdb

extern "C" {

int parseProtocolInfo(const char *text, ZRDB_RMTBUF_INFO *info) {
  std::memset(info->nic, 0, sizeof info->nic);
  zrdb::Endpoint e{};
  if (text == nullptr || zrdb::parse_endpoint(text, e) != 0) return -1;
  std::memcpy(info->ipAddr, e.ipAddr, sizeof info->ipAddr);
  info->proto =
      static_cast<uint8_t>((info->proto & ~(zrdb::kRoleBits | zrdb::kProtocolBits)) | e.role);
  info->port = e.port;
  std::memcpy(info->nic, e.nic, sizeof info->nic);
  return 0;
}

}  // extern "C"
