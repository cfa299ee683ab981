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

constexpr uint8_t kRoleBits = 0x03;
constexpr uint8_t kProtocolBits = 0x3C;
constexpr size_t kStatusBlock = 36;  // status .. trace
constexpr uint8_t kStateFlags = 0x0F;
constexpr size_t kMaxInterfaceName = 15;  // what the system's interface requests hold
constexpr int kReadTimeoutMs = 1000;

// The protocol text, parsed.
struct Endpoint {
  char ipAddr[16];
  uint8_t role;
  uint16_t port;
  char nic[32];
  bool portExact;  // the port text was a number in 1..65535, as written
};

// A port text that is exactly a number in 1..65535: anything else would
// bind or send elsewhere than the text says.
bool exact_port(const char *text) {
  size_t n = 0;
  for (; text[n] != '\0'; ++n) {
    if (text[n] < '0' || text[n] > '9' || n >= 5) return false;
  }
  const int32_t value = parse_decimal(text);
  return n > 0 && value >= 1 && value <= 65535;
}

int parse_endpoint(const char *text, Endpoint &e) {
  e = {};
  char copy[ZRDB_RMTBUF_TEXT_LEN + 1];
  copy_padded(copy, text);  // at most 128 characters
  constexpr const char *kDelims = " :/\r\n";
  char *save = nullptr;
  const char *role = strtok_r(copy, kDelims, &save);
  if (role == nullptr) return -1;
  if (std::strstr(role, "server") != nullptr) {
    e.role = ZRDB_RMTBUF_ROLE_SERVER;
  } else if (std::strstr(role, "client") != nullptr) {
    e.role = ZRDB_RMTBUF_ROLE_CLIENT;
  } else {
    return -1;
  }
  const char *protocol = strtok_r(nullptr, kDelims, &save);
  if (protocol == nullptr || std::strstr(protocol, "udp") == nullptr) return -1;
  const char *address = strtok_r(nullptr, kDelims, &save);
  if (address == nullptr || zrdb_validate_ip4(address) == 0) return -1;
  copy_padded(e.ipAddr, address);
  const char *port = strtok_r(nullptr, kDelims, &save);
  if (port == nullptr) return -1;
  e.port = static_cast<uint16_t>(parse_decimal(port));
  e.portExact = exact_port(port);
  const char *nic = strtok_r(nullptr, " \r\n", &save);
  if (nic != nullptr) copy_padded(e.nic, 31, nic);  // at most 30 characters
  return 0;
}

// The protocol text of the item, from a bounded copy of the data area.
int endpoint_of(const ZRDB_DIT *dit, Endpoint &e) { return parse_endpoint(item_text(dit).text, e); }

struct Context {
  int32_t lockFd;
  int32_t sock;
  sockaddr_in peer;       // client: the destination; every receive: the sender
  sockaddr_in mcastDest;  // multicast client: the group
  int32_t mcast;
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

// Waits up to a second for a datagram: 1 readable, 0 time-out, -1 error.
int wait_readable(int sock) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t spent =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    pollfd pfd{sock, POLLIN, 0};
    const int rc =
        poll(&pfd, 1, static_cast<int>(spent >= kReadTimeoutMs ? 0 : kReadTimeoutMs - spent));
    if (rc >= 0) return rc > 0 && (pfd.revents & POLLIN) != 0 ? 1 : 0;
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

int open_client(Context &ctx, const Endpoint &e) {
  ctx.sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (ctx.sock < 0) {
    log_message(LogLevel::Err, "zrdbrmtbuf_open", "Create remote socket failed, %s\n",
                std::strerror(errno));
    return -1;
  }
  in_addr addr{};
  inet_aton(e.ipAddr, &addr);
  if (net_ip__is_multicast_ip(addr.s_addr) == 0) {
    ctx.peer = ipv4(addr.s_addr, e.port);
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
  ctx.sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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

ssize_t receive_now(Context &ctx, ZRDB_RMTBUF_PARA &p) {
  socklen_t size = sizeof ctx.peer;
  return recvfrom(ctx.sock, p.buf, static_cast<size_t>(p.size), MSG_DONTWAIT | MSG_NOSIGNAL,
                  reinterpret_cast<sockaddr *>(&ctx.peer), &size);
}

int receive(ZRDB_DIT *dit, Context &ctx, ZRDB_RMTBUF_PARA &p, const char *func) {
  ZRDB_RMTBUF_INFO *info = info_of(dit);
  // A datagram already queued is taken at once: the wait costs a system
  // call that a busy endpoint does not need.
  ssize_t n = receive_now(ctx, p);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    const int ready = wait_readable(ctx.sock);
    if (ready < 0) {
      log_message(LogLevel::Warn, func, "wait remote reponse failed, %s!\n", std::strerror(errno));
      return -1;
    }
    if (ready == 0) return -1;
    n = receive_now(ctx, p);
  }
  if (n < 0) {
    log_message(LogLevel::Err, func, "recv failed, %s!\n", std::strerror(errno));
    count(info->rxErr);
    return -1;
  }
  p.len = static_cast<int32_t>(n);
  count(info->rxCount);
  if (trace_of(info) == 1) log_debug(1, func, "Get Data bytes(%d)\n", p.len);
  return 0;
}

int send(ZRDB_DIT *dit, Context &ctx, const ZRDB_RMTBUF_PARA &p, const char *func) {
  ZRDB_RMTBUF_INFO *info = info_of(dit);
  const sockaddr_in &dest = ctx.mcast != 0 ? ctx.mcastDest : ctx.peer;
  if (dest.sin_port == 0) {
    // A server before its first datagram, or a multicast server: an
    // all-zero destination is not one.
    log_message(LogLevel::Warn, func, "ZRDB(%d): no destination to send to yet!\n", dit->desc->did);
    count(info->txErr);
    return -1;
  }
  if (sendto(ctx.sock, p.buf, static_cast<size_t>(p.size), 0,
             reinterpret_cast<const sockaddr *>(&dest), sizeof dest) < 0) {
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

bool rmtbuf_client_role(const ZRDB_DIT &dit) {
  Endpoint e{};
  return endpoint_of(&dit, e) == 0 && e.role == ZRDB_RMTBUF_ROLE_CLIENT;
}

}  // namespace zrdb

using zrdb::Context;

extern "C" {

int parseProtocolInfo(const char *text, ZRDB_RMTBUF_INFO *info) {
  std::memset(info->nic, 0, sizeof info->nic);
  zrdb::Endpoint e{};
  if (text == nullptr || zrdb::parse_endpoint(text, e) != 0) return -1;
  std::memcpy(info->ipAddr, e.ipAddr, sizeof info->ipAddr);
  info->proto =
      static_cast<uint8_t>((info->proto & ~(zrdb::kRoleBits | zrdb::kProtocolBits)) | e.role);
  info->port = e.port;
  std::memcpy(info->nic, e.nic, sizeof info->nic);
  return 0;
}

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
  std::memset(&info->status, 0, zrdb::kStatusBlock);
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
  if (e.role == ZRDB_RMTBUF_ROLE_SERVER && (lockFd = zrdb::item_lock_acquire(__func__, did)) < 0)
    return -1;
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
  if (p == nullptr || ctx == nullptr || ctx->sock < 1) {
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
