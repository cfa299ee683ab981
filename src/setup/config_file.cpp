#include "setup/config_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace zrdb {

ConfigFile::ConfigFile(const char *path) {
  const int fd = zrdb_openRegularFile(path, ZRDB_FILE_MAX);
  if (fd < 0) return;
  file_ = fdopen(fd, "r");
  if (file_ == nullptr) close(fd);
}

ConfigFile::~ConfigFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool ConfigFile::next(char (&line)[ZRDB_LINE_LEN]) {
  if (file_ == nullptr || std::ftell(file_) >= ZRDB_FILE_MAX) return false;
  return std::fgets(line, sizeof line, file_) != nullptr;
}

}  // namespace zrdb
