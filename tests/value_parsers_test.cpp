// The compound-value parsers and the keyword lookup: pure functions over
// caller-owned records, so every case checks the written fields and also the
// fields each parser must leave alone.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

constexpr int32_t kUntouched32 = 0x5A5A5A5A;
constexpr uint16_t kUntouched16 = 0xA5A5;

ZRDB_SIZE_MAP filled_block() {
  ZRDB_SIZE_MAP block;
  block.elemSize = kUntouched32;
  block.count = kUntouched32;
  block.mapB = kUntouched16;
  block.mapC = kUntouched16;
  block.mapA = kUntouched32;
  return block;
}

TEST(KeywordLookupTest, EveryKeywordMapsToItsPositionCaseSensitively) {
  struct Table {
    const ZRDB_KEYMAP *map;
    std::vector<std::string> words;
  };
  const Table tables[] = {
      {DBITEMTYPE_MAP,
       {"user", "integer", "string", "semap", "cbuf", "vlinkmst", "vlinkslv", "msgbuf", "thrd_rbuf",
        "thrd_fifo", "rmtbuf", "vlinkbuf"}},
      {DBSEGEKY_MAP,
       {"id", "name", "value", "type", "size", "mapto", "realtime", "timeout", "symblink",
        "syncto"}},
      {SYSSEGKEY_MAP, {"name", "key", "size"}},
  };
  for (const Table &table : tables) {
    for (size_t i = 0; i < table.words.size(); ++i) {
      const std::string &word = table.words[i];
      SCOPED_TRACE(word);
      EXPECT_EQ(getKeyMapIdx(table.map, word.c_str()), static_cast<int>(i));
      // The entry itself: keyword NUL-padded in its 32-byte field, code = position.
      char padded[32] = {};
      std::memcpy(padded, word.data(), word.size());
      EXPECT_EQ(std::memcmp(table.map[i].key, padded, sizeof padded), 0);
      EXPECT_EQ(table.map[i].code, static_cast<int32_t>(i));
      std::string upper = word;
      upper[0] = static_cast<char>(upper[0] - 'a' + 'A');
      EXPECT_EQ(getKeyMapIdx(table.map, upper.c_str()), -1);
      EXPECT_EQ(getKeyMapIdx(table.map, (word + " ").c_str()), -1);
      EXPECT_EQ(getKeyMapIdx(table.map, word.substr(0, word.size() - 1).c_str()), -1);
    }
  }
  EXPECT_EQ(getKeyMapIdx(DBITEMTYPE_MAP, "Vlinkbuf"), -1);
  EXPECT_EQ(getKeyMapIdx(DBITEMTYPE_MAP, ""), -1);
  EXPECT_EQ(getKeyMapIdx(DBITEMTYPE_MAP, nullptr), -1);
  // A keyword of one table is not found in another.
  EXPECT_EQ(getKeyMapIdx(SYSSEGKEY_MAP, "id"), -1);
  EXPECT_EQ(getKeyMapIdx(DBSEGEKY_MAP, "key"), -1);
  EXPECT_EQ(getKeyMapIdx(DBSEGEKY_MAP, "integer"), -1);
}

