// The accepting side of the links: the peers' requests on this database.
#include "server.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "links.h"
#include "zrdb.h"

namespace vlinkd {
namespace {

constexpr auto kIdleLimit = std::chrono::seconds(5);

// Carries out a peer's request. The library checks the item, the element
// and the size; its negative results go back to the peer as they are. A set
// is local: it must not be mirrored back to where it came from.
Frame carry_out(const Frame &request) {
  Frame answer;
  answer.type = FrameType::Result;
  answer.id = request.id;
  int rc = 0;
  if (request.type == FrameType::Get) {
    rc = zrdb_getiValue(request.itemId, request.itemIdx, answer.value, request.size);
    if (rc >= 0) answer.valueLen = request.size;
  } else {
    rc = zrdb_local_setiValue(request.itemId, request.itemIdx, request.value, request.valueLen);
  }
  answer.result = std::min(rc, 0);
  if (rc < 0) std::memset(answer.value, 0, sizeof answer.value);
  return answer;
}

}  // namespace

bool configured_peer(const Config &config, in_addr addr) {
  return std::any_of(config.links.begin(), config.links.end(),
                     [&](const LinkConfig &l) { return l.addr.s_addr == addr.s_addr; });
}

Server::~Server() {
  sessions_.clear();
  if (listenFd_ >= 0) close(listenFd_);
}

bool Server::open() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr = config_.listenAddr;
  at.sin_port = htons(config_.listenPort);
  if (listenFd_ < 0 || setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(listenFd_, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0 ||
      listen(listenFd_, 16) != 0) {
    logf(Level::Error, "listening on %s:%u: %s", config_.listenHost.c_str(), config_.listenPort,
         std::strerror(errno));
    return false;
  }
  return true;
}

size_t Server::collect(std::vector<pollfd> &fds) const {
  fds.push_back({listenFd_, POLLIN, 0});
  for (const Session &s : sessions_) {
    const short out = s.conn->wants_write() ? POLLOUT : 0;
    fds.push_back({s.conn->fd(), static_cast<short>(POLLIN | out), 0});
  }
  return 1 + sessions_.size();
}

void Server::handle(const pollfd *entries, Clock::time_point now) {
  (void)now;
  const size_t count = sessions_.size();  // accept_waiting adds behind them
  if ((entries[0].revents & POLLIN) != 0) accept_waiting();
  for (size_t i = 0; i < count; ++i) {
    Session &s = sessions_[i];
    const short ev = entries[1 + i].revents;
    bool alive = true;
    if ((ev & (POLLIN | POLLERR | POLLHUP)) != 0)
      alive = s.conn->receive([&](const Frame &f) { return on_frame(s, f); });
    if (alive && (ev & POLLOUT) != 0) alive = s.conn->flush();
    if (!alive) end(s, s.conn->reason().c_str());
  }
  std::erase_if(sessions_, [](const Session &s) { return s.closing; });
}

void Server::tick(Clock::time_point now) {
  for (Session &s : sessions_) {
    if (!s.greeted && now - s.opened > kConnectLimit) end(s, "no hello within 2 s");
    if (s.greeted && now - s.conn->lastReceived > kIdleLimit) end(s, "silent for 5 s");
  }
  std::erase_if(sessions_, [](const Session &s) { return s.closing; });
}

void Server::accept_waiting() {
  for (int round = 0; round < 16; ++round) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const int fd =
        accept4(listenFd_, reinterpret_cast<sockaddr *>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // none left, or a connection that went away meanwhile
    const std::string peer = address_text(from.sin_addr.s_addr, from.sin_port);
    const char *refusal = !configured_peer(config_, from.sin_addr) ? "not a configured peer"
                          : sessions_.size() >= kMaxSessions       ? "too many connections"
                                                                   : nullptr;
    if (refusal != nullptr) {
      close(fd);
      uint32_t held = 0;
      if (refusedLog_.allow(held))
        logf(Level::Warn, "connection from %s refused: %s (%u more held back)", peer.c_str(),
             refusal, held);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Session session;
    session.conn = std::make_unique<Connection>(fd, peer);
    session.opened = Clock::now();
    sessions_.push_back(std::move(session));
  }
}

bool Server::on_frame(Session &s, const Frame &frame) {
  if (!s.greeted) {
    if (frame.type != FrameType::Hello) return s.conn->fail("first frame is not a hello");
    s.greeted = true;
    logf(Level::Info, "peer %s connected (its link %u)", s.conn->peer().c_str(), frame.link);
    Frame ack;
    ack.type = FrameType::HelloAck;
    ack.id = frame.id;
    return s.conn->send(ack);
  }
  switch (frame.type) {
    case FrameType::Get:
    case FrameType::Set:
      return s.conn->send(carry_out(frame));
    case FrameType::Ping: {
      Frame pong;
      pong.type = FrameType::Pong;
      pong.id = frame.id;
      return s.conn->send(pong);
    }
    default:
      return s.conn->fail("frame type " + std::to_string(static_cast<int>(frame.type)) +
                          " does not go to the accepting side");
  }
}

void Server::end(Session &s, const char *what) {
  if (s.closing) return;
  s.closing = true;
  logf(s.greeted && std::strcmp(what, "closed by the peer") == 0 ? Level::Info : Level::Warn,
       "peer %s: connection closed: %s", s.conn->peer().c_str(), what);
}

}  // namespace vlinkd
