#include "snapshot.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

#include "peers_file.h"
#include "text.h"
#include "zrdb.h"

namespace zrdbctl {
namespace {

constexpr size_t kMaxHexBytes = 256;  // of a user block: more is cut, and said

template <typename T>
T read_at(const unsigned char *area, size_t offset) {
  T value{};
  std::memcpy(&value, area + offset, sizeof value);
  return value;
}

std::string text_of(const unsigned char *area, size_t size) {
  return std::string(reinterpret_cast<const char *>(area),
                     strnlen(reinterpret_cast<const char *>(area), size));
}

// The fingerprints of the links' peer keys, from the link daemon's file
// (peers_file.h); null for a link it does not name. Anyone may write the
// file: only "N FINGERPRINT" lines with a link below `links` and eight
// printable characters count.
Json peer_fingerprints(int32_t links) {
  Json out = Json::array();
  for (int32_t i = 0; i < links; ++i) out.push_back(nullptr);
  FILE *f = std::fopen(vlinkd::kPeersFile, "re");
  if (f == nullptr) return out;
  char text[vlinkd::kPeersFileMax];
  std::string_view rest(text, std::fread(text, 1, sizeof text, f));
  std::fclose(f);
  constexpr size_t kFingerprint = 8;
  while (!rest.empty()) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(line.size() + 1, rest.size()));
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    int32_t link = 0;
    const auto [end, err] = std::from_chars(line.data(), line.data() + blank, link);
    const std::string_view fp = line.substr(blank + 1);
    if (err != std::errc() || end != line.data() + blank || link < 0 || link >= links ||
        fp.size() != kFingerprint || !std::all_of(fp.begin(), fp.end(), [](char c) {
          return std::isgraph(static_cast<unsigned char>(c));
        }))
      continue;
    out[static_cast<size_t>(link)] = std::string(fp);
  }
  return out;
}

// Fill level of a buffer from its shared indices, or null when they are out
// of range (a damaged or half-written header).
Json level(int32_t rd, int32_t wr, int32_t count) {
  if (count <= 0 || rd < 0 || wr < 0 || rd >= count || wr >= count) return nullptr;
  return (wr - rd + count) % count;
}

void plain_values(Snapshot &s, const ZRDB_ITEM_DESC &d, const unsigned char *area,
                  bool signedValues) {
  Json values = Json::array();
  if (d.type == ZRDB_TYPE_USER) {
    std::string hex;
    for (size_t i = 0; i < static_cast<size_t>(d.size) && i < kMaxHexBytes; ++i) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", area[i]);
      hex += two;
    }
    s.fields.emplace_back("hex", hex);
    if (static_cast<size_t>(d.size) > kMaxHexBytes) s.fields.emplace_back("cut", true);
    return;
  }
  const auto width = static_cast<size_t>(d.count > 0 ? d.size / d.count : 0);
  for (int32_t i = 0; i < d.count; ++i) {
    const size_t at = static_cast<size_t>(i) * width;
    if (d.type == ZRDB_TYPE_INTEGER) {
      values.push_back(integer_value(area + at, width, signedValues));
    } else {
      values.push_back(json_text(text_of(area + at, width)));
    }
  }
  s.fields.emplace_back("values", std::move(values));
}

void transport_fields(Snapshot &s, const ZRDB_ITEM_DESC &d, const unsigned char *area) {
  switch (d.type) {
    case ZRDB_TYPE_THRD_RBUF: {
      const auto info = read_at<ZRDB_RBUF_INFO>(area, 0);
      s.fields = {{"owner", json_text(std::string(info.owner, strnlen(info.owner, 32)))},
                  {"open", (info.flags & 1u) != 0},
                  {"fb", info.fb},
                  {"uc", static_cast<int32_t>(info.uc)},
                  {"muc", info.muc},
                  {"afc", info.afc},
                  {"trace", info.trace}};
      return;
    }
    case ZRDB_TYPE_THRD_FIFO: {
      s.fields.emplace_back("owner", json_text(text_of(area, ZRDB_TFIFO_OWNER_LEN)));
      Json fifos = Json::array();
      for (int32_t i = 0; i < d.count; ++i) {
        const auto st = read_at<ZRDB_TFIFO_STAT>(
            area, sizeof(ZRDB_TFIFO_HDR) + static_cast<size_t>(i) * sizeof(ZRDB_TFIFO_STAT));
        fifos.push_back({{"mbc", st.mbc}, {"trace", st.trace}});
      }
      s.fields.emplace_back("fifos", std::move(fifos));
      return;
    }
    default: {  // rmtbuf, vlinkbuf
      const auto info = read_at<ZRDB_RMTBUF_INFO>(area, 0);
      s.fields = {{"owner", json_text(std::string(info.owner, strnlen(info.owner, 64)))},
                  {"protocol", json_text(text_of(area, ZRDB_RMTBUF_TEXT_LEN))},
                  {"open", (info.status & 1u) != 0},
                  {"tx", info.txCount},
                  {"rx", info.rxCount},
                  {"txErr", info.txErr},
                  {"rxErr", info.rxErr},
                  {"trace", info.trace}};
      return;
    }
  }
}

}  // namespace

