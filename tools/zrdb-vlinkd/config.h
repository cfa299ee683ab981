// The daemon's settings: from the command line (--KEY VALUE) and from a small
// configuration file (-c FILE) of the same KEY VALUE lines:
//
//   # the peers; HOST is a name or an IPv4 address, PORT 50712 by default
//   link 0=10.0.0.2:50712
//   listen 10.0.0.1:50712     # own address for the peers (127.0.0.1:50712)
//   sync-port 47702           # sync messages: a UDP port on the listen address,
//   sync-item sync_in         #   or a vlinkbuf item in server role (not both)
//
// The file is bounded (64 KiB, lines of 255 characters) and every bad line is
// refused with "FILE:LINE: reason".
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vlinkd {

inline constexpr int kMaxLinkNumber = 31;  // the master item has 32 link states
inline constexpr uint16_t kDefaultPort = 50712;

struct LinkConfig {
  int number = 0;
  std::string host;
  uint16_t port = kDefaultPort;
  in_addr addr{};         // resolve_hosts
  bool fromFile = false;  // a link of the same number from the command line replaces it
};

struct Config {
  std::string listenHost = "127.0.0.1";
  uint16_t listenPort = kDefaultPort;
  in_addr listenAddr{};  // resolve_hosts
  std::vector<LinkConfig> links;
  uint16_t syncPort = 0;  // 0: none
  std::string syncItem;   // empty: none
};

// Applies one setting ("link", "listen", "sync-port", "sync-item"). Returns
// the reason it is refused, or an empty string.
std::string apply_setting(std::string_view key, std::string_view value, Config &config);

// Applies the lines of `text`; `name` prefixes the messages ("NAME:LINE: reason").
// A link given twice in the text is refused; the links it gives are
// replaced by a later setting of the same link number (the command line's).
bool parse_config(std::string_view text, std::string_view name, Config &config, std::string &error);
// Reads the file `path` (at most 64 KiB) and applies it.
bool load_config(const char *path, Config &config, std::string &error);

// Checks the settings as a whole and finds the addresses of the link hosts
// and of the listen address. A host that does not resolve is an error.
bool finish_config(Config &config, std::string &error);

}  // namespace vlinkd
