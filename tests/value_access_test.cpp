// Value access through the one dispatch path: return codes and messages,
// link translation, copy bounds, print formats, and values shared between
// processes.
#include <gmock/gmock.h>

#include <cstring>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

using ::testing::HasSubstr;

class ValueAccessTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=0, name=dbg_level, type=integer, value=0\n"
           "id=1, name=speed, type=integer, size=4*8, value=100\n"
           "id=2, name=label, type=string, size=16*2, value=idle\n"
           "id=3, name=blob, type=user, size=10, value=0x41\n"
           "id=4, name=triple, type=integer, size=4*3, value=7\n"
           "id=5, name=guard, type=integer, value=0xdeadbeef\n"
           "id=12, name=counter, type=integer, value=5\n"
           "id=13, name=mirror, type=integer, syncto=20:40:1\n";
  }
  // Attaches as a client whose application file defines links.
  void attach_with_links(const std::string &links) {
    zrdb_Cleanup();
    ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    const std::string app = dir_.write("app.cfg", links);
    ASSERT_EQ(zrdb_appInit(app.c_str(), nullptr, HBUSER_CLIENT), 0);
  }
  static unsigned char *data_of(int32_t id) {
    ZRDB_BLK_INFO info{};
    EXPECT_EQ(zrdb_getUserBlkInfo(id, &info), 0);
    return static_cast<unsigned char *>(info.addr);
  }
};

TEST_F(ValueAccessTest, IdOutsideRangeFailsSilentlyWithMinusOne) {
  reattach(HBUSER_CLIENT);
  uint32_t v = 0;
  const std::string out = capture_stdout([&] {
    for (const int32_t id : {5000, -5, 10100, 9999}) {
      EXPECT_EQ(zrdb_getValue(id, &v, 4), -1) << id;
      EXPECT_EQ(zrdb_setiValue(id, 0, &v, 4), -1) << id;
      EXPECT_EQ(zrdb_printValue(id, 1), -1) << id;
      EXPECT_EQ(zrdb_getType(id), -1) << id;
      EXPECT_EQ(zrdb_getName(id), nullptr) << id;
      EXPECT_EQ(zrdb_isOperational(id), 0) << id;
    }
  });
  EXPECT_EQ(out, "");
}

TEST_F(ValueAccessTest, InactiveItemGivesMinusTwoWithEachFunctionsMessage) {
  reattach(HBUSER_CLIENT);
  uint32_t v = 0;
  ZRDB_BLK_INFO info{reinterpret_cast<void *>(0x1), 99};
  struct Case {
    const char *function;
    std::function<int()> call;
    const char *message;  // null: silent
  };
  const std::vector<Case> cases = {
      {"zrdb_getValue", [&] { return zrdb_getValue(7, &v, 4); }, "ZRDID(7) is not actived!\n"},
      {"zrdb_setValue", [&] { return zrdb_setValue(7, &v, 4); }, "ZRDID(7) is not actived!\n"},
      {"zrdb_setiValue", [&] { return zrdb_setiValue(7, 0, &v, 4); }, "ZRDID(7) is not actived!\n"},
      {"zrdb_local_setiValue", [&] { return zrdb_local_setiValue(7, 0, &v, 4); },
       "ZRDID(7) is not actived!\n"},
      {"zrdb_getiValue", [&] { return zrdb_getiValue(7, 0, &v, 4); },
       "ZRDID(7) is not in resurce list!\n"},
      {"zrdb_local_getiValue", [&] { return zrdb_local_getiValue(7, 0, &v, 4); },
       "ZRDID(7) is not in resurce list!\n"},
      {"zrdb_getType", [&] { return zrdb_getType(7); }, "ZRDID(7) is not actived!\n"},
      {"zrdb_item_size", [&] { return zrdb_item_size(7); }, "ZRDID(7) is not actived!\n"},
      {"zrdb_item_count", [&] { return zrdb_item_count(7); }, "ZRDID(7) is not actived!\n"},
      {"zrdb_getUserBlkInfo", [&] { return zrdb_getUserBlkInfo(7, &info); },
       "ZRDID(7) is not actived!\n"},
      {"zrdb_printValue", [&] { return zrdb_printValue(7, 1); }, nullptr},
      {"zrdb_printiValue", [&] { return zrdb_printiValue(7, 0, 1); }, nullptr},
  };
  for (const Case &c : cases) {
    int rc = 0;
    const std::string out = capture_stdout([&] { rc = c.call(); });
    EXPECT_EQ(rc, -2) << c.function;
    if (c.message != nullptr) {
      EXPECT_EQ(out, std::string("|WARN|NONAME|") + c.function + "| " + c.message);
    } else {
      EXPECT_EQ(out, "") << c.function;
    }
  }
  EXPECT_EQ(capture_stdout([] { EXPECT_EQ(zrdb_getName(7), nullptr); }),
            "|WARN|NONAME|zrdb_getName| ZRDID(7) is not actived!\n");
  EXPECT_EQ(info.addr, reinterpret_cast<void *>(0x1));
  EXPECT_EQ(info.size, 99);
}

