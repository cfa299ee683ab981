// The accepting side of the links: the peers' requests on this database.
#include "server.h"

#include <cstring>

#include "transport.h"
#include "zrdb.h"

namespace vlinkd {
namespace {

constexpr const char *kZapEndpoint = "inproc://zeromq.zap.01";  // fixed by ZeroMQ
constexpr const char *kMonitorEndpoint = "inproc://vlinkd-server";
constexpr size_t kCurveKeyBytes = 32;
constexpr int kMessagesPerTurn = 64;  // then the other sockets get their turn

}  // namespace

Server::~Server() {
  close_socket(monitor_);
  close_socket(router_);
  close_socket(zap_);
}

bool Server::open(void *context, const KeyPair &own) {
  // The handler first: a connection that arrives before it would be let in
  // without one.
  zap_ = zmq_socket(context, ZMQ_REP);
  if (zap_ == nullptr || zmq_bind(zap_, kZapEndpoint) != 0) {
    logf(Level::Error, "ZAP handler: %s", zmq_strerror(zmq_errno()));
    return false;
  }
  router_ = curve_socket(context, ZMQ_ROUTER, own, nullptr, "listening socket");
  if (router_ == nullptr) return false;
  monitor_ =
      monitor_socket(context, router_, kMonitorEndpoint,
                     ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL);
  if (monitor_ == nullptr) return false;
  const std::string endpoint =
      "tcp://" + config_.listenHost + ":" + std::to_string(config_.listenPort);
  if (zmq_bind(router_, endpoint.c_str()) != 0) {
    logf(Level::Error, "listening on %s:%u: %s", config_.listenHost.c_str(), config_.listenPort,
         zmq_strerror(zmq_errno()));
    return false;
  }
  return true;
}

void Server::collect(std::vector<zmq_pollitem_t> &items) const {
  items.push_back({router_, 0, ZMQ_POLLIN, 0});
  items.push_back({zap_, 0, ZMQ_POLLIN, 0});
  items.push_back({monitor_, 0, ZMQ_POLLIN, 0});
}

void Server::handle(const zmq_pollitem_t *items) {
  if ((items[1].revents & ZMQ_POLLIN) != 0) authenticate();
  if ((items[2].revents & ZMQ_POLLIN) != 0) {
    uint16_t event = 0;
    int32_t value = 0;
    uint32_t held = 0;
    while (read_event(monitor_, event, value)) {
      if (handshakeLog_.allow(held))
        logf(Level::Warn, "connection refused: no valid CURVE handshake (%s) (%u more held back)",
             handshake_failure(value).c_str(), held);
    }
  }
  // Each empty receive costs ZeroMQ system calls: stop at the first.
  if ((items[0].revents & ZMQ_POLLIN) != 0)
    for (int n = 0; n < kMessagesPerTurn && serve_one(); ++n) {
    }
}

int Server::link_of_key(const uint8_t *key, size_t size, std::string &text) const {
  char z85[kKeyText + 1] = {};
  if (size != kCurveKeyBytes || zmq_z85_encode(z85, key, size) == nullptr) return -1;
  text = z85;
  for (const LinkConfig &link : config_.links)
    if (link.key == text) return link.number;
  return -1;
}

// One ZAP request: version, request id, domain, address, identity,
// mechanism, and for CURVE the client's public key.
void Server::authenticate() {
  uint8_t frames[7][64];
  Part parts[7];
  for (size_t i = 0; i < 7; ++i) parts[i] = {frames[i], sizeof frames[i]};
  bool oversize = false;
  const size_t count = receive_parts(zap_, parts, 7, oversize);
  if (count == 0) return;
  const auto text = [&](size_t i) {
    return std::string(reinterpret_cast<const char *>(frames[i]), parts[i].size);
  };
  std::string key;
  const bool curve = count == 7 && !oversize && text(0) == "1.0" && text(5) == "CURVE";
  const int link = curve ? link_of_key(frames[6], parts[6].size, key) : -1;
  const std::string status = link >= 0 ? "200" : "400";
  const std::string user = link >= 0 ? std::to_string(link) : "";
  const std::string reply[] = {
      "1.0", count > 1 ? text(1) : "", status, link >= 0 ? "OK" : "unknown key", user, ""};
  for (size_t i = 0; i < 6; ++i)
    zmq_send(zap_, reply[i].data(), reply[i].size(), i < 5 ? ZMQ_SNDMORE : 0);
  const std::string from = count > 3 ? text(3) : "?";
  if (link >= 0) {
    logf(Level::Info, "link %d: peer %s admitted (key %s)", link, from.c_str(),
         fingerprint(key).c_str());
    return;
  }
  const bool first = refusedKeys_.size() < kMaxRefusedKeys && refusedKeys_.insert(key).second;
  uint32_t held = 0;
  if ((first || refusedKeys_.size() >= kMaxRefusedKeys) && refusedLog_.allow(held))
    logf(Level::Warn,
         "connection from %s refused: key %s is no configured link's (%u more held back)",
         from.c_str(), key.empty() ? "(none)" : fingerprint(key).c_str(), held);
}

bool Server::serve_one() {
  uint8_t routing[256];
  uint8_t body[kMaxMessage];
  Part parts[] = {{routing, sizeof routing}, {body, sizeof body}};
  bool oversize = false;
  std::string user;
  const size_t count = receive_parts(router_, parts, 2, oversize, &user);
  if (count == 0) return false;
  // ZeroMQ set the tag from our ZAP answer: the link of the admitted key.
  const int link = user.size() == 1 || user.size() == 2 ? std::atoi(user.c_str()) : -1;
  Message request;
  const char *why = oversize || count != 2 ? "not one message" : nullptr;
  if (why == nullptr) why = decode_message({body, parts[1].size}, request);
  if (why == nullptr && (link < 0 || link > kMaxLinkNumber)) why = "no admitted key";
  if (why == nullptr && request.type == MessageType::Result)
    why = "an answer where a request belongs";
  uint32_t held = 0;
  if (why != nullptr) {
    if (badLog_.allow(held))
      logf(Level::Warn, "message from link %s dropped: %s (%u more held back)", user.c_str(), why,
           held);
    return true;
  }
  if (request.type == MessageType::Sync) {
    apply_sync(link, request);
    return true;
  }
  const Message answer = carry_out(link, request);
  uint8_t out[kMaxMessage];
  const size_t n = encode_message(answer, out);
  // A peer gone meanwhile, or one that reads nothing, loses its answer.
  if (zmq_send(router_, routing, parts[0].size, ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0)
    zmq_send(router_, out, n, ZMQ_DONTWAIT);
  return true;
}

// The library checks the item, the element and the size; its refusal goes
// back as such. A set is local: it must not be mirrored back to its sender.
Message Server::carry_out(int link, const Message &request) {
  Message answer;
  answer.type = MessageType::Result;
  answer.id = request.id;
  const Access access = request.type == MessageType::Get ? Access::Get : Access::Set;
  if (!rules_.allows(link, access, request.itemId)) {
    answer.outcome = Outcome::NotAllowed;
    return answer;
  }
  int rc = 0;
  if (access == Access::Get) {
    rc = zrdb_getiValue(request.itemId, request.itemIdx, answer.value, request.size);
    if (rc >= 0) answer.valueLen = request.size;
  } else {
    rc = zrdb_local_setiValue(request.itemId, request.itemIdx, request.value, request.valueLen);
  }
  if (rc < 0) {
    answer.outcome = Outcome::Refused;
    answer.valueLen = 0;
  }
  return answer;
}

void Server::apply_sync(int link, const Message &m) {
  uint32_t held = 0;
  SyncMessage s;
  if (const char *why = decode_sync({m.value, m.valueLen}, s)) {
    ++bad_;
    if (syncLog_.allow(held))
      logf(Level::Warn, "link %d: sync message of %u bytes dropped: %s (%u more held back)", link,
           m.valueLen, why, held);
    return;
  }
  if (const uint32_t missing = txids_.see(static_cast<uint64_t>(link), s.txid); missing != 0) {
    ++gaps_;
    lost_ += missing;
    if (syncLog_.allow(held))
      logf(Level::Warn, "link %d: sync txid %u: %u messages missing before it (%u more held back)",
           link, s.txid, missing, held);
  }
  if (s.mode != 0) {
    ++reads_;
    return;
  }
  const int32_t id = s.remoteId < ZRDB_MAX_ITEMS ? static_cast<int32_t>(s.remoteId) : -1;
  if (!rules_.allows(link, Access::Set, id)) {  // logs the refusal
    ++refused_;
    return;
  }
  const char *why = refuse_target(s);
  if (why == nullptr && zrdb_local_setiValue(id, static_cast<int32_t>(s.idx), s.payload,
                                             static_cast<int32_t>(s.len)) < 0)
    why = "by the database";
  if (why != nullptr) {
    ++refused_;
    if (syncLog_.allow(held))
      logf(Level::Warn, "link %d: sync of item (%u,%u) refused: %s (%u more held back)", link,
           s.remoteId, s.idx, why, held);
    return;
  }
  ++applied_;
}

void Server::report() const {
  if (applied_ + reads_ + refused_ + bad_ == 0) return;
  logf(Level::Info,
       "sync messages from the links: %llu applied, %llu read notices, %llu refused, %llu bad, "
       "%llu gaps (%llu missing)",
       static_cast<unsigned long long>(applied_), static_cast<unsigned long long>(reads_),
       static_cast<unsigned long long>(refused_), static_cast<unsigned long long>(bad_),
       static_cast<unsigned long long>(gaps_), static_cast<unsigned long long>(lost_));
}

}  // namespace vlinkd
