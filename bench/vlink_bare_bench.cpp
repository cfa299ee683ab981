// The baselines of the VLINK benchmark (vlink_bench.cpp), measured in the
// same run:
//   vlink_get/raw   one System V message queue round trip (544-byte
//                   messages, both types on one queue, as VLINK) with one
//                   partner process, then one loopback TCP round trip
//                   (TCP_NODELAY; 15 bytes out as a get message, 10 back as
//                   its result) with another: the transports' bare cost,
//                   added up.
//   vlink_get/zmq   the same queue round trip, then the same 15 and 10 bytes
//                   over ZeroMQ with CURVE (DEALER to a partner's ROUTER on
//                   loopback, no authentication handler, no ZRDB): the cost
//                   of the secure transport alone, with its I/O threads.
//   vlink_handshake one CURVE handshake on loopback (a new ZeroMQ connection
//                   until its monitor reports the handshake done).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <zmq.h>

#include "partner.h"
#include "vlink_bench.h"
#include "zrdb.h"

namespace zrdb::bench::vlink {

// One CURVE handshake per iteration: a new client connection to a server
// on loopback, until the client's monitor reports the handshake done.
void vlink_handshake(benchmark::State &state) {
  char serverPublic[41], serverSecret[41], clientPublic[41], clientSecret[41];
  void *ctx = zmq_ctx_new();
  void *server = zmq_socket(ctx, ZMQ_ROUTER);
  const int one = 1;
  zmq_curve_keypair(serverPublic, serverSecret);
  zmq_curve_keypair(clientPublic, clientSecret);
  zmq_setsockopt(server, ZMQ_CURVE_SERVER, &one, sizeof one);
  zmq_setsockopt(server, ZMQ_CURVE_SECRETKEY, serverSecret, 40);
  char endpoint[64];
  size_t len = sizeof endpoint;
  if (zmq_bind(server, "tcp://127.0.0.1:*") != 0 ||
      zmq_getsockopt(server, ZMQ_LAST_ENDPOINT, endpoint, &len) != 0) {
    state.SkipWithError("no loopback endpoint (or libzmq without CURVE)");
    zmq_close(server);
    zmq_ctx_term(ctx);
    return;
  }
  std::vector<double> us;
  int64_t failed = 0;
  int round = 0;
  for (auto _ : state) {
    // A name of its own each time: the last monitor goes away in the background.
    const std::string events = "inproc://bench-handshake-" + std::to_string(++round);
    void *client = zmq_socket(ctx, ZMQ_DEALER);
    zmq_setsockopt(client, ZMQ_CURVE_SERVERKEY, serverPublic, 40);
    zmq_setsockopt(client, ZMQ_CURVE_PUBLICKEY, clientPublic, 40);
    zmq_setsockopt(client, ZMQ_CURVE_SECRETKEY, clientSecret, 40);
    zmq_socket_monitor(client, events.c_str(), ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
    void *monitor = zmq_socket(ctx, ZMQ_PAIR);
    zmq_connect(monitor, events.c_str());
    const Clock::time_point t0 = Clock::now();
    zmq_connect(client, endpoint);
    zmq_msg_t event;
    zmq_msg_init(&event);
    zmq_pollitem_t item{monitor, 0, ZMQ_POLLIN, 0};
    failed += zmq_poll(&item, 1, 5000) != 1 || zmq_msg_recv(&event, monitor, 0) < 0;
    us.push_back(us_since(t0));
    while (zmq_msg_more(&event) != 0) zmq_msg_recv(&event, monitor, 0);
    zmq_msg_close(&event);
    zmq_socket_monitor(client, nullptr, 0);
    zmq_close(monitor);
    const int none = 0;
    zmq_setsockopt(client, ZMQ_LINGER, &none, sizeof none);
    zmq_close(client);
  }
  zmq_close(server);
  zmq_ctx_term(ctx);
  if (failed != 0) state.SkipWithError("a handshake did not complete within 5 s");
  set_counters(state, us);
}

namespace {

// ---------------------------------------------------------------------------
// The bare transports.

// Shared by this process and its partners.
struct Tally {
  std::atomic<int32_t> stop;
  std::atomic<int64_t> served[2];  // by the queue partner, by the second hop's
  std::atomic<int64_t> errors;
};

struct QueueMessage {
  long mtype;
  unsigned char body[ZRDB_VLINK_MSG_SIZE];
};

// Answers each request (type 2) with a response (type 1) carrying its number.
int serve_queue(Tally *t, int q) {
  QueueMessage m{};
  int64_t served = 0, errors = 0;
  for (uint64_t expect = 1;; ++expect) {
    if (msgrcv(q, &m, sizeof m.body, ZRDB_VLINK_REQUEST_TYPE, 0) < 0) {
      if (errno == EINTR) continue;
      ++errors;
      break;
    }
    if (t->stop.load() != 0) break;
    uint64_t seq = 0;
    std::memcpy(&seq, m.body, sizeof seq);
    errors += seq != expect;
    m.mtype = ZRDB_VLINK_RESPONSE_TYPE;
    errors += msgsnd(q, &m, sizeof m.body, 0) != 0;
    ++served;
  }
  t->served[0].store(served);
  t->errors.fetch_add(errors);
  return 0;
}

// The second hop's partner: answers each request (`next` fills it, false at
// the end) with 10 bytes carrying its number, from 0 (the warm-up).
template <typename Next, typename Answer>
int serve_numbers(Tally *t, Next next, Answer answer) {
  unsigned char in[kFrameOut], out[kFrameBack] = {};
  int64_t served = 0, errors = 0;
  for (uint64_t expect = 0; next(in); ++expect, ++served) {
    uint64_t seq = 0;
    std::memcpy(&seq, in, sizeof seq);
    errors += seq != expect;
    std::memcpy(out, &seq, sizeof seq);
    errors += !answer(out);
  }
  t->served[1].store(served);
  t->errors.fetch_add(errors);
  return 0;
}

// Whether an answer carries `seq`.
bool carries(const unsigned char *in, uint64_t seq) {
  uint64_t got = 0;
  std::memcpy(&got, in, sizeof got);
  return got == seq;
}

// Moves all n bytes, one send or receive (`io`, from an offset) at a time;
// false at an error or the end of the stream.
template <typename Io>
bool whole(size_t n, Io io) {
  for (size_t done = 0; done < n;) {
    const ssize_t k = io(done);
    if (k == 0 || (k < 0 && errno != EINTR)) return false;
    done += k > 0 ? static_cast<size_t>(k) : 0;
  }
  return true;
}
bool send_all(int fd, const unsigned char *b, size_t n) {
  return whole(n, [=](size_t at) { return send(fd, b + at, n - at, MSG_NOSIGNAL); });
}
bool recv_all(int fd, unsigned char *b, size_t n) {
  return whole(n, [=](size_t at) { return recv(fd, b + at, n - at, 0); });
}

void no_delay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Loopback TCP, TCP_NODELAY, no framing beyond the fixed sizes.
class TcpHop {
 public:
  TcpHop() = default;
  ~TcpHop() {
    if (fd_ >= 0) close(fd_);
    if (listener_ >= 0) close(listener_);
  }
  TcpHop(const TcpHop &) = delete;
  TcpHop &operator=(const TcpHop &) = delete;

  // Starts the partner and makes the warm-up round trip; why it failed, or null.
  const char *start(Tally *t) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&at), &len) != 0)
      return "the loopback listener failed";
    const int listener = listener_;
    if (!partner_.start([t, listener] { return serve(t, listener); })) return "fork failed";
    // Made after the fork: a copy in the partner would keep the connection
    // open after this process closes it.
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0)
      return "the connection to the TCP partner failed";
    no_delay(fd_);
    return round_trip(0) ? nullptr : "the TCP partner did not answer";
  }

  bool round_trip(uint64_t seq) {
    unsigned char out[kFrameOut] = {}, in[kFrameBack];
    std::memcpy(out, &seq, sizeof seq);
    return send_all(fd_, out, sizeof out) && recv_all(fd_, in, sizeof in) && carries(in, seq);
  }

  // Ends the partner (the end of the stream); true when it ended cleanly.
  bool finish() {
    close(fd_);
    fd_ = -1;
    return partner_.finish() == 0;
  }

 private:
  static int serve(Tally *t, int listener) {
    pollfd p{listener, POLLIN, 0};
    const int fd = poll(&p, 1, 5000) == 1 ? accept(listener, nullptr, nullptr) : -1;
    if (fd < 0) return 1;
    no_delay(fd);
    const int rc = serve_numbers(
        t, [fd](unsigned char *in) { return recv_all(fd, in, kFrameOut); },
        [fd](const unsigned char *out) { return send_all(fd, out, kFrameBack); });
    close(fd);
    return rc;
  }

  int listener_ = -1, fd_ = -1;
  Partner partner_;
};

