// The accepting side: the peers' daemons connect here and send the requests
// of their applications, which are carried out on this system's database.
//
// Only the configured peers are accepted: the connecting IPv4 address must
// be the address of one of the configured link hosts (as resolved at start);
// the port and the link number are not compared. A connection must greet
// with a hello within 2 s and then stay alive (the dialling side pings every
// second); one that does neither is closed.
#pragma once

#include <poll.h>

#include <memory>
#include <vector>

#include "config.h"
#include "connection.h"
#include "log.h"

namespace vlinkd {

// True when `addr` is the address of a configured link host.
bool configured_peer(const Config &config, in_addr addr);

class Server {
 public:
  explicit Server(const Config &config) : config_(config) {}
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Binds and listens on the configured address; false with a log line.
  bool open();
  // The listening socket and every session; returns how many entries.
  size_t collect(std::vector<pollfd> &fds) const;
  // Takes the entries collect() added, in the same order.
  void handle(const pollfd *entries, Clock::time_point now);
  // Closes sessions that are past their time limits.
  void tick(Clock::time_point now);

 private:
  struct Session {
    std::unique_ptr<Connection> conn;
    bool greeted = false;
    bool closing = false;
    Clock::time_point opened;
  };
  static constexpr size_t kMaxSessions = 64;

  void accept_waiting();
  bool on_frame(Session &s, const Frame &frame);
  void end(Session &s, const char *what);

  const Config &config_;
  int listenFd_ = -1;
  std::vector<Session> sessions_;
  RateLimit refusedLog_;
};

}  // namespace vlinkd
