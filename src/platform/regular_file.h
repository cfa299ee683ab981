// Opening a file whose name comes from a configuration or a caller: only a
// regular file is used, so a FIFO, a device or a directory planted at the
// path neither blocks the open nor feeds a reader without end.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace zrdb {

struct FileRule {
  int64_t maxSize = -1;    // larger files are refused (EFBIG); -1: any size
  bool ownedOnly = false;  // a file of another user is refused (EPERM)
};

// open(path, flags | O_NONBLOCK | O_CLOEXEC, mode), then keeps the
// descriptor only when it names a regular file that passes `rule`. Returns
// it, or -1 with errno set (EINVAL: not a regular file).
int open_regular_file(const char *path, int flags, mode_t mode, FileRule rule);

}  // namespace zrdb
