// A TCP connection carrying frames.
#include "connection.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vlinkd {

Connection::Connection(int fd, std::string peer)
    : lastReceived(Clock::now()), lastSent(lastReceived), fd_(fd), peer_(std::move(peer)) {}

Connection::~Connection() {
  if (fd_ >= 0) close(fd_);
}

bool Connection::fail(std::string why) {
  if (reason_.empty()) reason_ = std::move(why);
  return false;
}

bool Connection::send(const Frame &frame) {
  uint8_t bytes[kMaxFrame];
  const size_t n = encode_frame(frame, bytes);
  if (n == 0) return fail("frame cannot be encoded");
  if (out_.size() - sent_ + n > kMaxBacklog) return fail("peer does not read: backlog full");
  out_.insert(out_.end(), bytes, bytes + n);
  lastSent = Clock::now();
  return flush();
}

bool Connection::flush() {
  while (sent_ < out_.size()) {
    const ssize_t n = ::send(fd_, out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR) continue;
      return fail(std::string("send: ") + std::strerror(errno));
    }
    sent_ += static_cast<size_t>(n);
  }
  out_.clear();
  sent_ = 0;
  return true;
}

bool Connection::receive(const std::function<bool(const Frame &)> &on_frame) {
  // A few reads per call: a peer that sends without pause does not starve
  // the others.
  for (int round = 0; round < 8; ++round) {
    const ssize_t n = recv(fd_, in_ + inUsed_, sizeof in_ - inUsed_, 0);
    if (n == 0) {
      if (inUsed_ == 0) return fail("closed by the peer");
      return fail("truncated frame: closed after " + std::to_string(inUsed_) + " bytes of it");
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
      return fail(std::string("receive: ") + std::strerror(errno));
    }
    inUsed_ += static_cast<size_t>(n);
    lastReceived = Clock::now();
    size_t at = 0;
    for (;;) {
      Frame frame;
      const Decoded d = decode_frame({in_ + at, inUsed_ - at}, frame);
      if (d.status == DecodeStatus::Malformed)
        return fail(std::string("malformed frame: ") + d.error);
      if (d.status == DecodeStatus::NeedMore) break;
      at += d.consumed;
      if (!on_frame(frame)) return false;
    }
    std::memmove(in_, in_ + at, inUsed_ - at);
    inUsed_ -= at;
  }
  return true;
}

std::string address_text(uint32_t addrNetworkOrder, uint16_t portNetworkOrder) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr addr{addrNetworkOrder};
  inet_ntop(AF_INET, &addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(portNetworkOrder));
}

}  // namespace vlinkd
