// zrdbctl's commands, and what they leave in the segments and in /dev/shm.
#include <arpa/inet.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "support/zrdbctl_run.h"

namespace zrdb::test {
namespace {

namespace fs = std::filesystem;

constexpr const char *kSem = "/zrdbctl_t";  // the test database's semaphore
// Thread items: opening one leaves /tmp/zrdbid<id>.lock, shared with every
// other test run on the machine, so no other test uses these ids.
constexpr int32_t kPool = 4800;
constexpr int32_t kFifo = 4801;
// Remote buffer servers, which take the same kind of lock file.
constexpr int32_t kServer = 4840;
constexpr int32_t kInbox = 4842;

bool segment_exists(int key) { return shmget(key, 0, 0) >= 0; }
bool semaphore_exists() { return fs::exists(std::string("/dev/shm/sem.") + (kSem + 1)); }

class ZrdbctlTest : public ZrdbctlRun {
 protected:
  static constexpr const char *kItems =
      "id=0, name=dbg_level, type=integer, value=0\n"
      "id=1, name=speed, type=integer, size=4*8, value=100\n"
      "id=2, name=label, type=string, size=16*2, value=idle\n"
      "id=3, name=blob, type=user, size=10, value=0x41\n"
      "id=7, name=x.1, type=integer, value=7\n"
      "id=12, name=counter, type=integer, value=5\n"
      "id=20, name=small, type=integer, size=2*2, value=3\n"
      "id=30, name=sem, type=semap, value=/zrdbctl_t:0\n"
      "id=31, name=req, type=msgbuf, size=76*2\n"
      "id=32, name=ev, type=cbuf, size=32*4\n";
  // Thread items and remote buffers, which this process opens as their owner.
  static constexpr const char *kOwned =
      "id=4800, name=pool, type=thrd_rbuf, size=64*2\n"
      "id=4801, name=fifo, type=thrd_fifo, size=8*2\n"
      "id=4840, name=srv, type=rmtbuf, value=server:udp://127.0.0.1:47100\n"
      "id=4841, name=cli, type=vlinkbuf, value=client:udp://127.0.0.1:47100\n"
      "id=4842, name=inbox, type=rmtbuf, value=server:udp://127.0.0.1:47101\n"
      "id=4843, name=mirror, type=integer, syncto=4841:77:1\n"
      "id=4844, name=local, type=integer, syncto=4840:77:1\n";

  void SetUp() override {
    TearDown();
    ASSERT_TRUE(fs::exists(tool_)) << tool_ << " is missing: build the zrdbctl target";
    dbPath_ = dir_.write("db.cfg", system_section() + kItems);
  }
  void TearDown() override {
    zrdb_Cleanup();  // closes the thread items this process opened
    remove_ipc(kTestDataKey, {kSem});
    remove_lock_files({kPool, kFifo, kServer, kInbox});
  }

  // Opens `ids` (ended by -1) of `db` in this process, as their owner does.
  static void open_items(const std::string &db, const int32_t *ids) {
    zrdb_Cleanup();
    ASSERT_EQ(zrdb_cfgParse(db.c_str()), 0);
    ASSERT_EQ(zrdb_Init(HBUSER_CLIENT, ids), 0);
  }
  // Two allocations and a failed third: the pool's MUC(2),AFC(1).
  static void use_pool() {
    ZRDB_RBUF_BIN *bins[] = {zrdb_rbuf_alloc(kPool), zrdb_rbuf_alloc(kPool)};
    EXPECT_EQ(zrdb_rbuf_alloc(kPool), nullptr);
    for (ZRDB_RBUF_BIN *bin : bins) ASSERT_EQ(zrdb_rbuf_recycle(bin), 0);
  }
  void expect_nothing_left() const {
    EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY) || segment_exists(kTestDataKey) ||
                 semaphore_exists());
  }

  const std::string tool_ = tool_path("zrdbctl");
  std::string dbPath_;
};