// ZeroMQ with CURVE on loopback, as the link daemons speak it. The port is
// the benchmark's own (the link daemons here use 47610 and 47611).
class CurveHop {
 public:
  CurveHop() = default;
  ~CurveHop() {
    if (client_ != nullptr) {
      const int none = 0;
      zmq_setsockopt(client_, ZMQ_LINGER, &none, sizeof none);
      zmq_close(client_);
    }
    if (ctx_ != nullptr) zmq_ctx_term(ctx_);
  }
  CurveHop(const CurveHop &) = delete;
  CurveHop &operator=(const CurveHop &) = delete;

  const char *start(Tally *t) {
    char clientPublic[41], clientSecret[41];
    if (zmq_curve_keypair(serverPublic_, serverSecret_) != 0 ||
        zmq_curve_keypair(clientPublic, clientSecret) != 0)
      return "libzmq without CURVE";
    // The partner makes its own context: one must not cross a fork.
    const char *secret = serverSecret_;
    if (!partner_.start([t, secret] { return serve(t, secret); })) return "fork failed";
    ctx_ = zmq_ctx_new();
    client_ = ctx_ != nullptr ? zmq_socket(ctx_, ZMQ_DEALER) : nullptr;
    const int waitMs = 5000;  // a lost partner ends the run, not a hang
    if (client_ == nullptr ||
        zmq_setsockopt(client_, ZMQ_CURVE_SERVERKEY, serverPublic_, 40) != 0 ||
        zmq_setsockopt(client_, ZMQ_CURVE_PUBLICKEY, clientPublic, 40) != 0 ||
        zmq_setsockopt(client_, ZMQ_CURVE_SECRETKEY, clientSecret, 40) != 0 ||
        zmq_setsockopt(client_, ZMQ_RCVTIMEO, &waitMs, sizeof waitMs) != 0 ||
        zmq_setsockopt(client_, ZMQ_SNDTIMEO, &waitMs, sizeof waitMs) != 0 ||
        zmq_connect(client_, kEndpoint) != 0)
      return "the ZeroMQ client could not be set up";
    // The warm-up also waits out the connection and its handshake.
    return round_trip(0) ? nullptr : "the ZeroMQ partner did not answer within 5 s";
  }

