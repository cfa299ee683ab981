// The daemon's log: standard error in the foreground, the system log once it
// runs as a daemon. What the outside can trigger at will (bad datagrams,
// refused connections, bad requests) goes through a RateLimit, so that a
// flood cannot fill the log.
#pragma once

#include <chrono>
#include <cstdint>

namespace vlinkd {

enum class Level { Info, Warn, Error };

void log_to_syslog();
[[gnu::format(printf, 2, 3)]] void logf(Level level, const char *fmt, ...);

// At most `burst` lines per 10-second window; the lines held back are
// counted and reported with the next line allowed.
class RateLimit {
 public:
  explicit RateLimit(uint32_t burst = 20) : burst_(burst) {}
  // True when a line may be written; `suppressed` receives the number of
  // lines held back since the last one written.
  bool allow(uint32_t &suppressed);

 private:
  uint32_t burst_;
  uint32_t used_ = 0;
  uint32_t held_ = 0;
  std::chrono::steady_clock::time_point window_{};
};

}  // namespace vlinkd
