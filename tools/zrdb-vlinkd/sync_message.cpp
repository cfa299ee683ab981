// Sync message decoding and txid accounting.
#include "sync_message.h"

#include "zrdb.h"

namespace vlinkd {
namespace {

uint32_t be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

const char *decode_sync(std::span<const uint8_t> datagram, SyncMessage &out) {
  const uint8_t *p = datagram.data();
  if (datagram.size() < kSyncHeader) return "shorter than its header";
  const uint32_t len = be32(p + 16);
  if (len > kSyncPayloadMax) return "payload length above 256";
  if (kSyncHeader + len != datagram.size()) return "payload length is not the datagram's";
  if (be32(p + 20) != vlink_calc_syncto_msg_cs(p)) return "bad checksum";
  out = SyncMessage{be32(p), be32(p + 4), be32(p + 8), be32(p + 12), len, p + kSyncHeader};
  return nullptr;
}

const char *refuse_target(const SyncMessage &m) {
  if (m.remoteId >= ZRDB_MAX_ITEMS) return "item id above 4999";
  const ZRDB_DIT &dit = zrdb_getInfoHdr()->dit[m.remoteId];
  if (dit.op == nullptr || dit.op->d_iset == nullptr || dit.desc == nullptr ||
      (dit.desc->flags & ZRDB_FLAG_ACTIVE) == 0)
    return "no item of a type the daemon writes";
  if (dit.desc->count <= 0 || m.idx >= static_cast<uint32_t>(dit.desc->count))
    return "no such element";
  return nullptr;
}

uint32_t TxidTracker::see(uint64_t sender, uint32_t txid) {
  restarted_ = false;
  auto it = next_.find(sender);
  if (it == next_.end()) {
    if (next_.size() >= kMaxSenders) next_.clear();
    next_.emplace(sender, txid + 1);
    return 0;
  }
  const uint32_t ahead = txid - it->second;  // modulo 2^32: the counter wraps
  it->second = txid + 1;
  if (ahead == 0) return 0;
  if (ahead < 0x80000000u) return ahead;
  restarted_ = true;
  return 0;
}

}  // namespace vlinkd
