// Receiving and applying sync messages.
#include "sync_source.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "connection.h"
#include "server.h"
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
  at.sin_addr = config_.listenAddr;
  at.sin_port = htons(config_.syncPort);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0) {
    logf(Level::Error, "sync port %s:%u: %s", config_.listenHost.c_str(), config_.syncPort,
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

size_t SyncSource::collect(std::vector<pollfd> &fds) const {
  if (fd_ < 0) return 0;
  fds.push_back({fd_, POLLIN, 0});
  return 1;
}

void SyncSource::handle(const pollfd &entry) {
  if ((entry.revents & POLLIN) == 0) return;
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
      if (!configured_peer(config_, from.sin_addr)) {
        ++strangers_;
        continue;
      }
      const uint64_t sender = static_cast<uint64_t>(from.sin_addr.s_addr) << 16 | from.sin_port;
      apply(datagram, static_cast<size_t>(n), sender);
    } else {
      if (round > 0 && !readable_now(fd_)) return;
      int32_t n = 0;
      if (zrdb_rmtbufRead(item_, datagram, sizeof datagram, &n) != 0) return;
      apply(datagram, static_cast<size_t>(n), 0);
    }
  }
}

void SyncSource::apply(const uint8_t *datagram, size_t size, uint64_t sender) {
  uint32_t held = 0;
  SyncMessage m;
  if (const char *why = decode_sync({datagram, size}, m)) {
    ++bad_;
    if (log_.allow(held))
      logf(Level::Warn, "sync message of %zu bytes dropped: %s (%u more held back)", size, why,
           held);
    return;
  }
  if (const uint32_t missing = txids_.see(sender, m.txid); missing != 0) {
    ++gaps_;
    lost_ += missing;
    if (log_.allow(held))
      logf(Level::Warn, "sync txid %u: %u messages missing before it (%u more held back)", m.txid,
           missing, held);
  } else if (txids_.restarted() && log_.allow(held)) {
    logf(Level::Info, "sync txid %u: the sender started again", m.txid);
  }
  if (m.mode != 0) {
    ++reads_;
    return;
  }
  if (const char *why = refuse_target(m)) {
    ++refused_;
    if (log_.allow(held))
      logf(Level::Warn, "sync of item (%u,%u) refused: %s (%u more held back)", m.remoteId, m.idx,
           why, held);
    return;
  }
  const int rc = zrdb_local_setiValue(static_cast<int32_t>(m.remoteId), static_cast<int32_t>(m.idx),
                                      m.payload, static_cast<int32_t>(m.len));
  if (rc < 0) {
    ++refused_;
    if (log_.allow(held))
      logf(Level::Warn, "sync of item (%u,%u) refused by the database (%d) (%u more held back)",
           m.remoteId, m.idx, rc, held);
    return;
  }
  ++applied_;
}

void SyncSource::report() const {
  if (fd_ < 0) return;
  logf(Level::Info,
       "sync messages: %llu applied, %llu read notices, %llu refused by the database, %llu bad, "
       "%llu gaps (%llu missing), %llu from strangers",
       static_cast<unsigned long long>(applied_), static_cast<unsigned long long>(reads_),
       static_cast<unsigned long long>(refused_), static_cast<unsigned long long>(bad_),
       static_cast<unsigned long long>(gaps_), static_cast<unsigned long long>(lost_),
       static_cast<unsigned long long>(strangers_));
}

}  // namespace vlinkd
