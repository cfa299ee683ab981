// Value access through the one dispatch path: result codes and their
// messages, queries, copy bounds and print formats.
#include <map>
#include <regex>

#include "support/fixture.h"

namespace zrdb::test {

class ValueAccessTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=speed, size=4*8, value=100\n"
           "id=2, name=label, type=string, size=16*2, value=idle\n"
           "id=3, name=blob, type=user, size=10, value=0x41\n"
           "id=4, name=triple, size=4*3, value=7\nid=5, value=0x5a5a5a5a\nid=12, name=counter, "
           "value=5\n";
  }
};

TEST_F(ValueAccessTest, ResultCodesAndTheirMessages) {
  ASSERT_EQ(attach({1, 2, 3, 4, 5}), 0);  // all but 12
  uint32_t v = 0;
  ZRDB_BLK_INFO info{};
  const std::map<std::string, std::function<int(int32_t)>> calls = {
      {"getValue", [&](int32_t id) { return zrdb_getValue(id, &v, 4); }},
      {"setValue", [&](int32_t id) { return zrdb_setValue(id, &v, 4); }},
      {"getiValue", [&](int32_t id) { return zrdb_getiValue(id, 0, &v, 4); }},
      {"setiValue", [&](int32_t id) { return zrdb_setiValue(id, 0, &v, 4); }},
      {"printValue", [&](int32_t id) { return zrdb_printValue(id, 1); }},
      {"printiValue", [&](int32_t id) { return zrdb_printiValue(id, 0, 1); }}};
  // Each row: function, id, result, and the log after "|WARN|NONAME|zrdb_<function>| ZRDID(<id>"
  // (nothing when empty); '#' starts a further line of the function.
  const std::string na = ") is not actived!\n", nl = ") is not in resurce list!\n";
  // clang-format off
  const std::tuple<std::string, int32_t, int, std::string> rows[] = {
      // -1: an id outside the items and the links, silently.
      {"getValue", 5000, -1, ""}, {"setiValue", -5, -1, ""}, {"printValue", 10100, -1, ""},
      // -2: an item that is not defined, with each function's message.
      {"getValue", 7, -2, na}, {"setValue", 7, -2, na}, {"setiValue", 7, -2, na},
      {"getiValue", 7, -2, nl}, {"printValue", 7, -2, ""}, {"printiValue", 7, -2, ""},
      // -3: an item this process did not bind, or a handler it does not have.
      {"setValue", 12, -3, nl}, {"getValue", 3, -3, nl},
      {"getiValue", 3, -3, nl + "#zrdb_getiValue: op=*, d_iget=00000000\n"},
      {"printiValue", 1, -3, ") is not in resurce list, op=*!\n#op->d_iprint=00000000!\n"}};
  // clang-format on
  for (const auto &[name, id, rc, log] : rows) {
    const std::string tag = "|WARN|NONAME|zrdb_" + name + "| ";
    std::string expected = log.empty() ? "" : "#ZRDID(" + std::to_string(id) + log;
    for (size_t at = expected.find('#'); at != std::string::npos; at = expected.find('#'))
      expected.replace(at, 1, tag);
    const std::string out = run([&, id = id, &name = name] { return calls.at(name)(id); });
    EXPECT_EQ(std::regex_replace(out, std::regex("op= ?[0-9a-f]{8}"), "op=*"),
              std::to_string(rc) + ": " + expected);
  }
  // Queries read the descriptor of any defined item, bound or not.
  EXPECT_EQ(std::make_tuple(zrdb_getType(12), zrdb_item_size(2), zrdb_item_count(2),
                            zrdb_isOperational(12), zrdb_isOperational(7),
                            zrdb_getUserBlkInfo(2, &info), std::string(zrdb_getName(12))),
            std::make_tuple(1, 16, 2, 1, 0, 0, std::string("counter")));
  EXPECT_EQ(std::make_pair(static_cast<char *>(info.addr) - static_cast<char *>(zrdb_getBaseAddr()),
                           info.size),
            std::make_pair(ptrdiff_t(32), 32));
  // After clean-up the handlers have no data segment to reach.
  zrdb_Cleanup();
  EXPECT_EQ(run([&] { return zrdb_getValue(1, &v, 4); }),
            "-3: |WARN|NONAME|zrdb_getValue| ZRDID(1) is not in resurce list!\n");
}

