// Circular buffers: slot layout, the fit limit of a record, overflow and
// underflow accounting, reads into short destinations, parts of every
// length across the wrap of both indices.
#include "support/fixture.h"

namespace zrdb::test {

class CbufTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=cb, type=cbuf, size=32*4\nid=2, value=7\n"
           "id=3, name=wide, type=cbuf, size=152*3\nid=4, name=unlisted, type=cbuf, size=32*2\n";
  }
  void SetUp() override {
    DatabaseTest::SetUp();
    ASSERT_EQ(attach({1, 2, 3}), 0);  // the id list adds d_print to d_ctrl
  }
};

// Reads one record of the buffer: "result msg/data", or the result alone.
std::string record(int32_t msgCap = 64, int32_t dataCap = 64, bool withMsg = true,
                   bool withData = true) {
  char msg[64], data[64];
  int32_t msgLen = -7, dataLen = -7;
  const int rc = zrdb_cbufRead(1, withMsg ? msg : nullptr, msgCap, withData ? data : nullptr,
                               dataCap, &msgLen, &dataLen);
  if (rc != 0) return std::to_string(rc) + (msgLen == -7 && dataLen == -7 ? "" : " lengths set");
  return "0 " + std::string(msg, size_t(msgLen)) + "/" + std::string(data, size_t(dataLen));
}

TEST_F(CbufTest, SlotsCarryRecordsOfAtMostEMinus12Bytes) {
  char *area = static_cast<char *>(zrdb_getBaseAddr());  // header, then slot i at 20 + 32 i
  const char *abc = "abcdefghijklmnopqrstuvwxyz";
  const std::string too = "-1: |WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[1]:Null buffer or ";
  // A write, its output, the lengths left in the slot (U: untouched), the next read.
  // clang-format off
  using S = std::string;
  const std::tuple<const char *, int32_t, const char *, int32_t, S, S, S> rows[] = {
      {abc, 20, abc, 0, "0: ", "20,0", "0 abcdefghijklmnopqrst/"},
      {abc, 5, abc, 15, "0: ", "5,15", "0 abcde/abcdefghijklmno"},
      {abc, 0, abc, 0, "0: ", "0,0", "0 /"},
      {abc, 21, abc, 0, too + "msize is too big(21)\n", "0,U", "-1"},
      {abc, -1, abc, 0, too + "msize is too big(-1)\n", "0,U", "-1"},
      {nullptr, 0, abc, 0, too + "msize is too big(0)\n", "0,U", "-1"},
      {abc, 5, abc, 16, too + "dsize is too big(16)\n", "5,0", "-1"},
      {abc, 0, abc, -1, too + "dsize is too big(-1)\n", "0,0", "-1"},
      {abc, 4, nullptr, 2, too + "dsize is too big(2)\n", "4,0", "-1"}};
  // clang-format on
  for (const auto &[msg, msize, data, dsize, out, head, next] : rows) {
    char *slot = area + 20 + 32 * reinterpret_cast<ZRDB_CBUF_HDR *>(area)->wr;
    std::memset(slot, 0x77, 8);
    EXPECT_EQ(run([&] { return zrdb_cbufWrite(1, msg, msize, data, dsize); }), out);
    uint32_t len[2];
    std::memcpy(len, slot, sizeof len);
    EXPECT_EQ((len[0] == 0x77777777 ? "U" : std::to_string(len[0])) + "," +
                  (len[1] == 0x77777777 ? "U" : std::to_string(len[1])),
              head)
        << out;
    EXPECT_EQ(record(), next) << out;  // a refused record is not published
  }
  EXPECT_EQ(std::string(area + 52, 28),
            std::string("\5\0\0\0\17\0\0\0abcdeabcdefghijklmno", 28));  // slot 1
  EXPECT_EQ(std::string(area + 148, 4), std::string("\7\0\0\0", 4));    // the item behind
}

TEST_F(CbufTest, FourSlotsHoldThreeRecordsAndTheStatisticsCountIt) {
  const std::string line = "cb" + std::string(30, ' ') + "= Circular Buffer, size(32*4 Bytes), ";
  for (int i = 0; i < 3; ++i) ASSERT_EQ(zrdb_cbufWrite(1, "m", 1, "d", 1), 0);
  EXPECT_EQ(run([] { return zrdb_printValue(1, 0); }), "0: " + line + "OF(1),UF(0),MBL(3)\n");
  ASSERT_EQ(zrdb_cbufWrite(1, "m", 1, "d", 1), 0);  // wr meets rd: the three records are lost
  EXPECT_EQ(record(), "-1");
  EXPECT_EQ(record(), "-1");
  EXPECT_EQ(run([] { return zrdb_printValue(1, 1); }),
            "0: 0001: cbuf      : " + line + "OF(1),UF(2),MBL(3)\n");
  // Mode 2 resets the statistics and keeps the records.
  ASSERT_EQ(zrdb_cbufWrite(1, "x", 1, "y", 1), 0);
  EXPECT_EQ(run([] { return zrdb_printValue(1, 2); }), "0: ");
  EXPECT_EQ(run([] { return zrdb_printValue(1, 0); }), "0: " + line + "OF(0),UF(0),MBL(0)\n");
  EXPECT_EQ(record(), "0 x/y");
}

