// Numbers in the configuration files: every numeric field reads like a 32-bit
// strtol with base 0, which saturates. Hostile texts are the fuzz targets' job.
#include <climits>

#include "support/fixture.h"

namespace zrdb::test {

// clang-format off
const std::pair<std::string, int32_t> kNumbers[] = {
    {"0xFFFFFFFF", INT32_MAX}, {"-0x80000001", INT32_MIN}, {"4294967296", INT32_MAX},
    {"-99999999999", INT32_MIN}, {"0x10", 16}, {"010", 8}, {"-7", -7}, {"12abc", 12}};
// clang-format on

class NumberTest : public DatabaseTest {
  std::string items() const override {  // item i has the initial value kNumbers[i]
    std::string text;
    for (size_t i = 0; i < std::size(kNumbers); ++i)
      text += "id=" + std::to_string(i) + ", value=" + kNumbers[i].first + "\n";
    return text;
  }
};

TEST_F(NumberTest, EveryNumericFieldReadsLikeA32BitSaturatingStrtol) {
  reattach(HBUSER_CLIENT);
  for (int32_t i = 0; i < int32_t(std::size(kNumbers)); ++i) {
    const auto &[t, v] = kNumbers[i];
    ZRDB_SIZE_MAP b{};
    ZRDB_RT_CTRL rt{};
    ZRDB_SYNCTO s{};
    int32_t initial = 0;
    getSizeFromStr((t + "*" + t).c_str(), &b);
    getMapInfoFromStr((t + ":1:1").c_str(), &b);
    getIdFromStr((t + "*" + t + "*" + t).c_str(), &rt);
    getSyncInfoFromStr((t + ":" + t + ":" + t).c_str(), &s);
    zrdb_getValue(i, &initial, 4);
    const int32_t key = zrdbIndexHdr.sysHdr->key;  // the [system] key line, put back after
    parseSegSystem(("key=" + t).c_str(), 1);
    EXPECT_EQ(
        (std::vector<int32_t>{b.elemSize, b.count, b.mapA, rt.rtA[0], rt.rtB[0], rt.rtC[0],
                              s.rmtDid, s.remoteId, s.mode, initial, zrdbIndexHdr.sysHdr->key}),
        std::vector<int32_t>(11, v))
        << t;
    zrdbIndexHdr.sysHdr->key = key;
  }
}

}  // namespace zrdb::test
