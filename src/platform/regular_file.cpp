#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "zrdb.h"

namespace zrdb {

int open_regular_file(const char *path, int flags, mode_t mode, FileRule rule) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // O_NONBLOCK: the open of a FIFO with no writer returns at once, and the
  // check below refuses it.
  const int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  struct stat st {};
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  } else if (rule.ownedOnly && st.st_uid != geteuid()) {
    err = EPERM;
  } else if (rule.maxSize >= 0 && st.st_size > rule.maxSize) {
    err = EFBIG;
  }
  if (err == 0) return fd;
  close(fd);
  errno = err;
  return -1;
}

}  // namespace zrdb

extern "C" int zrdb_openRegularFile(const char *path, int64_t maxSize) {
  return zrdb::open_regular_file(path, O_RDONLY, 0, {maxSize, false});
}

extern "C" const char *zrdb_fileProblem(int err) {
  switch (err) {
    case EINVAL:
      return "not a regular file";
    case EFBIG:
      return "larger than allowed";
    case EPERM:
      return "owned by another user";
    default:
      return std::strerror(err);
  }
}
