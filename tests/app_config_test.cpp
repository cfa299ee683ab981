// Application files: parameter binding, the id list handed to the attach,
// symbolic link definitions and their errors.
#include <gmock/gmock.h>

#include <cstring>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class AppConfigTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=one, type=integer\n"
           "id=5, name=five, type=integer, size=4*4\n"
           "id=12, name=speed, type=integer\n"
           "id=13, name=label, type=string\n"
           "id=20, name=bank, type=integer, size=4*8\n"
           "id=21, name=other, type=integer, size=4*8\n";
  }
  // Runs zrdb_appInit on `text` after a fresh index attach; returns its
  // result and what it printed.
  std::pair<int, std::string> app_init(const std::string &text, ZRDB_APP_PARAM *params = nullptr) {
    zrdb_Cleanup();
    EXPECT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    appPath_ = dir_.write("app.cfg", text);
    int rc = 0;
    const std::string out =
        capture_stdout([&] { rc = zrdb_appInit(appPath_.c_str(), params, HBUSER_CLIENT); });
    return {rc, out};
  }
  static bool bound(int32_t id) { return zrdbIndexHdr.dit[id].op != nullptr; }
  static std::vector<std::pair<int, int>> pairs(int32_t linkId) {
    const ZRDB_SYMBLINK *link = glb_symblink[linkId - ZRDB_SYMBLINK_BASE];
    std::vector<std::pair<int, int>> out;
    for (int i = 0; i < link->count; ++i) out.emplace_back(link->pairs[i].did, link->pairs[i].idx);
    return out;
  }
  std::string appPath_;
};

using Pairs = std::vector<std::pair<int, int>>;

TEST_F(AppConfigTest, ExampleFileBindsParametersLinksAndOnlyTheNamedItems) {
  int32_t speed = -1;
  int32_t label = -1;
  int32_t sensors = -1;
  int32_t missing = -7;
  ZRDB_APP_PARAM params[5] = {{&speed, "speed"},
                              {&label, "label"},
                              {&sensors, "sensors"},
                              {&missing, "missing"},
                              {nullptr, ""}};
  const auto [rc, out] = app_init(
      "# application\n"
      "id = 12, name = speed\n"
      "id 13 name label\n"
      "name = sensors, size = 4*5, symblink = 20(0-2):21(4-5)\n",
      params);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(speed, 12);
  EXPECT_EQ(label, 13);
  EXPECT_EQ(sensors, 10000);
  EXPECT_EQ(missing, -7);
  EXPECT_THAT(out,
              HasSubstr("|WARN|NONAME|zrdb_appInit| WARNING: Param: missing  is not defined in " +
                        appPath_ + "!!!\n"));
  EXPECT_THAT(out, HasSubstr("|INFO|NONAME|zrdb_appInit| start zrdb initialization(mode=3)!\n"));
  EXPECT_THAT(out, HasSubstr("|INFO|NONAME|zrdb_appInit| zrdb initialization done!, ret =0\n"));
  EXPECT_EQ(glb_symblink_total, 1);
  EXPECT_STREQ(glb_symblink[0]->name, "sensors");
  EXPECT_EQ(glb_symblink[0]->pairSize, 4);
  EXPECT_EQ(pairs(10000), (Pairs{{20, 0}, {20, 1}, {20, 2}, {21, 4}, {21, 5}}));
  for (const int32_t id : {12, 13, 20, 21}) EXPECT_TRUE(bound(id)) << id;
  for (const int32_t id : {1, 5}) EXPECT_FALSE(bound(id)) << id;
  // Link element 3 is element 4 of item 21.
  const uint32_t w = 99;
  ASSERT_EQ(zrdb_setiValue(sensors, 3, &w, 4), 0);
  uint32_t v = 0;
  ASSERT_EQ(zrdb_getiValue(21, 4, &v, 4), 0);
  EXPECT_EQ(v, 99u);
}

