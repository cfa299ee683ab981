// Attaching the index: later processes rebuild their item list from a valid
// index; a failed parse leaves it invalid, so that the next attach parses.
#include "support/fixture.h"

namespace zrdb::test {

class IndexAttachTest : public IndexOnlyTest {
 protected:
  // The item list, then the VLINK master.
  static std::string items() { return item_list() + "vlink " + std::to_string(glb_vLinkDid); }
  TempDir dir_;
  const std::string path_ =
      dir_.write("db.cfg",
                 "[system]\nsize=1\n[database]\nid=17, value=a\nid=4, type=vlinkmst, value=b\n"
                 "id=9, type=vlinkmst\nid=0\n");
};

TEST_F(IndexAttachTest, LaterProcessesRebuildFromTheValidIndexWithoutReadingTheFile) {
  ASSERT_EQ(zrdb_cfgParse(path_.c_str()), 0);
  EXPECT_EQ(items(), "17=a 4=b 9= 0= vlink 9");  // file order, the last master
  dir_.write("db.cfg", "[system]\n[database]\nid=99, value=new\n");
  expect_in_child([&] {
    EXPECT_EQ(run([&] { return zrdb_cfgParse(path_.c_str()); }), "0: ");
    EXPECT_EQ(items(), "0= 4= 9= 17= vlink 4");  // ascending, the first master
  });
}

TEST_F(IndexAttachTest, FailedParseInvalidatesTheIndexAndTheNextAttachParsesAfresh) {
  ASSERT_EQ(zrdb_cfgParse(path_.c_str()), 0);
  // zrdb_cfgParseFromFile reads the file although the index is valid.
  dir_.write("db.cfg", "[system]\nsize=1\n[database]\nid=77\nid=5 type=float\n");
  EXPECT_EQ(
      run([&] { return zrdb_cfgParseFromFile(path_.c_str()); }),
      "-1: |WARN|NONAME|parseSegDatabase| Syntax ERROR: Unrecognized item type(float) at line 5\n");
  EXPECT_EQ(zrdbIndexHdr.sysHdr->magic, 0u);
  dir_.write("db.cfg", "[system]\nsize=1\n[database]\nid=3, value=v\n");
  expect_in_child([&] {
    EXPECT_EQ(zrdb_cfgParse(path_.c_str()), 0);
    EXPECT_EQ(items(), "3=v vlink -1");                            // parsed, not rebuilt
    EXPECT_EQ(descriptor(77)->flags | descriptor(17)->flags, 0u);  // a zeroed segment
  });
  EXPECT_EQ(zrdbIndexHdr.sysHdr->magic, ZRDB_MAGIC);  // one segment for all processes
}

}  // namespace zrdb::test
