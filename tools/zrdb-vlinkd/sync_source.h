// Where sync messages arrive: a UDP port of the daemon's own (datagrams are
// taken only from the configured peer hosts, and txid gaps are counted per
// sending address and port), or a vlinkbuf item in server role that the
// library opened for the daemon (read with zrdb_rmtbufRead; its sender is
// not known, so one txid sequence is counted for all senders). Writes
// (mode 0) are applied locally; reads (mode 1) are counted only.
#pragma once

#include <poll.h>

#include <string>
#include <vector>

#include "config.h"
#include "log.h"
#include "sync_message.h"

namespace vlinkd {

class SyncSource {
 public:
  explicit SyncSource(const Config &config) : config_(config) {}
  ~SyncSource();
  SyncSource(const SyncSource &) = delete;
  SyncSource &operator=(const SyncSource &) = delete;

  // Binds the UDP port on the listen address; false with a log line.
  bool open_port();
  // Finds the item and its socket; the reason on failure, else empty.
  std::string open_item();
  bool active() const { return fd_ >= 0; }
  size_t collect(std::vector<pollfd> &fds) const;
  void handle(const pollfd &entry);
  void report() const;  // the totals, at shutdown

 private:
  void apply(const uint8_t *datagram, size_t size, uint64_t sender);

  const Config &config_;
  int fd_ = -1;
  bool ownSocket_ = false;
  int32_t item_ = -1;
  TxidTracker txids_;
  RateLimit log_;
  uint64_t applied_ = 0, reads_ = 0, refused_ = 0, bad_ = 0, gaps_ = 0, lost_ = 0, strangers_ = 0;
};

}  // namespace vlinkd
