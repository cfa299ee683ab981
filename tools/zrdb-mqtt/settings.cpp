#include "settings.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <set>

#include "settings_file.h"
#include "zrdb.h"

namespace zrdb_mqtt {
namespace {

constexpr size_t kMaxFileSize = size_t{64} * 1024;
constexpr size_t kMaxLine = 1023;  // publish lists get long
constexpr size_t kMaxHost = 253;
constexpr size_t kMaxText = 255;
constexpr size_t kMaxPassword = 1024;

using Values = std::vector<std::string_view>;

std::string quoted(std::string_view s) { return std::string("'").append(s).append("'"); }

bool number(std::string_view text, int64_t min, int64_t max, int64_t &out) {
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || n < min || n > max)
    return false;
  out = n;
  return true;
}

std::string single(std::string_view key, const Values &values) {
  return values.size() == 1 ? std::string() : std::string("text after the value of ") + quoted(key);
}

std::string broker(std::string_view key, const Values &values, Settings &s) {
  if (std::string why = single(key, values); !why.empty()) return why;
  const std::string_view text = values[0];
  const size_t colon = text.rfind(':');
  const std::string_view host = text.substr(0, colon);
  const bool hostChars = std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
  });
  if (host.empty() || host.size() > kMaxHost || !hostChars)
    return std::string("broker host ") + quoted(host) + " is not a host name or IPv4 address";
  int64_t port = s.port;
  if (colon != std::string_view::npos && !number(text.substr(colon + 1), 1, 65535, port))
    return std::string("broker port ") + quoted(text.substr(colon + 1)) +
           " is not a number in 1..65535";
  s.host = host;
  s.port = static_cast<int>(port);
  return {};
}

// Printable, without blanks: a client id, a user name, a path.
std::string text(std::string_view key, const Values &values, std::string &out) {
  if (std::string why = single(key, values); !why.empty()) return why;
  const std::string_view v = values[0];
  if (v.size() > kMaxText) return quoted(key) + " is longer than 255 characters";
  if (std::any_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) < 0x21; }))
    return quoted(key) + " holds a control character";
  out = v;
  return {};
}

// A topic level may not hold the wildcards, and the prefix neither an empty
// level: a subscriber could not name the topics.
std::string prefix(std::string_view key, const Values &values, Settings &s) {
  std::string p;
  if (std::string why = text(key, values, p); !why.empty()) return why;
  if (p.find_first_of("+#") != std::string::npos || p.front() == '/' || p.back() == '/' ||
      p.find("//") != std::string::npos)
    return std::string("prefix ") + quoted(p) + " holds a wildcard (+ #) or an empty topic level";
  s.prefix = p;
  return {};
}

template <std::vector<std::string> Settings::*member>
std::string items(std::string_view, const Values &values, Settings &s) {
  for (const std::string_view v : values) {
    if (v.size() >= ZRDB_ITEM_NAME_LEN)
      return std::string("item name ") + quoted(v) + " is longer than 31 characters";
    (s.*member).emplace_back(v);
  }
  return {};
}

struct Rule {
  const char *key;
  std::string (*apply)(std::string_view key, const Values &, Settings &);
  // A list's values add up; the command line's replace the file's.
  std::vector<std::string> Settings::*list = nullptr;
};

template <int64_t Min, int64_t Max, typename Field, Field Settings::*member>
std::string ranged(std::string_view key, const Values &values, Settings &s) {
  if (std::string why = single(key, values); !why.empty()) return why;
  int64_t n = 0;
  if (!number(values[0], Min, Max, n))
    return quoted(key) + " " + quoted(values[0]) + " is not a number in " + std::to_string(Min) +
           ".." + std::to_string(Max);
  s.*member = static_cast<Field>(n);
  return {};
}

template <std::string Settings::*member>
std::string path(std::string_view key, const Values &values, Settings &s) {
  return text(key, values, s.*member);
}

constexpr Rule kRules[] = {
    {"broker", broker},
    {"client-id", path<&Settings::clientId>},
    {"qos", ranged<0, 1, int, &Settings::qos>},
    {"prefix", prefix},
    {"publish", items<&Settings::publish>, &Settings::publish},
    {"allow-set", items<&Settings::allowSet>, &Settings::allowSet},
    {"interval", ranged<10, 60000, int64_t, &Settings::intervalMs>},
    {"stats-interval", ranged<0, 86400, int64_t, &Settings::statsIntervalS>},
    {"cafile", path<&Settings::cafile>},
    {"certfile", path<&Settings::certfile>},
    {"keyfile", path<&Settings::keyfile>},
    {"username", path<&Settings::username>},
    {"password-file", path<&Settings::passwordFile>},
};

const Rule *rule(std::string_view key) {
  for (const Rule &r : kRules) {
    if (key == r.key) return &r;
  }
  return nullptr;
}

