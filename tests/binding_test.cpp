// Data attach: buffers that cannot hold a record, the attach errors, the
// limits that refuse an allocation, a partner process that dies while
// attached, and a forked child that sets up again.
#include <sched.h>
#include <sys/resource.h>
#include <sys/shm.h>

#include <fstream>

#include "support/fixture.h"

namespace zrdb::test {

// Buffers whose slots cannot hold a record (10..12) and an item behind
// them; a pool and a server remote buffer, whose state is in the opening
// process, and an open flag and status bits in the data area.
class BindingTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=2, size=4*8\nid=10, type=cbuf, size=11*2\nid=11, type=cbuf\n"
           "id=12, type=msgbuf, size=75*2\nid=13, value=9\n"
           "id=4931, name=pool, type=thrd_rbuf, size=16*2\n"
           "id=4932, name=srv, type=rmtbuf, value=server:udp://127.0.0.1:47011\n";
  }
  std::vector<int32_t> lockedItems() const override { return {4931, 4932}; }
};

TEST_F(BindingTest, UnusableBuffersAreCreatedAndTheirReadsAndWritesRefused) {
  std::memset(&data_of<char>(10), 0x55, 20);  // the header
  EXPECT_EQ(zrdbIndexHdr.dit[10].op->d_create(&zrdbIndexHdr.dit[10]), 0);
  EXPECT_EQ(std::string(&data_of<char>(10), 20), std::string(20, '\0'));
  reattach(HBUSER_CLIENT);
  const std::string big(100, 'b'), cb = "-1: |WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[1";
  const std::string cb11 = "circular buffer size(11*2) refused, slots need at least 12 bytes\n";
  const std::string mb =
      "-1: |WARN|NONAME|zrdbmsgbuf_ctrl| ZRDBDID[12]:message buffer size(75*2) "
      "refused, slots need at least 76 bytes\n";
  char buf[128];
  EXPECT_EQ(run([&] { return zrdb_cbufWrite(10, big.data(), 100, big.data(), 20); }),
            cb + "0]:" + cb11);
  EXPECT_EQ(run([&] { return zrdb_cbufRead(10, buf, 128, buf, 128, nullptr, nullptr); }),
            cb + "0]:" + cb11);
  EXPECT_EQ(run([&] { return zrdb_cbufWrite(11, big.data(), 1, big.data(), 1); }),
            cb + "1]:circular buffer size(0*0) refused, slots need at least 12 bytes\n");
  EXPECT_EQ(run([&] { return zrdb_msgbufWrite(12, 9, 9, 64, big.data()); }), mb);
  EXPECT_EQ(run([&] { return zrdb_msgbufRead(12, nullptr, nullptr, nullptr, buf); }), mb);
  EXPECT_EQ(std::string(&data_of<char>(13), 4), std::string("\x9\0\0\0", 4));
}

TEST_F(BindingTest, AttachOfAMissingOrExistingOrMisplacedDataSegmentFails) {
  const std::string init = "-1: |WARN|NONAME|zrdb_Init| ZRDB ";
  zrdb_Cleanup();
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  const auto allocate = [] { return zrdb_Init(HBUSER_ALLOCATE, nullptr); };
  EXPECT_EQ(run(allocate), init + "memory has been allocated, please Remove first!\n");
  zrdbIndexHdr.sysHdr->key = 0;  // every process would get a private segment
  EXPECT_EQ(run(allocate), init + "data segment key is 0: set key in [system]!\n");
  zrdbIndexHdr.sysHdr->key = ZRDB_INDEX_KEY;  // the data would overwrite the index
  EXPECT_EQ(run(allocate),
            init + "data segment key is the index key 0x20150427: set another key in [system]!\n");
  zrdbIndexHdr.sysHdr->key = kTestDataKey;
  shmctl(shmget(kTestDataKey, 0, 0), IPC_RMID, nullptr);
  EXPECT_EQ(run([] { return zrdb_Init(HBUSER_CLIENT, nullptr); }),
            init + "memory not allocated, please Allocate first!\n");
  EXPECT_EQ(zrdb_getBaseAddr(), nullptr);
  ASSERT_EQ(zrdb_cfgParseFromFile(dbPath_.c_str()), 0);  // so that TearDown finds a database
  ASSERT_EQ(run(allocate), "0: ");
}