TEST_F(ValueAccessTest, CopiesNeverLeaveTheItemOrTheElement) {
  reattach(HBUSER_CLIENT);
  uint8_t big[64];
  std::memset(big, 0x11, sizeof big);
  ASSERT_EQ(zrdb_setiValue(4, 2, big, sizeof big), 0);  // the last element, a long length
  EXPECT_EQ(zrdb_setValue(4, big, -1) + zrdb_setiValue(4, 0, big, -100), 0);  // copy nothing
  for (const int32_t idx : {3, -1}) {
    const std::string range = "(" + std::to_string(idx) + ") is out of range!\n";
    EXPECT_EQ(run([&] { return zrdb_getiValue(4, idx, big, 4) + zrdb_setiValue(4, idx, big, 4); }),
              "0: |WARN|NONAME|zrdbgeneric_iget| DID(4),idx" + range +
                  "|WARN|NONAME|zrdbgeneric_iset| DID(4),idx" + range);
  }
  uint8_t out[100];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(zrdb_getValue(4, out, -4), 0);
  EXPECT_EQ(out[0], 0xEE);
  ASSERT_EQ(zrdb_getValue(4, out, sizeof out), 0);  // the item's 12 bytes, no more
  EXPECT_EQ(std::vector<uint8_t>(out, out + 13),
            (std::vector<uint8_t>{7, 0, 0, 0, 7, 0, 0, 0, 0x11, 0x11, 0x11, 0x11, 0xEE}));
  ASSERT_EQ(zrdb_getValue(5, out, 4), 0);  // the item behind
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 4), "ZZZZ");
}

TEST_F(ValueAccessTest, PrintFormats) {
  reattach(HBUSER_PRINT);
  ASSERT_EQ(zrdb_setiValue(2, 1, "running", 8), 0);
  const std::string counter = "counter" + std::string(25, ' ') + "= 5(0x00000005)\n";
  const std::string label = "label" + std::string(27, ' '), speed = "speed" + std::string(27, ' ');
  const auto print = [](int32_t id, int32_t idx, int32_t mode) {
    return run(
        [=] { return idx < 0 ? zrdb_printValue(id, mode) : zrdb_printiValue(id, idx, mode); });
  };
  const std::string blob = "blob" + std::string(28, ' ') + "= User defined, size(12 Bytes)\n";
  // clang-format off
  const std::tuple<int32_t, int32_t, int32_t, std::string> rows[] = {  // id, element or -1, mode
      {12, -1, 1, "0012: integer   : " + counter}, {12, -1, 0, "5\n"}, {12, -1, 3, counter},
      {1, 7, 1, "0001: integer   : " + speed + "[7]= 100(0x00000064)\n"}, {1, 7, 0, "100\n"},
      {2, 1, 1, "0002: string    : " + label + "[1]= running\n"}, {2, 1, 0, "running\n"},
      {2, -1, 2, label + "= idle\n"}, {3, -1, 0, blob}};
  // clang-format on
  for (const auto &[id, idx, mode, expected] : rows)
    EXPECT_EQ(print(id, idx, mode), "0: " + expected) << id << " " << mode;
  const std::string stars(69, '*');
  const std::string head = "\n" + stars + "\nZRDB ----- test ----- Key:1510801409, Size:65536\n" +
                           stars + "\n0001: integer   : speed" + std::string(27, ' ') +
                           "= 100(0x00000064)\n0002: ";
  EXPECT_EQ(capture_stdout([] { EXPECT_GT(zrdb_dumpAll(), 0); }).substr(0, head.size()), head);
}

}  // namespace zrdb::test
