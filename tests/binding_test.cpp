// Data attach and binding: the handler table that every type gets in every
// user mode, the two walks, initial values, and the attach, clean-up and
// removal sequences with their errors.
#include <gmock/gmock.h>
#include <semaphore.h>
#include <sys/shm.h>

#include <cstring>
#include <map>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

using ::testing::HasSubstr;

constexpr const char *kSem = "/zrdbt_bind";

// One item of every type; 6 is the process's VLINK master.
class BindingTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=u, type=user, size=10, value=0x41\n"
           "id=2, name=i, type=integer, size=4*8, value=100\n"
           "id=3, name=s, type=string, size=16*2, value=idle\n"
           "id=4, name=sem, type=semap, value=/zrdbt_bind:1\n"
           "id=5, name=cb, type=cbuf, size=64*4\n"
           "id=6, name=vm, type=vlinkmst, value=peer\n"
           "id=7, name=mb, type=msgbuf, size=76*4\n"
           "id=8, name=vs, type=vlinkslv\n"
           "id=9, name=rb, type=thrd_rbuf, size=64*4\n"
           "id=10, name=ff, type=thrd_fifo, size=100*10\n"
           "id=11, name=rm, type=rmtbuf, value=udp\n"
           "id=12, name=vb, type=vlinkbuf\n";
  }
  std::vector<std::string> semaphores() const override { return {kSem}; }

  // The bound slots of an item as letters, in slot order: C create, O open,
  // g get, s set, p print, G iget, S iset, P iprint, X ctrl, c close, F free.
  static std::string slots(int32_t id) {
    const ZRDB_ITEM_OPS *op = zrdbIndexHdr.dit[id].op;
    if (op == nullptr) return "unbound";
    std::string s;
    const std::pair<bool, char> bits[] = {
        {op->d_create != nullptr, 'C'}, {op->d_open != nullptr, 'O'},
        {op->d_get != nullptr, 'g'},    {op->d_set != nullptr, 's'},
        {op->d_print != nullptr, 'p'},  {op->d_iget != nullptr, 'G'},
        {op->d_iset != nullptr, 'S'},   {op->d_iprint != nullptr, 'P'},
        {op->d_ctrl != nullptr, 'X'},   {op->d_close != nullptr, 'c'},
        {op->d_free != nullptr, 'F'}};
    for (const auto &[set, letter] : bits) {
      if (set) s += letter;
    }
    EXPECT_EQ(op->dit, &zrdbIndexHdr.dit[id]);
    return s;
  }
  static const unsigned char *data(int32_t id) {
    return static_cast<const unsigned char *>(zrdb_getBaseAddr()) + descriptor(id)->offset;
  }
};

// Columns: allocate, remove, print, client, daemon mode, client id list,
// the daemon's own attach.
const std::map<int32_t, std::vector<std::string>> kExpected = {
    {1, {"", "", "p", "X", "GS", "X", "GS"}},
    {2, {"", "", "gspGSP", "gsGS", "gGS", "gsGS", "gGS"}},
    {3, {"", "", "gspGSP", "gsGS", "GS", "gsGS", "GS"}},
    {4, {"C", "F", "OgspXc", "OgsXc", "OgsXc", "OgsXc", ""}},
    {5, {"C", "", "p", "X", "", "pX", ""}},
    {7, {"C", "", "pXF", "XF", "XF", "XF", ""}},
};
// Types whose handlers are not built bind an empty table everywhere.
const std::vector<int32_t> kUnbuilt = {8, 9, 10, 11, 12};

TEST_F(BindingTest, EveryTypeGetsTheHandlersOfItsModeColumn) {
  struct Column {
    const char *name;
    std::function<void()> attach;
  };
  std::vector<int32_t> all;
  for (const auto &[id, cells] : kExpected) all.push_back(id);
  all.insert(all.end(), kUnbuilt.begin(), kUnbuilt.end());
  all.push_back(-1);
  const std::vector<Column> columns = {
      {"allocate", [] {}},
      {"remove", [&] { reattach(HBUSER_REMOVE); }},
      {"print", [&] { reattach(HBUSER_PRINT); }},
      {"client", [&] { reattach(HBUSER_CLIENT); }},
      {"daemon mode", [&] { reattach(HBUSER_VLINK_DAEMON); }},
      {"client id list", [&] { reattach(HBUSER_COMPONENT, all.data()); }},
      {"daemon attach",
       [&] {
         zrdb_Cleanup();
         ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
         ASSERT_EQ(zrdb_Init_daemon(0), 0);
       }},
  };
  for (size_t c = 0; c < columns.size(); ++c) {
    columns[c].attach();
    for (const auto &[id, cells] : kExpected) {
      EXPECT_EQ(slots(id), cells[c]) << "item " << id << ", " << columns[c].name;
    }
    for (const int32_t id : kUnbuilt) EXPECT_EQ(slots(id), "") << id << ", " << columns[c].name;
  }
}