TEST_F(AppConfigTest, LinkCountLimitsOrPadsThePairs) {
  const auto [rc, out] = app_init(
      "name = short, size = 4*3, symblink = 20(0-2):21(4-5)\n"
      "name = long, size = 4*8, symblink = 20(0-2):21(4-5)\n"
      "name = single, symblink = 21(7)\n");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(pairs(10000), (Pairs{{20, 0}, {20, 1}, {20, 2}}));
  EXPECT_EQ(pairs(10001),
            (Pairs{{20, 0}, {20, 1}, {20, 2}, {21, 4}, {21, 5}, {-1, -1}, {-1, -1}, {-1, -1}}));
  EXPECT_EQ(pairs(10002), (Pairs{{21, 7}}));
  EXPECT_TRUE(bound(20));
  EXPECT_TRUE(bound(21));
  EXPECT_FALSE(bound(1));
}

TEST_F(AppConfigTest, BadRangesLeaveTheLinkUnfilled) {
  struct Case {
    const char *ranges;
    bool logged;
  };
  for (const Case c : {Case{"0(1)", true}, Case{"5(3-1)", true}, Case{"5(-2)", true},
                       Case{"5", false}, Case{"5()", false}}) {
    const auto [rc, out] =
        app_init(std::string("name = l, size = 4*2, symblink = ") + c.ranges + "\n");
    EXPECT_EQ(rc, 0) << c.ranges;
    ASSERT_EQ(glb_symblink_total, 1) << c.ranges;
    EXPECT_EQ(pairs(10000), (Pairs{{-1, -1}, {-1, -1}})) << c.ranges;
    if (c.logged) {
      EXPECT_THAT(out,
                  HasSubstr("|WARN|NONAME|getItemRangeFromStr| symblink string parsing error!"))
          << c.ranges;
    } else {
      EXPECT_THAT(out, Not(HasSubstr("symblink string parsing error!"))) << c.ranges;
    }
  }
  // Ranges after a bad one are not read; those before it stay.
  app_init("name = l, size = 4*4, symblink = 5(0-1):0(1):5(2)\n");
  EXPECT_EQ(pairs(10000), (Pairs{{5, 0}, {5, 1}, {-1, -1}, {-1, -1}}));
}

TEST_F(AppConfigTest, RejectedLinesAreSkippedWithTheirMessage) {
  int32_t ok = -1;
  ZRDB_APP_PARAM params[2] = {{&ok, "ok"}, {nullptr, ""}};
  const auto [rc, out] = app_init(
      "# comment, counted\n"
      "\n"
      "id = 5000, name = x\n"
      "name = x\n"
      "colour = red, id = 1, name = y\n"
      "id = 1, name = z # trailing\n"
      "id = 5, name = five, size = 0*3\n"
      "id = 12\n"
      "id = 13, name = ok, type = string, value = v, mapto = 1:2:3, realtime = 1*2, syncto = 1:2\n",
      params);
  EXPECT_EQ(rc, 0);
  const char *expected[] = {
      "|WARN|NONAME|parseAppCfgLine| Syntax ERROR: Item ID wrong (5000) at line 3\n",
      "|WARN|NONAME|parseAppCfgLine| Syntax ERROR: Name not defined at line 4\n",
      "|WARN|NONAME|parseAppCfgLine| Syntax ERROR: Unrecognized Item Key(colour) at line 5\n",
      "|WARN|NONAME|parseAppCfgLine| Syntax ERROR: Unrecognized Item Key(#) at line 6\n",
      "|WARN|NONAME|parseAppCfgLine| Syntax ERROR: Unrecognized item size format at line 7\n",
      "|WARN|NONAME|parseAppCfgLine| Syntax ERROR: Name not defined at line 8\n",
  };
  for (const char *line : expected) EXPECT_THAT(out, HasSubstr(line));
  EXPECT_EQ(ok, 13);
  EXPECT_TRUE(bound(13));
  for (const int32_t id : {1, 5, 12}) EXPECT_FALSE(bound(id)) << id;
}