TEST_F(ZrdbctlTest, CommandsOnASoundDatabase) {
  const std::string shown = "\\x1b]0;t\\x07\\nx=1\\x0d\303\251\\xc2\\x9b\n";
  const Step steps[] = {
      {{"create", dbPath_}, 0, "created 'test': 10 items"},
      {{"create", dbPath_}, 1, "allocated already"},  // a parse would move every data area
      {{"check"}, 0, "checked 10 item(s): 0 damaged\n"},
      // 4 + 32 + 32 + 12 (10 rounded up) + 4 + 4 + 4 + 128 + (8 + 2 * 76) + (20 + 4 * 32)
      {{"info"}, 0, "data used   528 bytes (0.8%), items end at byte 528\n"},
      {{"info"}, 0, "by type     user 1 integer 5 string 1 semap 1 cbuf 1 msgbuf 1\n"},
      {{"dump"}, 0, "0007: integer   : x.1"},
      {{"set", "speed.3", "0x10"}, 0, ""},    // hex in, decimal out
      {{"set", "1.4", "4294967295"}, 0, ""},  // ids and names reach the same item
      {{"get", "speed"}, 0, "100\n100\n100\n16\n4294967295\n100\n100\n100\n"},
      {{"set", "counter", "-1"}, 0, ""},
      {{"get", "12"}, 0, "4294967295\n"},  // shown unsigned unless asked
      {{"get", "12", "--signed"}, 0, "-1\n"},
      {{"--json", "get", "--signed", "counter"}, 0, "\"values\":[-1]}"},
      {{"set", "--signed", "counter", "1"}, 2, "set takes no --signed"},
      {{"set", "label.1", "0123456789abcdef"}, 0, ""},
      {{"set", "label.1", "ab"}, 0, ""},
      {{"get", "label"}, 0, "idle\nab\n"},  // the element named, no tail of the longer text
      // Retitles the terminal (ESC ] 0;t BEL), forges a line, returns the
      // cursor, then an e acute and the one-byte control sequence introducer.
      {{"set", "label.0", "\033]0;t\007\nx=1\r\303\251\302\233"}, 0, ""},
      {{"get", "label.0"}, 0, shown},
      {{"print", "label.0"}, 0, "[0]= " + shown},
      {{"dump"}, 0, "label                           = " + shown},
      {{"--json", "get", "label.0"}, 0, "[\"\\u001b]0;t\\u0007\\nx=1\\r\303\251\\u009b\"]"},
      {{"set", "small", "9"}, 0, ""},  // no index: every element
      {{"set", "small.1", "0x1234"}, 0, ""},
      {{"get", "small"}, 0, "9\n4660\n"},  // narrow elements stay apart
      {{"set", "small.1", "0xfffe"}, 0, ""},
      {{"get", "--signed", "small"}, 0, "9\n-2\n"},  // by the element's own width
      {{"--json", "get", "small"}, 0, "\"values\":[9,65534]}"},
      {{"set", "x.1", "3"}, 0, ""},  // the whole name wins over a split
      {{"get", "7"}, 0, "3\n"},
      {{"print", "speed.3", "0"}, 0, "16\n"},                // mode and index reach the handler
      {{"print", "speed.3"}, 0, "0001: integer   : speed"},  // mode 1 adds the prefix
      {{"sem-post", "sem"}, 0, ""},                          // communication items
      {{"sem-value", "sem"}, 0, "1\n"},
      {{"sem-wait", "sem"}, 0, ""},
      {{"sem-wait", "sem", "1000"}, 1, "timed out"},  // a bare number: microseconds
      {{"sem-wait", "sem", "10ms"}, 1, "timed out"},
      {{"cbuf-write", "ev", "first", "one"}, 0, ""},
      {{"cbuf-write", "ev", "second"}, 0, ""},
      {{"cbuf-read", "ev"}, 0, "message: first\ndata: one\n"},
      {{"cbuf-read", "ev"}, 0, "message: second\ndata: \n"},
      {{"cbuf-read", "ev"}, 1, "is empty"},
      {{"print", "ev", "1"}, 0, "OF(0),UF(1),MBL(2)"},
      {{"print", "ev", "2"}, 0, ""},  // resets the statistics
      {{"print", "ev", "1"}, 0, "OF(0),UF(0),MBL(0)"},
      {{"cbuf-write", "ev", std::string(21, 'x')}, 2, "carries 20"},
      {{"msg-write", "req", "24", "-7", "ping"}, 0, ""},
      {{"msg-read", "req"}, 0, "from: 24\narg: -7\nsize: 64\npayload: ping\n"},
      {{"msg-read", "req"}, 1, "is empty"},
      // Bad input: status 2, and nothing changes.
      {{"get", "nosuch"}, 2, "unknown item 'nosuch'"},
      {{"get", "no\nsuch\033[2J"}, 2, "'no\\nsuch\\x1b[2J'"},  // one line, as every reason
      {{"get", "speed.8"}, 2, "out of range"},
      {{"get", "speed.-1"}, 2, "bad element index"},
      {{"set", "speed.1", "12abc"}, 2, "bad number"},
      {{"set", "speed.1", "4294967296"}, 2, "bad number"},
      {{"set", "speed.1", "-2147483649"}, 2, "bad number"},
      {{"set", "small.0", "70000"}, 2, "does not fit"},
      {{"set", "label.1", "0123456789abcdefX"}, 2, "holds 16"},
      {{"set", "blob", "1"}, 2, "user item"},
      {{"get", "blob.0"}, 2, "no elements"},
      {{"print", "speed", "-1"}, 2, "bad print mode"},
      {{"sem-wait", "sem", "-5"}, 2, "bad time-out '-5'"},
      {{"sem-wait", "sem", "abc"}, 2, "bad time-out"},
      {{"sem-wait", "sem", "1.5"}, 2, "bad time-out"},
      {{"sem-wait", "sem", "4294967296"}, 2, "bad time-out"},
      {{"sem-wait", "sem", "4295s"}, 2, "from 0s to 4294967295us, such as 100us, 500ms or 2s"},
      {{"sem-wait", "sem", "5m"}, 2, "bad time-out"},
      {{"watch", "-n", "99", "speed"}, 2, "bad interval '99': give a time from 100ms to 3600s"},
      {{"sem-post", "sem", "2"}, 2, "bad binary flag"},
      {{"sem-post", "speed"}, 2, "not semap"},
      {{"msg-write", "req", "-1", "0"}, 2, "bad sender id"},
      {{"msg-write", "req", "1", "0x"}, 2, "bad argument"},
      {{"frob"}, 2, "unknown command"},
      {{"print", "--help"}, 0, "MODE 2 CHANGES the item"},
      {{"set", "speed"}, 2, "usage: zrdbctl"},
      {{"-f"}, 2, "needs a database file"},
      {{"get", "speed"}, 0, "100\n100\n100\n16\n4294967295\n100\n100\n100\n"},
      {{"sem-value", "sem"}, 0, "0\n"},
      {{"msg-read", "req"}, 1, "is empty"},
      {{"remove"}, 0, "removed 'test' (data key 0x5a0d0001)\n"},
      {{"remove"}, 1, "no database"},
  };
  for (const Step &s : steps) expect(s);
  expect_nothing_left();
}

