// Binding: each type's handlers in each user mode (checked cell by cell), initial values.
#include <map>

#include "support/fixture.h"

namespace zrdb::test {

class BindingTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, type=user, size=10, value=0x41\nid=2, size=4*2, value=100\n"
           "id=3, type=string, size=16*2, value=idle\nid=4, type=semap, value=/zrdbt_h3_bind:1\n"
           "id=5, type=cbuf, size=64*4\nid=6, type=vlinkmst, value=peer\n"
           "id=7, type=msgbuf, size=76*4\nid=8, type=vlinkslv\nid=9, type=thrd_rbuf\n"
           "id=10, type=thrd_fifo\nid=11, type=rmtbuf\nid=12, type=vlinkbuf\n"
           "id=13, value=0xFFFFFFFF\nid=14, value=-0x80000001\nid=15, value=4294967296\n"
           "id=16, value=0x10\nid=17, value=010\n";
  }
  std::vector<std::string> semaphores() const override { return {"/zrdbt_h3_bind"}; }
  // The bound slots: C create, O open, g get, s set, p print, G iget, S iset,
  // P iprint, X ctrl, c close, F free.
  static std::string slots(int32_t id) {
    const ZRDB_ITEM_OPS *op = zrdbIndexHdr.dit[id].op;
    if (op == nullptr || op->dit != &zrdbIndexHdr.dit[id]) return "unbound";
    const bool set[] = {!!op->d_create, !!op->d_open,  !!op->d_get,  !!op->d_set,
                        !!op->d_print,  !!op->d_iget,  !!op->d_iset, !!op->d_iprint,
                        !!op->d_ctrl,   !!op->d_close, !!op->d_free};
    std::string s;
    for (size_t i = 0; i < std::size(set); ++i)
      if (set[i]) s += "COgspGSPXcF"[i];
    return s;
  }
};

TEST_F(BindingTest, EveryTypeGetsTheCellsOfItsModeColumn) {
  // Allocate (SetUp's attach), remove, print, client, daemon mode, client id
  // list, the daemon's own attach (-1), a mode outside the table.
  const int32_t columns[] = {HBUSER_ALLOCATE, 1, 2, 3, 4, 5, -1, 7};
  const std::map<int32_t, std::vector<std::string>> cells = {
      {1, {"", "", "p", "X", "GS", "X", "GS", ""}},
      {2, {"", "", "gspGSP", "gsGS", "gGS", "gsGS", "gGS", ""}},
      {3, {"", "", "gspGSP", "gsGS", "GS", "gsGS", "GS", ""}},
      {4, {"C", "F", "OgspXc", "OgsXc", "OgsXc", "OgsXc", "", ""}},
      {5, {"C", "", "p", "X", "", "pX", "", ""}},
      {7, {"C", "", "pXF", "XF", "XF", "XF", "", ""}}};  // types 6, 8..12 bind nothing
  const int32_t list[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -1};
  for (size_t c = 0; c < std::size(columns); ++c) {
    const int32_t mode = columns[c];
    const std::string out = capture_stdout([&] {
      if (mode == HBUSER_ALLOCATE) return;
      zrdb_Cleanup();
      ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
      ASSERT_EQ(mode < 0 ? zrdb_Init_daemon(0) : zrdb_Init(mode, mode == 5 ? list : nullptr), 0);
    });
    EXPECT_EQ(out, mode == 4  ? "|INFO|NONAME|zrdb_Init| HBUSER_VLINK_DAEMON at 1207\n"
                   : mode < 0 ? "|INFO|NONAME|zrdb_Init_daemon| HBUSER_VLINK_DAEMON at 1487\n"
                              : "");
    for (const auto &[id, row] : cells) EXPECT_EQ(slots(id), row[c]) << id << ", column " << c;
    for (const int32_t id : {6, 8, 9, 10, 11, 12}) EXPECT_EQ(slots(id), "") << id << ", " << c;
  }
}

TEST_F(BindingTest, AllocationWritesInitialValuesReadAsSaturatingNumbers) {
  EXPECT_EQ(std::string((char *)item_area(1), 12) + std::string((char *)item_area(6), 256),
            std::string(12, 'A') + "peer" + std::string(252, '\0'));
  std::vector<uint32_t> ints(7);
  std::memcpy(ints.data(), item_area(2), 8);  // both elements
  for (int32_t id = 13; id <= 17; ++id) std::memcpy(&ints[id - 11], item_area(id), 4);
  EXPECT_EQ(ints, (std::vector<uint32_t>{100, 100, 0x7FFFFFFF, 0x80000000, 0x7FFFFFFF, 16, 8}));
}

TEST_F(BindingTest, ReattachClosesTheSemaphoreHandlesOfTheLastAttach) {
  const auto mapped = [] {  // named semaphores open here, as mappings of their files
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);) n += line.find("/dev/shm/sem.") != line.npos;
    return n;
  };
  zrdbsemp_close(&zrdbIndexHdr.dit[4]);  // the allocating attach keeps its handle
  const int before = mapped();           // earlier tests of this process may have left some
  for (int i = 0; i < 4; ++i) {          // parse and attach again, without clean-up
    ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    ASSERT_EQ(zrdb_Init(HBUSER_CLIENT, nullptr), 0);
  }
  EXPECT_EQ(mapped(), before + 1);
  zrdb_Cleanup();  // one close balances one open only if the earlier ones were closed
  EXPECT_EQ(mapped(), before);
}

}  // namespace zrdb::test
