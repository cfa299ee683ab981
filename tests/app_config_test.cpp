// Application files: parameters, links, and the id list (at most 1023 ids) they bind.
#include <malloc.h>

#include <set>

#include "support/fixture.h"

namespace zrdb::test {

using Pairs = std::vector<std::pair<int, int>>;

class AppConfigTest : public DatabaseTest {
 protected:
  std::string items() const override {  // ids 0..1100, more than the list holds
    std::string text;
    for (int id = 0; id <= 1100; ++id) text += "id=" + std::to_string(id) + "\n";
    return text;
  }
  // zrdb_appInit of `text` after a fresh index attach.
  std::string app_init(const std::string &text, ZRDB_APP_PARAM *params = nullptr) {
    zrdb_Cleanup();
    EXPECT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    return outcome([&] { return zrdb_appInit(dir_.write("app.cfg", text).c_str(), params, 3); });
  }
  static std::set<int32_t> bound() {
    std::set<int32_t> ids;
    for (int32_t id = 0; id < ZRDB_MAX_ITEMS; ++id)
      if (zrdbIndexHdr.dit[id].op != nullptr) ids.insert(id);
    return ids;
  }
  static Pairs pairs(int32_t k) {
    Pairs out;
    for (int i = 0; i < glb_symblink[k]->count; ++i)
      out.emplace_back(glb_symblink[k]->pairs[i].did, glb_symblink[k]->pairs[i].idx);
    return out;
  }
  const std::string appPath_ = dir_.path() + "/app.cfg";
};

TEST_F(AppConfigTest, ParametersLinksAndOnlyTheNamedItemsAreBound) {
  int32_t speed = -1, sensors = -1, missing = -7;
  ZRDB_APP_PARAM params[] = {{&speed, "speed"}, {&sensors, "sensors"}, {&missing, "missing"}, {}};
  const std::string out = app_init(
      "# application\nid = 12, name = speed\n"
      "name = sensors, size = 4*5, symblink = 20(0-2):21(4-5)\n"
      "name = short, size = 4*2, symblink = 20(0-2)\nname = padded, size = 4*3, symblink = 22(0)\n",
      params);
  EXPECT_EQ(std::make_tuple(speed, sensors, missing), std::make_tuple(12, 10000, -7));
  EXPECT_EQ(out.substr(0, out.find("|INFO")),
            "0|WARN|NONAME|zrdb_appInit| WARNING: Param: missing  is not defined in " + appPath_ +
                "!!!\n");
  ASSERT_EQ(glb_symblink_total, 3);
  EXPECT_EQ(pairs(0), (Pairs{{20, 0}, {20, 1}, {20, 2}, {21, 4}, {21, 5}}));
  EXPECT_EQ(pairs(1), (Pairs{{20, 0}, {20, 1}}));  // the count limits the pairs
  EXPECT_EQ(pairs(2), (Pairs{{22, 0}, {-1, -1}, {-1, -1}}));
  // One allocation: the pairs lie inline from byte 136, inside the block.
  const ZRDB_SYMBLINK *link = glb_symblink[0];
  EXPECT_EQ(std::to_string((char *)&link->pairs[0] - (char *)link) + link->name, "136sensors");
  EXPECT_GE(malloc_usable_size(glb_symblink[0]), 136u + 4 * 5);
  EXPECT_EQ(bound(), (std::set<int32_t>{12, 20, 21, 22}));
  // By link: element i is pair i, the whole value pair 0; unfilled pairs and
  // links not defined here reach no item.
  uint32_t v[3] = {77, 0, 0};
  ASSERT_EQ(zrdb_setiValue(10002, 0, &v[0], 4), 0);
  EXPECT_EQ(zrdb_getiValue(22, 0, &v[1], 4) + zrdb_getValue(10002, &v[2], 4), 0);
  EXPECT_EQ(std::make_pair(v[1], v[2]), std::make_pair(77u, 77u));
  EXPECT_EQ(
      zrdb_getiValue(10002, 1, v, 4) + zrdb_getiValue(10002, 3, v, 4) + zrdb_getValue(10003, v, 4),
      -3);
  zrdb_Cleanup();
  EXPECT_TRUE(glb_symblink_total == 0 && glb_symblink[0] == nullptr);  // clean-up frees them
}

TEST_F(AppConfigTest, OversizedOrBadLinksAndLinksBeyondTheTableAreRefused) {
  std::string text =
      "name=huge, size=4*65537, symblink=5(0)\nname=bad, size=4*3, symblink=5(0-1):0(1):6(2)\n";
  for (int i = 0; i < 100; ++i) text += "name = l" + std::to_string(i) + ", symblink = 7(1)\n";
  const std::string out = app_init(text);
  EXPECT_EQ(out.substr(0, out.find("|INFO")),
            "0|WARN|NONAME|parseAppCfgLine| Syntax ERROR: Unrecognized item size format at line 1\n"
            "|WARN|NONAME|getItemRangeFromStr| symblink string parsing error!|WARN|NONAME|"
            "parseAppCfgLine| Symbolic link table full (100 links), link at line 102 refused\n");
  EXPECT_EQ(pairs(0), (Pairs{{5, 0}, {5, 1}, {-1, -1}}));  // nothing after a bad range
  EXPECT_EQ(bound(), (std::set<int32_t>{5, 7}));
  EXPECT_EQ(capture_stdout([] { EXPECT_EQ(zrdb_appInit("/nonexistent", nullptr, 3), -1); }),
            "|WARN|NONAME|zrdb_appInit| Open App configuration file (/nonexistent) failed!\n");
}

TEST_F(AppConfigTest, ItemListHoldsAtMost1023IdsWhateverFillsIt) {
  const auto links = [](int first, int last) {  // ids first..last, 110 a line: < 1000 characters
    std::string text;
    for (int id = first; id <= last;) {
      text += "name=l" + std::to_string(id) + ",size=4*110,symblink=";
      for (int n = 0; id <= last && n < 110; ++id, ++n) text += std::to_string(id) + "(0):";
      text += "\n";
    }
    return text;
  };
  std::set<int32_t> full, five = {5}, four = {8, 9, 1050, 1051};
  for (int id = 1; id <= 1023; ++id) full.insert(id);
  std::string dup, after = "id=1050,name=after\nid=1051,name=late\n";
  for (int i = 0; i < 1023; ++i) dup += "id=5,name=x\n";
  // File; ids bound; overflow warnings; the ids the last two lines' parameters get.
  const std::tuple<std::string, std::set<int32_t>, int, int32_t, int32_t> cases[] = {
      // Links fill the list exactly; the item line after them stops reading.
      {links(1, 1023) + after, full, 1, 1050, -1},
      // A link finding the list full drops the rest of its ids; the next line is read.
      {links(1, 1020) + links(1021, 1025) + "name=n,size=4*2,symblink=1(0):1026(0)\n" + after, full,
       3, 1050, -1},
      // Item lines are not checked for duplicates.
      {dup + after, five, 1, -1, -1},
      // Unfilled pairs and ids already listed add nothing.
      {"name=p,size=4*1100,symblink=9(0-1099)\nname=q,size=4*3,symblink=8(0)\n" + after, four, 0,
       1050, 1051}};
  for (const auto &[text, expected, overflows, after_, late] : cases) {
    int32_t a = -1, l = -1;
    ZRDB_APP_PARAM params[] = {{&a, "after"}, {&l, "late"}, {}};
    const std::string out = app_init(text, params);
    EXPECT_EQ(bound(), expected);
    const std::string warn = "|WARN|NONAME|zrdb_appInit| ZRDB Resources number overflow(>1024)!\n ";
    int n = 0;
    for (size_t at = out.find(warn); at != out.npos; at = out.find(warn, at + 1)) ++n;
    EXPECT_EQ(std::make_tuple(out[0], n, a, l), std::make_tuple('0', overflows, after_, late));
  }
}

}  // namespace zrdb::test