TEST_F(ZrdbctlTest, WithoutADatabaseCommandsFailAndBadFilesAreRefusedLeavingNothing) {
  // Each file also has a sound semaphore item, which a late refusal would leave.
  int files = 0;
  const auto file = [&](const std::string &system, const std::string &item) {
    return dir_.write("bad" + std::to_string(++files) + ".cfg",
                      system + item + "\nid=9, name=s9, type=semap, value=/zrdbctl_t:1\n");
  };
  const std::string sys = system_section();
  const std::string fifo = dir_.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Step steps[] = {
      {{"create", file(sys, "id=1, name=a, colour=red")}, 2, "did not parse"},
      {{"create", file("[system]\nname=t\nsize=4096\n[database]\n", "")}, 2, "no data segment key"},
      {{"create", file(system_section(ZRDB_INDEX_KEY), "")}, 2, "index segment's own key"},
      {{"create", file(sys, "id=1, name=s, type=semap, value=")}, 2, "item 1 's': a semaphore"},
      {{"create", file(sys, "id=1, name=s, type=semap, value=zrdbctl_t:1")}, 2, "/NAME:COUNT"},
      {{"create", file(sys, "id=1, name=c, type=cbuf")}, 2, "item 1 'c': a circular buffer needs"},
      {{"create", file(sys, "id=1, name=c, type=cbuf, size=11*4")}, 2, "under the 12"},
      {{"create", file(sys, "id=1, name=m, type=msgbuf, size=75*4")}, 2, "under the 76"},
      {{"create", dir_.path() + "/missing.cfg"}, 2, "cannot read"},
      // Neither hangs (a FIFO blocks the open, /dev/zero never ends).
      {{"create", "/dev/zero"}, 2, "/dev/zero: not a regular file"},
      {{"create", fifo}, 2, "fifo: not a regular file"},
      {{"info"}, 1, "does not exist"},
      {{"check"}, 1, "does not exist"},
      {{"-f", dbPath_, "dump"}, 1, "does not exist"},
  };
  for (const Step &s : steps) {
    expect(s);
    expect_nothing_left();
  }
  run(steps[0].args);  // the parser's own message says where the file is wrong
  EXPECT_NE(out_.find("Syntax ERROR"), std::string::npos);
}

