// The daemon's log lines.
#include "log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace vlinkd {
namespace {

bool g_syslog = false;

}  // namespace

void log_to_syslog() {
  openlog("zrdb-vlinkd", LOG_PID, LOG_DAEMON);
  g_syslog = true;
}

void logf(Level level, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  if (g_syslog) {
    const int priority = level == Level::Info   ? LOG_INFO
                         : level == Level::Warn ? LOG_WARNING
                                                : LOG_ERR;
    vsyslog(priority, fmt, args);
  } else {
    const char *tag = level == Level::Info ? "" : level == Level::Warn ? "warning: " : "error: ";
    std::fprintf(stderr, "zrdb-vlinkd: %s", tag);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
  }
  va_end(args);
}

bool RateLimit::allow(uint32_t &suppressed) {
  const auto now = std::chrono::steady_clock::now();
  if (now - window_ >= std::chrono::seconds(10)) {
    window_ = now;
    used_ = 0;
  }
  if (used_ >= burst_) {
    ++held_;
    return false;
  }
  ++used_;
  suppressed = held_;
  held_ = 0;
  return true;
}

}  // namespace vlinkd
