// Pipe transfers shared by the FIFO primitives and the thread FIFO items.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace zrdb {

// One read or write, retried only when a signal interrupted it before any
// byte moved: that is not a short transfer.
ssize_t read_once(int fd, void *buf, size_t n);
ssize_t write_once(int fd, const void *buf, size_t n);

}  // namespace zrdb
