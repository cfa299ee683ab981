// The daemon's settings and their file (format in config.h).
#include "config.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "zrdb.h"

namespace vlinkd {
namespace {

constexpr size_t kMaxFileSize = size_t{64} * 1024;
constexpr size_t kMaxLine = 255;
constexpr size_t kMaxHost = 63;
constexpr size_t kMaxItemName = 31;
constexpr size_t kMaxKeyFile = 256;  // a .pub file: the key, a line end, maybe a comment

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// A message from its parts. (A literal + std::string trips GCC 12's
// -Wrestrict at -O3.)
std::string join(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) text.append(part);
  return text;
}

std::string quoted(std::string_view s) { return join({"'", s, "'"}); }

// A decimal number of at most 9 digits; -1 otherwise.
long number(std::string_view s) {
  if (s.empty() || s.size() > 9) return -1;
  long n = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::string parse_port(std::string_view text, uint16_t &port) {
  const long n = number(text);
  if (n < 1 || n > 65535) return join({"port ", quoted(text), " is not a number in 1..65535"});
  port = static_cast<uint16_t>(n);
  return {};
}

// HOST[:PORT]; the port keeps its value when absent.
std::string parse_endpoint(std::string_view text, std::string &host, uint16_t &port) {
  const size_t colon = text.rfind(':');
  const std::string_view name = text.substr(0, colon);
  if (name.empty() || name.size() > kMaxHost)
    return join({"host ", quoted(name), " is empty or long"});
  const bool valid = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
  });
  if (!valid) return join({"host ", quoted(name), " has characters no host name has"});
  host = name;
  return colon == std::string_view::npos ? std::string() : parse_port(text.substr(colon + 1), port);
}

// Splits "A B" into its two words; false when there are not exactly two.
bool two_words(std::string_view text, std::string_view &first, std::string_view &second) {
  const size_t blank_at = text.find_first_of(" \t");
  if (blank_at == std::string_view::npos) return false;
  first = text.substr(0, blank_at);
  second = trim(text.substr(blank_at));
  return !second.empty() && second.find_first_of(" \t") == std::string_view::npos;
}

// N=HOST[:PORT] KEY
std::string parse_link(std::string_view text, Config &config) {
  std::string_view endpoint, key;
  if (!two_words(text, endpoint, key))
    return join({"link ", quoted(text), " is not N=HOST[:PORT] KEY (the peer's public key)"});
  const size_t eq = endpoint.find('=');
  if (eq == std::string_view::npos)
    return join({"link ", quoted(endpoint), " is not N=HOST[:PORT]"});
  LinkConfig link;
  const long n = number(endpoint.substr(0, eq));
  if (n < 0) return join({"link number ", quoted(endpoint.substr(0, eq)), " is not a number"});
  if (n > kMaxLinkNumber) return join({"link number ", std::to_string(n), " is above 31"});
  link.number = static_cast<int>(n);
  if (std::string why = parse_endpoint(endpoint.substr(eq + 1), link.host, link.port); !why.empty())
    return why;
  link.keyArg = key;
  for (LinkConfig &other : config.links) {
    if (other.number != link.number) continue;
    if (!other.fromFile) return join({"link ", std::to_string(n), " is given twice"});
    other = link;
    return {};
  }
  config.links.push_back(link);
  return {};
}

// N ITEMS, ITEMS a comma-separated list of ids, FIRST-LAST ranges and names.
std::string parse_items(std::string_view text, ItemList (&lists)[kMaxLinkNumber + 1]) {
  std::string_view link, items;
  if (!two_words(text, link, items)) return join({quoted(text), " is not N ITEMS"});
  const long n = number(link);
  if (n < 0 || n > kMaxLinkNumber) return join({"link number ", quoted(link), " is not 0..31"});
  ItemList &list = lists[n];
  while (!items.empty()) {
    const size_t comma = std::min(items.find(','), items.size());
    const std::string_view item = items.substr(0, comma);
    items.remove_prefix(std::min(comma + 1, items.size()));
    const size_t dash = item.find('-');
    const long first = number(item.substr(0, dash));
    const long last = dash == std::string_view::npos ? first : number(item.substr(dash + 1));
    if (first >= 0 || dash != std::string_view::npos) {
      if (first < 0 || last < first || last >= ZRDB_MAX_ITEMS)
        return join({"item range ", quoted(item), " is not FIRST-LAST within 0..4999"});
      list.ranges.emplace_back(static_cast<int32_t>(first), static_cast<int32_t>(last));
      continue;
    }
    const bool name = !item.empty() && item.size() <= kMaxItemName &&
                      std::all_of(item.begin(), item.end(), [](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
                      });
    if (!name) return join({"item ", quoted(item), " is no id, range or item name"});
    list.names.emplace_back(item);
  }
  return {};
}

// [ADDR:]PORT, ADDR a loopback address: sync messages come from this
// system's applications, never from the network.
std::string parse_sync_port(std::string_view text, Config &config) {
  const size_t colon = text.rfind(':');
  std::string host = "127.0.0.1";
  if (colon != std::string_view::npos) host = text.substr(0, colon);
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) != 1 || (ntohl(addr.s_addr) >> 24) != 127)
    return join({"sync address ", quoted(host),
                 " is not a loopback address: sync messages come from this system only, and a "
                 "peer's reach this daemon over its authenticated link"});
  config.syncHost = host;
  return parse_port(colon == std::string_view::npos ? text : text.substr(colon + 1),
                    config.syncPort);
}

