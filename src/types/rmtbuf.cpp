// Remote buffer items (rmtbuf, vlinkbuf): a UDP endpoint described by the
// protocol text in the item's value. The socket lives in the process that
// opened the item; the parsed text, the owner and the counters live in the
// data area.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "access/dispatch.h"
#include "platform/item_lock.h"
#include "platform/net.h"
#include "types/rmtbuf_text.h"
#include "types/shared_word.h"

namespace zrdb {
namespace {

static_assert(sizeof(ZRDB_RMTBUF_INFO) == 412);
static_assert(offsetof(ZRDB_RMTBUF_INFO, text) == 0);
static_assert(offsetof(ZRDB_RMTBUF_INFO, owner) == 128);
static_assert(offsetof(ZRDB_RMTBUF_INFO, ipAddr) == 192);
static_assert(offsetof(ZRDB_RMTBUF_INFO, proto) == 212);
static_assert(offsetof(ZRDB_RMTBUF_INFO, port) == 214);
static_assert(offsetof(ZRDB_RMTBUF_INFO, nic) == 216);
static_assert(offsetof(ZRDB_RMTBUF_INFO, status) == 248);
static_assert(offsetof(ZRDB_RMTBUF_INFO, marks) == 252);
static_assert(offsetof(ZRDB_RMTBUF_INFO, txCount) == 264);
static_assert(offsetof(ZRDB_RMTBUF_INFO, rxCount) == 268);
static_assert(offsetof(ZRDB_RMTBUF_INFO, txErr) == 272);
static_assert(offsetof(ZRDB_RMTBUF_INFO, rxErr) == 276);
static_assert(offsetof(ZRDB_RMTBUF_INFO, trace) == 280);
static_assert(offsetof(ZRDB_RMTBUF_INFO, reserved4) == 284);

constexpr size_t kStatusBlock = 36;  // status .. trace
constexpr uint8_t kStateFlags = 0x0F;
constexpr size_t kMaxInterfaceName = 15;  // what the system's interface requests hold
constexpr int kReadTimeoutMs = 1000;

struct Context {
  int32_t lockFd;
  int32_t sock;
  sockaddr_in peer;       // unicast client: its server; server: the last sender
  sockaddr_in mcastDest;  // multicast client: the group
  int32_t mcast;
  bool fixedPeer;  // a unicast client: peer is its server and stays so
  bool connected;  // ... and the socket is connected to it
};

ZRDB_RMTBUF_INFO *info_of(const ZRDB_DIT *dit) {
  return reinterpret_cast<ZRDB_RMTBUF_INFO *>(item_data(dit));
}
Context *context_of(const ZRDB_DIT *dit) { return reinterpret_cast<Context *>(dit->para); }

int32_t trace_of(ZRDB_RMTBUF_INFO *info) { return load(info->trace); }

sockaddr_in ipv4(in_addr_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr;
  return sa;
}

// Waits for a datagram, or for an error queued on the socket, until a second
// after `start` (monotonic): 1 readable, 0 time-out, -1 error.
int wait_readable(int sock, const timespec &start) {
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t spent =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    pollfd pfd{sock, POLLIN, 0};
    const int rc =
        poll(&pfd, 1, static_cast<int>(spent >= kReadTimeoutMs ? 0 : kReadTimeoutMs - spent));
    if (rc >= 0) return rc > 0 && (pfd.revents & (POLLIN | POLLERR)) != 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

// Closes this process's socket and lock of the item and frees its context.
void drop(ZRDB_DIT *dit, Context *ctx) {
  if (ctx->sock >= 0) close(ctx->sock);
  item_lock_release(ctx->lockFd);
  std::free(ctx);
  dit->para = 0;
}

void release(ZRDB_DIT *dit, Context *ctx) {
  drop(dit, ctx);
  info_of(dit)->status &= static_cast<uint8_t>(~kStateFlags);
}

void set_or_exit(int sock, int level, int name, const void *value, socklen_t size, const char *what,
                 int status) {
  if (setsockopt(sock, level, name, value, size) == 0) return;
  std::perror(what);
  close(sock);
  std::exit(status);
}

// A unicast client takes datagrams from its server only: the connected
// socket drops whatever anyone else sends. A connect that failed may still
// have bound the port, so what queued before this one is dropped too; none
// of it is the server's, since nothing is sent before the connect.
int connect_client(Context &ctx) {
  if (ctx.connected) return 0;
  if (connect(ctx.sock, reinterpret_cast<const sockaddr *>(&ctx.peer), sizeof ctx.peer) != 0)
    return -1;
  ctx.connected = true;
  char drop;
  while (recv(ctx.sock, &drop, 1, MSG_DONTWAIT) >= 0) {
  }
  return 0;
}

// Before a transfer of a unicast client: its server must be reachable (no
// route at the open, as while the network comes up, is retried here).
int reach_server(ZRDB_DIT *dit, Context &ctx, uint32_t &errors, const char *func) {
  if (!ctx.fixedPeer || connect_client(ctx) == 0) return 0;
  const int err = errno;
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &ctx.peer.sin_addr, address, sizeof address);
  log_message(LogLevel::Warn, func, "ZRDB(%d): server %s:%d not reachable, %s!\n", dit->desc->did,
              address, ntohs(ctx.peer.sin_port), std::strerror(err));
  count(errors);
  return -1;
}

int open_client(Context &ctx, const Endpoint &e) {
  ctx.sock = udp_socket_above_stdio();
  if (ctx.sock < 0) {
    log_message(LogLevel::Err, "zrdbrmtbuf_open", "Create remote socket failed, %s\n",
                std::strerror(errno));
    return -1;
  }
  in_addr addr{};
  inet_aton(e.ipAddr, &addr);
  if (net_ip__is_multicast_ip(addr.s_addr) == 0) {
    ctx.peer = ipv4(addr.s_addr, e.port);
    ctx.fixedPeer = true;
    (void)connect_client(ctx);  // else at the first transfer
    return 0;
  }
  ctx.mcast = 1;
  ctx.mcastDest = ipv4(addr.s_addr, e.port);
  const unsigned char loop = 0;  // the sender must not receive its own datagrams
  set_or_exit(ctx.sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop,
              "Setting IP_MULTICAST_LOOP error", 1);
  char local[20];
  in_addr iface{};
  if (get_ip_from_inf(e.nic, local, sizeof local) == 0 && inet_aton(local, &iface) != 0) {
    set_or_exit(ctx.sock, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface,
                "Setting local interface error", 1);
  }
  return 0;
}

int open_server(Context &ctx, const Endpoint &e) {
  ctx.sock = udp_socket_above_stdio();
  const int on = 1;
  if (ctx.sock < 0 || setsockopt(ctx.sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    log_message(LogLevel::Warn, "zrdbrmtbuf_open", "SO_REUSEADDR failed %s\n",
                std::strerror(errno));
    if (ctx.sock >= 0) close(ctx.sock);
    std::exit(1);
  }
  if (e.nic[0] != '\0') {
    char device[32] = {};
    std::memcpy(device, e.nic, std::min(std::strlen(e.nic), kMaxInterfaceName));
    if (setsockopt(ctx.sock, SOL_SOCKET, SO_BINDTODEVICE, device, sizeof device) != 0) {
      log_message(LogLevel::Err, "zrdbrmtbuf_open",
                  "bind to device(SO_BINDTODEVICE, nic:%s),failed, %s\n", e.nic,
                  std::strerror(errno));
      close(ctx.sock);
      std::exit(255);
    }
  }
  in_addr group{};
  inet_aton(e.ipAddr, &group);
  ctx.mcast = net_ip__is_multicast_ip(group.s_addr);
  const sockaddr_in local = ipv4(ctx.mcast != 0 ? group.s_addr : htonl(INADDR_ANY), e.port);
  if (bind(ctx.sock, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
    log_message(LogLevel::Err, "zrdbrmtbuf_open", "Bind remote ipc failed, %s\n",
                std::strerror(errno));
    return -1;
  }
  if (ctx.mcast != 0) {
    ip_mreq join{};
    join.imr_multiaddr = group;
    join.imr_interface.s_addr = htonl(INADDR_ANY);
    char address[20];
    if (get_ip_from_inf(e.nic, address, sizeof address) == 0)
      inet_aton(address, &join.imr_interface);
    set_or_exit(ctx.sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join,
                "Adding multicast group error", 255);
    log_message(LogLevel::Info, "zrdbrmtbuf_open", "Adding multicast group...OK.\n");
  }
  return 0;
}

// The whole length of the datagram, also when it did not fit.
ssize_t receive_now(Context &ctx, ZRDB_RMTBUF_PARA &p, sockaddr_in &from) {
  socklen_t size = sizeof from;
  return recvfrom(ctx.sock, p.buf, static_cast<size_t>(p.size),
                  MSG_DONTWAIT | MSG_NOSIGNAL | MSG_TRUNC, reinterpret_cast<sockaddr *>(&from),
                  &size);
}

int receive(ZRDB_DIT *dit, Context &ctx, ZRDB_RMTBUF_PARA &p, const char *func) {
  ZRDB_RMTBUF_INFO *info = info_of(dit);
  if (reach_server(dit, ctx, info->rxErr, func) != 0) return -1;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  sockaddr_in from{};
  ssize_t n = 0;
  // A datagram already queued is taken at once: the wait costs a system
  // call that a busy endpoint does not need. A refusal queued on a client's
  // socket is about an earlier datagram of its own (no server listened):
  // the read goes on waiting for this answer.
  while ((n = receive_now(ctx, p, from)) < 0 &&
         (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED)) {
    if (errno == ECONNREFUSED) continue;
    const int ready = wait_readable(ctx.sock, start);
    if (ready < 0) {
      log_message(LogLevel::Warn, func, "wait remote reponse failed, %s!\n", std::strerror(errno));
      return -1;
    }
    if (ready == 0) return -1;
  }
  if (n < 0) {
    log_message(LogLevel::Err, func, "recv failed, %s!\n", std::strerror(errno));
    count(info->rxErr);
    return -1;
  }
  if (n > p.size) {
    log_message(LogLevel::Warn, func,
                "ZRDB(%d): a datagram of %zd bytes did not fit the %d bytes given: truncated!\n",
                dit->desc->did, n, p.size);
    count(info->rxErr);
    return -1;
  }
  // A server answers whoever sent last; a client's server stays its own.
  if (!ctx.fixedPeer) ctx.peer = from;
  p.len = static_cast<int32_t>(n);
  count(info->rxCount);
  if (trace_of(info) == 1) log_debug(1, func, "Get Data bytes(%d)\n", p.len);
  return 0;
}

// One datagram to the destination of the role. A connected client's socket
// may hold a refusal of an earlier datagram (no server was listening then):
// it fails one send, not sending, and is not about this datagram.
ssize_t send_now(Context &ctx, const ZRDB_RMTBUF_PARA &p, const sockaddr_in &dest) {
  if (!ctx.connected)
    return sendto(ctx.sock, p.buf, static_cast<size_t>(p.size), 0,
                  reinterpret_cast<const sockaddr *>(&dest), sizeof dest);
  ssize_t n = send(ctx.sock, p.buf, static_cast<size_t>(p.size), MSG_NOSIGNAL);
  if (n < 0 && errno == ECONNREFUSED)
    n = send(ctx.sock, p.buf, static_cast<size_t>(p.size), MSG_NOSIGNAL);
  return n;
}

int send(ZRDB_DIT *dit, Context &ctx, const ZRDB_RMTBUF_PARA &p, const char *func) {
  ZRDB_RMTBUF_INFO *info = info_of(dit);
  if (reach_server(dit, ctx, info->txErr, func) != 0) return -1;
  const sockaddr_in &dest = ctx.mcast != 0 ? ctx.mcastDest : ctx.peer;
  if (dest.sin_port == 0) {
    // A server before its first datagram, or a multicast server: an
    // all-zero destination is not one.
    log_message(LogLevel::Warn, func, "ZRDB(%d): no destination to send to yet!\n", dit->desc->did);
    count(info->txErr);
    return -1;
  }
  if (send_now(ctx, p, dest) < 0) {
    const int err = errno;
    Endpoint e{};
    char local[20];
    in_addr iface{};
    // The interface may have been replaced since the open: the next send
    // goes out where it now is.
    if (ctx.mcast != 0 && err == ENODEV && endpoint_of(dit, e) == 0 &&
        get_ip_from_inf(e.nic, local, sizeof local) == 0 && inet_aton(local, &iface) != 0 &&
        setsockopt(ctx.sock, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) == 0) {
      std::printf("zrdb_rmtbuf: successfully reset multicast nic!!\n");
    }
    log_message(LogLevel::Warn, func, "Put data failed failed, %s!\n", std::strerror(err));
    count(info->txErr);
    return -1;
  }
  count(info->txCount);
  if (trace_of(info) == 1) log_debug(1, func, "Put Data bytes(%d)\n", p.size);
  return 0;
}

int rmtbuf_call(const char *caller, int32_t zrdid, int32_t op, ZRDB_RMTBUF_PARA &p) {
  return call_ctrl({.caller = caller,
                    .id = zrdid,
                    .inactive = Inactive::Unchecked,
                    .type = ZRDB_TYPE_RMTBUF,
                    .altType = ZRDB_TYPE_VLINKBUF},
                   op, reinterpret_cast<intptr_t>(&p));
}

}  // namespace
}  // namespace zrdb

using zrdb::Context;

extern "C" {

int zrdbrmtbuf_create(ZRDB_DIT *dit) {
  ZRDB_RMTBUF_INFO *info = zrdb::info_of(dit);
  std::memset(&info->status, 0, zrdb::kStatusBlock);
  zrdb::copy_padded(info->owner, "NONAME");
  if (parseProtocolInfo(zrdb::item_text(dit).text, info) != 0) {
    ZRDB_LOG(Err, "ZRDB(%d): Parsing Remote Buffer syntax failed!\n", dit->desc->did);
    return -1;
  }
  return 0;
}

int zrdbrmtbuf_open(ZRDB_DIT *dit) {
  ZRDB_RMTBUF_INFO *info = zrdb::info_of(dit);
  const int32_t did = dit->desc->did;
  // The open reads the text itself: the parsed fields are shared input.
  zrdb::Endpoint e{};
  if (zrdb::endpoint_of(dit, e) != 0) {
    ZRDB_LOG(Err, "ZRDB(%d): Parsing Remote Buffer syntax failed!\n", did);
    return -1;
  }
  if (!e.portExact || std::strlen(e.nic) > zrdb::kMaxInterfaceName) {
    ZRDB_LOG(Err,
             "ZRDB(%d): Remote buffer needs a port of 1..65535 and an interface name of at most "
             "15 characters!\n",
             did);
    return -1;
  }
  int32_t lockFd = -1;
  // The statistics belong to the running owner: only a server that holds the
  // lock starts them anew; a refused server, a client or a printing process
  // leaves them as they are.
  if (e.role == ZRDB_RMTBUF_ROLE_SERVER) {
    if ((lockFd = zrdb::item_lock_acquire(__func__, did)) < 0) return -1;
    std::memset(&info->status, 0, zrdb::kStatusBlock);
  }
  auto *ctx = static_cast<Context *>(std::calloc(1, sizeof(Context)));
  if (ctx == nullptr) {
    ZRDB_LOG(Err, "ZRDB(%d): Remote buffer Entry allocation failed!\n", did);
    zrdb::item_lock_release(lockFd);
    return -1;
  }
  ctx->lockFd = lockFd;
  ctx->sock = -1;
  zrdb::copy_padded(info->owner, zrdbdbg_app_name);
  info->status = static_cast<uint8_t>((info->status & ~zrdb::kStateFlags) | 1u);
  const int rc =
      e.role == ZRDB_RMTBUF_ROLE_CLIENT ? zrdb::open_client(*ctx, e) : zrdb::open_server(*ctx, e);
  if (rc != 0) {
    zrdb::release(dit, ctx);
    return -1;
  }
  dit->para = reinterpret_cast<intptr_t>(ctx);
  return 0;
}

int zrdbrmtbuf_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  auto *p = reinterpret_cast<ZRDB_RMTBUF_PARA *>(para);
  Context *ctx = zrdb::context_of(dit);
  const int32_t did = dit->desc->did;
  if (p == nullptr || ctx == nullptr || ctx->sock < 0) {
    ZRDB_LOG(Warn, " REMOTE BUFFER is not been initialized!!!!\n");
    return -1;
  }
  const bool transfer = op == ZRDBRMTBUF_READ || op == ZRDBRMTBUF_WRITE;
  if (transfer && (p->size < 0 || (p->buf == nullptr && p->size > 0))) {
    ZRDB_LOG(Err, "ZRDB(%d):null buffer or negative size(%d)\n", did, p->size);
    return -1;
  }
  switch (op) {
    case ZRDBRMTBUF_READ:
      return zrdb::receive(dit, *ctx, *p, __func__);
    case ZRDBRMTBUF_WRITE:
      return zrdb::send(dit, *ctx, *p, __func__);
    case ZRDBRMTBUF_GETFD:
      p->buf = reinterpret_cast<void *>(static_cast<intptr_t>(ctx->sock));
      if (zrdb::trace_of(zrdb::info_of(dit)) == 1)
        zrdb::log_debug(1, __func__, "ZRDBRMTBUF_GETFD\n");
      return 0;
    case 3:
      return 0;
    default:
      ZRDB_LOG(Warn, "ZRDB(%d): INVALID OPERATION(%d)!\n", did, op);
      return -1;
  }
}

int zrdbrmtbuf_iprint(ZRDB_DIT *dit, int32_t index, int32_t cmd) {
  const ZRDB_ITEM_DESC *desc = dit->desc;
  ZRDB_RMTBUF_INFO *info = zrdb::info_of(dit);
  const auto [command, argument] = zrdb::stat_command(cmd);
  if (command == zrdb::StatCommand::Reset) {
    if (zrdb::trace_of(info) == 1) {
      zrdb::log_debug(1, __func__, "ZRDB(%d,%d):Reset %.31s statistic counter!\n", desc->did, index,
                      desc->name);
    }
    for (uint32_t *word :
         {&info->marks[0], &info->txCount, &info->rxCount, &info->txErr, &info->rxErr})
      zrdb::store(*word, 0);
  } else if (command == zrdb::StatCommand::SetTrace) {
    zrdb::store(info->trace, argument);
    ZRDB_LOG(Info, "ZRDB(%d,%d): Set debug level %d !\n", desc->did, index, argument);
    if (argument == 2) zrdb::store(info->marks[0], 0);
    if (argument == 3) {
      zrdb::store(info->marks[1], 0);
      zrdb::store(info->marks[2], 999999);
    }
  } else {
    const uint8_t proto = info->proto;
    std::printf("%-32.31s=Remote Buffer\nUser  =  %.64s \nProtocol string   = %s:%s://%.16s:%d\n",
                desc->name, info->owner,
                (proto & zrdb::kRoleBits) == ZRDB_RMTBUF_ROLE_SERVER ? "server" : "client",
                (proto & zrdb::kProtocolBits) == 0 ? "udp" : "none", info->ipAddr, info->port);
    std::printf("Status: %d\n", info->status & zrdb::kStateFlags);
    std::printf("%10u%10u\n", zrdb::load(info->txCount), zrdb::load(info->rxCount));
  }
  return 0;
}

int zrdbrmtbuf_print(ZRDB_DIT *dit, int32_t cmd) { return zrdbrmtbuf_iprint(dit, 0, cmd); }

int zrdbrmtbuf_close(ZRDB_DIT *dit) {
  Context *ctx = zrdb::context_of(dit);
  if (ctx == nullptr) return -1;
  // A forked child drops its copies; the status bits stay the opener's.
  if (zrdb::opened_here(*dit)) {
    zrdb::release(dit, ctx);
  } else {
    zrdb::drop(dit, ctx);
  }
  return 0;
}

int zrdb_rmtbufRead(int32_t zrdid, void *buf, int32_t size, int32_t *len) {
  ZRDB_RMTBUF_PARA p{buf, size, 0};
  const int rc = zrdb::rmtbuf_call(__func__, zrdid, ZRDBRMTBUF_READ, p);
  if (rc == 0 && len != nullptr) *len = p.len;
  return rc;
}

int zrdb_rmtbufWrite(int32_t zrdid, const void *buf, int32_t size) {
  // The block serves both directions; a write only reads through it.
  ZRDB_RMTBUF_PARA p{const_cast<void *>(buf), size, 0};
  return zrdb::rmtbuf_call(__func__, zrdid, ZRDBRMTBUF_WRITE, p);
}

}  // extern "C"
