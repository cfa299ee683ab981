#include "platform/item_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/log.h"
#include "platform/regular_file.h"
#include "platform/sys_cause.h"

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
    const SysCause cause =
        errno == EINVAL ? SysCause{"not a regular file", false} : descriptor_cause(errno);
    log_message(LogLevel::Err, caller, "ZRDB(%d): Open lock file failed!\n", zrdid);
    log_message(LogLevel::Err, caller, "ZRDB(%d): %s: %s\n", zrdid, path, cause.text);
    return -1;
  }
  int locked = 0;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int err = errno;
    close(fd);
    log_message(LogLevel::Err, caller, "ZRDB(%d): Get lock failed!\n", zrdid);
    log_message(LogLevel::Err, caller, "ZRDB(%d): %s: %s\n", zrdid, path,
                err == EWOULDBLOCK ? "held by another process" : std::strerror(err));
    return -1;
  }
  return fd;
}

int item_lock_remove_unheld(int32_t zrdid) {
  char path[64];
  item_lock_path(zrdid, path);
  const int fd = open_regular_file(path, O_RDONLY | O_NOFOLLOW, 0, {});
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  // Deleted under the lock, and only when the path still names the file
  // locked: a file that a process holds, or put there meanwhile, stays.
  struct stat held {};
  struct stat named {};
  const bool removed = fstat(fd, &held) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                       lstat(path, &named) == 0 && named.st_dev == held.st_dev &&
                       named.st_ino == held.st_ino && unlink(path) == 0;
  close(fd);
  return removed ? 1 : -1;
}

void item_lock_release(int32_t &fd) {
  if (fd < 0) return;
  close(fd);
  fd = -1;
}

}  // namespace zrdb

extern "C" int zrdb_removeItemLock(int32_t zrdid) { return zrdb::item_lock_remove_unheld(zrdid); }