// Reads a .pub file: the key on its first line.
std::string read_public_key(const std::string &path, std::string &key) {
  const int fd = zrdb_openRegularFile(path.c_str(), kMaxKeyFile);
  if (fd < 0) return join({"key file ", quoted(path), ": ", zrdb_fileProblem(errno)});
  char text[kMaxKeyFile];
  const ssize_t n = read(fd, text, sizeof text);
  close(fd);
  const std::string_view line =
      trim(std::string_view(text, n > 0 ? static_cast<size_t>(n) : 0).substr(0, kKeyText + 1));
  const std::string_view first = line.substr(0, std::min(line.find('\n'), line.size()));
  if (!z85_key(trim(first)))
    return join(
        {"key file ", quoted(path), ": no public key (40 Z85 characters) on its first line"});
  key = trim(first);
  return {};
}

bool resolve(const std::string &host, in_addr &out) {
  if (inet_pton(AF_INET, host.c_str(), &out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  out = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace

bool z85_key(std::string_view text) {
  static constexpr std::string_view kAlphabet =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?&<>()[]{}@%$#";
  return text.size() == kKeyText && std::all_of(text.begin(), text.end(), [](char c) {
           return kAlphabet.find(c) != std::string_view::npos;
         });
}

bool two_word_setting(std::string_view key) {
  return key == "link" || key == "deny-get" || key == "allow-set";
}

std::string apply_setting(std::string_view key, std::string_view value, Config &config) {
  if (!two_word_setting(key) && value.find_first_of(" \t") != std::string_view::npos)
    return join({"text after the value of ", quoted(key)});
  if (key == "link") return parse_link(value, config);
  if (key == "deny-get") return parse_items(value, config.denyGet);
  if (key == "allow-set") return parse_items(value, config.allowSet);
  if (key == "key") {
    if (value.empty() || value.size() > 255) return "key file name is empty or long";
    config.keyFile = value;
    return {};
  }
  if (key == "sync-link") {
    const long n = number(value);
    if (n < 0 || n > kMaxLinkNumber) return join({"link number ", quoted(value), " is not 0..31"});
    config.syncLink = static_cast<int>(n);
    return {};
  }
  if (key == "listen") {
    std::string host;
    uint16_t port = kDefaultPort;
    if (std::string why = parse_endpoint(value, host, port); !why.empty()) return why;
    in_addr ignored{};
    if (inet_pton(AF_INET, host.c_str(), &ignored) != 1)
      return join({"listen address ", quoted(host), " is not an IPv4 address"});
    config.listenHost = host;
    config.listenPort = port;
    return {};
  }
  if (key == "sync-port") return parse_sync_port(value, config);
  if (key == "sync-item") {
    if (value.empty() || value.size() > kMaxItemName)
      return join({"item name ", quoted(value), " is empty or above 31 characters"});
    config.syncItem = value;
    return {};
  }
  return join({"unknown setting ", quoted(key)});
}

bool parse_config(std::string_view text, std::string_view name, Config &config,
                  std::string &error) {
  size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::string why;
    if (line.size() > kMaxLine) {
      why = "line longer than 255 characters";
    } else if (line.find('\0') != std::string_view::npos) {
      why = "NUL byte in the line";
    } else {
      line = trim(line.substr(0, line.find('#')));
      if (line.empty()) continue;
      const size_t split = std::min(line.find_first_of(" \t"), line.size());
      const std::string_view key = line.substr(0, split);
      const std::string_view value = trim(line.substr(split));
      if (value.empty()) {
        why = join({quoted(key), " needs a value"});
      } else {
        why = apply_setting(key, value, config);
      }
    }
    if (!why.empty()) {
      error = join({std::string_view(name), ":", std::to_string(lineNo), ": ", why});
      return false;
    }
  }
  for (LinkConfig &link : config.links) link.fromFile = true;
  return true;
}

bool load_config(const char *path, Config &config, std::string &error) {
  // Only a regular file: a FIFO would block the open, a device never end.
  // The size is bounded by the read below, which also sees a file that grows.
  const int fd = zrdb_openRegularFile(path, -1);
  const std::unique_ptr<FILE, int (*)(FILE *)> file(fd >= 0 ? fdopen(fd, "rb") : nullptr,
                                                    std::fclose);
  if (!file) {
    error = join({path, ": cannot open: ", zrdb_fileProblem(errno)});
    if (fd >= 0) close(fd);
    return false;
  }
  std::string text(kMaxFileSize + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file.get()));
  if (std::ferror(file.get())) {
    error = join({path, ": cannot read: ", std::strerror(errno)});
    return false;
  }
  if (text.size() > kMaxFileSize) {
    error = join({path, ": larger than 65536 bytes"});
    return false;
  }
  return parse_config(text, path, config, error);
}

bool finish_config(Config &config, std::string &error) {
  if (config.syncPort != 0 && !config.syncItem.empty()) {
    error = "sync-port and sync-item exclude each other";
    return false;
  }
  if (config.keyFile.empty()) {
    error = "no key file given (key FILE; make one with zrdb-vlinkd keygen PREFIX)";
    return false;
  }
  for (LinkConfig &link : config.links) {
    const std::string name = join({"link ", std::to_string(link.number), ": "});
    if (!resolve(link.host, link.addr)) {
      error = join({name, "host ", quoted(link.host), " has no IPv4 address"});
      return false;
    }
    if (z85_key(link.keyArg)) {
      link.key = link.keyArg;
    } else if (std::string why = read_public_key(link.keyArg, link.key); !why.empty()) {
      error = join({name, why});
      return false;
    }
  }
  const bool syncs = config.syncPort != 0 || !config.syncItem.empty();
  if (syncs && std::none_of(config.links.begin(), config.links.end(),
                            [&](const LinkConfig &l) { return l.number == config.syncLink; })) {
    error = join({"sync-link ", std::to_string(config.syncLink), " is not a configured link"});
    return false;
  }
  return true;
}

}  // namespace vlinkd
