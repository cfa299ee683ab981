// The dialling side of the links.
#include "links.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vlinkd {

Link::Link(const LinkConfig &config, RequestQueue &queue, int32_t masterId)
    : config_(config),
      queue_(queue),
      masterId_(masterId),
      peer_(address_text(config.addr.s_addr, htons(config.port))) {
  // A daemon that died leaves its links marked up.
  set_link_state(0);
}

size_t Link::collect(std::vector<pollfd> &fds) const {
  if (state_ == State::Connecting) {
    fds.push_back({dialFd_, POLLOUT, 0});
  } else if (conn_) {
    fds.push_back(
        {conn_->fd(), static_cast<short>(POLLIN | (conn_->wants_write() ? POLLOUT : 0)), 0});
  } else {
    return 0;
  }
  return 1;
}

void Link::handle(const pollfd &entry, Clock::time_point now) {
  if (entry.revents == 0) return;
  if (state_ == State::Connecting) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(dialFd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) return lose(std::string("connect: ") + std::strerror(err), now);
    return connected(now);
  }
  if ((entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0 &&
      !conn_->receive([this](const Frame &f) { return on_frame(f); }))
    return lose(conn_->reason(), now);
  if ((entry.revents & POLLOUT) != 0 && !conn_->flush()) lose(conn_->reason(), now);
}

void Link::tick(Clock::time_point now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.deadline > now) {
      ++it;
      continue;
    }
    const ZRDB_VLINK_WIRE &r = it->second.request;
    uint32_t held = 0;
    if (timeoutLog_.allow(held))
      logf(Level::Warn, "link %d: no answer from %s for item (%d,%d) in 4 s (%u more held back)",
           number(), peer_.c_str(), r.itemId, r.itemIdx, held);
    queue_.answer(r, kNoAnswer);
    it = pending_.erase(it);
  }
  switch (state_) {
    case State::Idle:
      if (now >= due_) dial(now);
      break;
    case State::Connecting:
    case State::Handshake:
      if (now >= due_) lose("no answer within 2 s", now);
      break;
    case State::Up:
      if (now - conn_->lastReceived > kSilenceLimit) {
        lose("silent for 3 s", now);
      } else if (now - conn_->lastSent >= kPingEvery) {
        Frame ping;
        ping.type = FrameType::Ping;
        if (!conn_->send(ping)) lose(conn_->reason(), now);
      }
      break;
  }
}

void Link::submit(const ZRDB_VLINK_WIRE &request, Clock::time_point now) {
  if (state_ != State::Up) return queue_.answer(request, kLinkDown);
  if (pending_.size() >= kMaxPending) return queue_.answer(request, kBusy);
  Frame f;
  f.type = request.op == ZRDBVLINKOP_GETVALUE ? FrameType::Get : FrameType::Set;
  if (nextId_ == 0) ++nextId_;  // 0 is the id of pings
  f.id = nextId_++;
  f.itemId = request.itemId;
  f.itemIdx = request.itemIdx;
  f.aux = request.aux;
  const auto size = static_cast<uint16_t>(std::min<uint32_t>(request.size, kMaxValue));
  if (f.type == FrameType::Get) {
    f.size = size;
  } else {
    f.valueLen = size;
    std::memcpy(f.value, request.value, size);
  }
  pending_[f.id] = {request, now + kAnswerBudget};
  if (!conn_->send(f)) lose(conn_->reason(), now);
}

void Link::shut_down() {
  for (const auto &[id, p] : pending_) queue_.answer(p.request, kNoAnswer);
  pending_.clear();
  conn_.reset();
  if (dialFd_ >= 0) close(dialFd_);
  dialFd_ = -1;
  state_ = State::Idle;
  set_link_state(0);
}

void Link::dial(Clock::time_point now) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return lose(std::string("socket: ") + std::strerror(errno), now);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // small frames, waited for
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = config_.addr;
  to.sin_port = htons(config_.port);
  dialFd_ = fd;
  if (connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) return connected(now);
  if (errno != EINPROGRESS) return lose(std::string("connect: ") + std::strerror(errno), now);
  state_ = State::Connecting;
  due_ = now + kConnectLimit;
}

void Link::connected(Clock::time_point now) {
  conn_ = std::make_unique<Connection>(dialFd_, peer_);
  dialFd_ = -1;
  state_ = State::Handshake;
  due_ = now + kConnectLimit;
  Frame hello;
  hello.type = FrameType::Hello;
  hello.link = static_cast<uint16_t>(number());
  if (!conn_->send(hello)) lose(conn_->reason(), now);
}

void Link::lose(const std::string &why, Clock::time_point now) {
  const bool wasUp = state_ == State::Up;
  if (wasUp) {
    logf(Level::Warn, "link %d down (%s): %s", number(), peer_.c_str(), why.c_str());
    failureLogged_ = false;
  } else if (!failureLogged_) {
    logf(Level::Warn, "link %d: peer %s not reached: %s; dialling again", number(), peer_.c_str(),
         why.c_str());
    failureLogged_ = true;
  }
  for (const auto &[id, p] : pending_) queue_.answer(p.request, kNoAnswer);
  pending_.clear();
  conn_.reset();
  if (dialFd_ >= 0) close(dialFd_);
  dialFd_ = -1;
  if (wasUp) set_link_state(0);
  state_ = State::Idle;
  due_ = now + retry_;
  retry_ = std::min<Clock::duration>(retry_ * 2, kLastRetry);
}

bool Link::on_frame(const Frame &frame) {
  switch (frame.type) {
    case FrameType::HelloAck:
      if (state_ != State::Handshake) return conn_->fail("hello answer out of turn");
      state_ = State::Up;
      retry_ = kFirstRetry;
      failureLogged_ = false;
      set_link_state(1);
      logf(Level::Info, "link %d up (%s)", number(), peer_.c_str());
      return true;
    case FrameType::Result: {
      if (state_ != State::Up) return conn_->fail("result before the hello answer");
      const auto it = pending_.find(frame.id);
      if (it == pending_.end()) return true;  // answered already: it came too late
      if (frame.result == 0) {
        queue_.answer(it->second.request, kSuccess, frame.value, frame.valueLen);
      } else {
        queue_.answer(it->second.request, kPeerRefused);
      }
      pending_.erase(it);
      return true;
    }
    case FrameType::Pong:
      return true;
    default:
      return conn_->fail("frame type " + std::to_string(static_cast<int>(frame.type)) +
                         " does not go to the dialling side");
  }
}

void Link::set_link_state(int32_t state) {
  const int rc = zrdb_VLINKSetStatus(masterId_, number(), state);
  if (rc != 0 && !stateFailureLogged_) {
    logf(Level::Error, "link %d: setting its state failed (%d)", number(), rc);
    stateFailureLogged_ = true;  // the same cause every time: the master item's link count
  }
}

}  // namespace vlinkd
