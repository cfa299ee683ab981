// The dialling side of the links.
#include "links.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "transport.h"

namespace vlinkd {
namespace {

constexpr int kEvents = ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED |
                        ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL |
                        ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;

}  // namespace

Link::Link(const LinkConfig &config, RequestQueue &queue, int32_t masterId)
    : config_(config), queue_(queue), masterId_(masterId) {
  char addr[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &config.addr, addr, sizeof addr);
  peer_ = std::string(addr) + ":" + std::to_string(config.port);
  // A daemon that died leaves its links marked up.
  set_link_state(0);
}

Link::~Link() {
  close_socket(monitor_);
  close_socket(socket_);
}

bool Link::open(void *context, const KeyPair &own) {
  const std::string what = "link " + std::to_string(number());
  socket_ = curve_socket(context, ZMQ_DEALER, own, config_.key.c_str(), what.c_str());
  if (socket_ == nullptr) return false;
  const std::string events = "inproc://vlinkd-link-" + std::to_string(number());
  monitor_ = monitor_socket(context, socket_, events.c_str(), kEvents);
  if (monitor_ == nullptr) return false;
  if (zmq_connect(socket_, ("tcp://" + peer_).c_str()) != 0) {
    logf(Level::Error, "%s: connecting to %s: %s", what.c_str(), peer_.c_str(),
         zmq_strerror(zmq_errno()));
    return false;
  }
  return true;
}

void Link::collect(std::vector<zmq_pollitem_t> &items) const {
  items.push_back({socket_, 0, ZMQ_POLLIN, 0});
  items.push_back({monitor_, 0, ZMQ_POLLIN, 0});
}

void Link::handle(const zmq_pollitem_t *items, Clock::time_point now) {
  (void)now;
  uint16_t event = 0;
  int32_t value = 0;
  if ((items[1].revents & ZMQ_POLLIN) != 0)
    while (read_event(monitor_, event, value)) on_event(event, value);
  if ((items[0].revents & ZMQ_POLLIN) == 0) return;
  uint8_t bytes[kMaxMessage];
  for (int n = 0; n < 64; ++n) {
    Part part{bytes, sizeof bytes};
    bool oversize = false;
    const size_t parts = receive_parts(socket_, &part, 1, oversize);
    if (parts == 0) return;
    on_answer(bytes, part.size, oversize || parts != 1);
  }
}

Clock::time_point Link::tick(Clock::time_point now) {
  Clock::time_point next = Clock::time_point::max();
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.deadline > now) {
      next = std::min(next, it->second.deadline);
      ++it;
      continue;
    }
    const ZRDB_VLINK_WIRE &r = it->second.request;
    uint32_t held = 0;
    if (log_.allow(held))
      logf(Level::Warn, "link %d: no answer from %s for item (%d,%d) in 4 s (%u more held back)",
           number(), peer_.c_str(), r.itemId, r.itemIdx, held);
    queue_.answer(r, kNoAnswer);
    it = pending_.erase(it);
  }
  return next;
}

void Link::submit(const ZRDB_VLINK_WIRE &request, Clock::time_point now) {
  if (!up_) return queue_.answer(request, kLinkDown);
  if (pending_.size() >= kMaxPending) return queue_.answer(request, kBusy);
  Message m;
  m.type = request.op == ZRDBVLINKOP_GETVALUE ? MessageType::Get : MessageType::Set;
  m.id = nextId_++;
  m.itemId = request.itemId;
  m.itemIdx = request.itemIdx;
  const auto size = static_cast<uint16_t>(std::min<uint32_t>(request.size, kMaxValue));
  if (m.type == MessageType::Get) {
    m.size = size;
  } else {
    m.valueLen = size;
    std::memcpy(m.value, request.value, size);
  }
  if (!send(m)) return queue_.answer(request, kLinkDown);
  pending_[m.id] = {request, now + kAnswerBudget};
}

bool Link::forward_sync(const uint8_t *datagram, size_t size) {
  if (!up_ || size > kMaxValue) return false;
  Message m;
  m.type = MessageType::Sync;
  m.valueLen = static_cast<uint16_t>(size);
  std::memcpy(m.value, datagram, size);
  return send(m);
}

void Link::shut_down() {
  fail_pending(kNoAnswer);
  close_socket(monitor_);
  close_socket(socket_);
  up_ = false;
  set_link_state(0);
}

bool Link::send(const Message &m) {
  uint8_t bytes[kMaxMessage];
  const size_t n = encode_message(m, bytes);
  sent_ = true;
  // A full or lost connection refuses at once: the caller answers.
  return n != 0 && zmq_send(socket_, bytes, n, ZMQ_DONTWAIT) == static_cast<int>(n);
}

void Link::on_event(uint16_t event, int32_t value) {
  switch (event) {
    case ZMQ_EVENT_HANDSHAKE_SUCCEEDED:
      if (up_) return;
      up_ = true;
      failureLogged_ = false;
      set_link_state(1);
      logf(Level::Info, "link %d up (%s, peer key %s)", number(), peer_.c_str(),
           fingerprint(config_.key).c_str());
      return;
    case ZMQ_EVENT_DISCONNECTED:
      if (!up_) return;
      up_ = false;
      set_link_state(0);
      fail_pending(kNoAnswer);
      logf(Level::Warn, "link %d down (%s)", number(), peer_.c_str());
      return;
    default:  // a failed handshake: a wrong peer key, or our key is not admitted there
      if (failureLogged_) return;
      failureLogged_ = true;
      logf(Level::Warn, "link %d: handshake with %s failed (%s); trying again", number(),
           peer_.c_str(),
           event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH
               ? "the peer does not admit this system's key"
               : ("not the configured peer key, or not a zrdb-vlinkd: " + handshake_failure(value))
                     .c_str());
  }
}

void Link::on_answer(const uint8_t *bytes, size_t size, bool oversize) {
  Message m;
  const char *why = oversize ? "oversize" : decode_message({bytes, size}, m);
  if (why == nullptr && m.type != MessageType::Result) why = "not an answer";
  uint32_t held = 0;
  if (why != nullptr) {
    if (log_.allow(held))
      logf(Level::Warn, "link %d: message from %s dropped: %s (%u more held back)", number(),
           peer_.c_str(), why, held);
    return;
  }
  const auto it = pending_.find(m.id);
  if (it == pending_.end()) return;  // answered already: it came too late
  const uint32_t failure = m.outcome == Outcome::Done      ? kSuccess
                           : m.outcome == Outcome::Refused ? kPeerRefused
                                                           : kNotAllowed;
  queue_.answer(it->second.request, failure, m.value, m.valueLen);
  pending_.erase(it);
}

void Link::fail_pending(uint32_t failure) {
  for (const auto &[id, p] : pending_) queue_.answer(p.request, failure);
  pending_.clear();
}

void Link::set_link_state(int32_t state) {
  const int rc = zrdb_VLINKSetStatus(masterId_, number(), state);
  if (rc != 0 && !stateFailureLogged_) {
    logf(Level::Error, "link %d: setting its state failed (%d)", number(), rc);
    stateFailureLogged_ = true;  // the same cause every time: the master item's link count
  }
}

}  // namespace vlinkd