TEST_F(ValueAccessTest, MissingHandlerGivesMinusThreeWithItsMessages) {
  reattach(HBUSER_CLIENT);
  uint8_t buf[16] = {};
  // A user item has no whole-value get in client mode.
  std::string out = capture_stdout([&] { EXPECT_EQ(zrdb_getValue(3, buf, 4), -3); });
  EXPECT_EQ(out, "|WARN|NONAME|zrdb_getValue| ZRDID(3) is not in resurce list!\n");
  // It has a table but no d_iget: the get adds the table's addresses.
  out = capture_stdout([&] { EXPECT_EQ(zrdb_getiValue(3, 0, buf, 4), -3); });
  EXPECT_THAT(out, HasSubstr("| ZRDID(3) is not in resurce list!\n"));
  EXPECT_THAT(out, HasSubstr("|WARN|NONAME|zrdb_getiValue| zrdb_getiValue: op= "));
  EXPECT_THAT(out, HasSubstr(", d_iget=00000000\n"));
  // No print handler outside the print mode.
  out = capture_stdout([&] { EXPECT_EQ(zrdb_printiValue(1, 0, 1), -3); });
  EXPECT_THAT(out,
              HasSubstr("|WARN|NONAME|zrdb_printiValue| ZRDID(1) is not in resurce list, op="));
  EXPECT_THAT(out, HasSubstr("| op->d_iprint=00000000!\n"));
  EXPECT_EQ(zrdb_printValue(1, 0), -3);
  // The user block is still reachable directly.
  ZRDB_BLK_INFO info{};
  ASSERT_EQ(zrdb_getUserBlkInfo(3, &info), 0);
  EXPECT_EQ(info.size, 12);
  EXPECT_EQ(static_cast<unsigned char *>(info.addr)[11], 0x41);
}

TEST_F(ValueAccessTest, ItemNotBoundByThisProcessIsRefusedButStillQueried) {
  const int32_t ids[] = {1, -1};
  reattach(HBUSER_CLIENT, ids);
  uint32_t v = 0;
  EXPECT_EQ(zrdb_getiValue(1, 0, &v, 4), 0);
  EXPECT_EQ(v, 100u);
  EXPECT_EQ(zrdb_getValue(12, &v, 4), -3);
  EXPECT_EQ(zrdb_setValue(12, &v, 4), -3);
  EXPECT_EQ(zrdb_getType(12), ZRDB_TYPE_INTEGER);
  EXPECT_STREQ(zrdb_getName(12), "counter");
  // The allocating attach bound every item, so it is operational.
  EXPECT_EQ(zrdb_isOperational(12), 1);
}

