#include "diag/log.h"

#include <syslog.h>

#include <cstdio>

#include "zrdb.h"

extern "C" {
char zrdbdbg_app_name[64] = "NONAME";
uint32_t zrdbdbg_app_syslog_counter = 0;
}

namespace zrdb {
namespace {

constexpr int kSyslogBufferSize = 1000;

struct LevelInfo {
  const char *tag;
  int priority;
};

LevelInfo level_info(LogLevel level) {
  switch (level) {
    case LogLevel::Err:
      return {"|ERR |%s|%s| ", 3};
    case LogLevel::Warn:
      return {"|WARN|%s|%s| ", 1};
    case LogLevel::Info:
      break;
  }
  return {"|INFO|%s|%s| ", 6};
}

}  // namespace

void log_message(LogLevel level, const char *func, const char *fmt, ...) {
  const LevelInfo info = level_info(level);
  char buffer[kSyslogBufferSize];
  int head = std::snprintf(buffer, sizeof buffer, "(%u) ", zrdbdbg_app_syslog_counter);
  if (head < 0) head = 0;
  va_list args;
  va_start(args, fmt);
  // vsnprintf truncates to the buffer; the message is cut, never overflows.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  std::vsnprintf(buffer + head, sizeof buffer - static_cast<size_t>(head), fmt, args);
  va_end(args);
  syslog(info.priority, "%s", buffer);
  ++zrdbdbg_app_syslog_counter;
  std::printf(info.tag, zrdbdbg_app_name, func);
  va_start(args, fmt);
  std::vprintf(fmt, args);
  va_end(args);
}

void log_debug(int level, const char *func, const char *fmt, ...) {
  std::printf("|DBG |%s(%d)|%s| ", zrdbdbg_app_name, level, func);
  va_list args;
  va_start(args, fmt);
  std::vprintf(fmt, args);
  va_end(args);
}

}  // namespace zrdb