TEST_F(ZrdbctlTest, InvalidIndexIsParsedOnlyFromAGivenFileAndRemoveClearsIt) {
  // An application's failed parse leaves an invalid index; never used blindly.
  const std::string bad = dir_.write("bad.cfg", system_section() + "id=1, name=a, colour=red\n");
  const auto leave_invalid_index = [&] {
    ASSERT_EQ(run_in_child([&] { return zrdb_cfgParseFromFile(bad.c_str()) != 0 ? 0 : 1; }), 0);
  };
  leave_invalid_index();
  expect({{"get", "speed"}, 1, "not valid"});  // and leaves it for remove to report
  expect({{"remove"}, 1, "not valid (no database file given); removed it"});
  EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY));
  // With the file the index is repaired, but nothing is allocated yet.
  leave_invalid_index();
  expect({{"-f", dbPath_, "dump"}, 1, "not allocated"});
  expect({{"remove", dbPath_}, 1, "does not exist; removed the index segment only"});
  EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY));
  // Under an allocated database the file repairs the index; remove clears all.
  expect({{"create", dbPath_}, 0, ""});
  leave_invalid_index();
  expect({{"remove", dbPath_}, 0, "removed 'test'"});
  expect_nothing_left();
}

// A damaged record: the item is refused in time, the sound items stay reachable
// and remove clears everything else, the sound semaphore item too.
TEST_F(ZrdbctlTest, DamagedRecordIsRefusedWithoutCrashOrHang) {
  const std::pair<size_t, uint32_t> damages[] = {
      {offsetof(ZRDB_ITEM_DESC, count), INT32_MAX},
      {offsetof(ZRDB_ITEM_DESC, offset), 0xFFFFFFF0u},
      {offsetof(ZRDB_ITEM_DESC, elemSize), UINT32_MAX},  // -1
      {offsetof(ZRDB_ITEM_DESC, type), 77},
  };
  for (const auto &[field, value] : damages) {
    SCOPED_TRACE("field at " + std::to_string(field));
    expect({{"create", dbPath_}, 0, ""});
    void *index = shmat(shmget(ZRDB_INDEX_KEY, 0, 0), nullptr, 0);
    ASSERT_NE(index, reinterpret_cast<void *>(-1));
    auto *speed = static_cast<unsigned char *>(index) + ZRDB_SYS_HDR_SIZE + ZRDB_ITEM_DESC_SIZE;
    std::memcpy(speed + field, &value, sizeof value);
    shmdt(index);
    const Step steps[] = {
        {{"get", "speed"}, 1, "'speed' (id 1) is damaged"},
        {{"print", "speed"}, 1, "'speed' (id 1) is damaged"},
        {{"get", "counter"}, 0, "5\n"},
        {{"print", "counter", "0"}, 0, "5\n"},
        {{"info"}, 1, "1 damaged item"},
        {{"dump"}, 1, "could not be listed (id 1)"},
        {{"check"}, 1, "1 of 10 item(s) are damaged"},
        {{"remove"}, 1, "semaphores) of 1 damaged item(s) (id 1) were not released"},
    };
    for (const Step &s : steps) expect(s);
    expect_nothing_left();
  }
}

