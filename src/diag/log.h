// The one logging path of the library: every diagnostic goes to the system
// log (with a running counter) and to standard output (with a tag), or to
// the handler set with zrdb_setLogHandler in standard output's place.
#pragma once

#include <cstdarg>

namespace zrdb {

enum class LogLevel { Err, Warn, Info };

// Formats and emits one message; `func` is the calling function's name.
void log_message(LogLevel level, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// A debug trace: standard output only, tagged with the level or trace value
// that enabled it.
void log_debug(int level, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace zrdb

// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): needs __func__ of the caller
#define ZRDB_LOG(level, ...) ::zrdb::log_message(::zrdb::LogLevel::level, __func__, __VA_ARGS__)