  bool round_trip(uint64_t seq) {
    unsigned char out[kFrameOut] = {}, in[kFrameBack];
    std::memcpy(out, &seq, sizeof seq);
    return zmq_send(client_, out, sizeof out, 0) == kFrameOut &&
           zmq_recv(client_, in, sizeof in, 0) == kFrameBack && carries(in, seq);
  }

  // An empty message ends the partner.
  bool finish() { return zmq_send(client_, "", 0, 0) == 0 && partner_.finish() == 0; }

 private:
  static constexpr const char *kEndpoint = "tcp://127.0.0.1:47612";

  static int serve(Tally *t, const char *secret) {
    void *ctx = zmq_ctx_new();
    void *server = ctx != nullptr ? zmq_socket(ctx, ZMQ_ROUTER) : nullptr;
    const int one = 1, none = 0;
    int rc = 1;
    if (server != nullptr && zmq_setsockopt(server, ZMQ_CURVE_SERVER, &one, sizeof one) == 0 &&
        zmq_setsockopt(server, ZMQ_CURVE_SECRETKEY, secret, 40) == 0 &&
        zmq_setsockopt(server, ZMQ_LINGER, &none, sizeof none) == 0 &&
        zmq_bind(server, kEndpoint) == 0) {
      unsigned char id[256];
      int idSize = 0;
      rc = serve_numbers(
          t,
          [&](unsigned char *in) {
            idSize = zmq_recv(server, id, sizeof id, 0);
            return idSize > 0 && zmq_recv(server, in, kFrameOut, 0) == kFrameOut;
          },
          [&](const unsigned char *out) {
            return zmq_send(server, id, static_cast<size_t>(idSize), ZMQ_SNDMORE) == idSize &&
                   zmq_send(server, out, kFrameBack, 0) == kFrameBack;
          });
    }
    if (server != nullptr) zmq_close(server);
    if (ctx != nullptr) zmq_ctx_term(ctx);
    return rc;
  }