TEST_F(ValueAccessTest, IsOperationalNeedsSomeProcessToHaveBound) {
  // Parse without binding: active but never bound.
  zrdb_Cleanup();
  remove_ipc(kTestDataKey);
  ASSERT_EQ(zrdb_cfgParseFromFile(dbPath_.c_str()), 0);
  EXPECT_EQ(zrdb_isOperational(12), 0);
  EXPECT_EQ(zrdb_isOperational(7), 0);
  ASSERT_EQ(zrdb_Init(HBUSER_ALLOCATE, nullptr), 0);
  EXPECT_EQ(zrdb_isOperational(12), 1);
  EXPECT_EQ(zrdb_isOperational(7), 0);
}

TEST_F(ValueAccessTest, QueriesReadTheDescriptor) {
  reattach(HBUSER_CLIENT);
  EXPECT_EQ(zrdb_getType(2), ZRDB_TYPE_STRING);
  EXPECT_EQ(zrdb_item_size(2), 16);
  EXPECT_EQ(zrdb_item_count(2), 2);
  EXPECT_STREQ(zrdb_getName(2), "label");
  ZRDB_BLK_INFO info{};
  ASSERT_EQ(zrdb_getUserBlkInfo(2, &info), 0);
  EXPECT_EQ(info.size, 32);
  EXPECT_EQ(info.addr, static_cast<unsigned char *>(zrdb_getBaseAddr()) + 36);
  EXPECT_EQ(zrdb_getUserBlkInfo(2, nullptr), -1);
  EXPECT_EQ(zrdb_getInfoHdr(), &zrdbIndexHdr);
  zrdb_setDebugLvl(10001);
  EXPECT_EQ(glb_ZrdbDebugLvl, 10001);
}

TEST_F(ValueAccessTest, IndexedAccessChecksTheIndexAndCopiesOneElement) {
  reattach(HBUSER_CLIENT);
  const uint32_t values[] = {10, 20, 30};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(zrdb_setiValue(4, i, &values[i], 4), 0);
  uint32_t v = 0;
  ASSERT_EQ(zrdb_getiValue(4, 2, &v, 4), 0);
  EXPECT_EQ(v, 30u);
  for (const int32_t idx : {3, -1}) {
    uint32_t untouched = 0xAAAAAAAA;
    const std::string out =
        capture_stdout([&] { EXPECT_EQ(zrdb_getiValue(4, idx, &untouched, 4), 0); });
    EXPECT_EQ(out, "|WARN|NONAME|zrdbgeneric_iget| DID(4),idx(" + std::to_string(idx) +
                       ") is out of range!\n");
    EXPECT_EQ(untouched, 0xAAAAAAAAu);
  }
  // Whole-value get of a three-element item copies its 12 bytes, no more.
  uint8_t buf[100];
  std::memset(buf, 0xEE, sizeof buf);
  ASSERT_EQ(zrdb_getValue(4, buf, sizeof buf), 0);
  uint32_t third = 0;
  std::memcpy(&third, buf + 8, 4);
  EXPECT_EQ(third, 30u);
  EXPECT_EQ(buf[12], 0xEE);
}

TEST_F(ValueAccessTest, CopiesNeverLeaveTheItem) {
  reattach(HBUSER_CLIENT);
  uint8_t big[64];
  std::memset(big, 0x11, sizeof big);
  // An indexed write of the last element with a long length stops at the
  // item's end; the next item (guard) keeps its value.
  ASSERT_EQ(zrdb_setiValue(4, 2, big, sizeof big), 0);
  uint32_t guard = 0;
  ASSERT_EQ(zrdb_getValue(5, &guard, 4), 0);
  EXPECT_EQ(guard, 0xdeadbeefu);
  uint32_t third = 0;
  ASSERT_EQ(zrdb_getiValue(4, 2, &third, 4), 0);
  EXPECT_EQ(third, 0x11111111u);
  // Negative lengths copy nothing in either direction.
  uint32_t before = 0;
  ASSERT_EQ(zrdb_getiValue(4, 0, &before, 4), 0);
  EXPECT_EQ(zrdb_setValue(4, big, -1), 0);
  EXPECT_EQ(zrdb_setiValue(4, 0, big, -100), 0);
  uint32_t after = 0;
  ASSERT_EQ(zrdb_getiValue(4, 0, &after, 4), 0);
  EXPECT_EQ(after, before);
  uint32_t out = 0x5A5A5A5A;
  EXPECT_EQ(zrdb_getValue(4, &out, -4), 0);
  EXPECT_EQ(out, 0x5A5A5A5Au);
}