TEST_F(CbufTest, ShortOrMissingDestinationSkipsThatPartButConsumesTheRecord) {
  const std::string tag = "|WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[1]:Null buffer or ";
  const std::string msg = tag + "msize is too small(", data = tag + "or dsize is too small(";
  // clang-format off
  const std::tuple<int32_t, int32_t, bool, bool, std::string, std::string> rows[] = {
      {3, 5, true, true, "", "0 abc/defgh"},  // exact capacities
      {2, 5, true, true, msg + "2)\n", "0 /defgh"},    {3, 4, true, true, data + "4)\n", "0 abc/"},
      {3, 5, false, true, msg + "3)\n", "0 /defgh"},   {3, 5, true, false, data + "5)\n", "0 abc/"},
      {0, 0, false, false, msg + "0)\n" + data + "0)\n", "0 /"}};
  // clang-format on
  for (const auto &[msgCap, dataCap, withMsg, withData, out, got] : rows) {
    ASSERT_EQ(zrdb_cbufWrite(1, "abc", 3, "defgh", 5), 0);
    std::string read;
    EXPECT_EQ(capture_stdout([&] { read = record(msgCap, dataCap, withMsg, withData); }), out);
    EXPECT_EQ(read, got);
    EXPECT_EQ(record(), "-1");  // consumed
  }
}

TEST_F(CbufTest, PartsOfEveryLengthArriveIntactLapAfterLap) {
  char *area = static_cast<char *>(zrdb_getBaseAddr()) + descriptor(3)->offset;
  const auto *hdr = reinterpret_cast<const ZRDB_CBUF_HDR *>(area);
  // Message and data lengths around each size the copies switch at; the
  // slots carry 140 bytes, three slots wrap rd and wr every third record.
  const std::pair<int32_t, int32_t> rows[] = {{1, 0},   {2, 3},   {3, 4},   {4, 7},   {7, 8},
                                              {8, 15},  {16, 16}, {17, 31}, {32, 33}, {8, 56},
                                              {63, 64}, {64, 65}, {0, 140}, {70, 70}};
  char msg[160], data[160];
  for (size_t i = 0; i < 160; ++i) msg[i] = char('a' + i % 26), data[i] = char('A' + i % 26);
  for (const auto &[m, d] : rows) {
    char *slot = area + 20 + 152 * hdr->wr;
    std::memset(slot, 0x77, 152);
    ASSERT_EQ(zrdb_cbufWrite(3, msg + m % 5, m, data + d % 7, d), 0) << m << "+" << d;
    EXPECT_EQ(std::string(slot + 8, size_t(m + d)),
              std::string(msg + m % 5, size_t(m)) + std::string(data + d % 7, size_t(d)));
    EXPECT_EQ(std::string(slot + 8 + m + d, size_t(144 - m - d)),
              std::string(size_t(144 - m - d), 0x77));
    std::string gotMsg(160, 'U'), gotData(160, 'U');  // nothing past the parts is written
    int32_t msgLen = 0, dataLen = 0;
    ASSERT_EQ(zrdb_cbufRead(3, gotMsg.data(), 160, gotData.data(), 160, &msgLen, &dataLen), 0);
    EXPECT_EQ(gotMsg.substr(0, size_t(msgLen) + 4), std::string(msg + m % 5, size_t(m)) + "UUUU");
    EXPECT_EQ(gotData.substr(0, size_t(dataLen) + 4),
              std::string(data + d % 7, size_t(d)) + "UUUU");
  }
  // Every write met one record at most: the level across the wrap is 1.
  EXPECT_EQ(run([] { return zrdb_printValue(3, 0); }),
            "0: wide" + std::string(28, ' ') +
                "= Circular Buffer, size(152*3 Bytes), OF(0),UF(0),MBL(1)\n");
}

TEST_F(CbufTest, HandlerRefusesAnItemThisProcessDidNotBind) {
  ZRDB_CBUF_PARA p{const_cast<char *>("m"), 1, const_cast<char *>("d"), 1, 0, 0, 4};
  EXPECT_EQ(run([&] {
              return zrdbcbuf_ctrl(&zrdbIndexHdr.dit[4], ZRDBCBUFOP_WRITE,
                                   reinterpret_cast<intptr_t>(&p));
            }),
            "-9: |WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[4]:not bound in this process\n");
}

}  // namespace zrdb::test
