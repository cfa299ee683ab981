#include "platform/sys_cause.h"

#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zrdb {
namespace {

[[gnu::format(printf, 1, 2)]] SysCause cause(const char *fmt, ...) {
  SysCause c{{}, true};
  va_list args;
  va_start(args, fmt);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  std::vsnprintf(c.text, sizeof c.text, fmt, args);
  va_end(args);
  return c;
}

SysCause error_text(int err) {
  SysCause c{{}, false};
  std::snprintf(c.text, sizeof c.text, "%s", std::strerror(err));
  return c;
}

// A resource limit's soft value as text: a number or "unlimited".
struct LimitText {
  char text[24];
};
LimitText soft_limit(int resource) {
  LimitText t{"unknown"};
  rlimit lim{};
  if (getrlimit(resource, &lim) != 0) return t;
  if (lim.rlim_cur == RLIM_INFINITY) {
    std::snprintf(t.text, sizeof t.text, "unlimited");
  } else {
    std::snprintf(t.text, sizeof t.text, "%llu", static_cast<unsigned long long>(lim.rlim_cur));
  }
  return t;
}

// The shared memory limits of this IPC namespace; false when unreadable.
bool shm_limits(shminfo &info) {
  return shmctl(0, IPC_INFO, reinterpret_cast<shmid_ds *>(&info)) >= 0;
}

}  // namespace

SysCause descriptor_cause(int err) {
  if (err == EMFILE) {
    return cause("%s: this process may hold %s descriptors (RLIMIT_NOFILE, ulimit -n)",
                 std::strerror(err), soft_limit(RLIMIT_NOFILE).text);
  }
  if (err == ENFILE)
    return cause("%s: the system's limit fs.file-max is reached", std::strerror(err));
  return error_text(err);
}

SysCause shm_get_cause(int err, uint64_t size) {
  shminfo info{};
  if (err == EINVAL && shm_limits(info) && size > info.shmmax) {
    return cause("%s: %llu bytes exceed kernel.shmmax (%llu)", std::strerror(err),
                 static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(info.shmmax));
  }
  if (err == ENOSPC && shm_limits(info)) {
    return cause("%s: kernel.shmmni (%llu segments) or kernel.shmall (%llu pages) is reached",
                 std::strerror(err), static_cast<unsigned long long>(info.shmmni),
                 static_cast<unsigned long long>(info.shmall));
  }
  return error_text(err);
}

SysCause shm_attach_cause(int err) {
  if (err == ENOMEM) {
    return cause("%s: the address space limit is %s bytes (RLIMIT_AS, ulimit -v in KiB)",
                 std::strerror(err), soft_limit(RLIMIT_AS).text);
  }
  return error_text(err);
}

SysCause queue_send_cause(int err, int queue) {
  msqid_ds ds{};
  if (err == EAGAIN && msgctl(queue, IPC_STAT, &ds) == 0) {
    return cause(
        "the queue is full: %llu of its %llu bytes in %llu message(s) (msg_qbytes; new queues "
        "take kernel.msgmnb); nothing reads it, is zrdb-vlinkd running?",
        static_cast<unsigned long long>(ds.__msg_cbytes),
        static_cast<unsigned long long>(ds.msg_qbytes),
        static_cast<unsigned long long>(ds.msg_qnum));
  }
  return error_text(err);
}

void log_limit(LogLevel level, const char *func, const SysCause &cause) {
  if (cause.limit) log_message(level, func, "%s\n", cause.text);
}

}  // namespace zrdb
