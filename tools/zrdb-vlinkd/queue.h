// The applications' side: the System V message queue through which the
// library's VLINK transactions reach the daemon. Requests (type 2) are taken
// without waiting; every request gets exactly one answer (type 1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "log.h"
#include "zrdb.h"

namespace vlinkd {

// The low nibble of an answer's result word: 0 success, else why it failed.
enum Failure : uint32_t {
  kSuccess = 0,
  kBadRequest = 1,   // unknown operation or a size above 512
  kLinkDown = 2,     // link not configured here, or its peer is not connected
  kNoAnswer = 3,     // the peer did not answer in time, or the link was lost meanwhile
  kPeerRefused = 4,  // the peer's library refused the access
  kBusy = 5,         // too many requests waiting on the link
};

class RequestQueue {
 public:
  // Gets the queue (creating it as the library does). False with a log line.
  bool open();
  // Takes one waiting request; false when there is none.
  bool take(ZRDB_VLINK_WIRE &request);
  // Sends the answer to `request`, echoing its op, lid, itemId and itemIdx;
  // `value` (len bytes) is the value a successful get read.
  void answer(const ZRDB_VLINK_WIRE &request, uint32_t failure, const uint8_t *value = nullptr,
              size_t len = 0);
  // Removes requests that waited for this daemon to start: their senders
  // may have given up, and an answer nobody collects would be taken by the
  // next transaction as its own. Returns how many.
  int drop_stale();

 private:
  int id_ = -1;
  RateLimit sendLog_;
};

}  // namespace vlinkd
