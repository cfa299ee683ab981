// Value parsers read numbers like a saturating 32-bit strtol (overlong texts: config_parser).
#include "support/fixture.h"

namespace zrdb::test {

TEST(ValueParserTest, EveryNumericFieldReadsLikeA32BitSaturatingStrtol) {
  const std::pair<std::string, int32_t> numbers[] = {{"0xFFFFFFFF", INT32_MAX},
                                                     {"-0x80000001", INT32_MIN},
                                                     {"4294967296", INT32_MAX},
                                                     {"-99999999999999999999", INT32_MIN},
                                                     {"2147483647", INT32_MAX},
                                                     {"-2147483648", INT32_MIN},
                                                     {"0x10", 16},
                                                     {"010", 8},
                                                     {"-7", -7},
                                                     {"12abc", 12}};
  for (const auto &[t, v] : numbers) {
    ZRDB_SIZE_MAP b{};
    getSizeFromStr((t + "*" + t).c_str(), &b);
    getMapInfoFromStr((t + ":1:1").c_str(), &b);
    ZRDB_RT_CTRL rt{};
    getIdFromStr((t + "*" + t + "*" + t).c_str(), &rt);
    ZRDB_SYNCTO s{};
    getSyncInfoFromStr((t + ":" + t + ":" + t).c_str(), &s);
    EXPECT_EQ(std::vector<int32_t>({b.elemSize, b.count, b.mapA, rt.rtA[0], rt.rtB[0], rt.rtC[0],
                                    s.rmtDid, s.remoteId, s.mode}),
              std::vector<int32_t>(9, v))
        << t;
  }
  ZRDB_SIZE_MAP b{};
  ZRDB_RT_CTRL rt{};
  for (int i = 0; i < ZRDB_RT_MAX; ++i) getIdFromStr("1*2", &rt);
  // B and C are 16-bit fields; a full realtime block takes no more entries.
  EXPECT_EQ(getMapInfoFromStr("9:65537:65538", &b) + getIdFromStr("3*4", &rt), -1);
  EXPECT_EQ(std::make_tuple(b.mapB, b.mapC, rt.rtCount), std::make_tuple(1, 2, 5u));
}

}  // namespace zrdb::test
