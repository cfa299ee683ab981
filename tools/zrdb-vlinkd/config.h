// The daemon's settings: from the command line (--KEY VALUE...) and from a
// small configuration file (-c FILE) of the same KEY VALUE... lines:
//
//   key /etc/zrdb/a.key       # this system's secret key (mode 0600)
//   # the peers: HOST is a name or an IPv4 address, PORT 50712 by default,
//   # KEY the peer's public key (40 Z85 characters) or its .pub file
//   link 0=10.0.0.2:50712 /etc/zrdb/b.pub
//   listen 10.0.0.1:50712     # own address for the peers (127.0.0.1:50712)
//   deny-get 0 secrets,100-199  # items link 0 may not read (names, ids, ranges)
//   allow-set 0 setpoint,7    # the only items link 0 may write
//   sync-port 47702           # sync messages: a UDP port on 127.0.0.1,
//   sync-item sync_in         #   or a vlinkbuf item in server role (not both)
//   sync-link 0               # the link they are forwarded over (0)
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

inline constexpr size_t kKeyText = 40;  // a CURVE key in Z85

struct LinkConfig {
  int number = 0;
  std::string host;
  uint16_t port = kDefaultPort;
  std::string keyArg;     // as given: Z85 text or a .pub file
  std::string key;        // Z85 text; finish_config reads a file
  in_addr addr{};         // finish_config
  bool fromFile = false;  // a link of the same number from the command line replaces it
};

// Items named in deny-get / allow-set: ids, ranges of ids and names (found
// in the database when the daemon has attached it).
struct ItemList {
  std::vector<std::pair<int32_t, int32_t>> ranges;  // first, last
  std::vector<std::string> names;
};

struct Config {
  std::string keyFile;
  std::string listenHost = "127.0.0.1";
  uint16_t listenPort = kDefaultPort;
  std::vector<LinkConfig> links;
  ItemList denyGet[kMaxLinkNumber + 1];
  ItemList allowSet[kMaxLinkNumber + 1];
  std::string syncHost = "127.0.0.1";
  uint16_t syncPort = 0;  // 0: none
  std::string syncItem;   // empty: none
  int syncLink = 0;
};

// True for 40 characters of the Z85 alphabet.
bool z85_key(std::string_view text);

// Settings whose value is two words ("link N=HOST KEY"): on the command
// line they take two arguments.
bool two_word_setting(std::string_view key);

// Applies one setting. Returns the reason it is refused, or an empty string.
std::string apply_setting(std::string_view key, std::string_view value, Config &config);

// Applies the lines of `text`; `name` prefixes the messages ("NAME:LINE: reason").
// A link given twice in the text is refused; the links it gives are
// replaced by a later setting of the same link number (the command line's).
bool parse_config(std::string_view text, std::string_view name, Config &config, std::string &error);
// Reads the file `path` (at most 64 KiB) and applies it.
bool load_config(const char *path, Config &config, std::string &error);

// Checks the settings as a whole and reads the links' .pub files.
bool finish_config(Config &config, std::string &error);

}  // namespace vlinkd
