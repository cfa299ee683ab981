// zrdb-mqtt's parsers of outside input: the set payloads any client of the
// broker may send (base64 included) and the command line over the
// settings file. The bridge itself runs against a real broker in
// scripts/test-mqtt.sh.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload.h"
#include "settings.h"
#include "support/fixture.h"
#include "zrdb.h"

namespace zrdb_mqtt {
namespace {

using Bytes = std::vector<unsigned char>;

TEST(ZrdbMqtt, SetPayloadsBecomeExactlyTheBytesOfTheirElements) {
  const ItemShape word{ZRDB_TYPE_INTEGER, 4, 3, 12};
  const ItemShape half{ZRDB_TYPE_INTEGER, 2, 2, 4};
  const ItemShape text{ZRDB_TYPE_STRING, 4, 1, 4};
  const struct {
    ItemShape item;
    int32_t index;
    const char *payload;
    std::vector<Write> writes;  // none: refused
  } cases[] = {
      {word, 1, "-1", {{1, {0xff, 0xff, 0xff, 0xff}}}},
      {word, 2, "4294967295", {{2, {0xff, 0xff, 0xff, 0xff}}}},
      {word,
       kWholeItem,
       R"({"value":[1,256,0],"ts":5})",
       {{0, {1, 0, 0, 0}}, {1, {0, 1, 0, 0}}, {2, {0, 0, 0, 0}}}},
      {half, 0, "65535", {{0, {0xff, 0xff}}}},
      {text, kWholeItem, R"("ab")", {{0, {'a', 'b', 0, 0}}}},  // an older tail is cleared
      {word, 0, "4294967296", {}},
      {word, 0, "-2147483649", {}},
      {word, 0, "[[[[1]]]]", {}},
      {word, 0, R"({"value":1,"x":2})", {}},
      {word, 0, "true", {}},
      {word, 0, "1e3", {}},
      {half, 0, "70000", {}},
      {text, kWholeItem, R"("abcde")", {}},
  };
  for (const auto &c : cases) {
    std::vector<Write> writes;
    EXPECT_EQ(parse_set(c.payload, c.item, c.index, writes).empty(), !c.writes.empty())
        << c.payload;
    ASSERT_EQ(writes.size(), c.writes.size()) << c.payload;
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].index, c.writes[i].index) << c.payload;
      EXPECT_EQ(writes[i].bytes, c.writes[i].bytes) << c.payload;
    }
  }
}

TEST(ZrdbMqtt, Base64RoundTripsAndRefusesWhatIsNotBase64) {
  for (size_t n = 0; n < 8; ++n) {
    Bytes data;  // grown, not indexed: GCC 12 at -O3 misjudges the indexed form
    for (size_t i = 0; i < n; ++i) data.push_back(static_cast<unsigned char>(0xf0 + i * 37));
    Bytes back;
    ASSERT_TRUE(base64_decode(base64_encode(data.data(), n), back)) << n;
    EXPECT_EQ(back, data) << n;
  }
  Bytes out;
  using namespace std::string_view_literals;
  for (const std::string_view bad : {"A"sv, "AB=C"sv, "A==="sv, "AB==AB=="sv, "AB\0="sv, "AB-_"sv})
    EXPECT_FALSE(base64_decode(bad, out)) << bad;
}

TEST(ZrdbMqtt, TheCommandLineReplacesTheFilesListsAndSettings) {
  zrdb::test::TempDir dir;
  const std::string file = dir.write("bridge.conf", "publish a b\npublish c\nqos 1\ninterval 50\n");
  const char *argv[] = {"zrdb-mqtt", "--publish", "x,y", "-c",   file.c_str(),
                        "--qos",     "0",         "db",  nullptr};
  Settings s;
  std::string error;
  ASSERT_EQ(parse_command_line(8, const_cast<char **>(argv), s, error), 0) << error;
  EXPECT_EQ(s.publish, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(s.qos, 0);
  EXPECT_EQ(s.intervalMs, 50);
  EXPECT_EQ(s.dbFile, "db");
}

}  // namespace
}  // namespace zrdb_mqtt
