// What a failed system call ran into, worded for the operator: the system's
// error text and, where a limit of the process or of the system is the
// usual cause, that limit's name and value. The texts go on the log line
// after the one that says what failed, so that line stays as it is.
#pragma once

#include <cstdint>

#include "diag/log.h"

namespace zrdb {

// A fixed buffer: no allocation on a failure path. `limit` tells whether
// the text names a limit or is the error text alone.
struct SysCause {
  char text[224];
  bool limit;
};

// open, pipe, socket: EMFILE names RLIMIT_NOFILE and its value, ENFILE
// fs.file-max.
SysCause descriptor_cause(int err);

// shmget of `size` bytes: EINVAL names kernel.shmmax when the size is above
// it, ENOSPC kernel.shmmni and kernel.shmall.
SysCause shm_get_cause(int err, uint64_t size);

// shmat: ENOMEM names RLIMIT_AS and its value.
SysCause shm_attach_cause(int err);

// msgsnd without waiting on queue `queue`: EAGAIN says how full the queue
// is against its byte limit (msg_qbytes, which new queues take from
// kernel.msgmnb) and that nothing reads it.
SysCause queue_send_cause(int err, int queue);

// Logs the cause as a line of its own when it names a limit (the line
// before gave the error text already).
void log_limit(LogLevel level, const char *func, const SysCause &cause);

}  // namespace zrdb