TEST(SizeParserTest, ReadsElementSizeAndCountAndRejectsZeros) {
  struct Case {
    const char *text;
    int result;
    int32_t elemSize;
    int32_t count;
  };
  const Case cases[] = {
      {"7", 0, 7, 1},
      {"4*8", 0, 4, 8},
      // base-0 literals: hex and octal
      {"0x10*010", 0, 16, 8},
      // split at the first '*' only
      {"4*8*2", 0, 4, 8},
      // non-zero is all this parser asks
      {"-3*2", 0, -3, 2},
      {"0", -1, 0, 1},
      {"0*4", -1, 0, 4},
      {"4*0", -1, 4, 0},
      {"4*", -1, 4, 0},
      {"abc", -1, 0, 1},
      {"", -1, 0, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ZRDB_SIZE_MAP block = filled_block();
    EXPECT_EQ(getSizeFromStr(c.text, &block), c.result);
    EXPECT_EQ(block.elemSize, c.elemSize);
    EXPECT_EQ(block.count, c.count);
    // The map half of the block belongs to getMapInfoFromStr.
    EXPECT_EQ(block.mapB, kUntouched16);
    EXPECT_EQ(block.mapC, kUntouched16);
    EXPECT_EQ(block.mapA, kUntouched32);
  }
}

TEST(SizeParserTest, ReadsOnlyTheFirst127Characters) {
  // 126 zeros and "1" fill the private copy exactly; the "*5" behind them is
  // never seen, so N stays 1. A copy one longer would see "*" and fail (N 0).
  const std::string text = std::string(126, '0') + "1*5";
  ZRDB_SIZE_MAP block = filled_block();
  EXPECT_EQ(getSizeFromStr(text.c_str(), &block), 0);
  EXPECT_EQ(block.elemSize, 1);
  EXPECT_EQ(block.count, 1);
}

TEST(MapParserTest, StoresTheFieldsPresentAndReportsWhatIsMissing) {
  struct Case {
    const char *text;
    int result;
    int32_t mapA;
    uint16_t mapB;
    uint16_t mapC;
  };
  const Case cases[] = {
      {"7:2:3", 0, 7, 2, 3},
      {"0x10:010:0", 0, 16, 8, 0},
      {"1:2:3:4", 0, 1, 2, 3},        // a third ':' stays in C's text
      {"1:65537:65538", 0, 1, 1, 2},  // B and C are 16-bit fields
      {"-4:1:1", 0, -4, 1, 1},
      {"1:0:3", -3, 1, 0, 3},                    // B must not be 0
      {"1:2", -2, 1, 2, kUntouched16},           // no C
      {"5", -1, 5, kUntouched16, kUntouched16},  // no B
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ZRDB_SIZE_MAP block = filled_block();
    EXPECT_EQ(getMapInfoFromStr(c.text, &block), c.result);
    EXPECT_EQ(block.mapA, c.mapA);
    EXPECT_EQ(block.mapB, c.mapB);
    EXPECT_EQ(block.mapC, c.mapC);
    EXPECT_EQ(block.elemSize, kUntouched32);
    EXPECT_EQ(block.count, kUntouched32);
  }
}

TEST(RealtimeParserTest, AppendsEntriesWithDefaultTimeout) {
  ZRDB_RT_CTRL rt = {};
  EXPECT_EQ(getIdFromStr("30*10", &rt), 0);
  EXPECT_EQ(getIdFromStr("0x1e*010*11", &rt), 0);
  EXPECT_EQ(getIdFromStr("1*2*3*4", &rt), 0);  // C is read up to the third '*'
  EXPECT_EQ(getIdFromStr("99", &rt), -1);      // no '*': nothing appended
  EXPECT_EQ(getIdFromStr("", &rt), -1);
  ASSERT_EQ(rt.rtCount, 3u);
  const std::array<int32_t, 5> a{30, 30, 1, 0, 0}, b{10, 8, 2, 0, 0}, c{0, 11, 3, 0, 0},
      timeout{2, 2, 2, 0, 0};
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rt.rtA[i], a[i]);
    EXPECT_EQ(rt.rtB[i], b[i]);
    EXPECT_EQ(rt.rtC[i], c[i]);
    EXPECT_EQ(rt.rtTimeout[i], timeout[i]);
  }
}

TEST(RealtimeParserTest, FullBlockIsLeftUnchanged) {
  ZRDB_RT_CTRL rt = {};
  for (int i = 0; i < ZRDB_RT_MAX; ++i) {
    ASSERT_EQ(getIdFromStr((std::to_string(i + 1) + "*7").c_str(), &rt), 0);
  }
  ASSERT_EQ(rt.rtCount, 5u);
  struct Guarded {
    ZRDB_RT_CTRL rt;
    int32_t after;
  } guarded{rt, kUntouched32};
  EXPECT_EQ(getIdFromStr("8*9*10", &guarded.rt), -1);
  EXPECT_EQ(std::memcmp(&guarded.rt, &rt, sizeof rt), 0);
  EXPECT_EQ(guarded.after, kUntouched32);
}