int64_t integer_value(const unsigned char *bytes, size_t width, bool asSigned) {
  width = std::min<size_t>(width, 4);
  uint32_t word = 0;
  std::memcpy(&word, bytes, width);  // the bytes set wrote: the word's first ones
  const unsigned bits = 8 * static_cast<unsigned>(width);
  if (!asSigned || width == 0 || (word >> (bits - 1) & 1u) == 0) return word;
  return static_cast<int64_t>(word) - (int64_t{1} << bits);
}

Snapshot take_snapshot(int32_t id, bool signedValues) {
  Snapshot s;
  const ZRDB_ITEM_DESC &d = *zrdb_getInfoHdr()->dit[id].desc;
  s.id = id;
  s.name.assign(d.name, strnlen(d.name, sizeof d.name));
  s.type = DBITEMTYPE_MAP[d.type].key;
  ZRDB_BLK_INFO blk{};
  if (zrdb_getUserBlkInfo(id, &blk) != 0 || blk.addr == nullptr) return s;
  const auto *area = static_cast<const unsigned char *>(blk.addr);
  switch (d.type) {
    case ZRDB_TYPE_USER:
    case ZRDB_TYPE_INTEGER:
    case ZRDB_TYPE_STRING:
      plain_values(s, d, area, signedValues);
      break;
    case ZRDB_TYPE_SEMAP: {
      int32_t value = 0;
      s.fields.emplace_back("definition", json_text(text_of(area, static_cast<size_t>(d.size))));
      s.fields.emplace_back("count", zrdb_semaGetValue(id, &value) == 0 ? Json(value) : Json());
      break;
    }
    case ZRDB_TYPE_CBUF: {
      const auto h = read_at<ZRDB_CBUF_HDR>(area, 0);
      s.fields = {{"slots", d.count},
                  {"level", level(h.rd, h.wr, d.count)},
                  {"of", h.of},
                  {"uf", h.uf},
                  {"mbl", h.mbl}};
      break;
    }
    case ZRDB_TYPE_MSGBUF: {
      const auto h = read_at<ZRDB_MSGBUF_HDR>(area, 0);
      s.fields = {{"slots", d.count}, {"level", level(h.rd, h.wr, d.count)}};
      break;
    }
    case ZRDB_TYPE_VLINKMST:
    case ZRDB_TYPE_VLINKSLV: {
      // The link count leads the configuration text; read here without the
      // library's parser, which would log about the rest of the text.
      const std::string text = text_of(area, 128);
      int32_t nlink = 0;
      for (size_t i = text.find_first_not_of(":\t\r\n");
           i < text.size() && text[i] >= '0' && text[i] <= '9' && nlink <= ZRDB_VLINK_MAX_LINKS;
           ++i)
        nlink = nlink * 10 + (text[i] - '0');
      const int32_t links = d.type == ZRDB_TYPE_VLINKSLV   ? 1
                            : nlink > ZRDB_VLINK_MAX_LINKS ? 0
                                                           : nlink;
      Json states = Json::array();
      for (int32_t i = 0; i < links; ++i)
        states.push_back(read_at<int32_t>(area, 128 + 4 * static_cast<size_t>(i)));
      s.fields = {{"config", json_text(text)}, {"links", std::move(states)}};
      if (d.type == ZRDB_TYPE_VLINKMST) s.fields.emplace_back("peers", peer_fingerprints(links));
      break;
    }
    default:
      transport_fields(s, d, area);
      break;
  }
  return s;
}

Json to_json(const Snapshot &s) {
  Json out = {{"id", s.id}, {"name", json_text(s.name)}, {"type", s.type}};
  for (const auto &[key, value] : s.fields) out[key] = value;
  return out;
}

std::string to_line(const Snapshot &s) {
  std::string out = cat(s.name, "(", std::to_string(s.id), ") ", s.type);
  for (const auto &[key, value] : s.fields)
    out.append(" ").append(key).append("=").append(json_dump(value));
  return out;
}

}  // namespace zrdbctl
