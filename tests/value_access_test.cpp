// Value access: results -1/-2/-3 and their messages, copy bounds, print formats.
#include "support/fixture.h"

namespace zrdb::test {

class ValueAccessTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=0, name=dbg_level\nid=1, name=speed, size=4*8, value=100\n"
           "id=2, name=label, type=string, size=16*2, value=idle\n"
           "id=3, name=blob, type=user, size=10, value=0x41\nid=4, name=triple, size=4*3\n"
           "id=5, name=guard, value=0x5a5a5a5a\nid=12, name=counter, value=5\n";
  }
  void SetUp() override {
    DatabaseTest::SetUp();
    const int32_t ids[] = {1, 2, 3, 4, 5, -1};  // 12 is not bound here
    reattach(HBUSER_CLIENT, ids);
  }
};

std::string op_of(int32_t id) {  // a handler table's address as the messages print it
  char text[16];
  std::snprintf(text, sizeof text, "%08x", unsigned(uintptr_t(zrdbIndexHdr.dit[id].op)));
  return text;
}

TEST_F(ValueAccessTest, ResultCodesAndMessagesOfTheDispatchPath) {
  uint32_t v = 0;
  const std::string w = "|WARN|NONAME|zrdb_", nil = "is not in resurce list";
  const std::pair<std::function<int()>, std::string> rows[] = {
      // Ids outside the item and the link ranges: -1, silently.
      {[&] { return zrdb_getValue(5000, &v, 4); }, "-1"},
      {[&] { return zrdb_printValue(10100, 1); }, "-1"},
      // Items not defined: -2, with each function's message.
      {[&] { return zrdb_getValue(7, &v, 4); }, "-2" + w + "getValue| ZRDID(7) is not actived!\n"},
      {[&] { return zrdb_getiValue(7, 0, &v, 4); },
       "-2" + w + "getiValue| ZRDID(7) " + nil + "!\n"},
      {[&] { return zrdb_getType(7); }, "-2" + w + "getType| ZRDID(7) is not actived!\n"},
      {[&] { return zrdb_printiValue(7, 0, 1); }, "-2"},
      // No such handler in this process: -3.
      {[&] { return zrdb_setValue(12, &v, 4); }, "-3" + w + "setValue| ZRDID(12) " + nil + "!\n"},
      {[&] { return zrdb_getiValue(3, 0, &v, 4); },
       "-3" + w + "getiValue| ZRDID(3) " + nil + "!\n" + w +
           "getiValue| zrdb_getiValue: op= " + op_of(3) + ", d_iget=00000000\n"},
      {[&] { return zrdb_printiValue(1, 0, 1); }, "-3" + w + "printiValue| ZRDID(1) " + nil +
                                                      ", op=" + op_of(1) + "!\n" + w +
                                                      "printiValue| op->d_iprint=00000000!\n"},
      {[&] { return zrdb_printiValue(12, 0, 1); },
       "-3" + w + "printiValue| ZRDID(12) " + nil + ", op=00000000!\n"}};
  for (const auto &[call, expected] : rows) EXPECT_EQ(outcome(call), expected);
  EXPECT_EQ(  // the queries need the item defined, not bound here
      std::make_tuple(zrdb_getType(12), zrdb_item_size(2), zrdb_item_count(2),
                      std::string(zrdb_getName(12)), zrdb_isOperational(12), zrdb_isOperational(7)),
      std::make_tuple(1, 16, 2, std::string("counter"), 1, 0));  // 12 bound by the allocation
  ZRDB_BLK_INFO info{};
  EXPECT_EQ(zrdb_getUserBlkInfo(3, &info), 0);
  EXPECT_EQ(std::make_pair(info.addr, info.size), std::make_pair((void *)item_area(3), 12));
  zrdb_Cleanup();
  EXPECT_EQ(zrdb_getValue(1, &v, 4), -3);  // nothing is reached after clean-up
}

TEST_F(ValueAccessTest, CopiesStayInsideTheItemAndTheElement) {
  for (const uint32_t i : {0u, 1u, 2u}) ASSERT_EQ(zrdb_setiValue(4, i, &i, 4), 0);
  uint32_t buf[16] = {7};
  for (const int32_t i : {3, -1})
    EXPECT_EQ(
        outcome([&] { return zrdb_getiValue(4, i, buf, 4); }),
        "0|WARN|NONAME|zrdbgeneric_iget| DID(4),idx(" + std::to_string(i) + ") is out of range!\n");
  // A long write of the last element stops at the item's end; negative
  // lengths copy nothing; a whole-item read copies the item's 12 bytes.
  std::memset(buf + 1, 0xEE, 60);
  ASSERT_EQ(zrdb_setiValue(4, 2, buf + 1, 60), 0);
  EXPECT_EQ(zrdb_setValue(4, buf + 1, -1) + zrdb_setiValue(4, 0, buf + 1, -100) +
                zrdb_getValue(4, buf, -4),
            0);
  EXPECT_EQ(zrdb_getValue(4, buf + 2, 56) + zrdb_getValue(5, buf + 6, 4), 0);
  EXPECT_EQ(std::vector<uint32_t>(buf, buf + 7),
            (std::vector<uint32_t>{7, 0xEEEEEEEE, 0, 1, 0xEEEEEEEE, 0xEEEEEEEE, 0x5a5a5a5a}));
}

TEST_F(ValueAccessTest, PrintFormats) {
  reattach(HBUSER_PRINT);
  ASSERT_EQ(zrdb_setiValue(2, 1, "running", 8), 0);
  const auto name = [](const std::string &n) { return n + std::string(32 - n.size(), ' '); };
  const std::string counter = name("counter") + "= 5(0x00000005)\n";
  // Item, element (-1: the whole item), mode, the text.
  const std::tuple<int32_t, int32_t, int32_t, std::string> cases[] = {
      {12, -1, 1, "0012: integer   : " + counter},
      {12, -1, 3, counter},
      {1, 7, 1, "0001: integer   : " + name("speed") + "[7]= 100(0x00000064)\n"},
      {1, 7, 0, "100\n"},
      {12, -1, 0, "5\n"},
      {2, 1, 1, "0002: string    : " + name("label") + "[1]= running\n"},
      {2, -1, 2, name("label") + "= idle\n"},
      {3, -1, 1, "0003: user      : " + name("blob") + "= User defined, size(12 Bytes)\n"}};
  for (const auto &[id, i, mode, text] : cases)
    EXPECT_EQ(
        outcome([&] { return i < 0 ? zrdb_printValue(id, mode) : zrdb_printiValue(id, i, mode); }),
        "0" + text);
  const std::string stars = "\n" + std::string(69, '*') + "\n";
  const std::string dump = capture_stdout([] { EXPECT_GT(zrdb_dumpAll(), 0); });  // all items
  EXPECT_EQ(dump.substr(0, 256), stars + "ZRDB ----- test ----- Key:1510801409, Size:65536" +
                                     stars + "0000: integer   : " + name("dbg_level") +
                                     "= 0(0x00000000)\n");
}

}  // namespace zrdb::test
