// The applications' side: the System V message queue through which the
// library's VLINK transactions reach the daemon. A receiving thread waits
// in msgrcv for requests (type 2) and hands them to the poll loop through an
// eventfd; every request gets exactly one answer (type 1), which echoes the
// request's transaction number (aux) and carries its sending time.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

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
  kNotAllowed = 6,   // the peer's settings do not let this link do it
};

class RequestQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // Requests received and not yet taken, at most. While the list is full
  // the receiver takes nothing more: requests wait in the system's queue,
  // whose limit makes the applications' sends fail instead of the daemon
  // growing without bound.
  static constexpr size_t kMaxHeld = 256;
  // An answer nobody collected in this time is removed: the library waits
  // 5 s for an answer.
  static constexpr auto kUncollected = std::chrono::seconds(5);

  // Gets the queue (creating it as the library does). False with a log line.
  bool open();
  // Starts the receiving thread; false with a log line.
  bool start_receiver();
  // Readable while received requests wait to be taken.
  int wake_fd() const { return wake_; }
  // Takes one received request; false when there is none.
  bool take(ZRDB_VLINK_WIRE &request);
  // Requests received and not yet taken.
  size_t held();
  // True while the receiver waits for room in the full list.
  bool receiver_waiting();
  // Stops the receiving thread (a request it held is not answered).
  void stop_receiver();
  ~RequestQueue() { stop_receiver(); }
  // Sends the answer to `request`, echoing its op, lid, itemId and itemIdx;
  // `value` (len bytes) is the value a successful get read.
  void answer(const ZRDB_VLINK_WIRE &request, uint32_t failure, const uint8_t *value = nullptr,
              size_t len = 0);
  // Removes requests that waited for this daemon to start: their senders
  // may have given up, and an answer nobody collects would be taken by the
  // next transaction as its own. Returns how many.
  int drop_stale();
  // Removes the answers that waited kUncollected or longer on the queue,
  // whoever sent them; those that are younger stay, in their order. Looks
  // only when an answer of this daemon may have become that old, and at
  // the first call. Returns how many were removed.
  int drop_uncollected(Clock::time_point now);

 private:
  bool take_now(ZRDB_VLINK_WIRE &request);
  // Queues an answer without waiting; false with a (rate-limited) log line.
  bool send_answer(const ZRDB_VLINK_WIRE &resp);
  static void *receive_loop(void *self);
  // Waits while the list is full; false when the receiver must stop.
  bool wait_for_room();

  std::atomic<int> id_{-1};  // the receiver gets the queue again when it was removed
  int wake_ = -1;
  bool running_ = false;
  std::atomic<bool> stopping_{false};
  static constexpr int32_t kStopType = 3;  // sent by the daemon to its own receiver
  pthread_t thread_{};
  std::mutex mutex_;
  std::condition_variable room_;
  std::deque<ZRDB_VLINK_WIRE> received_;
  bool full_ = false;  // the receiver waits for room
  RateLimit sendLog_;
  RateLimit fullLog_;  // the receiver's own
  // When the oldest answer that may still be on the queue was sent; the
  // epoch makes the first call look.
  Clock::time_point oldestAnswer_{};
  bool answersOut_ = true;
};

}  // namespace vlinkd
