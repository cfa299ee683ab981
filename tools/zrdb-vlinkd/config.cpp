// The daemon's settings and their file (format in config.h).
#include "config.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
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

// N=HOST[:PORT]
std::string parse_link(std::string_view text, Config &config) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) return join({"link ", quoted(text), " is not N=HOST[:PORT]"});
  LinkConfig link;
  const long n = number(text.substr(0, eq));
  if (n < 0) return join({"link number ", quoted(text.substr(0, eq)), " is not a number"});
  if (n > kMaxLinkNumber) return join({"link number ", std::to_string(n), " is above 31"});
  link.number = static_cast<int>(n);
  if (std::string why = parse_endpoint(text.substr(eq + 1), link.host, link.port); !why.empty())
    return why;
  for (LinkConfig &other : config.links) {
    if (other.number != link.number) continue;
    if (!other.fromFile) return join({"link ", std::to_string(n), " is given twice"});
    other = link;
    return {};
  }
  config.links.push_back(link);
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

std::string apply_setting(std::string_view key, std::string_view value, Config &config) {
  if (key == "link") return parse_link(value, config);
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
  if (key == "sync-port") return parse_port(value, config.syncPort);
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
      } else if (value.find_first_of(" \t") != std::string_view::npos) {
        why = join({"text after the value of ", quoted(key)});
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
  inet_pton(AF_INET, config.listenHost.c_str(), &config.listenAddr);
  for (LinkConfig &link : config.links) {
    if (!resolve(link.host, link.addr)) {
      error = join({"link ", std::to_string(link.number), ": host ", quoted(link.host),
                    " has no IPv4 address"});
      return false;
    }
  }
  return true;
}

}  // namespace vlinkd