// reset and trace reach the shared statistics of thread items that another
// process owns (this one), and refuse the types they cannot mean anything to.
TEST_F(ZrdbctlTest, ResetAndTraceChangeWhatPrintShows) {
  const int32_t ids[] = {kPool, kFifo, -1};
  open_items(create(std::string(kItems) + kOwned), ids);
  const uint64_t word = 0;
  const auto put = [&] { ASSERT_EQ(zrdb_tfifo_putdata(kFifo, 1, &word, 8), 0); };

  const Step refused[] = {
      {{"trace", "counter", "2"}, 2, "keeps no statistics"},
      {{"reset", "counter"}, 2, "keeps no statistics"},  // its mode 2 would only print
      {{"trace", "ev", "2"}, 2, "keeps no statistics"},  // its mode 3 would only print
      {{"trace", "fifo.1", "65536"}, 2, "bad trace level"},
      {{"trace", "fifo.2", "2"}, 2, "out of range"},
      {{"reset", "pool.1"}, 2, "without an index"},  // its handler would ignore the index
  };
  for (const Step &s : refused) expect(s);

  put();  // pending 8, not tracked yet
  expect({{"trace", "fifo.1", "2"}, 0, ""});
  put();
  expect({{"print", "fifo.1"}, 0, "MBC(16)"});  // FIFO 1 tracked, both puts pending
  expect({{"reset", "fifo.1"}, 0, ""});
  expect({{"print", "fifo.1"}, 0, "MBC(0)"});

  use_pool();
  const Step pool[] = {
      {{"print", "pool"}, 0, "UC(0),MUC(2),AFC(1)"}, {{"reset", "pool"}, 0, ""},
      {{"print", "pool"}, 0, "UC(0),MUC(0),AFC(0)"}, {{"trace", "pool", "3"}, 0, ""},
      {{"print", "pool"}, 0, "Max Delay:"},  // hold times shown from trace 3 on
  };
  for (const Step &s : pool) expect(s);

  zrdb_Cleanup();
  expect({{"remove"}, 0, "removed 'test'"});
  expect_nothing_left();
}

// get and set read a thread item or a server remote buffer as dump does:
// they open none, so its owner keeps its lock and statistics, a gone
// owner's statistics stay to be read, and no lock file appears.
TEST_F(ZrdbctlTest, GetAndSetLeaveThreadItemsAndServersToTheirOwners) {
  const int32_t ids[] = {kPool, -1};
  open_items(create(std::string(kItems) + kOwned), ids);
  use_pool();
  expect({{"trace", "pool", "3"}, 0, ""});
  const std::string stats = "\"muc\":2,\"afc\":1,\"trace\":3";
  const Step steps[] = {
      {{"--json", "get", "pool"}, 0, stats},  // while its owner holds it
      {{"get", "pool"}, 2, "'zrdbctl --json get pool'"},
      {{"set", "pool", "1"}, 2, "takes integer"},
      {{"get", "fifo"}, 2, "takes integer"},
      {{"--json", "get", "fifo"}, 0, "\"fifos\":[{\"mbc\":0"},
      {{"--json", "get", "srv"}, 0, "\"open\":false"},
      {{"set", "local", "5"}, 0, ""},  // mirrored through clients only
      {{"get", "local"}, 0, "5\n"},
  };
  for (const Step &s : steps) expect(s);
  zrdb_Cleanup();  // the owner ends; what it counted stays to be read
  expect({{"--json", "get", "pool"}, 0, stats});
  EXPECT_FALSE(fs::exists("/tmp/zrdbid4801.lock"));
  EXPECT_FALSE(fs::exists("/tmp/zrdbid4840.lock"));
  expect({{"remove"}, 0, "removed 'test'"});
}

