// Where this system's sync messages arrive, to be forwarded over the
// authenticated link named by sync-link: a UDP port on a loopback address
// (only datagrams from a loopback address are taken: a sync message never
// comes from the network directly), or a vlinkbuf item in server role that
// the library opened for the daemon (read with zrdb_rmtbufRead). A message
// is checked before it is forwarded; the peer applies it.
#pragma once

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

#include "config.h"
#include "log.h"
#include "sync_message.h"

namespace vlinkd {

class SyncSource {
 public:
  // Sends one checked message over the link; false when it is down.
  using Forward = std::function<bool(const uint8_t *, size_t)>;
  SyncSource(const Config &config, Forward forward)
      : config_(config), forward_(std::move(forward)) {}
  ~SyncSource();
  SyncSource(const SyncSource &) = delete;
  SyncSource &operator=(const SyncSource &) = delete;

  // Binds the UDP port; false with a log line.
  bool open_port();
  // Finds the item and its socket; the reason on failure, else empty.
  std::string open_item();
  int fd() const { return fd_; }
  void handle();
  void report() const;  // the totals, at shutdown

 private:
  void take(const uint8_t *datagram, size_t size);

  const Config &config_;
  Forward forward_;
  int fd_ = -1;
  bool ownSocket_ = false;
  int32_t item_ = -1;
  RateLimit log_;
  uint64_t forwarded_ = 0, linkDown_ = 0, bad_ = 0, strangers_ = 0;
};

}  // namespace vlinkd
