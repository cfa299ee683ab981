// Circular buffers: layout, fit, overwrite and statistics, refusals, a killed writer.
#include "support/fixture.h"

namespace zrdb::test {

using namespace std::string_literals;

enum : int32_t { kGeom = 1, kFour, kFit, kGuard, kStress, kBare = 7, kTiny, kAfter };

class CbufTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, type=cbuf, size=64*32\nid=2, name=cb_four, type=cbuf, size=16*4\n"
           "id=3, type=cbuf, size=24*4\nid=4, value=0x5a5a5a5a\nid=5, type=cbuf, size=40*8\n"
           "id=7, type=cbuf\nid=8, type=cbuf, size=11*2\nid=9, value=7\n";
  }
  void SetUp() override {
    DatabaseTest::SetUp();
    const int32_t list[] = {1, 2, 3, 4, 5, 7, 8, 9, -1};  // the id list adds d_print
    reattach(HBUSER_CLIENT, list);
  }
};

// "result message|data" of the next record.
std::string next_record(int32_t id, int32_t msgCap = 64, int32_t dataCap = 64, bool nul = false) {
  char msg[64] = {}, data[64] = {};
  int32_t msgLen = 0, dataLen = 0;
  const int rc = zrdb_cbufRead(id, nul ? nullptr : msg, msgCap, data, dataCap, &msgLen, &dataLen);
  return std::to_string(rc) + " " + std::string(msg, msgLen) + "|" + std::string(data, dataLen);
}

TEST_F(CbufTest, RecordsFitWhenBothPartsLeaveTheLastFourBytesOfTheSlot) {
  ASSERT_EQ(zrdb_cbufWrite(kGeom, "ab", 2, "cde", 3), 0);
  ASSERT_EQ(zrdb_cbufWrite(kGeom, "f", 1, "", 0), 0);
  // Slot i at 20 + 64 i: message length, data length, message, data.
  EXPECT_EQ(std::string(reinterpret_cast<char *>(item_area(kGeom)) + 20, 73),
            "\2\0\0\0\3\0\0\0abcde"s + std::string(51, '\0') + "\1\0\0\0\0\0\0\0f"s);
  for (const char *record : {"0 ab|cde", "0 f|", "-1 |"}) EXPECT_EQ(next_record(kGeom), record);
  const char b[] = "abcdefghijklmnopqrstuvwxyz";
  const std::string w = "-1|WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[3]:Null buffer or ";
  // Slots of 24 bytes carry 12; a refused record is not published.
  const std::tuple<const char *, int32_t, const char *, int32_t, std::string> cases[] = {
      {b, 12, b, 0, "00 abcdefghijkl|"},
      {b, 0, b, 12, "00 |abcdefghijkl"},
      {b, 5, b, 7, "00 abcde|abcdefg"},
      {b, 13, b, 0, w + "msize is too big(13)\n-1 |"},
      {b, -1, b, 0, w + "msize is too big(-1)\n-1 |"},
      {nullptr, 0, b, 0, w + "msize is too big(0)\n-1 |"},
      {b, 5, b, 8, w + "dsize is too big(8)\n-1 |"},
      {b, 4, nullptr, 2, w + "dsize is too big(2)\n-1 |"}};
  for (const auto &[msg, msize, data, dsize, expected] : cases) {
    const auto wrote = outcome([&] { return zrdb_cbufWrite(kFit, msg, msize, data, dsize); });
    EXPECT_EQ(wrote + next_record(kFit), expected);
  }
  EXPECT_EQ(*reinterpret_cast<uint32_t *>(item_area(kGuard)), 0x5a5a5a5au);
}

TEST_F(CbufTest, AFullBufferIsOverwrittenAndTheStatisticsCountIt) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(zrdb_cbufWrite(kFour, "m", 1, "d", 1), 0);
  const auto line = "cb_four" + std::string(25, ' ') + "= Circular Buffer, size(16*4 Bytes), ";
  EXPECT_EQ(outcome([] { return zrdb_printValue(kFour, 0); }), "0" + line + "OF(1),UF(0),MBL(3)\n");
  ASSERT_EQ(zrdb_cbufWrite(kFour, "m", 1, "d", 1), 0);  // wr reaches rd: the buffer reads empty
  EXPECT_EQ(next_record(kFour) + next_record(kFour), "-1 |-1 |");
  EXPECT_EQ(outcome([] { return zrdb_printValue(kFour, 1); }),
            "00002: cbuf      : " + line + "OF(1),UF(2),MBL(3)\n");
  // Mode 2 resets the statistics and keeps the records.
  ASSERT_EQ(zrdb_cbufWrite(kFour, "x", 1, "", 0), 0);
  EXPECT_EQ(outcome([] { return zrdb_printValue(kFour, 2); }), "0");
  EXPECT_EQ(outcome([] { return zrdb_printValue(kFour, 0); }), "0" + line + "OF(0),UF(0),MBL(0)\n");
  EXPECT_EQ(next_record(kFour), "0 x|");
}

TEST_F(CbufTest, ShortOrMissingDestinationSkipsThatPartButConsumesTheRecord) {
  const std::string w = "0 |defgh|WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[1]:Null buffer or ";
  for (const auto &[msgCap, dataCap, nul, expected] :
       {std::tuple{2, 64, false, w + "msize is too small(2)\n"},
        {3, 64, true, w + "msize is too small(3)\n"},
        {3, 4, false, "0 abc|" + w.substr(8) + "or dsize is too small(4)\n"}}) {
    ASSERT_EQ(zrdb_cbufWrite(kGeom, "abc", 3, "defgh", 5), 0);
    const std::string read = outcome([&] { return next_record(kGeom, msgCap, dataCap, nul); });
    EXPECT_EQ(read + next_record(kGeom), expected + "-1 |");
  }
}

TEST_F(CbufTest, SlotsTooSmallForARecordAreCreatedButRefused) {
  // Created like any other buffer (the allocation succeeded), refused when used.
  for (const auto &[id, size] : {std::pair{kBare, "0*0"}, std::pair{kTiny, "11*2"}}) {
    const std::string refused = "|WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[" + std::to_string(id) +
                                "]:circular buffer size(" + size +
                                ") refused, slots need at least 12 bytes\n";
    EXPECT_EQ(outcome([&] { return zrdb_cbufWrite(id, "", 0, "", 0); }) +
                  outcome([&] { return next_record(id); }),
              "-1" + refused + "-1 |" + refused);
  }
  EXPECT_EQ(
      std::make_pair(descriptor(kBare)->size, *reinterpret_cast<int32_t *>(item_area(kAfter))),
      std::make_pair(20, 7));  // the bare buffer's header only; its neighbour untouched
}

TEST_F(CbufTest, RecordsOfAWriterProcessKilledAfterwardsAreReadWhole) {
  const auto data = [](int n) { return std::string(20 + n, char('a' + n)); };
  {
    Child writer([&] {
      for (int n = 0; n < 3; ++n) zrdb_cbufWrite(kStress, "msg", 3, data(n).data(), 20 + n);
      return pause();  // where it is killed
    });
    for (int i = 0; i < 5000 && ((ZRDB_CBUF_HDR *)item_area(kStress))->wr != 3; ++i) usleep(1000);
  }
  for (int n = 0; n < 3; ++n) EXPECT_EQ(next_record(kStress), "0 msg|" + data(n));
  EXPECT_EQ(next_record(kStress), "-1 |");
}

}  // namespace zrdb::test
