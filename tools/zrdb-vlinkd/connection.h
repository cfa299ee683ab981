// One TCP connection of the link protocol: a non-blocking socket, a bounded
// output backlog and an input buffer that the frame decoder reads. A
// malformed frame, or one cut short by the end of the connection, ends the
// connection before anything acts on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame.h"

namespace vlinkd {

using Clock = std::chrono::steady_clock;

class Connection {
 public:
  Connection(int fd, std::string peer);  // takes the socket
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  int fd() const { return fd_; }
  const std::string &peer() const { return peer_; }
  // Why the connection must close, once a call returned false.
  const std::string &reason() const { return reason_; }
  bool fail(std::string why);  // records why; returns false

  // Queues the frame and writes what the socket takes.
  bool send(const Frame &frame);
  bool flush();
  bool wants_write() const { return sent_ < out_.size(); }
  // Reads what has arrived and hands each whole frame to `on_frame`, which
  // returns false (after fail()) to end the connection.
  bool receive(const std::function<bool(const Frame &)> &on_frame);

  Clock::time_point lastReceived;
  Clock::time_point lastSent;

 private:
  static constexpr size_t kMaxBacklog = 64 * 1024;  // a peer that reads nothing is cut off

  int fd_;
  std::string peer_;
  std::string reason_;
  std::vector<uint8_t> out_;
  size_t sent_ = 0;
  uint8_t in_[2 * kMaxFrame];  // a partial frame is below kMaxFrame: a frame's room is always left
  size_t inUsed_ = 0;
};

// "1.2.3.4:5" for messages.
std::string address_text(uint32_t addrNetworkOrder, uint16_t portNetworkOrder);

}  // namespace vlinkd
