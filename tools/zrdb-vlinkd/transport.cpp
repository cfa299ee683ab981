// ZeroMQ sockets with CURVE and the link's limits.
#include "transport.h"

#include <poll.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "log.h"
#include "message.h"

namespace vlinkd {
namespace {

bool set(void *socket, int option, int value) {
  return zmq_setsockopt(socket, option, &value, sizeof value) == 0;
}

// Whether a message waits on `socket`; processes its pending commands,
// which resets its descriptor.
bool readable(void *socket) {
  int events = 0;
  size_t len = sizeof events;
  return zmq_getsockopt(socket, ZMQ_EVENTS, &events, &len) == 0 && (events & ZMQ_POLLIN) != 0;
}

}  // namespace

void *curve_socket(void *context, int type, const KeyPair &own, const char *serverKey,
                   const char *what) {
  void *s = zmq_socket(context, type);
  const bool server = serverKey == nullptr;
  // A message is one request or answer: anything larger ends the connection.
  const int64_t maxMessage = kMaxMessage;
  bool ok = s != nullptr && set(s, ZMQ_LINGER, 0) &&
            zmq_setsockopt(s, ZMQ_MAXMSGSIZE, &maxMessage, sizeof maxMessage) == 0 &&
            set(s, ZMQ_HEARTBEAT_IVL, kHeartbeatMs) && set(s, ZMQ_HEARTBEAT_TIMEOUT, kPeerGoneMs) &&
            set(s, ZMQ_HEARTBEAT_TTL, kPeerGoneMs) && set(s, ZMQ_HANDSHAKE_IVL, kHandshakeMs) &&
            set(s, ZMQ_SNDHWM, kHighWater) && set(s, ZMQ_RCVHWM, kHighWater) &&
            set(s, ZMQ_RECONNECT_IVL, kReconnectMs) &&
            set(s, ZMQ_RECONNECT_IVL_MAX, kReconnectMaxMs) &&
            zmq_setsockopt(s, ZMQ_CURVE_SECRETKEY, own.secretKey, kKeyText) == 0 &&
            zmq_setsockopt(s, ZMQ_CURVE_PUBLICKEY, own.publicKey, kKeyText) == 0;
  if (ok && server) {
    ok = set(s, ZMQ_CURVE_SERVER, 1) &&
         zmq_setsockopt(s, ZMQ_ZAP_DOMAIN, kZapDomain, std::strlen(kZapDomain)) == 0 &&
         set(s, ZMQ_BACKLOG, 512);
  } else if (ok) {
    // Requests go only to a connection whose handshake succeeded.
    ok = set(s, ZMQ_IMMEDIATE, 1) &&
         zmq_setsockopt(s, ZMQ_CURVE_SERVERKEY, serverKey, kKeyText) == 0;
  }
  if (!ok) {
    logf(Level::Error, "%s: %s (is libzmq built with CURVE?)", what, zmq_strerror(zmq_errno()));
    close_socket(s);
  }
  return s;
}

void *monitor_socket(void *context, void *socket, const char *endpoint, int events) {
  void *pair = nullptr;
  if (zmq_socket_monitor(socket, endpoint, events) == 0) pair = zmq_socket(context, ZMQ_PAIR);
  if (pair == nullptr || zmq_connect(pair, endpoint) != 0) {
    logf(Level::Error, "monitor %s: %s", endpoint, zmq_strerror(zmq_errno()));
    close_socket(pair);
  }
  return pair;
}

bool read_event(void *monitor, uint16_t &event, int32_t &value) {
  uint8_t head[6];
  uint8_t address[256];
  Part parts[] = {{head, sizeof head}, {address, sizeof address}};
  bool oversize = false;
  if (receive_parts(monitor, parts, 2, oversize) != 2 || parts[0].size != sizeof head) return false;
  std::memcpy(&event, head, 2);  // the monitor's own layout: native order
  std::memcpy(&value, head + 2, 4);
  return true;
}

std::string handshake_failure(int32_t value) {
  if (value < ZMQ_PROTOCOL_ERROR_ZMTP_UNSPECIFIED) return zmq_strerror(value);
  char text[32];
  std::snprintf(text, sizeof text, "protocol error 0x%08x", static_cast<unsigned>(value));
  return text;
}

size_t receive_parts(void *socket, Part *parts, size_t maxParts, bool &oversize,
                     std::string *userId) {
  size_t count = 0;
  oversize = false;
  if (userId != nullptr) userId->clear();
  for (bool more = true; more;) {
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    if (zmq_msg_recv(&msg, socket, count == 0 ? ZMQ_DONTWAIT : 0) < 0) {
      zmq_msg_close(&msg);
      return count;
    }
    // The ZAP handler's tag comes with the peer's frames, not with the
    // routing id a ROUTER puts in front.
    const char *id = userId != nullptr ? zmq_msg_gets(&msg, "User-Id") : nullptr;
    if (id != nullptr) userId->assign(id);
    more = zmq_msg_more(&msg) != 0;
    if (count < maxParts) {
      const size_t size = zmq_msg_size(&msg);
      oversize = oversize || size > parts[count].size;
      parts[count].size = std::min(size, parts[count].size);
      std::memcpy(parts[count].data, zmq_msg_data(&msg), parts[count].size);
    } else {
      oversize = true;
    }
    ++count;
    zmq_msg_close(&msg);
  }
  return count;
}

int wait_ready(zmq_pollitem_t *items, const bool *recheck, size_t count, int timeoutMs) {
  static thread_local std::vector<pollfd> fds;
  fds.assign(count, pollfd{-1, POLLIN, 0});
  int ready = 0;
  for (size_t i = 0; i < count; ++i) {
    zmq_pollitem_t &item = items[i];
    item.revents = 0;
    if (item.socket == nullptr) {
      fds[i].fd = item.fd;
      continue;
    }
    size_t len = sizeof fds[i].fd;
    if (zmq_getsockopt(item.socket, ZMQ_FD, &fds[i].fd, &len) != 0) return -1;
    // The descriptor says nothing of what waited when it was last reset.
    if (recheck[i] && readable(item.socket)) {
      item.revents = ZMQ_POLLIN;
      ++ready;
    }
  }
  if (poll(fds.data(), fds.size(), ready > 0 ? 0 : timeoutMs) < 0)
    return errno == EINTR ? ready : -1;
  for (size_t i = 0; i < count; ++i) {
    zmq_pollitem_t &item = items[i];
    if (item.revents != 0 || fds[i].revents == 0) continue;
    if (item.socket == nullptr || readable(item.socket)) {
      item.revents = ZMQ_POLLIN;
      ++ready;
    }
  }
  return ready;
}

void close_socket(void *&socket) {
  if (socket != nullptr) zmq_close(socket);
  socket = nullptr;
}

}  // namespace vlinkd
