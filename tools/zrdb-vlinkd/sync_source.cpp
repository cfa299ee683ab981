// Receiving and applying sync messages.
#include "sync_source.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "zrdb.h"

namespace vlinkd {
namespace {

constexpr int kDatagramsPerRound = 32;  // then the other sources get their turn

bool readable_now(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

SyncSource::~SyncSource() {
  if (ownSocket_ && fd_ >= 0) close(fd_);
}

bool SyncSource::open_port() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ownSocket_ = true;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  inet_pton(AF_INET, config_.syncHost.c_str(), &at.sin_addr);  // checked by the settings
  at.sin_port = htons(config_.syncPort);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0) {
    logf(Level::Error, "sync port %s:%u: %s", config_.syncHost.c_str(), config_.syncPort,
         std::strerror(errno));
    return false;
  }
  return true;
}

std::string SyncSource::open_item() {
  const std::string &name = config_.syncItem;
  for (const ZRDB_DIDNODE *n = zrdb_getInfoHdr()->didHead; n != nullptr; n = n->next) {
    const char *itemName = zrdb_getName(n->did);
    if (itemName != nullptr && name == itemName) item_ = n->did;
  }
  if (item_ < 0) return "sync-item '" + name + "': no such item";
  if (zrdb_getType(item_) != ZRDB_TYPE_VLINKBUF || zrdb_checkItem(item_) != 0)
    return "sync-item '" + name + "': not a sound vlinkbuf item";
  ZRDB_BLK_INFO block{};
  if (zrdb_getUserBlkInfo(item_, &block) != 0 || block.addr == nullptr ||
      block.size < static_cast<int32_t>(sizeof(ZRDB_RMTBUF_INFO)))
    return "sync-item '" + name + "': no data area";
  const auto *info = static_cast<const ZRDB_RMTBUF_INFO *>(block.addr);
  if ((info->proto & 3) != ZRDB_RMTBUF_ROLE_SERVER)
    return "sync-item '" + name + "': not in server role";
  // The socket, to wait for it among the others: zrdb_rmtbufRead itself
  // would wait up to a second.
  ZRDB_DIT &dit = zrdb_getInfoHdr()->dit[item_];
  ZRDB_RMTBUF_PARA para{};
  if (dit.op == nullptr || dit.op->d_ctrl == nullptr ||
      dit.op->d_ctrl(&dit, ZRDBRMTBUF_GETFD, reinterpret_cast<intptr_t>(&para)) != 0)
    return "sync-item '" + name + "': not open in this process";
  fd_ = static_cast<int>(reinterpret_cast<intptr_t>(para.buf));
  if (fd_ < 0) return "sync-item '" + name + "': has no socket";
  return {};
}

void SyncSource::handle() {
  // One byte more than a message may have: a longer datagram shows up as
  // a length mismatch instead of being cut to a valid-looking size.
  uint8_t datagram[kSyncDatagramMax + 1];
  for (int round = 0; round < kDatagramsPerRound; ++round) {
    if (ownSocket_) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(fd_, datagram, sizeof datagram, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&from), &len);
      if (n < 0) return;
      if ((ntohl(from.sin_addr.s_addr) >> 24) != 127) {
        ++strangers_;
        uint32_t held = 0;
        if (log_.allow(held))
          logf(Level::Warn,
               "sync datagram from %s dropped: not from this system (%u more held back)",
               inet_ntoa(from.sin_addr), held);
        continue;
      }
      take(datagram, static_cast<size_t>(n));
    } else {
      if (round > 0 && !readable_now(fd_)) return;
      int32_t n = 0;
      if (zrdb_rmtbufRead(item_, datagram, sizeof datagram, &n) != 0) return;
      take(datagram, static_cast<size_t>(n));
    }
  }
}

void SyncSource::take(const uint8_t *datagram, size_t size) {
  uint32_t held = 0;
  SyncMessage m;
  if (const char *why = decode_sync({datagram, size}, m)) {
    ++bad_;
    if (log_.allow(held))
      logf(Level::Warn, "sync message of %zu bytes dropped: %s (%u more held back)", size, why,
           held);
    return;
  }
  if (forward_(datagram, size)) {
    ++forwarded_;
    return;
  }
  ++linkDown_;
  if (log_.allow(held))
    logf(Level::Warn, "sync message for item (%u,%u) dropped: link %d is down (%u more held back)",
         m.remoteId, m.idx, config_.syncLink, held);
}

void SyncSource::report() const {
  if (fd_ < 0) return;
  logf(Level::Info,
       "sync messages: %llu forwarded over link %d, %llu dropped while it was down, %llu bad, "
       "%llu from outside this system",
       static_cast<unsigned long long>(forwarded_), config_.syncLink,
       static_cast<unsigned long long>(linkDown_), static_cast<unsigned long long>(bad_),
       static_cast<unsigned long long>(strangers_));
}

}  // namespace vlinkd
