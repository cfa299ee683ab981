// zrdb/parameter_file.hpp - the file of a parameter set, as bytes: reading
// and checking it, and writing one. zrdb/parameters.hpp moves the values
// between such a file and the database.
//
//   {"zrdb_parameters": 1, "system": "plant", "items": [
//     {"name": "speed", "id": 1, "type": "integer", "count": 8, "size": 4,
//      "values": [100, -5, ...]},
//     {"name": "label", "id": 2, "type": "string", "count": 2, "size": 16,
//      "values": ["idle", "run"]},
//     {"name": "calib", "id": 3, "type": "user", "count": 1, "size": 64,
//      "base64": "WlpaWg..."}]}
//
// "count" and "size" are the item's element count and element size. An
// integer is the number held in the first (at most four) bytes of its
// element, little end first as the machine stores it, written signed. A
// string element is its text up to the first NUL; a string item whose text
// is not UTF-8 is saved as "base64" of its whole area, as a user block is.
//
// Needs nlohmann/json (Debian nlohmann-json3-dev); the library does not.
#ifndef ZRDB_PARAMETER_FILE_HPP
#define ZRDB_PARAMETER_FILE_HPP

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zrdb.h"

namespace zrdb::parameters {

using Json = nlohmann::ordered_json;  // keeps the keys in the order written

inline constexpr int kFormat = 1;                  // "zrdb_parameters"
inline constexpr int64_t kMaxFileSize = 64 << 20;  // bytes a load reads at most

// One saved item: who it was and the bytes of its area.
struct SavedItem {
  std::string name;
  int32_t id = -1;
  int32_t type = -1;  // ZRDB_TYPE_USER, _INTEGER or _STRING
  int32_t count = 0;
  int32_t size = 0;                  // bytes per element
  bool base64 = false;               // saved as one block rather than "values"
  std::vector<unsigned char> bytes;  // count * size
};

struct ParameterSet {
  std::string system;
  std::vector<SavedItem> items;
};

// The bytes of an integer element that hold its number.
inline size_t integer_width(int32_t size) { return size > 0 && size < 4 ? size_t(size) : 4; }

inline int64_t integer_at(const unsigned char *element, size_t width) {
  uint32_t word = 0;
  std::memcpy(&word, element, width);
  const unsigned bits = 8 * static_cast<unsigned>(width);
  return (word >> (bits - 1) & 1u) != 0 ? int64_t{word} - (int64_t{1} << bits) : int64_t{word};
}

// An element's text: up to its first NUL, never past its end.
inline std::string_view text_at(const unsigned char *element, size_t size) {
  const char *text = reinterpret_cast<const char *>(element);
  return {text, strnlen(text, size)};
}

// Plain items only: the others hold no value a set could carry.
inline const char *plain_type_name(int32_t type) {
  switch (type) {
    case ZRDB_TYPE_USER:
    case ZRDB_TYPE_INTEGER:
    case ZRDB_TYPE_STRING:
      return DBITEMTYPE_MAP[type].key;
    default:
      return nullptr;
  }
}

inline bool utf8_text(std::string_view text) {
  try {
    (void)Json(std::string(text)).dump();  // the JSON writer's own check
    return true;
  } catch (const Json::type_error &) {
    return false;
  }
}

namespace detail {

// Empties `j` from its leaves up, `levels` deep: nlohmann's destructor of a
// non-empty array or object allocates, and an allocation that fails in a
// destructor ends the process. Nesting deeper than a parameter set's is
// left to that destructor.
inline void dismantle(Json &j, int levels = 4) noexcept {
  if (levels == 0) return;
  if (j.is_array()) {
    auto &array = *j.get_ptr<Json::array_t *>();
    for (Json &element : array) dismantle(element, levels - 1);
    array.clear();
  } else if (j.is_object()) {
    auto &object = *j.get_ptr<Json::object_t *>();
    for (auto &member : object) dismantle(member.second, levels - 1);
    object.clear();
  }
}

// Dismantles its tree when it goes, on every way out.
struct Dismantled {
  Json &j;
  ~Dismantled() { dismantle(j); }
};

inline constexpr char kBase64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline std::string base64_encode(const std::vector<unsigned char> &in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  for (size_t i = 0; i < in.size(); i += 3) {
    const size_t n = std::min<size_t>(3, in.size() - i);
    uint32_t v = uint32_t{in[i]} << 16;
    if (n > 1) v |= uint32_t{in[i + 1]} << 8;
    if (n > 2) v |= in[i + 2];
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kBase64[v >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

// Padded, no blanks; false on anything else.
inline bool base64_decode(std::string_view in, std::vector<unsigned char> &out) {
  if (in.size() % 4 != 0) return false;
  out.clear();
  for (size_t i = 0; i < in.size(); i += 4) {
    uint32_t v = 0;
    size_t pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = in[i + k];
      const char *at = c != '\0' ? std::strchr(kBase64, c) : nullptr;
      // Padding only in the last group's last two places, and nothing after it.
      if (c == '=' && i + 4 == in.size() && k >= 2 && (k == 3 || in[i + 3] == '=')) {
        ++pad;
      } else if (at == nullptr || pad > 0) {
        return false;
      }
      v = v << 6 | static_cast<uint32_t>(at != nullptr ? at - kBase64 : 0);
    }
    if ((v & ((uint32_t{1} << 8 * pad) - 1)) != 0) return false;  // bits beyond the bytes
    for (size_t k = 0; k < 3 - pad; ++k)
      out.push_back(static_cast<unsigned char>(v >> (16 - 8 * k)));
  }
  return true;
}

// `v` as an integer within [min, max].
inline bool integer_in(const Json &v, int64_t min, int64_t max, int64_t &out) {
  if (!v.is_number_integer()) return false;
  const bool huge = v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(INT64_MAX);
  out = huge ? INT64_MAX : v.get<int64_t>();
  return out >= min && out <= max;
}

// The integer at `key` within [min, max], or an error naming it.
inline std::string integer_field(const Json &j, const char *key, int64_t min, int64_t max,
                                 int64_t &out) {
  const auto it = j.find(key);
  if (it != j.end() && integer_in(*it, min, max, out)) return "";
  return std::string("\"") + key + "\" must be an integer from " + std::to_string(min) + " to " +
         std::to_string(max);
}

// The values of one item, into its bytes; "" or what is wrong.
inline std::string read_values(const Json &j, SavedItem &item) {
  const auto width = integer_width(item.size);
  const size_t size = static_cast<size_t>(item.size);
  item.bytes.assign(static_cast<size_t>(item.count) * size, 0);
  if (const auto b64 = j.find("base64"); b64 != j.end()) {
    item.base64 = true;
    if (item.type == ZRDB_TYPE_INTEGER) return "integers are saved as \"values\"";
    if (!b64->is_string() || !base64_decode(b64->get_ref<const std::string &>(), item.bytes))
      return "\"base64\" is not base64 text";
    if (item.bytes.size() != static_cast<size_t>(item.count) * size)
      return "\"base64\" holds " + std::to_string(item.bytes.size()) + " bytes, not count * size";
    return "";
  }
  const auto values = j.find("values");
  if (item.type == ZRDB_TYPE_USER || values == j.end() || !values->is_array())
    return item.type == ZRDB_TYPE_USER ? "a user block is saved as \"base64\""
                                       : "\"values\" must be an array";
  if (values->size() != static_cast<size_t>(item.count))
    return "\"values\" holds " + std::to_string(values->size()) + " element(s), not \"count\"";
  for (size_t i = 0; i < values->size(); ++i) {
    const Json &v = (*values)[i];
    unsigned char *element = item.bytes.data() + i * size;
    const std::string at = "element " + std::to_string(i);
    if (item.type == ZRDB_TYPE_STRING) {
      if (!v.is_string()) return at + " must be a string";
      // The text ends at a NUL, as in the item.
      const std::string_view text(v.get_ref<const std::string &>().c_str());
      if (text.size() > size) return at + " is longer than " + std::to_string(size) + " bytes";
      std::memcpy(element, text.data(), text.size());
      continue;
    }
    const int64_t bits = 8 * static_cast<int64_t>(width);
    const int64_t least = -(int64_t{1} << (bits - 1)), most = (int64_t{1} << bits) - 1;
    int64_t number = 0;
    if (!integer_in(v, least, most, number))
      return at + " must be an integer from " + std::to_string(least) + " to " +
             std::to_string(most);
    const auto word = static_cast<uint32_t>(number);
    std::memcpy(element, &word, width);
  }
  return "";
}

// One entry of "items"; "" or what is wrong.
inline std::string read_item(const Json &j, SavedItem &item) {
  if (!j.is_object()) return "must be an object";
  const auto name = j.find("name");
  if (name == j.end() || !name->is_string()) return "\"name\" must be a string";
  item.name = name->get<std::string>();
  if (item.name.size() >= ZRDB_ITEM_NAME_LEN)
    return "\"name\" is longer than " + std::to_string(ZRDB_ITEM_NAME_LEN - 1) + " bytes";
  const auto type = j.find("type");
  for (int32_t t : {ZRDB_TYPE_USER, ZRDB_TYPE_INTEGER, ZRDB_TYPE_STRING}) {
    // Compared as a string: comparing with the JSON value makes a JSON copy
    // in a function that must not throw, and ends the process without memory.
    if (type != j.end() && type->is_string() &&
        type->get_ref<const std::string &>() == plain_type_name(t))
      item.type = t;
  }
  if (item.type < 0) return "\"type\" must be \"integer\", \"string\" or \"user\"";
  int64_t id = 0, count = 0, size = 0;
  for (std::string e : {integer_field(j, "id", 0, ZRDB_MAX_ITEMS - 1, id),
                        integer_field(j, "count", 1, INT32_MAX, count),
                        integer_field(j, "size", 1, INT32_MAX, size)}) {
    if (!e.empty()) return e;
  }
  if (count * size > kMaxFileSize) return "\"count\" * \"size\" is larger than a file may hold";
  item.id = static_cast<int32_t>(id);
  item.count = static_cast<int32_t>(count);
  item.size = static_cast<int32_t>(size);
  return read_values(j, item);
}

}  // namespace detail

// Reads a parameter set from `text`: all of it is checked here, so that a
// load writes nothing from a file that is wrong anywhere. False with
// `error` (one line; a syntax error names its line and column) otherwise.
inline bool parse_parameter_set(std::string_view text, ParameterSet &out,
                                std::string &error) noexcept {
  try {
    out = {};
    Json j;
    const detail::Dismantled tree{j};
    try {
      j = Json::parse(text.begin(), text.end());
    } catch (const Json::parse_error &e) {
      const std::string what = e.what();  // "[json.exception.parse_error.101] parse error at line"
      const size_t head = what.find("] ");
      error = head == std::string::npos ? what : what.substr(head + 2);
      return false;
    }
    int64_t format = 0;
    if (!j.is_object() ||
        !detail::integer_field(j, "zrdb_parameters", kFormat, kFormat, format).empty()) {
      error = "not a ZRDB parameter set (version " + std::to_string(kFormat) +
              "): no \"zrdb_parameters\": " + std::to_string(kFormat) + " at the top";
      return false;
    }
    const auto system = j.find("system");
    const auto items = j.find("items");
    if (system == j.end() || !system->is_string() || items == j.end() || !items->is_array()) {
      error = "a parameter set needs a \"system\" string and an \"items\" array";
      return false;
    }
    out.system = system->get<std::string>();
    for (size_t i = 0; i < items->size(); ++i) {
      SavedItem item;
      std::string e = detail::read_item((*items)[i], item);
      for (const SavedItem &seen : out.items) {
        if (e.empty() && seen.name == item.name && (!item.name.empty() || seen.id == item.id))
          e = "saved twice";
      }
      if (!e.empty()) {
        error = "items[" + std::to_string(i) + "]";
        if (!item.name.empty()) error.append(" (").append(Json(item.name).dump()).append(")");
        error.append(": ").append(e);
        return false;
      }
      out.items.push_back(std::move(item));
    }
    return true;
  } catch (const std::exception &e) {
    error = e.what();
    return false;
  }
}

// The file's text for `set`: one item a line, readable, and a diff of two
// sets names the items changed. Written as text rather than built as a
// JSON tree, whose destruction allocates (see dismantle); the JSON writer
// quotes every string. Throws its type_error when a name or a value is not
// UTF-8 (callers check first), std::bad_alloc when memory runs out.
inline std::string format_parameter_set(const ParameterSet &set) {
  std::string text = "{\n \"zrdb_parameters\": " + std::to_string(kFormat) +
                     ",\n \"system\": " + Json(set.system).dump() + ",\n \"items\": [";
  for (size_t i = 0; i < set.items.size(); ++i) {
    const SavedItem &item = set.items[i];
    text.append(i == 0 ? "\n  " : ",\n  ")
        .append("{\"name\":")
        .append(Json(item.name).dump())
        .append(",\"id\":")
        .append(std::to_string(item.id))
        .append(",\"type\":\"")
        .append(plain_type_name(item.type))
        .append("\",\"count\":")
        .append(std::to_string(item.count))
        .append(",\"size\":")
        .append(std::to_string(item.size));
    if (item.base64) {
      text.append(",\"base64\":\"").append(detail::base64_encode(item.bytes)).append("\"}");
      continue;
    }
    text.append(",\"values\":[");
    const auto size = static_cast<size_t>(item.size);
    for (size_t at = 0; at < item.bytes.size(); at += size) {
      const unsigned char *element = item.bytes.data() + at;
      if (at > 0) text += ',';
      text.append(item.type == ZRDB_TYPE_STRING
                      ? Json(std::string(text_at(element, size))).dump()
                      : std::to_string(integer_at(element, integer_width(item.size))));
    }
    text.append("]}");
  }
  return text + "\n ]\n}\n";
}

// Replaces the file at `path` by `text` so that a crash at any moment
// leaves the old file or the new one: the text goes to a new file in the
// same directory, is flushed to the disk, renamed over the old one, and
// the directory is flushed so that the rename itself lasts. The new file
// keeps the old one's permissions. Returns "" or why it failed (the old
// file is then as it was, and the message says so, unless the new one had
// taken its place; a crash may leave the new file's ".NAME.*.tmp").
inline std::string replace_file(const std::string &path, std::string_view text) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string unchanged = "; " + path + " is as it was";
  if (base.empty()) return path + ": names a directory, not a file";
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    tmp = dir;
    tmp.append("/.").append(base).append(".").append(std::to_string(getpid()));
    tmp.append(".").append(std::to_string(attempt)).append(".tmp");
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return tmp + ": " + std::strerror(errno) + unchanged;
  }
  if (fd < 0) return tmp + ": " + std::strerror(EEXIST) + unchanged;
  const auto failed = [&](const std::string &where, const char *what) {
    const int err = errno;
    if (fd >= 0) close(fd);
    unlink(tmp.c_str());
    return std::string(where).append(": ").append(what).append(": ").append(std::strerror(err)) +
           unchanged;
  };
  struct stat old {};
  if (stat(path.c_str(), &old) == 0 && fchmod(fd, old.st_mode & 07777) != 0)
    return failed(tmp, "chmod");
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return failed(tmp, "write");
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) return failed(tmp, "fsync");
  const int closed = close(fd);
  fd = -1;
  if (closed != 0) return failed(tmp, "close");
  if (rename(tmp.c_str(), path.c_str()) != 0) return failed(path, "rename");
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = dirFd >= 0 && fsync(dirFd) == 0;
  const int err = errno;
  if (dirFd >= 0) close(dirFd);
  return synced ? ""
                : path + " was replaced, but the fsync of its directory failed (" +
                      std::strerror(err) + "): a power loss may bring the old file back";
}

// The whole file at `path` (a regular file of at most kMaxFileSize bytes),
// or "" with `error`.
inline bool read_file(const char *path, std::string &text, std::string &error) {
  const int fd = zrdb_openRegularFile(path, kMaxFileSize);
  if (fd < 0) {
    error = std::string(path) + ": " + zrdb_fileProblem(errno);
    return false;
  }
  text.clear();
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? std::string(path) + ": " + std::strerror(errno) : "";
      close(fd);
      return n == 0;
    }
    text.append(chunk, static_cast<size_t>(n));
    if (text.size() > static_cast<size_t>(kMaxFileSize)) {  // grew while read
      error = std::string(path) + ": " + zrdb_fileProblem(EFBIG);
      close(fd);
      return false;
    }
  }
}

}  // namespace zrdb::parameters

#endif  // ZRDB_PARAMETER_FILE_HPP
