// The parsers of zrdb-vlinkd's outside input: the peers' messages, sync
// messages and the settings file. Each is a table of hostile inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "config.h"
#include "message.h"
#include "support/fixture.h"
#include "sync_message.h"
#include "zrdb.h"

namespace vlinkd {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes message(uint8_t type, const Bytes &body) {
  Bytes b = body;
  const uint8_t header[] = {type, 0, 0, 0, 7};
  b.insert(b.begin(), header, header + sizeof header);
  return b;
}

Bytes cut(Bytes b, size_t n) { return b.resize(n), b; }

// What an admitted peer sends is checked whole before anything acts on it;
// what is accepted encodes back to the very same bytes.
TEST(VlinkdMessage, MalformedMessagesAreRefusedAndGoodOnesRoundTrip) {
  Bytes bigGet(10, 0);
  bigGet[8] = 0x02, bigGet[9] = 0x01;  // 513 bytes asked for
  const struct {
    const char *name;
    Bytes bytes;
    bool valid;
  } cases[] = {
      {"shorter than its header", {1, 0, 0, 0}, false},
      {"unknown type", message(5, {}), false},
      {"get of 9 bytes", message(1, Bytes(9)), false},
      {"get of more than 512", message(1, bigGet), false},
      {"set value of 513 bytes", message(2, Bytes(8 + 513)), false},
      {"sync above 280 bytes", message(3, Bytes(281)), false},
      {"result without its outcome", message(4, {}), false},
      {"unknown outcome", message(4, {3}), false},
      {"failed result with a value", message(4, {2, 1}), false},
      {"get", message(1, Bytes(10)), true},
      {"set of 512", message(2, Bytes(8 + 512, 0xEE)), true},
      {"sync", message(3, Bytes(28, 1)), true},
      {"refusal", message(4, {2}), true},
      {"value", message(4, {0, 1, 2, 3, 4}), true},
  };
  for (const auto &c : cases) {
    Message m;
    EXPECT_EQ(decode_message(c.bytes, m) == nullptr, c.valid) << c.name;
    if (!c.valid) continue;
    uint8_t out[kMaxMessage];
    const size_t n = encode_message(m, out);
    EXPECT_EQ(Bytes(out, out + n), c.bytes) << c.name;
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
    EXPECT_TRUE(!c.valid || (m.remoteId == 10 && m.idx == 2)) << c.name;
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
  const std::string key(40, 'k');
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"link 32=10.0.0.1 " + key, "f:1: link number 32 is above 31"},
      {"# peers\nlink 0=a " + key + "\nlink 0=b " + key, "f:3: link 0 is given twice"},
      {"link x=10.0.0.1 " + key, "f:1: link number 'x' is not a number"},
      {"link 1=h:70000 " + key, "f:1: port '70000' is not a number in 1..65535"},
      {"link 1=h_1 " + key, "f:1: host 'h_1' has characters no host name has"},
      {"link 1=h", "f:1: link '1=h' is not N=HOST[:PORT] KEY (the peer's public key)"},
      {"link 1=a b c", "f:1: link '1=a b c' is not N=HOST[:PORT] KEY (the peer's public key)"},
      {"key a b", "f:1: text after the value of 'key'"},
      {"link", "f:1: 'link' needs a value"},
      {"listen peer:5", "f:1: listen address 'peer' is not an IPv4 address"},
      {"allow-set 0 1,5000", "f:1: item range '5000' is not FIRST-LAST within 0..4999"},
      {"allow-set 0 9-3", "f:1: item range '9-3' is not FIRST-LAST within 0..4999"},
      {"deny-get 32 x", "f:1: link number '32' is not 0..31"},
      {"deny-get 1 a,,b", "f:1: item '' is no id, range or item name"},
      {"sync-port 10.0.0.1:47702",
       "f:1: sync address '10.0.0.1' is not a loopback address: sync messages come from this "
       "system only, and a peer's reach this daemon over its authenticated link"},
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
  ASSERT_TRUE(parse_config(" link 3=g " + key +
                               " # B\r\nlisten 127.0.0.2\nallow-set 3 7,9-11,speed\n"
                               "sync-port 127.0.0.5:900\n",
                           "f", config, error));
  EXPECT_EQ(apply_setting("link", "3=h:4000 b.pub", config), "");
  EXPECT_EQ(apply_setting("link", "3=k " + key, config), "link 3 is given twice");
  ASSERT_EQ(config.links.size(), 1u);
  const LinkConfig &l = config.links[0];
  EXPECT_EQ(std::to_string(l.number) + "=" + l.host + ":" + std::to_string(l.port) + " " +
                l.keyArg + " " + config.listenHost + ":" + std::to_string(config.listenPort) + " " +
                config.syncHost + ":" + std::to_string(config.syncPort),
            "3=h:4000 b.pub 127.0.0.2:50712 127.0.0.5:900");
  const ItemList &allowed = config.allowSet[3];
  ASSERT_EQ(allowed.ranges.size(), 2u);
  EXPECT_EQ(allowed.ranges[1], std::make_pair(9, 11));
  EXPECT_EQ(allowed.names, std::vector<std::string>{"speed"});
}

}  // namespace
}  // namespace vlinkd
