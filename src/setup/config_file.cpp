#include "setup/config_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "diag/log.h"
#include "platform/sys_cause.h"

namespace zrdb {

ConfigFile::ConfigFile(const char *path) {
  const int fd = zrdb_openRegularFile(path, ZRDB_FILE_MAX);
  if (fd < 0) {
    error_ = errno;
    return;
  }
  file_ = fdopen(fd, "r");
  if (file_ == nullptr) {
    error_ = errno;
    ::close(fd);
  }
}

void ConfigFile::log_problem(const char *func) const {
  const SysCause cause = descriptor_cause(error_);
  log_message(LogLevel::Warn, func, "%s\n", cause.limit ? cause.text : zrdb_fileProblem(error_));
}

ConfigFile::~ConfigFile() { close(); }

void ConfigFile::close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

bool ConfigFile::next(char (&line)[ZRDB_LINE_LEN]) {
  if (file_ == nullptr || std::ftell(file_) >= ZRDB_FILE_MAX) return false;
  return std::fgets(line, sizeof line, file_) != nullptr;
}

}  // namespace zrdb
