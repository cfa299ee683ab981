// Frame codec of the link protocol (layout in frame.h and README.md).
#include "frame.h"

#include <cstring>

namespace vlinkd {
namespace {

constexpr size_t kItemHeader = 12;  // itemId, itemIdx, aux of Get and Set
constexpr size_t kGetBody = kItemHeader + 2;
constexpr size_t kResultHeader = 4;

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t *p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v >> 16));
  put16(p + 2, static_cast<uint16_t>(v));
}

Decoded malformed(const char *why) { return {DecodeStatus::Malformed, 0, why}; }

bool known_type(uint8_t type) {
  return type >= static_cast<uint8_t>(FrameType::Hello) &&
         type <= static_cast<uint8_t>(FrameType::Pong);
}

// Checks the body against its type and fills `out`; nullptr or the reason.
const char *decode_body(const uint8_t *body, size_t len, Frame &out) {
  switch (out.type) {
    case FrameType::Hello:
      if (len != 2) return "hello body is not 2 bytes";
      out.link = be16(body);
      return nullptr;
    case FrameType::HelloAck:
    case FrameType::Ping:
    case FrameType::Pong:
      return len == 0 ? nullptr : "body where none belongs";
    case FrameType::Get:
    case FrameType::Set:
      if (len < kItemHeader) return "item request shorter than its fields";
      out.itemId = static_cast<int32_t>(be32(body));
      out.itemIdx = static_cast<int32_t>(be32(body + 4));
      out.aux = be32(body + 8);
      if (out.type == FrameType::Get) {
        if (len != kGetBody) return "get body is not 14 bytes";
        out.size = be16(body + kItemHeader);
        return out.size <= kMaxValue ? nullptr : "get of more than 512 bytes";
      }
      if (len - kItemHeader > kMaxValue) return "set value above 512 bytes";
      out.valueLen = static_cast<uint16_t>(len - kItemHeader);
      std::memcpy(out.value, body + kItemHeader, out.valueLen);
      return nullptr;
    case FrameType::Result:
      if (len < kResultHeader) return "result shorter than its code";
      if (len - kResultHeader > kMaxValue) return "result value above 512 bytes";
      out.result = static_cast<int32_t>(be32(body));
      if (out.result != 0 && len != kResultHeader) return "failed result with a value";
      out.valueLen = static_cast<uint16_t>(len - kResultHeader);
      std::memcpy(out.value, body + kResultHeader, out.valueLen);
      return nullptr;
  }
  return "unknown frame type";
}

}  // namespace

Decoded decode_frame(std::span<const uint8_t> bytes, Frame &out) {
  const size_t n = bytes.size();
  const uint8_t *p = bytes.data();
  if (n >= 1 && p[0] != kFrameMagic >> 8) return malformed("bad magic");
  if (n >= 2 && p[1] != (kFrameMagic & 0xFF)) return malformed("bad magic");
  if (n >= 3 && p[2] != kFrameVersion) return malformed("unsupported version");
  if (n >= 4 && !known_type(p[3])) return malformed("unknown frame type");
  if (n < 6) return {};
  const size_t length = be16(p + 4);
  if (length > kMaxFrame - kFrameHeader) return malformed("frame above 1024 bytes");
  if (n < kFrameHeader + length) return {};
  out = Frame{};
  out.type = static_cast<FrameType>(p[3]);
  out.id = be32(p + 6);
  if (const char *why = decode_body(p + kFrameHeader, length, out)) return malformed(why);
  return {DecodeStatus::Complete, kFrameHeader + length, nullptr};
}

size_t encode_frame(const Frame &frame, std::span<uint8_t, kMaxFrame> out) {
  uint8_t *p = out.data();
  uint8_t *body = p + kFrameHeader;
  size_t len = 0;
  switch (frame.type) {
    case FrameType::Hello:
      put16(body, frame.link);
      len = 2;
      break;
    case FrameType::HelloAck:
    case FrameType::Ping:
    case FrameType::Pong:
      break;
    case FrameType::Get:
    case FrameType::Set:
      put32(body, static_cast<uint32_t>(frame.itemId));
      put32(body + 4, static_cast<uint32_t>(frame.itemIdx));
      put32(body + 8, frame.aux);
      len = kItemHeader;
      if (frame.type == FrameType::Get) {
        if (frame.size > kMaxValue) return 0;
        put16(body + kItemHeader, frame.size);
        len = kGetBody;
        break;
      }
      if (frame.valueLen > kMaxValue) return 0;
      std::memcpy(body + len, frame.value, frame.valueLen);
      len += frame.valueLen;
      break;
    case FrameType::Result:
      if (frame.valueLen > kMaxValue || (frame.result != 0 && frame.valueLen != 0)) return 0;
      put32(body, static_cast<uint32_t>(frame.result));
      std::memcpy(body + kResultHeader, frame.value, frame.valueLen);
      len = kResultHeader + frame.valueLen;
      break;
    default:
      return 0;
  }
  put16(p, kFrameMagic);
  p[2] = kFrameVersion;
  p[3] = static_cast<uint8_t>(frame.type);
  put16(p + 4, static_cast<uint16_t>(len));
  put32(p + 6, frame.id);
  return kFrameHeader + len;
}

}  // namespace vlinkd
