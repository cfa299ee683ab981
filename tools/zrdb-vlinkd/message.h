// What two zrdb-vlinkd say to each other: one ZeroMQ message per request or
// answer (ZeroMQ frames, authenticates and encrypts them). The dialling side
// sends requests, the accepting side answers them. Encoding and decoding are
// pure functions of bytes, so the decoder (which reads what an admitted peer
// sends) is fuzzed and tested without sockets.
//
// Every message: u8 type, u32 request id (an answer carries its request's),
// then the body; big-endian.
//   Get     s32 itemId, s32 itemIdx, u16 size (at most 512)
//   Set     s32 itemId, s32 itemIdx, then 0..512 value bytes
//   Sync    a sync message as the library sent it (checked by decode_sync)
//   Result  u8 outcome, then the value read by a successful Get
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vlinkd {

inline constexpr size_t kMessageHeader = 5;
inline constexpr size_t kMaxValue = 512;  // what a VLINK transaction carries
inline constexpr size_t kMaxMessage = kMessageHeader + 8 + kMaxValue;

enum class MessageType : uint8_t { Get = 1, Set = 2, Sync = 3, Result = 4 };

enum class Outcome : uint8_t {
  Done = 0,
  Refused = 1,     // the peer's library refused the access
  NotAllowed = 2,  // the peer's settings do not let this link do it
};

struct Message {
  MessageType type = MessageType::Get;
  uint32_t id = 0;
  int32_t itemId = 0;  // Get, Set
  int32_t itemIdx = 0;
  uint16_t size = 0;  // Get: bytes asked for
  Outcome outcome = Outcome::Done;
  uint16_t valueLen = 0;  // Set, Sync, Result: bytes used in value
  uint8_t value[kMaxValue] = {};
};

// Fills `out` from one whole message; returns nullptr, or why it is refused.
const char *decode_message(std::span<const uint8_t> bytes, Message &out);

// Writes `m` into `out`; returns its size, or 0 when it cannot be sent (a
// Get above 512, a failed Result with a value).
size_t encode_message(const Message &m, std::span<uint8_t, kMaxMessage> out);

}  // namespace vlinkd