TEST_F(BindingTest, ModeOutsideTheTableBindsNothing) {
  reattach(7);
  for (const int32_t id : {1, 2, 3, 4, 5, 7}) EXPECT_EQ(slots(id), "") << id;
}

TEST_F(BindingTest, IdListBindsTheVlinkMasterFirstAndOnlyTheListedItems) {
  EXPECT_EQ(glb_vLinkDid, 6);
  const std::vector<std::vector<int32_t>> lists = {
      {2, 6, 3, -1}, {2, 3, -1}, {6, 6, 2, 6, 3, 5000}};
  for (const auto &list : lists) {
    reattach(HBUSER_CLIENT, list.data());
    EXPECT_NE(zrdbIndexHdr.dit[6].op, nullptr);
    EXPECT_EQ(slots(2), "gsGS");
    EXPECT_EQ(slots(3), "gsGS");
    EXPECT_EQ(slots(1), "unbound");
    EXPECT_EQ(slots(4), "unbound");
    // Only the id-list walk records each item's data address.
    EXPECT_EQ(zrdbIndexHdr.dit[2].data, data(2));
    EXPECT_EQ(zrdbIndexHdr.dit[1].data, nullptr);
  }
}

TEST_F(BindingTest, DaemonModeIgnoresTheList) {
  const int32_t list[] = {2, -1};
  reattach(HBUSER_VLINK_DAEMON, list);
  EXPECT_EQ(slots(1), "GS");
  EXPECT_EQ(slots(3), "GS");
}

TEST_F(BindingTest, ListWithAModeOtherThanClientIsRefusedAfterAttaching) {
  zrdb_Cleanup();
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  const int32_t list[] = {2, -1};
  int rc = 0;
  const std::string out = capture_stdout([&] { rc = zrdb_Init(HBUSER_PRINT, list); });
  EXPECT_EQ(rc, -2);
  EXPECT_EQ(out,
            "|WARN|NONAME|zrdb_Init| User must be HBUSER_CLIENT/HBUSER_COMPONENT or "
            "HBUSER_VLINK_DAEMON(mode=2)!\n");
  EXPECT_NE(zrdb_getBaseAddr(), nullptr);
  EXPECT_EQ(slots(2), "unbound");
}

TEST_F(BindingTest, AllocatingTwiceAndAttachingBeforeAllocationFail) {
  zrdb_Cleanup();
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  std::string out = capture_stdout([] { EXPECT_EQ(zrdb_Init(HBUSER_ALLOCATE, nullptr), -1); });
  EXPECT_EQ(out, "|WARN|NONAME|zrdb_Init| ZRDB memory has been allocated, please Remove first!\n");
  // Remove the data segment only: the index stays valid.
  const int id = shmget(kTestDataKey, 0, 0);
  if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  for (const int32_t mode : {1, 2, 3, 4, 5}) {
    out = capture_stdout([&] { EXPECT_EQ(zrdb_Init(mode, nullptr), -1); });
    EXPECT_EQ(out, "|WARN|NONAME|zrdb_Init| ZRDB memory not allocated, please Allocate first!\n");
  }
  out = capture_stdout([] { EXPECT_EQ(zrdb_Init_daemon(0), -1); });
  EXPECT_EQ(out, "|WARN|NONAME|zrdb_Init_daemon| !\n");
  // Initial values come from the file: the allocating process parses it.
  ASSERT_EQ(zrdb_cfgParseFromFile(dbPath_.c_str()), 0);
  ASSERT_EQ(zrdb_Init(HBUSER_ALLOCATE, nullptr), 0);
}

