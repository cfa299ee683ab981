// The database and application files, read a line at a time: only a
// regular file of at most ZRDB_FILE_MAX bytes is opened, and no more than
// that is read even when the file grows meanwhile. A FIFO or a device at
// the path (/dev/zero) would block the open or feed the reader forever.
#pragma once

#include <cstdio>

#include "zrdb.h"

namespace zrdb {

class ConfigFile {
 public:
  explicit ConfigFile(const char *path);
  ~ConfigFile();
  ConfigFile(const ConfigFile &) = delete;
  ConfigFile &operator=(const ConfigFile &) = delete;

  bool is_open() const { return file_ != nullptr; }
  void close();
  // Logs why the file could not be opened, as a line of its own.
  void log_problem(const char *func) const;
  // The next line, as fgets reads it (a longer line comes in pieces of
  // ZRDB_LINE_LEN - 1 characters); false at the end or past the bound.
  bool next(char (&line)[ZRDB_LINE_LEN]);

 private:
  FILE *file_ = nullptr;
  int error_ = 0;
};

}  // namespace zrdb
