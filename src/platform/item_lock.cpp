#include "platform/item_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

#include "diag/log.h"
#include "platform/regular_file.h"

namespace zrdb {

namespace {
// Read for everyone: any user's process may have to take the lock.
constexpr mode_t kLockFileMode = 0644;
}  // namespace

void item_lock_path(int32_t zrdid, char (&path)[64]) {
  std::snprintf(path, sizeof path, "/tmp/zrdbid%d.lock", zrdid);
}

int item_lock_acquire(const char *caller, int32_t zrdid) {
  char path[64];
  item_lock_path(zrdid, path);
  // O_NOFOLLOW: a link planted in /tmp must not make us create or lock
  // another file; nor may a planted FIFO block the open.
  const int fd = open_regular_file(path, O_RDONLY | O_CREAT | O_NOFOLLOW, kLockFileMode, {});
  if (fd < 0) {
    log_message(LogLevel::Err, caller, "ZRDB(%d): Open lock file failed!\n", zrdid);
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    log_message(LogLevel::Err, caller, "ZRDB(%d): Get lock failed!\n", zrdid);
    return -1;
  }
  return fd;
}

void item_lock_release(int32_t &fd) {
  if (fd < 0) return;
  close(fd);
  fd = -1;
}

}  // namespace zrdb