TEST_F(BindingTest, InitWithoutAnIndexFailsCleanly) {
  EXPECT_EQ(run_in_child([] {
              // A fresh process that never attached the index.
              std::memset(&zrdbIndexHdr, 0, sizeof zrdbIndexHdr);
              return zrdb_Init(HBUSER_CLIENT, nullptr) == -1 && zrdb_Remove() == -1 ? 0 : 1;
            }),
            0);
}

TEST_F(BindingTest, AllocationWritesTheInitialValues) {
  const unsigned char *u = data(1);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(u[i], 0x41) << i;
  for (int i = 0; i < 8; ++i) {
    uint32_t v = 0;
    std::memcpy(&v, data(2) + 4 * i, 4);
    EXPECT_EQ(v, 100u) << i;
  }
  EXPECT_STREQ(reinterpret_cast<const char *>(data(3)), "idle");
  EXPECT_STREQ(reinterpret_cast<const char *>(data(3) + 16), "idle");
  EXPECT_STREQ(reinterpret_cast<const char *>(data(4)), "/zrdbt_bind:1");
  EXPECT_STREQ(reinterpret_cast<const char *>(data(6)), "peer");
  for (int i = 4; i < 256; ++i) EXPECT_EQ(data(6)[i], 0) << i;
  EXPECT_STREQ(reinterpret_cast<const char *>(data(11)), "udp");
}

TEST(DataKeyTest, MissingDataKeyIsRefusedInsteadOfAPrivateSegment) {
  TempDir dir;
  const std::string path = dir.write("db.cfg", "[system]\nname=x\nsize=4096\n[database]\nid=1\n");
  remove_ipc(kTestDataKey);
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  for (const int32_t mode : {HBUSER_ALLOCATE, HBUSER_CLIENT}) {
    const std::string out = capture_stdout([&] { EXPECT_EQ(zrdb_Init(mode, nullptr), -1); });
    EXPECT_EQ(out, "|WARN|NONAME|zrdb_Init| ZRDB data segment key is 0: set key in [system]!\n");
  }
  EXPECT_EQ(zrdb_getBaseAddr(), nullptr);
  zrdb_Remove();
  zrdb_Cleanup();
  remove_ipc(kTestDataKey);
}

TEST_F(BindingTest, AttachSetsTheBoundBit) {
  for (const int32_t id : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}) {
    EXPECT_EQ(descriptor(id)->flags, ZRDB_FLAG_ACTIVE | ZRDB_FLAG_BOUND) << id;
  }
  EXPECT_EQ(descriptor(13)->flags, 0u);
}

TEST_F(BindingTest, CleanupClosesAndDetachesAndRemoveDeletesEverything) {
  reattach(HBUSER_CLIENT);
  ASSERT_EQ(zrdb_Cleanup(), 0);
  EXPECT_EQ(zrdbIndexHdr.didHead, nullptr);
  EXPECT_EQ(zrdb_getBaseAddr(), nullptr);
  EXPECT_GE(shmget(kTestDataKey, 0, 0), 0);  // clean-up removes nothing
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  ASSERT_EQ(zrdb_Init(HBUSER_REMOVE, nullptr), 0);
  EXPECT_EQ(zrdb_Remove(), 0);
  EXPECT_LT(shmget(kTestDataKey, 0, 0), 0);
  EXPECT_LT(shmget(ZRDB_INDEX_KEY, 0, 0), 0);
  // The semaphore item's semaphore went with it.
  EXPECT_EQ(sem_open(kSem, 0), SEM_FAILED);
}

TEST_F(BindingTest, ClientOfAnotherProcessSeesTheAllocation) {
  const std::string path = dbPath_;
  EXPECT_EQ(run_in_child([&] {
              zrdb_Cleanup();
              if (zrdb_cfgParse(path.c_str()) != 0) return 1;
              // Rebuilt from the index: ids ascending, no value texts.
              int32_t previous = -1;
              for (ZRDB_DIDNODE *n = zrdbIndexHdr.didHead; n != nullptr; n = n->next) {
                if (n->did <= previous || n->value[0] != '\0') return 2;
                previous = n->did;
              }
              if (zrdb_Init(HBUSER_CLIENT, nullptr) != 0) return 3;
              uint32_t v = 0;
              zrdb_getiValue(2, 7, &v, 4);
              zrdb_Cleanup();
              return v == 100 ? 0 : 4;
            }),
            0);
}

}  // namespace
}  // namespace zrdb::test