  char serverPublic_[41] = {}, serverSecret_[41] = {};
  void *ctx_ = nullptr, *client_ = nullptr;
  Partner partner_;
};

// One queue round trip, then one round trip over `Hop`, per iteration.
template <typename Hop>
void bare_pair(benchmark::State &state) {
  SharedMemory shm(sizeof(Tally));
  g_queues[1] = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
  guard_fatal_signals();
  struct Remove {  // the private queue, however the run ends
    ~Remove() {
      if (g_queues[1] >= 0) msgctl(g_queues[1], IPC_RMID, nullptr);
      g_queues[1] = -1;
    }
  } remove;
  const int q = g_queues[1];
  if (q < 0 || shm.get() == nullptr) {
    state.SkipWithError("msgget or mmap failed");
    return;
  }
  Tally *t = new (shm.get()) Tally{};
  Partner queuePartner;
  if (!queuePartner.start([t, q] { return serve_queue(t, q); })) {
    state.SkipWithError("fork failed");
    return;
  }
  Hop hop;
  if (const char *why = hop.start(t)) {
    state.SkipWithError(why);
    return;
  }
  QueueMessage m{};
  int64_t failed = 0;
  uint64_t seq = 0;
  std::vector<double> us;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    ++seq;
    m.mtype = ZRDB_VLINK_REQUEST_TYPE;
    std::memcpy(m.body, &seq, sizeof seq);
    failed += msgsnd(q, &m, sizeof m.body, 0) != 0;
    failed +=
        msgrcv(q, &m, sizeof m.body, ZRDB_VLINK_RESPONSE_TYPE, 0) < 0 || !carries(m.body, seq);
    failed += !hop.round_trip(seq);
    us.push_back(us_since(t0));
  }
  t->stop.store(1);
  m.mtype = ZRDB_VLINK_REQUEST_TYPE;
  msgsnd(q, &m, sizeof m.body, IPC_NOWAIT);  // wakes the queue partner
  const bool stopped = hop.finish() && queuePartner.finish() == 0;
  // The second hop's partner also answered the warm-up.
  if (!stopped || t->errors.load() != 0 || t->served[0].load() != state.iterations() ||
      t->served[1].load() != state.iterations() + 1) {
    state.SkipWithError("a partner failed, saw a wrong message or missed one");
  } else if (failed != 0) {
    state.SkipWithError("a round trip failed or carried a wrong number");
  }
  set_counters(state, us);
}

}  // namespace

void vlink_get_raw(benchmark::State &state) { bare_pair<TcpHop>(state); }
void vlink_get_zmq(benchmark::State &state) { bare_pair<CurveHop>(state); }

}  // namespace zrdb::bench::vlink
