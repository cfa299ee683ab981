// Settings files of the daemons: KEY VALUE... lines, '#' starts a comment,
// blank lines are skipped. The file is bounded and read only when it is a
// regular file; every refused line stops the reading with
// "FILE:LINE: reason", which the daemons print before they exit with 2.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zrdb_tools {

struct SettingLine {
  size_t number = 0;  // from 1
  std::string_view key;
  std::vector<std::string_view> values;  // at least one
};

// Returns the reason a line is refused, or an empty string.
using ApplySetting = std::function<std::string(const SettingLine &)>;

// Splits `text` into setting lines (at most `maxLine` characters each) and
// applies them in order; on the first refusal `error` is "NAME:LINE: reason".
bool apply_settings(std::string_view text, std::string_view name, size_t maxLine,
                    const ApplySetting &apply, std::string &error);

// Reads the regular file `path` of at most `maxSize` bytes into `text`;
// "PATH: reason" in `error` otherwise.
bool read_settings_file(const char *path, size_t maxSize, std::string &text, std::string &error);

}  // namespace zrdb_tools