TEST_F(AppConfigTest, EmptyFileStillAttaches) {
  const auto [rc, out] = app_init("# nothing here\n\n   \n");
  EXPECT_EQ(rc, 0);
  EXPECT_NE(zrdb_getBaseAddr(), nullptr);
  for (const int32_t id : {1, 5, 12, 13, 20, 21}) EXPECT_FALSE(bound(id)) << id;
}

TEST_F(AppConfigTest, MissingFileFailsWithoutAttaching) {
  zrdb_Cleanup();
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  int rc = 0;
  const std::string out =
      capture_stdout([&] { rc = zrdb_appInit("/nonexistent/app.cfg", nullptr, HBUSER_CLIENT); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(
      out,
      "|WARN|NONAME|zrdb_appInit| Open App configuration file (/nonexistent/app.cfg) failed!\n");
  EXPECT_EQ(zrdb_getBaseAddr(), nullptr);
}

TEST_F(AppConfigTest, LinksOfASecondFileFollowTheFirst) {
  app_init("name = a, symblink = 20(1)\n");
  const std::string second = dir_.write("second.cfg", "name = b, symblink = 21(2)\n");
  int32_t b = -1;
  ZRDB_APP_PARAM params[2] = {{&b, "b"}, {nullptr, ""}};
  ASSERT_EQ(zrdb_appInit(second.c_str(), params, HBUSER_CLIENT), 0);
  EXPECT_EQ(b, 10001);
  EXPECT_EQ(pairs(10000), (Pairs{{20, 1}}));
  EXPECT_EQ(pairs(10001), (Pairs{{21, 2}}));
  // Clean-up empties the link table.
  zrdb_Cleanup();
  EXPECT_EQ(glb_symblink_total, 0);
  EXPECT_EQ(glb_symblink[0], nullptr);
}

TEST_F(AppConfigTest, HundredFirstLinkIsRefused) {
  std::string text;
  for (int i = 0; i < 101; ++i) text += "name = l" + std::to_string(i) + ", symblink = 20(1)\n";
  int32_t last = -1;
  int32_t hundredth = -1;
  ZRDB_APP_PARAM params[3] = {{&hundredth, "l99"}, {&last, "l100"}, {nullptr, ""}};
  const auto [rc, out] = app_init(text, params);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(glb_symblink_total, ZRDB_SYMBLINK_MAX);
  EXPECT_EQ(hundredth, 10099);
  EXPECT_EQ(last, -1);
  EXPECT_THAT(out, HasSubstr("Symbolic link table full (100 links), link at line 101 refused\n"));
  // Link 10099 is usable, 10100 is outside the link range.
  uint32_t v = 0;
  EXPECT_EQ(zrdb_getiValue(10099, 0, &v, 4), 0);
  EXPECT_EQ(zrdb_getiValue(10100, 0, &v, 4), -1);
}

TEST_F(AppConfigTest, ItemListHoldsAtMost1023Ids) {
  // Duplicates are kept, so 1023 lines of one id fill the list exactly.
  std::string full;
  for (int i = 0; i < 1023; ++i) full += "id = 1, name = one\n";
  auto [rc, out] = app_init(full);
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(out,
              HasSubstr("|WARN|NONAME|zrdb_appInit| ZRDB Resources number overflow(>1024)!\n "));
  EXPECT_FALSE(bound(5));
  // With one line fewer the list is not full, and a later line still counts.
  std::string fits;
  for (int i = 0; i < 1021; ++i) fits += "id = 1, name = one\n";
  std::tie(rc, out) = app_init(fits + "id = 5, name = five\n");
  EXPECT_THAT(out, Not(HasSubstr("overflow")));
  EXPECT_TRUE(bound(5));
  // A link that finds the list full stops adding but the file goes on.
  std::string nearly;
  for (int i = 0; i < 1022; ++i) nearly += "id = 1, name = one\n";
  std::tie(rc, out) = app_init(nearly + "name = l, size = 4*2, symblink = 20(0):21(0)\n");
  EXPECT_THAT(out, HasSubstr("overflow(>1024)"));
  EXPECT_TRUE(bound(20));
  EXPECT_FALSE(bound(21));
}

}  // namespace
}  // namespace zrdb::test