TEST_F(ValueAccessTest, SymbolicLinksTranslateToTheirPairs) {
  attach_with_links(
      "id=1, name=speed\n"
      "name = mix, size = 4*5, symblink = 1(0-2):12(0)\n"
      "name = holes, size = 4*2, symblink = 5\n");
  const uint32_t w = 77;
  // Element 3 of the link is element 0 of item 12.
  ASSERT_EQ(zrdb_setiValue(10000, 3, &w, 4), 0);
  uint32_t v = 0;
  ASSERT_EQ(zrdb_getValue(12, &v, 4), 0);
  EXPECT_EQ(v, 77u);
  ASSERT_EQ(zrdb_getiValue(10000, 1, &v, 4), 0);
  EXPECT_EQ(v, 100u);
  // Whole-value access uses pair 0: item 1.
  ASSERT_EQ(zrdb_getValue(10000, &v, 4), 0);
  EXPECT_EQ(v, 100u);
  int32_t did = 0;
  int32_t idx = 0;
  EXPECT_EQ(zrdb_symblink_check(10000, 3, &did, &idx), 1);
  EXPECT_EQ(did, 12);
  EXPECT_EQ(idx, 0);
  EXPECT_EQ(zrdb_symblink_check(42, 3, &did, &idx), 0);
  EXPECT_EQ(did, 12);
  // Unfilled pairs, elements past the link and undefined links give -1.
  EXPECT_EQ(zrdb_getValue(10001, &v, 4), -1);
  EXPECT_EQ(zrdb_getiValue(10000, 4, &v, 4), -1);
  EXPECT_EQ(zrdb_getiValue(10000, 5, &v, 4), -1);
  EXPECT_EQ(zrdb_getiValue(10000, -1, &v, 4), -1);
  EXPECT_EQ(zrdb_getValue(10002, &v, 4), -1);
  EXPECT_EQ(zrdb_getValue(10099, &v, 4), -1);
}

TEST_F(ValueAccessTest, PrintFormats) {
  reattach(HBUSER_PRINT);
  const char label1[16] = "running";
  ASSERT_EQ(zrdb_setiValue(2, 1, label1, sizeof label1), 0);
  struct Case {
    std::function<int()> call;
    std::string expected;
  };
  const std::string counter = "counter                         ";
  const std::string label = "label                           ";
  const std::string blob = "blob                            ";
  const std::vector<Case> cases = {
      {[] { return zrdb_printValue(12, 1); }, "0012: integer   : " + counter + "= 5(0x00000005)\n"},
      {[] { return zrdb_printValue(12, 0); }, "5\n"},
      {[] { return zrdb_printValue(12, 3); }, counter + "= 5(0x00000005)\n"},
      {[] { return zrdb_printiValue(1, 7, 1); },
       "0001: integer   : speed                           [7]= 100(0x00000064)\n"},
      {[] { return zrdb_printiValue(1, 7, 0); }, "100\n"},
      {[] { return zrdb_printiValue(2, 1, 1); }, "0002: string    : " + label + "[1]= running\n"},
      {[] { return zrdb_printiValue(2, 1, 0); }, "running\n"},
      {[] { return zrdb_printValue(2, 2); }, label + "= idle\n"},
      {[] { return zrdb_printValue(3, 0); }, blob + "= User defined, size(12 Bytes)\n"},
      {[] { return zrdb_printValue(3, 1); },
       "0003: user      : " + blob + "= User defined, size(12 Bytes)\n"},
  };
  for (const Case &c : cases) {
    int rc = -99;
    EXPECT_EQ(capture_stdout([&] { rc = c.call(); }), c.expected);
    EXPECT_EQ(rc, 0);
  }
}

