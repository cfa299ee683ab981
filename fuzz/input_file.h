// What the fuzz targets of the file readers share: each input reaches the
// reader as a file (a memfd, so nothing touches the disk), standard output
// is silenced (the readers' messages come by the thousand; libFuzzer reports
// on standard error), and the system log drops every message. Included by
// the one source file of each target.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" void syslog(int /*priority*/, const char * /*format*/, ...) {}

namespace zrdb::fuzz {

inline void require(bool condition) {
  if (!condition) __builtin_trap();
}

class InputFile {
 public:
  void open(const char *name) {
    fd_ = memfd_create(name, 0);
    if (fd_ < 0 || std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  // Makes the file hold exactly these bytes; returns its path.
  const char *hold(const uint8_t *data, size_t size) {
    if (ftruncate(fd_, 0) != 0) std::abort();
    if (size > 0 && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    return path_.c_str();
  }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace zrdb::fuzz
