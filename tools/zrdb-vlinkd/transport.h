// The ZeroMQ side, in one place: every socket between two daemons speaks
// CURVE (authenticated key exchange, encryption and integrity of every
// message), with the same limits, heartbeats and reconnection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <zmq.h>

#include "keys.h"

namespace vlinkd {

// Limits of the link protocol.
inline constexpr int kHeartbeatMs = 1000;     // a ping every second
inline constexpr int kPeerGoneMs = 3000;      // no traffic for 3 s: the peer is gone
inline constexpr int kHandshakeMs = 2000;     // a connection that does not finish its handshake
inline constexpr int kReconnectMs = 100;      // first retry of a lost link,
inline constexpr int kReconnectMaxMs = 5000;  //   doubling up to this
inline constexpr int kHighWater = 256;        // messages queued per connection
inline constexpr const char *kZapDomain = "zrdb-vlink";

// A CURVE socket of `type` (ZMQ_ROUTER: the accepting side; ZMQ_DEALER: a
// link, which authenticates the peer by `serverKey`). Null with a log line.
void *curve_socket(void *context, int type, const KeyPair &own, const char *serverKey,
                   const char *what);

// Starts monitoring `socket`'s connection events on a new PAIR socket at
// `endpoint` (inproc). Null with a log line.
void *monitor_socket(void *context, void *socket, const char *endpoint, int events);

// Reads one event from a monitor socket; false when none waits.
bool read_event(void *monitor, uint16_t &event, int32_t &value);
// Why a handshake failed, from its event's value: an errno or a protocol error.
std::string handshake_failure(int32_t value);

// Receives the whole next message of `socket` into `parts` (at most
// `maxParts`, each at most `partSize` bytes; longer ones are cut and the
// message flagged). Returns the number of parts, 0 when none waits.
struct Part {
  uint8_t *data;
  size_t size;  // in: room; out: bytes received
};
size_t receive_parts(void *socket, Part *parts, size_t maxParts, bool &oversize,
                     std::string *userId = nullptr);

// Waits like zmq_poll for POLLIN on `items` (ZeroMQ sockets and
// descriptors), at most `timeoutMs`. zmq_poll asks every socket for its
// state before and after it sleeps, two system calls each; this asks a
// socket only when its descriptor (ZMQ_FD) signalled, or when `recheck[i]`
// says that receiving or sending on it since it was last asked may have
// taken that signal. Returns how many items are ready, -1 on an error.
int wait_ready(zmq_pollitem_t *items, const bool *recheck, size_t count, int timeoutMs);

// Closes a socket, dropping what is unsent.
void close_socket(void *&socket);

}  // namespace vlinkd
