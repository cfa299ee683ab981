// Sync messages: what a peer's library sends when an item with a `syncto`
// record is written (mode 0) or read (mode 1). A 24-byte big-endian header
// (txid, mode, remoteId, idx, len, cs) and `len` payload bytes; cs is
// vlink_calc_syncto_msg_cs of the header. The datagram is outside input:
// decode_sync checks every field before anything is applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>

namespace vlinkd {

inline constexpr size_t kSyncHeader = 24;
inline constexpr size_t kSyncPayloadMax = 256;
inline constexpr size_t kSyncDatagramMax = kSyncHeader + kSyncPayloadMax;

struct SyncMessage {
  uint32_t txid = 0;
  uint32_t mode = 0;
  uint32_t remoteId = 0;
  uint32_t idx = 0;
  uint32_t len = 0;
  const uint8_t *payload = nullptr;  // points into the datagram
};

// Fills `out` from a whole datagram; returns nullptr, or why it is refused
// (short, a length that is above 256 or not the datagram's, a bad checksum).
const char *decode_sync(std::span<const uint8_t> datagram, SyncMessage &out);

// Why the write `m` cannot be applied to this process's database, or
// nullptr: the item must be defined, bound here with an element setter (a
// user, integer or string item) and have element idx. Checked before the
// library is called, which would log every refusal itself, to the system
// log, at whatever rate datagrams are sent.
const char *refuse_target(const SyncMessage &m);

// Counts txid gaps per sender. Each sending process numbers its messages
// from 0, so a sender is one link; the table is bounded and is
// emptied when it is full (the next message of each sender sets its base).
class TxidTracker {
 public:
  // Returns the number of messages missing before `txid` (0: in order or the
  // first of its sender; 0 also after a jump back, which a restarted sender
  // makes; restarted() tells those apart).
  uint32_t see(uint64_t sender, uint32_t txid);
  bool restarted() const { return restarted_; }

 private:
  static constexpr size_t kMaxSenders = 64;
  std::map<uint64_t, uint32_t> next_;
  bool restarted_ = false;
};

}  // namespace vlinkd
