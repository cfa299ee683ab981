// The link protocol between two zrdb-vlinkd: frames on one TCP connection per
// link. The dialling side sends requests, the accepting side answers them.
// Encoding and decoding are pure functions of bytes, so the decoder (which
// reads what any host on the network may send) is fuzzed and tested without
// sockets.
//
// Every frame: a 10-byte header, big-endian, then `length` body bytes.
//   0  u16 magic 0x5A56 ("ZV")   2  u8 version (1)   3  u8 type
//   4  u16 body length            6  u32 request id (an answer carries its request's)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vlinkd {

inline constexpr uint16_t kFrameMagic = 0x5A56;
inline constexpr uint8_t kFrameVersion = 1;
inline constexpr size_t kFrameHeader = 10;
inline constexpr size_t kMaxFrame = 1024;  // header included
inline constexpr size_t kMaxValue = 512;   // what a VLINK transaction carries

enum class FrameType : uint8_t {
  Hello = 1,     // body: u16 link number of the dialling side
  HelloAck = 2,  // empty: the link is up
  Get = 3,       // s32 itemId, s32 itemIdx, u32 aux, u16 size (at most 512)
  Set = 4,       // s32 itemId, s32 itemIdx, u32 aux, then 0..512 value bytes
  Result = 5,    // s32 result (0 or the peer library's negative result), then the
                 // value read by a Get; a failed result carries no value
  Ping = 6,      // empty; answered by Pong
  Pong = 7,
};

struct Frame {
  FrameType type = FrameType::Ping;
  uint32_t id = 0;
  uint16_t link = 0;   // Hello
  int32_t itemId = 0;  // Get, Set
  int32_t itemIdx = 0;
  uint32_t aux = 0;
  uint16_t size = 0;      // Get: bytes asked for
  int32_t result = 0;     // Result
  uint16_t valueLen = 0;  // Set, Result: bytes used in value
  uint8_t value[kMaxValue] = {};
};

enum class DecodeStatus {
  Complete,   // `out` holds the frame, `consumed` its size
  NeedMore,   // a valid beginning: wait for more bytes
  Malformed,  // `error` says why; the connection must go
};

struct Decoded {
  DecodeStatus status = DecodeStatus::NeedMore;
  size_t consumed = 0;
  const char *error = nullptr;
};

// Decodes the frame at the start of `bytes`. The header is judged as far as
// it has arrived, so garbage and an oversize length are refused before their
// body is waited for.
Decoded decode_frame(std::span<const uint8_t> bytes, Frame &out);

// Writes `frame` into `out`; returns its size, or 0 when the frame cannot be
// sent (a value above 512 bytes, a Get above 512, a failed Result with a value).
size_t encode_frame(const Frame &frame, std::span<uint8_t, kMaxFrame> out);

}  // namespace vlinkd
