// Attaching the index: later processes find it valid and only rebuild their item list.
#include "support/fixture.h"

namespace zrdb::test {

class IndexAttachTest : public IndexOnlyTest {
 protected:
  // The item list; after a rebuild up to maxDid, "bad dit" unless just those dit are set.
  static std::string items(int32_t maxDid = -2) {
    std::string list;
    for (const ZRDB_DIDNODE *n = zrdbIndexHdr.didHead; n != nullptr; n = n->next)
      list += std::to_string(n->did) + "=" + n->value + " ";
    for (int32_t id = 0; id < ZRDB_MAX_ITEMS; ++id)
      if (maxDid > -2 && zrdbIndexHdr.dit[id].desc != (id <= maxDid ? descriptor(id) : nullptr))
        return "bad dit";
    return list;
  }
  TempDir dir_;
  const std::string path_ = dir_.write("db.cfg",
                                       "[system]\nsize=8192\n[database]\nid=17, value=a\n"
                                       "id=4, type=vlinkmst, value=b\nid=9, type=vlinkmst\n"
                                       "id=0, value=c\nid=40, type=string\n");
};

TEST_F(IndexAttachTest, LaterAttachesRebuildFromAValidIndexAndParseAnInvalidOne) {
  ASSERT_EQ(zrdb_cfgParse(path_.c_str()), 0);
  // A parse keeps the last vlinkmst item, a rebuild the lowest.
  EXPECT_EQ(items() + std::to_string(glb_vLinkDid), "17=a 4=b 9= 0=c 40= 9");
  dir_.write("db.cfg", "[system]\nsize=4096\n[database]\nid=99, value=new\n");
  EXPECT_EQ(run_in_child([&] {
              EXPECT_EQ(outcome([&] { return zrdb_cfgParse(path_.c_str()); }), "0");
              EXPECT_EQ(items(40) + std::to_string(glb_vLinkDid), "0= 4= 9= 17= 40= 4");
              return ::testing::Test::HasFailure() ? 1 : 0;
            }),
            0);
  // A maxDid written by someone else must not walk the rebuild out of the index.
  for (const auto &[maxDid, walked, list] :
       {std::tuple{100000, 4999, "0= 4= 9= 17= 40= "}, {-7, -1, ""}}) {
    zrdbIndexHdr.sysHdr->maxDid = maxDid;
    ASSERT_EQ(zrdb_cfgParse(path_.c_str()), 0);
    EXPECT_EQ(items(walked), list) << maxDid;
  }
  // A file read although the index is valid; its failed parse invalidates the index.
  dir_.write("db.cfg", "[system]\nsize=4096\n[database]\nid=5 type=float\n");
  EXPECT_EQ(zrdb_cfgParseFromFile(path_.c_str()), -1);
  EXPECT_EQ(zrdb_cfgParse(path_.c_str()), -1);  // parsed again, not rebuilt
}

}  // namespace zrdb::test
