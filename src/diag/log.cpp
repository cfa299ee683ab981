#include "diag/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>

#include "zrdb.h"

extern "C" {
char zrdbdbg_app_name[64] = "NONAME";
uint32_t zrdbdbg_app_syslog_counter = 0;
}

namespace zrdb {
namespace {

constexpr int kSyslogBufferSize = 1000;
constexpr int kHandlerBufferSize = 1024;
// The tag: 63 characters of application name, a level, a function name.
constexpr int kTagSize = 256;

// The handler that takes standard output's place, and its argument. The
// user word is stored before the handler is published, so a logging thread
// that sees a handler sees the user word given with it.
std::atomic<ZRDB_LOG_HANDLER> logHandler{nullptr};
std::atomic<void *> logUser{nullptr};

// Standard output, after the message's tag, or the handler when one is set,
// receives one message.
void emit(int level, const char *tag, const char *func, const char *fmt, va_list args) {
  const ZRDB_LOG_HANDLER handler = logHandler.load(std::memory_order_acquire);
  if (handler == nullptr) {
    std::fputs(tag, stdout);
    std::vprintf(fmt, args);
    return;
  }
  char text[kHandlerBufferSize];
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started by the caller
  if (std::vsnprintf(text, sizeof text, fmt, args) < 0) text[0] = '\0';
  handler(level, func, text, logUser.load(std::memory_order_relaxed));
}

struct LevelInfo {
  const char *tag;
  int priority;
  int level;  // as a log handler receives it
};

LevelInfo level_info(LogLevel level) {
  switch (level) {
    case LogLevel::Err:
      return {"|ERR |%s|%s| ", 3, ZRDB_LOG_ERR};
    case LogLevel::Warn:
      return {"|WARN|%s|%s| ", 1, ZRDB_LOG_WARN};
    case LogLevel::Info:
      break;
  }
  return {"|INFO|%s|%s| ", 6, ZRDB_LOG_INFO};
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
  char tag[kTagSize];
  std::snprintf(tag, sizeof tag, info.tag, zrdbdbg_app_name, func);
  va_start(args, fmt);
  emit(info.level, tag, func, fmt, args);
  va_end(args);
}

void log_debug(int level, const char *func, const char *fmt, ...) {
  char tag[kTagSize];
  std::snprintf(tag, sizeof tag, "|DBG |%s(%d)|%s| ", zrdbdbg_app_name, level, func);
  va_list args;
  va_start(args, fmt);
  emit(ZRDB_LOG_DEBUG, tag, func, fmt, args);
  va_end(args);
}

}  // namespace zrdb

extern "C" void zrdb_setLogHandler(ZRDB_LOG_HANDLER handler, void *user) {
  zrdb::logUser.store(user, std::memory_order_relaxed);
  zrdb::logHandler.store(handler, std::memory_order_release);
}
