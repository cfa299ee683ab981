// Application files: parameter binding, the id list handed to the attach,
// symbolic link definitions and their errors.
#include "support/fixture.h"

namespace zrdb::test {

class AppConfigTest : public DatabaseTest {
 protected:
  // Integer items 0..1100, enough to fill the id list; 20 and 21 have 8
  // elements and a name.
  std::string items() const override {
    std::string text = "id=20, name=twenty, size=4*8\nid=21, name=mode, size=4*8\n";
    for (int i = 0; i <= 1100; ++i)
      text += i == 20 || i == 21 ? "" : "id=" + std::to_string(i) + "\n";
    return text;
  }
  // zrdb_appInit of `text`, parameter "p" to *p; returns "result: output".
  std::string app_init(const std::string &text, int32_t *p = nullptr) {
    zrdb_Cleanup();
    EXPECT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    appPath_ = dir_.write("app.cfg", text);
    ZRDB_APP_PARAM params[] = {{p, "p"}, {nullptr, ""}};
    return run([&] { return zrdb_appInit(appPath_.c_str(), params, HBUSER_CLIENT); });
  }
  // The ids this process bound, as runs "a-b c ", then the pairs of link 10000.
  static std::string bound() {
    std::string s;
    for (int32_t id = 0, first = 0; id < ZRDB_MAX_ITEMS; ++id) {
      if (zrdbIndexHdr.dit[id].op == nullptr) continue;
      for (first = id; id + 1 < ZRDB_MAX_ITEMS && zrdbIndexHdr.dit[id + 1].op != nullptr;) ++id;
      s.append(std::to_string(first)).append(id > first ? "-" : "");
      s.append(id > first ? std::to_string(id) : "").append(" ");
    }
    for (int i = 0; glb_symblink_total > 0 && i < glb_symblink[0]->count; ++i) {
      const ZRDB_SYMPAIR pair = glb_symblink[0]->pairs[i];
      s.append("/").append(std::to_string(pair.did)).append(".").append(std::to_string(pair.idx));
    }
    return s;
  }
  std::string appPath_;
};

const std::string kDone =
    "|INFO|NONAME|zrdb_appInit| start zrdb initialization(mode=3)!\n"
    "|INFO|NONAME|zrdb_appInit| zrdb initialization done!, ret =0\n";

TEST_F(AppConfigTest, ExampleFileBindsParametersLinksAndOnlyTheNamedItems) {
  int32_t sensors = -1;
  EXPECT_EQ(app_init("# application\nid = 12, name = speed\nid 13 name label\n"
                     "name = p, size = 4*5, symblink = 20(0-2):21(4-5)\n",
                     &sensors),
            "0: " + kDone);
  EXPECT_EQ(bound(), "12-13 20-21 /20.0/20.1/20.2/21.4/21.5");
  const ZRDB_SYMBLINK *link = glb_symblink[0];
  EXPECT_EQ(std::make_tuple(sensors, glb_symblink_total, std::string(link->name), link->pairSize),
            std::make_tuple(10000, 1, std::string("p"), 4));
  const uint32_t w = 99;
  uint32_t v[2] = {};
  ASSERT_EQ(zrdb_setiValue(sensors, 3, &w, 4), 0);  // link element 3 is element 4 of item 21
  ASSERT_EQ(zrdb_setValue(sensors, &w, 4), 0);      // whole-value access uses pair 0
  ASSERT_EQ(zrdb_getiValue(21, 4, &v[0], 4) + zrdb_getiValue(20, 0, &v[1], 4), 0);
  EXPECT_EQ(std::make_pair(v[0], v[1]), std::make_pair(99u, 99u));
  int32_t did = 0, idx = 0;
  EXPECT_EQ(zrdb_symblink_check(10000, 3, &did, &idx) + zrdb_symblink_check(42, 0, &did, &idx), 1);
  EXPECT_EQ(std::make_pair(did, idx), std::make_pair(21, 4));
  // Elements past the link, and links this process did not define, reach no item.
  for (const auto &[id, i] : {std::pair{10000, 5}, {10000, -1}, {10001, 0}, {10099, 0}})
    EXPECT_EQ(zrdb_getiValue(id, i, v, 4), -1) << id << "." << i;
  // A link's count cuts or pads its pairs; a bad range ends them.
  EXPECT_EQ(app_init("name = l, size = 4*3, symblink = 20(0-2):21(4-5)\n"), "0: " + kDone);
  EXPECT_EQ(bound(), "20 /20.0/20.1/20.2");
  EXPECT_EQ(app_init("name = l, size = 4*3, symblink = 21(1):20(3-1):21(2)\n"),
            "0: |WARN|NONAME|getItemRangeFromStr| symblink string parsing error!" + kDone);
  EXPECT_EQ(bound(), "21 /21.1/-1.-1/-1.-1");
  // Numbers beyond 32 bits are refused, also where long has 32 bits.
  for (const char *range : {"3000000000(0-1)", "20(0-3000000000)"})
    EXPECT_EQ(app_init(std::string("name = l, size = 4*2, symblink = ") + range + "\n"),
              "0: |WARN|NONAME|getItemRangeFromStr| symblink string parsing error!" + kDone)
        << range;
}

TEST_F(AppConfigTest, RejectedLinesAreSkippedWithTheirMessage) {
  std::string links;
  for (int i = 0; i < 101; ++i) links += "name = l, symblink = 20(1)\n";
  int32_t p = -7;
  const std::string se = "|WARN|NONAME|parseAppCfgLine| Syntax ERROR: ";
  const std::string out = app_init(
      "# comment, counted\n\nid = 5000, name = x\nname = x\ncolour = red, id = 1\n"
      "id = 5, name = five, size = 0*3\nname = big, size = 4*65537, symblink = 20(0)\n" +
          links,
      &p);
  EXPECT_EQ(out,
            "0: " + se + "Item ID wrong (5000) at line 3\n" + se + "Name not defined at line 4\n" +
                se + "Unrecognized Item Key(colour) at line 5\n" + se +
                "Unrecognized item size format at line 6\n" + se +
                "Unrecognized item size format at line 7\n|WARN|NONAME|parseAppCfgLine| Symbolic "
                "link table full (100 links), link at line 108 refused\n|WARN|NONAME|zrdb_appInit| "
                "WARNING: Param: p  is not defined in " +
                appPath_ + "!!!\n" + kDone);
  EXPECT_EQ(std::make_pair(p, glb_symblink_total), std::make_pair(-7, 100));
  uint32_t v = 0;
  EXPECT_EQ(zrdb_getiValue(10099, 0, &v, 4), 0);
  EXPECT_EQ(zrdb_getiValue(10100, 0, &v, 4), -1);
}

// Link lines naming ids first..last once each, 93 to a line; each line also
// names an id already listed and leaves a pair unfilled.
std::string links(int first, int last) {
  std::string text;
  for (int id = first; id <= last;) {
    std::string ranges = std::to_string(id == first ? id : id - 1) + "(0)";
    int n = 1;
    for (; n <= 93 && id <= last; ++n, ++id)
      ranges.append(":").append(std::to_string(id)).append("(0)");
    text += "name = l, size = 4*" + std::to_string(n + 1) + ", symblink = " + ranges + "\n";
  }
  return text;
}

TEST_F(AppConfigTest, ItemListHoldsAtMost1023IdsWhateverFillsIt) {
  std::string ones;
  for (int i = 0; i < 1022; ++i) ones += "id = 1, name = one\n";
  // clang-format off
  const std::tuple<std::string, int32_t, int, std::string> rows[] = {  // file; p; warnings; bound
      {links(1, 1023) + "id = 1100, name = p\n", 1100, 1, "1-1023 "},
      {links(1, 1022) + "name = m, size = 4*3, symblink = 1023(0):1024(0):1025(0)\n"
                        "name = n, symblink = 1030(0)\nid = 1100, name = p\n", 1100, 3, "1-1023 "},
      {ones + "id = 5, name = five\nid = 6, name = p\n", -1, 1, "1 5 "},
      {ones.substr(38) + "id = 5, name = five\nid = 6, name = p\n", 6, 0, "1 5-6 "}};
  // clang-format on
  const std::string warning =
      "|WARN|NONAME|zrdb_appInit| ZRDB Resources number overflow(>1024)!\n ";
  for (const auto &[text, param, warnings, ids] : rows) {
    int32_t p = -1;
    const std::string out = app_init(text, &p), b = bound();
    int n = 0;
    for (size_t at = out.find(warning); at != std::string::npos; at = out.find(warning, at + 1))
      ++n;
    EXPECT_EQ(std::make_tuple(p, n, b.substr(0, b.find('/'))),
              std::make_tuple(param, warnings, ids));
  }
}

TEST_F(AppConfigTest, ANameIsTheApplicationFilesFirstAndUndefinedItemsAreRefused) {
  ASSERT_EQ(app_init("id = 12, name = mode\nid = 13, name = mode\nname = lk, symblink = 20(1)\n"),
            "0: " + kDone);
  // "mode" is the file's later line, not the database's item 21.
  const std::pair<const char *, int32_t> rows[] = {
      {"mode", 13}, {"lk", 10000}, {"twenty", 20}, {"twent", -2}, {"", -1}};
  for (const auto &[name, id] : rows) EXPECT_EQ(zrdb_findItem(name), id) << name;
  const std::string w = "|WARN|NONAME|zrdb_appInit| ";
  EXPECT_EQ(app_init("id = 12, name = a\nid = 1200, name = b\n"
                     "name = c, size = 4*2, symblink = 20(0):1300(0)\n"),
            "-2: " + w + appPath_ +
                " line 2: b names item 1200, which the database does not define\n" + w + appPath_ +
                " line 3: c names item 1300, which the database does not define\n" + w + appPath_ +
                " names items the database does not define: not attached\n");
  EXPECT_EQ(bound(), "/20.0/1300.0");    // nothing bound
  EXPECT_EQ(zrdb_findItem("mode"), 21);  // the first file's names went with its attach
}

}  // namespace zrdb::test
