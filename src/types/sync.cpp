// Mirroring of item accesses to a peer. The access functions call the hook
// before a read, write or print of an item whose syncto mode matches; the
// hook sends one sync message through the remote buffer item the record
// names.
#include <mutex>

#include "core.h"

namespace zrdb {
namespace {

void put_be32(unsigned char *at, uint32_t v) {
  at[0] = static_cast<unsigned char>(v >> 24);
  at[1] = static_cast<unsigned char>(v >> 16);
  at[2] = static_cast<unsigned char>(v >> 8);
  at[3] = static_cast<unsigned char>(v);
}

// The message of the process, reused: a message without a payload of its
// own carries the previous message's bytes. The lock keeps threads that
// mirror at once from sending each other's half-built messages.
struct SyncState {
  std::mutex mutex;
  unsigned char message[ZRDB_SYNC_HDR_SIZE + ZRDB_SYNC_PAYLOAD_MAX] = {};
  uint32_t txid = 0;
};
SyncState g_sync;

}  // namespace
}  // namespace zrdb

extern "C" {

uint32_t vlink_calc_syncto_msg_cs(const void *msg) {
  const auto *b = static_cast<const unsigned char *>(msg);
  const uint32_t first = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  return 5u * first;
}

int zrdb_callSynctoMessageInternal(int32_t did, int32_t idx, const void *buf, int32_t len,
                                   int32_t mode) {
  const ZRDB_ITEM_DESC *desc = zrdb::descriptor(did);
  if (desc == nullptr || desc->syncto.mode != mode) return -1;
  if (!zrdb::sync_wanted(desc, mode)) return 0;
  const ZRDB_SYNCTO to = desc->syncto;
  if (len < 0 || len > ZRDB_SYNC_PAYLOAD_MAX) {
    // The message holds 256 payload bytes: a longer access is not
    // mirrored at all rather than cut, and no txid is spent on it.
    ZRDB_LOG(Warn, "Sync ZRDB Item (%d, %d) to remote (%d) failed: length %d is not 0..%d!\n", did,
             idx, to.remoteId, len, ZRDB_SYNC_PAYLOAD_MAX);
    return 0;
  }
  zrdb::SyncState &s = zrdb::g_sync;
  int rc = 0;
  {
    const std::lock_guard<std::mutex> hold(s.mutex);
    zrdb::put_be32(s.message, s.txid++);
    zrdb::put_be32(s.message + 4, static_cast<uint32_t>(mode));
    zrdb::put_be32(s.message + 8, static_cast<uint32_t>(to.remoteId));
    zrdb::put_be32(s.message + 12, static_cast<uint32_t>(idx));
    zrdb::put_be32(s.message + 16, static_cast<uint32_t>(len));
    zrdb::put_be32(s.message + 20, vlink_calc_syncto_msg_cs(s.message));
    if (buf != nullptr) std::memcpy(s.message + ZRDB_SYNC_HDR_SIZE, buf, static_cast<size_t>(len));
    rc = zrdb_rmtbufWrite(to.rmtDid, s.message, len + ZRDB_SYNC_HDR_SIZE);
  }
  if (rc != 0)
    ZRDB_LOG(Warn, "Sync ZRDB Item (%d, %d) to remote (%d) failed!\n", did, idx, to.remoteId);
  return 0;
}

}  // extern "C"
