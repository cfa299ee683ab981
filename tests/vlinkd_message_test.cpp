// The parsers of zrdb-vlinkd's outside input: link protocol frames, sync
// messages and the settings file. Each is a table of hostile inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "config.h"
#include "frame.h"
#include "support/fixture.h"
#include "sync_message.h"
#include "zrdb.h"

namespace vlinkd {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(uint8_t type, const Bytes &body, uint16_t magic = kFrameMagic, uint8_t version = 1) {
  Bytes b{uint8_t(magic >> 8), uint8_t(magic), version, type, 0, uint8_t(body.size()), 0, 0, 0, 7};
  b[4] = uint8_t(body.size() >> 8);
  b.resize(kFrameHeader + body.size());
  std::copy(body.begin(), body.end(), b.begin() + kFrameHeader);
  return b;
}

Bytes cut(Bytes b, size_t n) { return b.resize(n), b; }

TEST(VlinkdFrame, MalformedFramesAreRefusedAndPartialOnesWait) {
  constexpr auto bad = DecodeStatus::Malformed;
  constexpr auto wait = DecodeStatus::NeedMore;
  const Bytes get(14, 0);
  Bytes bigGet = get;
  bigGet[12] = 0x02, bigGet[13] = 0x01;  // 513 bytes asked for
  const struct {
    const char *name;
    Bytes bytes;
    DecodeStatus status;
  } cases[] = {
      {"bad magic", frame(6, {}, 0x5A57), bad},
      {"bad first byte alone", {0x00}, bad},
      {"bad version", frame(6, {}, kFrameMagic, 2), bad},
      {"unknown type", frame(8, {}), bad},
      {"oversize length, body not sent", cut(frame(4, Bytes(1015)), 6), bad},
      {"body on a ping", frame(6, {1}), bad},
      {"get of 13 bytes", frame(3, Bytes(13)), bad},
      {"get of more than 512", frame(3, bigGet), bad},
      {"set value of 513 bytes", frame(4, Bytes(12 + 513)), bad},
      {"result without its code", frame(5, {0, 0}), bad},
      {"failed result with a value", frame(5, {0xFF, 0xFF, 0xFF, 0xFF, 1}), bad},
      {"truncated header", cut(frame(3, get), 5), wait},
      {"truncated body", cut(frame(3, get), 23), wait},
      {"whole get", frame(3, get), DecodeStatus::Complete},
  };
  for (const auto &c : cases) {
    Frame f;
    EXPECT_EQ(decode_frame(c.bytes, f).status, c.status) << c.name;
  }
}

Bytes sync(uint32_t txid, uint32_t len, size_t payload, uint32_t csError = 0) {
  Bytes b(kSyncHeader + payload, 0xAB);
  const uint32_t fields[] = {txid, 0, 10, 2, len, 0};
  for (size_t i = 0; i < 6; ++i)
    for (size_t k = 0; k < 4; ++k) b[i * 4 + k] = uint8_t(fields[i] >> (24 - 8 * k));
  const uint32_t cs = vlink_calc_syncto_msg_cs(b.data()) + csError;
  for (size_t k = 0; k < 4; ++k) b[20 + k] = uint8_t(cs >> (24 - 8 * k));
  return b;
}

TEST(VlinkdSync, BadLengthsAndChecksumsAreRefused) {
  const struct {
    const char *name;
    Bytes bytes;
    bool valid;
  } cases[] = {
      {"valid", sync(1, 4, 4), true},
      {"valid, no payload", sync(7, 0, 0), true},
      {"shorter than the header", cut(sync(1, 0, 0), 23), false},
      {"length above 256", sync(1, 257, 257), false},
      {"length below the datagram's", sync(1, 4, 5), false},
      {"length above the datagram's", sync(1, 4, 3), false},
      {"checksum off by one", sync(1, 4, 4, 1), false},
  };
  for (const auto &c : cases) {
    SyncMessage m;
    EXPECT_EQ(decode_sync(c.bytes, m) == nullptr, c.valid) << c.name;
    if (c.valid) {
      EXPECT_EQ(m.remoteId * 100 + m.idx, 1002u) << c.name;
    }
  }
}

class VlinkdSyncTarget : public zrdb::test::DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=speed, type=integer, size=4*4, value=0\n"
           "id=2, name=slave, type=vlinkslv\n";
  }
};