TEST(SyncParserTest, ReadsTargetIdAndModeOrLeavesTheRecordAlone) {
  struct Case {
    const char *text;
    int result;
    ZRDB_SYNCTO expected;
  };
  const Case cases[] = {
      {"12:40", 0, {12, 40, 0}},
      {"12:40:3", 0, {12, 40, 3}},
      {"0x10:-1", 0, {16, -1, 0}},
      {"12:40:3:9", 0, {12, 40, 3}},
      {"12", -1, {kUntouched32, kUntouched32, kUntouched32}},
      {"", -1, {kUntouched32, kUntouched32, kUntouched32}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ZRDB_SYNCTO out = {kUntouched32, kUntouched32, kUntouched32};
    EXPECT_EQ(getSyncInfoFromStr(c.text, &out), c.result);
    EXPECT_EQ(out.rmtDid, c.expected.rmtDid);
    EXPECT_EQ(out.remoteId, c.expected.remoteId);
    EXPECT_EQ(out.mode, c.expected.mode);
  }
}

TEST(ItemFieldParserTest, CopiesFieldNOrTheEmptyString) {
  struct Case {
    const char *text;
    int n;
    const char *field;
  };
  const Case cases[] = {
      {"alpha:beta:gamma", 0, "alpha"},
      {"alpha:beta:gamma", 1, "beta"},
      {"alpha:beta:gamma", 2, "gamma"},
      {"alpha:beta:gamma", 3, ""},
      {"/io_lock:1", 0, "/io_lock"},
      {"/io_lock:1", 1, "1"},
      {"a::c", 1, ""},
      {"a::c", 2, "c"},  // empty fields count
      {":x", 0, ""},
      {"plain", 0, "plain"},
      {"plain", 1, ""},
      {"", 0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " field " + std::to_string(c.n));
    char dst[64];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(getItemFromStr(c.text, c.n, dst, sizeof dst), 0);
    EXPECT_STREQ(dst, c.field);
  }
}

TEST(ItemFieldParserTest, StaysWithinTheDestinationAndThe128CharacterCopy) {
  struct Guarded {
    char dst[4];
    char after[4];
  } g;
  std::memset(&g, 'Z', sizeof g);
  EXPECT_EQ(getItemFromStr("abcdef:x", 0, g.dst, sizeof g.dst), 0);
  EXPECT_STREQ(g.dst, "abc");
  EXPECT_EQ(std::string(g.after, sizeof g.after), "ZZZZ");

  char one = 'Z';
  EXPECT_EQ(getItemFromStr("abc", 0, &one, 1), 0);
  EXPECT_EQ(one, '\0');

  // 126 characters, ':' and "bc": the private copy of 128 characters ends
  // after the "b", so field 1 is "b" (not "bc", and not missing).
  const std::string text = std::string(126, 'a') + ":bc";
  char dst[256];
  EXPECT_EQ(getItemFromStr(text.c_str(), 1, dst, sizeof dst), 0);
  EXPECT_STREQ(dst, "b");
  EXPECT_EQ(getItemFromStr(text.c_str(), 0, dst, sizeof dst), 0);
  EXPECT_EQ(std::string(dst), std::string(126, 'a'));
}

TEST(ValueParserTest, OverlongInputsNeverWritePastTheirRecords) {
  // A text far beyond every private copy, in every parser's syntax.
  const std::string longText = std::string(5000, '9') + ":" + std::string(5000, '7') + "*1";
  struct {
    ZRDB_SIZE_MAP block;
    int32_t after;
  } size{filled_block(), kUntouched32};
  getSizeFromStr(longText.c_str(), &size.block);
  getMapInfoFromStr(longText.c_str(), &size.block);
  EXPECT_EQ(size.after, kUntouched32);
  struct {
    ZRDB_SYNCTO out;
    int32_t after;
  } sync{{0, 0, 0}, kUntouched32};
  getSyncInfoFromStr(longText.c_str(), &sync.out);
  EXPECT_EQ(sync.after, kUntouched32);
  struct {
    ZRDB_RT_CTRL rt;
    int32_t after;
  } rt{{}, kUntouched32};
  // The '*' lies beyond the copy: nothing may be appended.
  EXPECT_EQ(getIdFromStr(longText.c_str(), &rt.rt), -1);
  EXPECT_EQ(rt.rt.rtCount, 0u);
  EXPECT_EQ(rt.after, kUntouched32);
}

}  // namespace
}  // namespace zrdb::test