TEST_F(ValueAccessTest, DumpListsEveryItemInPrintMode) {
  reattach(HBUSER_PRINT);
  int rc = -1;
  const std::string out = capture_stdout([&] { rc = zrdb_dumpAll(); });
  const std::string stars(69, '*');
  EXPECT_GT(rc, 0);
  EXPECT_EQ(out.rfind("\n" + stars + "\nZRDB ----- test ----- Key:" + std::to_string(kTestDataKey) +
                          ", Size:65536\n" + stars + "\n",
                      0),
            0u);
  EXPECT_THAT(out,
              HasSubstr("0012: integer   : counter                         = 5(0x00000005)\n"));
  EXPECT_THAT(out, HasSubstr("0002: string    : label                           = idle\n"));
  EXPECT_EQ(out.substr(out.size() - stars.size() - 3), "\n" + stars + "\n\n");
}

TEST_F(ValueAccessTest, SyncHookChecksTheModeOnly) {
  reattach(HBUSER_CLIENT);
  EXPECT_EQ(zrdb_callSynctoMessageInternal(13, 0, nullptr, 4, 1), 0);
  EXPECT_EQ(zrdb_callSynctoMessageInternal(13, 0, nullptr, 4, 0), -1);
  EXPECT_EQ(zrdb_callSynctoMessageInternal(12, 0, nullptr, 4, 0), 0);
  EXPECT_EQ(zrdb_callSynctoMessageInternal(12, 0, nullptr, 4, 1), -1);
  // A mismatch never changes the access result.
  uint32_t v = 3;
  EXPECT_EQ(zrdb_setValue(13, &v, 4), 0);
  EXPECT_EQ(zrdb_local_setiValue(13, 0, &v, 4), 0);
}

TEST_F(ValueAccessTest, ValuesWrittenByOneProcessAreReadByAnother) {
  reattach(HBUSER_CLIENT);
  const int child = run_in_child([] {
    const uint32_t w = 4242;
    const char text[16] = "from child";
    return (zrdb_setiValue(1, 3, &w, 4) == 0 && zrdb_setiValue(2, 0, text, 16) == 0) ? 0 : 1;
  });
  ASSERT_EQ(child, 0);
  uint32_t v = 0;
  ASSERT_EQ(zrdb_getiValue(1, 3, &v, 4), 0);
  EXPECT_EQ(v, 4242u);
  char text[16] = {};
  ASSERT_EQ(zrdb_getiValue(2, 0, text, 16), 0);
  EXPECT_STREQ(text, "from child");
  // A process that attaches on its own sees the same values.
  const std::string path = dbPath_;
  EXPECT_EQ(run_in_child([&] {
              zrdb_Cleanup();
              if (zrdb_cfgParse(path.c_str()) != 0 || zrdb_Init(HBUSER_COMPONENT, nullptr) != 0) {
                return 2;
              }
              uint32_t seen = 0;
              zrdb_getiValue(1, 3, &seen, 4);
              zrdb_Cleanup();
              return seen == 4242 ? 0 : 1;
            }),
            0);
}

TEST_F(ValueAccessTest, AccessAfterCleanupIsRefused) {
  reattach(HBUSER_CLIENT);
  zrdb_Cleanup();
  uint32_t v = 0;
  EXPECT_EQ(zrdb_getValue(12, &v, 4), -3);
  EXPECT_EQ(zrdb_getBaseAddr(), nullptr);
}

}  // namespace
}  // namespace zrdb::test