// remove refuses while a process is attached, unless forced; it deletes
// the item lock files that nobody holds, and one held by a running owner
// stays, with its lock.
TEST_F(ZrdbctlTest, RemoveRefusesWhileAttachedAndDeletesOnlyUnheldLockFiles) {
  const std::string db = create(std::string(kItems) + kOwned);
  const int32_t both[] = {kPool, kFifo, -1}, pool[] = {kPool, -1};
  for (const int32_t *ids : {both, pool}) open_items(db, ids);  // both lock files, the pool's held
  expect({{"remove", db}, 1, "1 process(es) are attached"});
  EXPECT_TRUE(segment_exists(ZRDB_INDEX_KEY) && segment_exists(kTestDataKey));
  expect({{"remove", "--force"}, 0, "kept the lock file(s) of id 4800: in use"});
  EXPECT_FALSE(fs::exists("/tmp/zrdbid4801.lock"));
  EXPECT_TRUE(fs::exists("/tmp/zrdbid4800.lock"));
}

// zrdbctl killed while it creates: whatever the library made by then,
// remove clears it from the segments and from /dev/shm.
TEST_F(ZrdbctlTest, RemoveClearsWhatAKilledCreateLeft) {
  for (const bool allocated : {false, true}) {
    SCOPED_TRACE(allocated ? "killed after the allocation" : "killed before: no data to remove");
    const int died = run_in_child([&] {
      if (zrdb_cfgParse(dbPath_.c_str()) == 0 &&
          (!allocated || zrdb_Init(HBUSER_ALLOCATE, nullptr) == 0))
        raise(SIGKILL);
      return 1;
    });
    EXPECT_EQ(died, -1);
    ASSERT_EQ(semaphore_exists(), allocated);
    expect({{"remove"}, allocated ? 0 : 1, allocated ? "removed 'test'" : "index segment only"});
    expect_nothing_left();
  }
}

// A remove killed once the data segment went: the next one still removes
// the VLINK queue, which nothing else would.
TEST_F(ZrdbctlTest, RemoveAfterAKilledRemoveTakesTheVlinkQueue) {
  const std::string db =
      dir_.write("v.cfg", system_section() + "id=1, name=vl, type=vlinkmst, value=1:127.0.0.1\n");
  expect({{"create", db}, 0, ""});
  ASSERT_GE(msgget(ZRDB_VLINK_QUEUE_KEY, IPC_CREAT | 0666), 0);
  ASSERT_EQ(shmctl(shmget(kTestDataKey, 0, 0), IPC_RMID, nullptr), 0);
  expect({{"remove", db}, 1, "removed the index segment only"});
  const int queue = msgget(ZRDB_VLINK_QUEUE_KEY, 0);
  EXPECT_LT(queue, 0);
  msgctl(queue, IPC_RMID, nullptr);
  hbdb_sem_Destroy(ZRDB_VLINK_SEMAPHORE);
}

// udp-send and udp-recv open a remote buffer as a client process would, and
// talk to a server this process opened and to a plain socket; dump lists the
// syncto records.
TEST_F(ZrdbctlTest, UdpSendRecvAndTheSynctoListing) {
  const int32_t ids[] = {kServer, -1};
  open_items(create(std::string(kItems) + kOwned), ids);
  expect({{"udp-send", "cli", "hello"}, 0, ""});
  char buf[16];
  int32_t len = 0;
  ASSERT_EQ(zrdb_rmtbufRead(kServer, buf, sizeof buf, &len), 0);
  EXPECT_EQ(std::string(buf, size_t(len)), "hello");
  expect({{"get", "mirror"}, 0, "0\n"});  // the read is mirrored through the client item
  char sync[512];
  EXPECT_EQ(zrdb_rmtbufRead(kServer, sync, sizeof sync, &len), 0);
  expect({{"udp-recv", "srv", "1"}, 1, "cannot bind 'srv'"});  // served here
  EXPECT_TRUE(fs::exists("/tmp/zrdbid4840.lock"));
  zrdb_Cleanup();

  // A datagram sent every 100 ms for 5 s at most, to a tool started meanwhile.
  const std::pair<std::string, std::string> datagrams[] = {
      {"ping", "ping\n"}, {std::string{'\0', '\xff', 'a'}, "0000: 00 ff 61\n"}};
  for (const auto &[bytes, shown] : datagrams) {
    Child sender([&] {
      const int sock = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(47101)};
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      for (int i = 0; i < 50; ++i, usleep(100000))
        sendto(sock, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
      return 0;
    });
    expect({{"udp-recv", "inbox"}, 0, shown});
  }
  const Step steps[] = {
      {{"udp-recv", "inbox", "300ms"}, 1, "nothing arrived on 'inbox' within 300ms"},
      {{"udp-send", "counter", "x"}, 2, "not rmtbuf or vlinkbuf"},
      {{"udp-recv", "inbox", "3601"}, 2, "bad wait"},  // a bare number: seconds
      {{"udp-recv", "inbox", "0"}, 2, "bad wait '0': give a time from 1ms to 3600s"},
      {{"dump"}, 0, "syncto: mirror(4843) -> remote buffer cli(4841), peer id 77, mode 1"},
      {{"remove"}, 0, "removed 'test'"},
  };
  for (const Step &s : steps) expect(s);
  expect_nothing_left();
}