TEST_F(BindingTest, ProcessKilledWhileAttachedLeavesItsWritesAndTheDatabaseUsable) {
  reattach(HBUSER_CLIENT);
  EXPECT_EQ(run_in_child([] {
              const uint32_t v = 4242;
              return zrdb_setiValue(2, 7, &v, 4) == 0 ? raise(SIGKILL) : 1;  // no clean-up at all
            }),
            -1);
  reattach(HBUSER_CLIENT);
  uint32_t v = 0;
  EXPECT_EQ(zrdb_getiValue(2, 7, &v, 4), 0);
  EXPECT_EQ(v, 4242u);
}

// The limit that refuses a 64 MiB allocation is named, and a segment the
// refused call made is not left behind: it would make every later
// allocation fail with "please Remove first" and nothing to remove.
TEST_F(BindingTest, RefusedAllocationNamesTheLimitAndLeavesNoSegment) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: an IPC namespace of its own and kernel.shmmax";
  constexpr int kSize = 64 << 20;
  const std::string big = dir_.write("big.cfg", system_section(kTestDataKey, kSize) + items());
  // The failure line, and what imposes the limit and gives the cause line.
  const std::pair<std::string, std::function<std::string()>> cases[] = {
      {"BID Buffer get failed(Invalid argument)\n",
       [] {
         std::ofstream("/proc/sys/kernel/shmmax") << (16 << 20);
         return "Invalid argument: 67108864 bytes exceed kernel.shmmax (16777216)\n";
       }},
      {"BID Buffer attaching failed(Cannot allocate memory)\n",
       [] {
         unsigned long long limit = 0;  // pages mapped now, then 16 MiB more
         std::ifstream("/proc/self/statm") >> limit;
         limit = limit * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)) + (16 << 20);
         const rlimit as{limit, limit};
         setrlimit(RLIMIT_AS, &as);
         return "Cannot allocate memory: the address space limit is " + std::to_string(limit) +
                " bytes (RLIMIT_AS, ulimit -v in KiB)\n";
       }},
  };
  for (const auto &[failed, limit] : cases) {
    // qemu-arm maps the guest's memory inside a reservation of its own,
    // which RLIMIT_AS does not govern.
    if (under_qemu() && failed.find("attaching") != std::string::npos) continue;
    expect_in_child([&] {
      // Its own segments and limits, gone with it.
      ASSERT_EQ(unshare(CLONE_NEWIPC), 0);
      release_process_index();
      ASSERT_EQ(zrdb_cfgParseFromFile(big.c_str()), 0);
      const std::string cause = limit(), tag = "|WARN|NONAME|zrdb_Init| ";
      EXPECT_EQ(run([] { return zrdb_Init(HBUSER_ALLOCATE, nullptr); }),
                "-1: " + tag + "Buffer Size:67108864, Key=" + std::to_string(kTestDataKey) + "\n" +
                    tag + failed + tag + cause);
      EXPECT_LT(shmget(kTestDataKey, 0, 0), 0) << "the refused call left its segment";
    });
  }
}

// A forked child that parses, binds or cleans up again drops what it
// inherited, but the items stay its parent's: their shared flags stay set,
// their locks held, and the parent goes on using them.
TEST_F(BindingTest, AForkedChildSettingUpAgainLeavesTheParentsItemsAlone) {
  const int32_t both[] = {4931, 4932, -1}, pool[] = {4931, -1};
  const std::function<int()> children[] = {
      [&] { return zrdb_cfgParse(dbPath_.c_str()); },
      [&] { return zrdb_Init(HBUSER_CLIENT, pool) == -1 ? 0 : 1; },  // the parent holds the lock
      [&] {
        return zrdb_cfgParse(dbPath_.c_str()) == 0 && zrdb_Init(HBUSER_CLIENT, pool) == -1 ? 0 : 1;
      },
      [] { return zrdb_Cleanup(); }};
  for (size_t i = 0; i < std::size(children); ++i) {
    reattach(HBUSER_CLIENT, both);
    // Quietly: the lock refusals log.
    EXPECT_EQ(run_in_child([&] { return run(children[i]).starts_with("0:") ? 0 : 1; }), 0) << i;
    EXPECT_EQ(data_of<ZRDB_RBUF_INFO>(4931).flags & 0xFu, 1u) << i;
    EXPECT_EQ(data_of<ZRDB_RMTBUF_INFO>(4932).status & 0xF, 1) << i;
  }
  ZRDB_RBUF_BIN *bin = zrdb_rbuf_alloc(4931);
  ASSERT_NE(bin, nullptr);
  EXPECT_EQ(zrdb_rbuf_recycle(bin), 0);
}

}  // namespace zrdb::test
