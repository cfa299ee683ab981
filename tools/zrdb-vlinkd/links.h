// The dialling side: one ZeroMQ connection per configured link, over which
// this system's VLINK requests and sync messages go to the peer. The link
// state in the master item is 1 exactly while a CURVE handshake with the
// configured peer key has succeeded and the heartbeat has not lost it;
// ZeroMQ dials again after a loss.
#pragma once

#include <zmq.h>

#include <chrono>
#include <map>
#include <utility>
#include <vector>

#include "config.h"
#include "keys.h"
#include "log.h"
#include "message.h"
#include "queue.h"

namespace vlinkd {

using Clock = std::chrono::steady_clock;

// The library waits 5 s for an answer.
inline constexpr auto kAnswerBudget = std::chrono::seconds(4);

class Link {
 public:
  Link(const LinkConfig &config, RequestQueue &queue, int32_t masterId);
  ~Link();
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;

  // Makes the socket and dials; false with a log line.
  bool open(void *context, const KeyPair &own);
  int number() const { return config_.number; }
  const LinkConfig &config() const { return config_; }
  // The socket and its monitor.
  void collect(std::vector<zmq_pollitem_t> &items) const;
  void handle(const zmq_pollitem_t *items, Clock::time_point now);
  // True once after a send: the socket's state must be asked again
  // (wait_ready) before the loop sleeps.
  bool take_sent() { return std::exchange(sent_, false); }
  // Fails the requests that waited too long; the earliest deadline left.
  Clock::time_point tick(Clock::time_point now);
  // A request from the queue: sent to the peer, or failed at once.
  void submit(const ZRDB_VLINK_WIRE &request, Clock::time_point now);
  // Sends a checked sync message; false when the link is down.
  bool forward_sync(const uint8_t *datagram, size_t size);
  // Closes the connection, fails what waits and sets the link state to 0.
  void shut_down();

 private:
  struct Pending {
    ZRDB_VLINK_WIRE request;
    Clock::time_point deadline;
  };
  static constexpr size_t kMaxPending = 64;

  bool send(const Message &m);
  void on_event(uint16_t event, int32_t value);
  void on_answer(const uint8_t *bytes, size_t size, bool oversize);
  void fail_pending(uint32_t failure);
  void set_link_state(int32_t state);

  LinkConfig config_;
  RequestQueue &queue_;
  int32_t masterId_;
  std::string peer_;
  void *socket_ = nullptr;
  void *monitor_ = nullptr;
  bool up_ = false;
  bool sent_ = false;
  bool failureLogged_ = false;  // a failing handshake is reported once until it succeeds
  bool stateFailureLogged_ = false;
  uint32_t nextId_ = 1;
  std::map<uint32_t, Pending> pending_;
  RateLimit log_;
};

}  // namespace vlinkd