// JSON that a parser reads back, watch lines, and a debug level switched in
// a running application through the debug board.
TEST_F(ZrdbctlTest, JsonWatchAndDebugOfARunningApplication) {
  const std::string db = create(
      "id=12, name=counter, type=integer, size=4*2, value=7\n"
      "id=13, name=note, type=string, value=a\"b\\\n"
      "id=32, name=ev, type=cbuf, size=32*4\n"
      "id=40, name=zrdb_debug, type=string, size=32*2\n");
  ASSERT_EQ(run({"dump", "--json"}), 0);
  std::ofstream(dir_.path() + "/dump.json") << out_;
  expect({{"set", "counter.1", "9"}, 0, ""});
  expect({{"--json", "get", "counter.1"}, 0, "\"index\":1,\"values\":[9]}"});
  // Lines stamped to the millisecond; an element alone when one is named.
  ASSERT_EQ(run({"watch", "-c", "2", "-n", "100", "counter.1", "ev"}), 0);
  const std::regex lines(R"((\d\d:\d\d:\d\d\.\d{3} (counter\(12\) integer index=1 values=\[9\]|)"
                         R"(ev\(32\) cbuf slots=4 level=0 of=0 uf=0 mbl=0)\n){4})");
  EXPECT_TRUE(std::regex_match(out_, lines)) << out_;
  ASSERT_EQ(run({"--json", "watch", "-c", "2", "-n", "100ms", "counter.1", "ev"}), 0);
  std::ofstream(dir_.path() + "/watch.json") << out_;
  // Another JSON reader prints what it found: in the dump, then in each
  // watch line (one object a line).
  const std::string reader =
      "cd " + dir_.path() +
      " && python3 -c 'import json,re\n"
      "i={x[\"name\"]:x for x in json.load(open(\"dump.json\"))[\"items\"]}\n"
      "print(i[\"counter\"][\"values\"], i[\"note\"][\"values\"], i[\"ev\"][\"slots\"])\n"
      "for l in open(\"watch.json\"): o=json.loads(l); print(o[\"name\"], o.get(\"values\"), "
      "bool(re.fullmatch(r\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d{4}\", "
      "o[\"time\"])))' >py";
  ASSERT_EQ(std::system(reader.c_str()), 0) << out_;
  EXPECT_EQ(
      read_file(dir_.path() + "/py"),
      "[7, 7] ['a\"b\\\\'] 4\ncounter [9] True\nev None True\ncounter [9] True\nev None True\n");

  Child app([&] {
    zrdbdbg_setAppName("cam");
    if (zrdb_cfgParse(db.c_str()) != 0 || zrdb_Init(HBUSER_PRINT, nullptr) != 0) return 1;
    for (int i = 0; i < 500 && zrdbdbg_debug_lvl != 7; ++i) {
      zrdbdbg_pollDebugLvl();
      usleep(10000);
    }
    return zrdbdbg_debug_lvl == 7 ? 0 : 2;
  });
  expect({{"debug", "cam", "7"}, 0, "cam: debug level 7"});
  EXPECT_EQ(app.wait(), 0);
  expect({{"debug", "two words", "7"}, 2, "bad application name"});
  expect({{"remove"}, 0, "removed"});
}

}  // namespace
}  // namespace zrdb::test
