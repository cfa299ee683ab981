// Codec of the messages between two daemons (layout in message.h).
#include "message.h"

#include <cstring>

#include "sync_message.h"

namespace vlinkd {
namespace {

constexpr size_t kItemFields = 8;  // itemId, itemIdx of Get and Set
constexpr size_t kGetBody = kItemFields + 2;

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t *p) { return static_cast<uint32_t>(be16(p)) << 16 | be16(p + 2); }
void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t *p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v >> 16));
  put16(p + 2, static_cast<uint16_t>(v));
}

}  // namespace

const char *decode_message(std::span<const uint8_t> bytes, Message &out) {
  if (bytes.size() < kMessageHeader) return "shorter than its header";
  const uint8_t *p = bytes.data();
  const uint8_t *body = p + kMessageHeader;
  const size_t len = bytes.size() - kMessageHeader;
  out = Message{};
  out.id = be32(p + 1);
  switch (p[0]) {
    case static_cast<uint8_t>(MessageType::Get):
    case static_cast<uint8_t>(MessageType::Set):
      out.type = static_cast<MessageType>(p[0]);
      if (len < kItemFields) return "item request shorter than its fields";
      out.itemId = static_cast<int32_t>(be32(body));
      out.itemIdx = static_cast<int32_t>(be32(body + 4));
      if (out.type == MessageType::Get) {
        if (len != kGetBody) return "get body is not 10 bytes";
        out.size = be16(body + kItemFields);
        return out.size <= kMaxValue ? nullptr : "get of more than 512 bytes";
      }
      if (len - kItemFields > kMaxValue) return "set value above 512 bytes";
      out.valueLen = static_cast<uint16_t>(len - kItemFields);
      std::memcpy(out.value, body + kItemFields, out.valueLen);
      return nullptr;
    case static_cast<uint8_t>(MessageType::Sync):
      out.type = MessageType::Sync;
      if (len > kSyncDatagramMax) return "sync message above 280 bytes";
      out.valueLen = static_cast<uint16_t>(len);
      std::memcpy(out.value, body, len);
      return nullptr;
    case static_cast<uint8_t>(MessageType::Result):
      out.type = MessageType::Result;
      if (len < 1) return "result without its outcome";
      if (body[0] > static_cast<uint8_t>(Outcome::NotAllowed)) return "unknown outcome";
      out.outcome = static_cast<Outcome>(body[0]);
      if (len - 1 > kMaxValue) return "result value above 512 bytes";
      if (out.outcome != Outcome::Done && len != 1) return "failed result with a value";
      out.valueLen = static_cast<uint16_t>(len - 1);
      std::memcpy(out.value, body + 1, out.valueLen);
      return nullptr;
    default:
      return "unknown message type";
  }
}

size_t encode_message(const Message &m, std::span<uint8_t, kMaxMessage> out) {
  uint8_t *p = out.data();
  uint8_t *body = p + kMessageHeader;
  size_t len = 0;
  if (m.valueLen > kMaxValue) return 0;
  switch (m.type) {
    case MessageType::Get:
    case MessageType::Set:
      put32(body, static_cast<uint32_t>(m.itemId));
      put32(body + 4, static_cast<uint32_t>(m.itemIdx));
      len = kItemFields;
      if (m.type == MessageType::Get) {
        if (m.size > kMaxValue) return 0;
        put16(body + kItemFields, m.size);
        len = kGetBody;
        break;
      }
      std::memcpy(body + len, m.value, m.valueLen);
      len += m.valueLen;
      break;
    case MessageType::Sync:
      if (m.valueLen > kSyncDatagramMax) return 0;
      std::memcpy(body, m.value, m.valueLen);
      len = m.valueLen;
      break;
    case MessageType::Result:
      if (m.outcome != Outcome::Done && m.valueLen != 0) return 0;
      body[0] = static_cast<uint8_t>(m.outcome);
      std::memcpy(body + 1, m.value, m.valueLen);
      len = 1 + m.valueLen;
      break;
    default:
      return 0;
  }
  p[0] = static_cast<uint8_t>(m.type);
  put32(p + 1, m.id);
  return kMessageHeader + len;
}

}  // namespace vlinkd
