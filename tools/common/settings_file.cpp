#include "settings_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "zrdb.h"

namespace zrdb_tools {
namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && blank(line[at])) ++at;
    size_t end = at;
    while (end < line.size() && !blank(line[end])) ++end;
    if (end > at) out.push_back(line.substr(at, end - at));
    at = end;
  }
  return out;
}

}  // namespace

bool apply_settings(std::string_view text, std::string_view name, size_t maxLine,
                    const ApplySetting &apply, std::string &error) {
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::string why;
    if (line.size() > maxLine) {
      why = std::string("line longer than ").append(std::to_string(maxLine)).append(" characters");
    } else if (line.find('\0') != std::string_view::npos) {
      why = "NUL byte in the line";
    } else {
      std::vector<std::string_view> parts = words(line.substr(0, line.find('#')));
      if (parts.empty()) continue;
      SettingLine setting{number, parts.front(), {parts.begin() + 1, parts.end()}};
      why = setting.values.empty() ? std::string("'").append(setting.key).append("' needs a value")
                                   : apply(setting);
    }
    if (!why.empty()) {
      error.assign(name).append(":").append(std::to_string(number)).append(": ").append(why);
      return false;
    }
  }
  return true;
}

bool read_settings_file(const char *path, size_t maxSize, std::string &text, std::string &error) {
  // Only a regular file: a FIFO would block the open, a device never end.
  const int fd = zrdb_openRegularFile(path, -1);
  const std::unique_ptr<FILE, int (*)(FILE *)> file(fd >= 0 ? fdopen(fd, "rb") : nullptr,
                                                    std::fclose);
  if (!file) {
    error.assign(path).append(": cannot open: ").append(zrdb_fileProblem(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  // One byte more than allowed tells a file that is too large, also one
  // that grows while it is read.
  text.assign(maxSize + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file.get()));
  if (std::ferror(file.get())) {
    error.assign(path).append(": cannot read: ").append(std::strerror(errno));
    return false;
  }
  if (text.size() > maxSize) {
    error.assign(path).append(": larger than ").append(std::to_string(maxSize)).append(" bytes");
    return false;
  }
  return true;
}

}  // namespace zrdb_tools