// The daemon refuses exactly the writes the library would refuse with a
// log line of its own (or a failure).
TEST_F(VlinkdSyncTarget, OnlyElementsOfItemsTheDaemonWritesAreApplied) {
  reattach(HBUSER_VLINK_DAEMON);
  const struct {
    uint32_t id, idx;
    bool refused;
  } cases[] = {{1, 3, false}, {1, 4, true},    {1, 0xFFFFFFFF, true}, {2, 0, true},
               {3, 0, true},  {5000, 0, true}, {10000, 0, true}};
  const int32_t v = 7;
  for (const auto &c : cases) {
    const SyncMessage m{.remoteId = c.id, .idx = c.idx, .len = 4};
    EXPECT_EQ(refuse_target(m) != nullptr, c.refused) << c.id << "." << c.idx;
    const std::string library = zrdb::test::run([&] {
      return zrdb_local_setiValue(static_cast<int32_t>(c.id), static_cast<int32_t>(c.idx), &v, 4);
    });
    EXPECT_EQ(library != "0: ", c.refused) << c.id << "." << c.idx << ": " << library;
  }
}

TEST(VlinkdSync, TxidGapsAreCountedPerSenderAcrossTheWrap) {
  TxidTracker t;
  const struct {
    uint64_t sender;
    uint32_t txid;
    uint32_t missing;
    bool restarted;
  } steps[] = {{1, 0, 0, false},         {1, 1, 0, false}, {1, 4, 2, false}, {2, 0, 0, false},
               {1, 0xFFFFFFFF, 0, true}, {1, 0, 0, false}, {1, 2, 1, false}};
  for (const auto &s : steps) {
    EXPECT_EQ(t.see(s.sender, s.txid), s.missing) << s.sender << "/" << s.txid;
    EXPECT_EQ(t.restarted(), s.restarted) << s.sender << "/" << s.txid;
  }
}

TEST(VlinkdConfig, BadLinesGiveFileLineAndReason) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"link 32=10.0.0.1\n", "f:1: link number 32 is above 31"},
      {"# peers\nlink 0=a\nlink 0=b\n", "f:3: link 0 is given twice"},
      {"link x=10.0.0.1", "f:1: link number 'x' is not a number"},
      {"link 1=h:70000", "f:1: port '70000' is not a number in 1..65535"},
      {"link 1=h_1", "f:1: host 'h_1' has characters no host name has"},
      {"link 1=a b", "f:1: text after the value of 'link'"},
      {"link", "f:1: 'link' needs a value"},
      {"listen peer:5", "f:1: listen address 'peer' is not an IPv4 address"},
      {"sync-item " + std::string(32, 'n'),
       "f:1: item name '" + std::string(32, 'n') + "' is empty or above 31 characters"},
      {"peer 1", "f:1: unknown setting 'peer'"},
      {"#" + std::string(255, ' '), "f:1: line longer than 255 characters"},
      {std::string("link 1=a\0b", 10), "f:1: NUL byte in the line"},
  };
  for (const auto &c : cases) {
    Config config;
    std::string error;
    EXPECT_FALSE(parse_config(c.text, "f", config, error)) << c.message;
    EXPECT_EQ(error, c.message);
  }
  Config config;  // and what a good file gives, with its link 3 replaced once
  std::string error;
  ASSERT_TRUE(parse_config(" link 3=g # B\r\nlisten 127.0.0.2\n", "f", config, error));
  EXPECT_EQ(apply_setting("link", "3=h:4000", config), "");
  EXPECT_EQ(apply_setting("link", "3=k", config), "link 3 is given twice");
  ASSERT_EQ(config.links.size(), 1u);
  const LinkConfig &l = config.links[0];
  EXPECT_EQ(std::to_string(l.number) + "=" + l.host + ":" + std::to_string(l.port) + " " +
                config.listenHost + ":" + std::to_string(config.listenPort),
            "3=h:4000 127.0.0.2:50712");
}

}  // namespace
}  // namespace vlinkd