// ITEM,ITEM,...: an option's list, as the file's words.
Values split_list(std::string_view text) {
  Values out;
  while (!text.empty()) {
    const size_t comma = std::min(text.find(','), text.size());
    if (comma > 0) out.push_back(text.substr(0, comma));
    text.remove_prefix(std::min(comma + 1, text.size()));
  }
  return out;
}

void print_usage() {
  std::printf(
      "usage: zrdb-mqtt [-c FILE] [--foreground] [--SETTING VALUE]... DBFILE\n\n"
      "Publishes the items of the ZRDB database (already allocated from DBFILE) on an\n"
      "MQTT broker, retained, as PREFIX/SYSTEM/ITEM, and writes the items of the\n"
      "allow-set list from PREFIX/SYSTEM/ITEM[/INDEX]/set messages.\n\n"
      "settings (in FILE as 'SETTING VALUE...', here as --SETTING VALUE):\n"
      "  broker HOST[:PORT]   127.0.0.1:1883\n"
      "  client-id ID         zrdb-mqtt-SYSTEM\n"
      "  qos 0|1              0\n"
      "  prefix PREFIX        zrdb\n"
      "  publish ITEM...      items (names or ids) to publish; every plain item\n"
      "  allow-set ITEM...    items a set message may write; none\n"
      "  interval MS          100: poll period of the published items\n"
      "  stats-interval S     10: statistics and link states (0: none)\n"
      "  cafile, certfile, keyfile FILE      TLS\n"
      "  username NAME, password-file FILE   broker account\n"
      "A list option takes ITEM,ITEM,...; the command line replaces the file's list.\n"
      "--foreground: log to standard error as well, for a service manager.\n"
      "Exit status: 0 stopped by SIGTERM/SIGINT, 1 failure, 2 bad settings.\n");
}

}  // namespace

std::string apply_setting(std::string_view key, const Values &values, Settings &settings) {
  const Rule *r = rule(key);
  if (r == nullptr) return std::string("unknown setting ") + quoted(key);
  return r->apply(key, values, settings);
}

bool parse_settings(std::string_view text, std::string_view name, Settings &settings,
                    std::string &error) {
  return zrdb_tools::apply_settings(
      text, name, kMaxLine,
      [&](const zrdb_tools::SettingLine &line) {
        return apply_setting(line.key, line.values, settings);
      },
      error);
}

int parse_command_line(int argc, char **argv, Settings &settings, std::string &error) {
  const char *file = nullptr;
  std::vector<std::pair<std::string_view, std::string_view>> options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      print_usage();
      return 1;
    }
    if (arg == "--foreground") {
      settings.foreground = true;
    } else if (arg == "-c" || (arg.starts_with("--") && rule(arg.substr(2)) != nullptr)) {
      if (i + 1 >= argc) {
        error = quoted(arg) + " needs a value";
        return 2;
      }
      if (arg == "-c") {
        file = argv[++i];
      } else {
        options.emplace_back(arg.substr(2), argv[++i]);
      }
    } else if (arg.starts_with("-")) {
      error = std::string("unknown option ") + quoted(arg) + " (see zrdb-mqtt --help)";
      return 2;
    } else if (settings.dbFile.empty()) {
      settings.dbFile = arg;
    } else {
      error = "more than one database file";
      return 2;
    }
  }
  if (settings.dbFile.empty()) {
    error = "no database file given (see zrdb-mqtt --help)";
    return 2;
  }
  std::string text;
  if (file != nullptr && (!zrdb_tools::read_settings_file(file, kMaxFileSize, text, error) ||
                          !parse_settings(text, file, settings, error)))
    return 2;
  std::set<std::string_view> replaced;
  for (const auto &[key, value] : options) {
    const Rule *r = rule(key);
    const Values values = r->list != nullptr ? split_list(value) : Values{value};
    if (r->list != nullptr && replaced.insert(key).second) (settings.*(r->list)).clear();
    if (std::string why = r->apply(key, values, settings); !why.empty()) {
      error = std::string("--") + std::string(key) + ": " + why;
      return 2;
    }
  }
  return 0;
}

bool finish_settings(Settings &settings, std::string &error) {
  if (settings.certfile.empty() != settings.keyfile.empty()) {
    error = "certfile and keyfile go together";
    return false;
  }
  if (!settings.certfile.empty() && settings.cafile.empty()) {
    error = "a client certificate needs cafile (TLS)";
    return false;
  }
  if (settings.passwordFile.empty()) return true;
  if (settings.username.empty()) {
    error = "password-file needs username";
    return false;
  }
  std::string text;
  if (!zrdb_tools::read_settings_file(settings.passwordFile.c_str(), kMaxPassword, text, error))
    return false;
  text.resize(std::min(text.find_first_of("\r\n"), text.size()));
  if (text.empty() || text.find('\0') != std::string::npos) {
    error = settings.passwordFile + ": the first line holds no password";
    return false;
  }
  settings.password = text;
  return true;
}

}  // namespace zrdb_mqtt
