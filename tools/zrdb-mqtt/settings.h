// The bridge's settings: a settings file (-c FILE) of KEY VALUE... lines and
// the same names as long options (--KEY VALUE), which win over the file:
//
//   broker 127.0.0.1:1883     # HOST[:PORT]
//   client-id plant-a         # zrdb-mqtt-SYSTEM by default
//   qos 1                     # 0 (default) or 1
//   prefix zrdb               # topics PREFIX/SYSTEM/ITEM
//   publish speed 17 temps    # item names or ids; all plain items by default
//   allow-set setpoint        # items a set message may write; none by default
//   interval 100              # ms between polls of the published items
//   stats-interval 10         # s between statistics messages (0: none)
//   cafile ca.pem             # TLS: the CA, and optionally a client
//   certfile client.pem       #   certificate with its key
//   keyfile client.key
//   username bridge           # broker account; the password is the first
//   password-file pass.txt    #   line of that file
//
// publish and allow-set may repeat; their items add up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zrdb_mqtt {

struct Settings {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId;  // empty: zrdb-mqtt-SYSTEM
  int qos = 0;
  std::string prefix = "zrdb";
  std::vector<std::string> publish;  // empty: every plain item
  std::vector<std::string> allowSet;
  int64_t intervalMs = 100;
  int64_t statsIntervalS = 10;
  std::string cafile;
  std::string certfile;
  std::string keyfile;
  std::string username;
  std::string passwordFile;
  std::string password;  // read by finish_settings
  bool foreground = false;
  std::string dbFile;
};

// Applies one setting; the reason it is refused, or an empty string.
std::string apply_setting(std::string_view key, const std::vector<std::string_view> &values,
                          Settings &settings);

// The settings file's text, its messages prefixed "NAME:LINE: ".
bool parse_settings(std::string_view text, std::string_view name, Settings &settings,
                    std::string &error);

// The command line: [-c FILE] [--foreground] [--KEY VALUE]... DBFILE. The
// file is read first, the options override it. Returns 0, 1 for --help
// (printed), or 2 with the reason in `error`.
int parse_command_line(int argc, char **argv, Settings &settings, std::string &error);

// Checks the settings as a whole and reads the password file.
bool finish_settings(Settings &settings, std::string &error);

}  // namespace zrdb_mqtt
