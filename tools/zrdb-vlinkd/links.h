// The dialling side: one outgoing connection per configured link, over which
// this system's VLINK requests go to the peer. The link state in the master
// item is 1 exactly while the connection is up and the peer has answered
// the hello; a lost connection is dialled again after a back-off.
#pragma once

#include <poll.h>

#include <map>
#include <memory>
#include <vector>

#include "config.h"
#include "connection.h"
#include "log.h"
#include "queue.h"

namespace vlinkd {

// Time limits of the link protocol.
inline constexpr auto kAnswerBudget = std::chrono::seconds(4);  // the library waits 5
inline constexpr auto kConnectLimit = std::chrono::seconds(2);  // connect and hello, each
inline constexpr auto kPingEvery = std::chrono::seconds(1);
inline constexpr auto kSilenceLimit = std::chrono::seconds(3);  // no frame at all: peer lost
inline constexpr auto kFirstRetry = std::chrono::milliseconds(100);
inline constexpr auto kLastRetry = std::chrono::seconds(5);

class Link {
 public:
  Link(const LinkConfig &config, RequestQueue &queue, int32_t masterId);

  int number() const { return config_.number; }
  // One poll entry while there is a socket; returns how many were added.
  size_t collect(std::vector<pollfd> &fds) const;
  void handle(const pollfd &entry, Clock::time_point now);
  // Dials when due; enforces the time limits; pings; fails overdue requests.
  void tick(Clock::time_point now);
  // A request from the queue: sent to the peer, or failed at once.
  void submit(const ZRDB_VLINK_WIRE &request, Clock::time_point now);
  // Closes the connection, fails what waits and sets the link state to 0.
  void shut_down();

 private:
  enum class State { Idle, Connecting, Handshake, Up };
  struct Pending {
    ZRDB_VLINK_WIRE request;
    Clock::time_point deadline;
  };
  static constexpr size_t kMaxPending = 64;

  void dial(Clock::time_point now);
  void connected(Clock::time_point now);
  void lose(const std::string &why, Clock::time_point now);
  bool on_frame(const Frame &frame);
  void set_link_state(int32_t state);

  LinkConfig config_;
  RequestQueue &queue_;
  int32_t masterId_;
  std::string peer_;
  State state_ = State::Idle;
  std::unique_ptr<Connection> conn_;
  int dialFd_ = -1;          // the socket while connecting
  Clock::time_point due_{};  // next dial, or the limit of connecting and hello
  Clock::duration retry_ = kFirstRetry;
  bool failureLogged_ = false;  // an unreachable peer is reported once until it answers
  bool stateFailureLogged_ = false;
  uint32_t nextId_ = 1;
  std::map<uint32_t, Pending> pending_;
  RateLimit timeoutLog_;
};

}  // namespace vlinkd
