// Thread FIFO items and the item lock file: transfers and their sizes,
// writers racing on one FIFO, statistics seen from another process, and who
// may own the item.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "support/fixture.h"

namespace zrdb::test {

constexpr int32_t kFifo = 4901;     // size 16*3: FIFOs 0, 1, 2
constexpr int32_t kTooMany = 4902;  // 101 FIFOs

class ThreadFifoTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=4901, name=pipes, type=thrd_fifo, size=16*3\n"
           "id=4902, name=crowd, type=thrd_fifo, size=8*101\n";
  }
  std::vector<int32_t> lockedItems() const override { return {kFifo, kTooMany}; }
  int attach() { return DatabaseTest::attach({kFifo}); }
  using DatabaseTest::attach;
  ZRDB_TFIFO_STAT &stat(int i) {
    return reinterpret_cast<ZRDB_TFIFO_STAT *>(&data_of<ZRDB_TFIFO_HDR>(kFifo) + 1)[i];
  }
};

TEST_F(ThreadFifoTest, TransfersKeepTheirSizesAndAShortReadFails) {
  ASSERT_EQ(attach(), 0);
  std::vector<char> out(4096), in(4096);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i * 7);
  for (const int32_t size : {0, 1, 8, 256, 4096}) {
    ASSERT_EQ(zrdb_tfifo_putdata(kFifo, 2, out.data(), size), 0) << size;
    ASSERT_EQ(zrdb_tfifo_getdata(kFifo, 2, in.data(), size), 0) << size;
    EXPECT_EQ(std::memcmp(in.data(), out.data(), size_t(size)), 0) << size;
  }
  ASSERT_EQ(zrdb_tfifo_putdata(kFifo, 0, "abc", 3), 0);
  EXPECT_EQ(run([&] { return zrdb_tfifo_getdata(kFifo, 0, in.data(), 8); }),
            "-1: |ERR |NONAME|zrdbthrdfifo_ctrl| ZRDB(4901):pipe read failed\n");
  EXPECT_EQ(std::string(in.data(), 3), "abc");

  // The descriptors: 0 gives the end to write to (the reader of 1 is below).
  ASSERT_EQ(write(zrdb_tfifo_getFd(kFifo, 1, 0), "xy", 2), 2);
  EXPECT_EQ(zrdb_tfifo_getdata(kFifo, 1, in.data(), 2), 0);
  EXPECT_EQ(std::string(in.data(), 2), "xy");
  EXPECT_TRUE(fcntl(zrdb_tfifo_getFd(kFifo, 1, 1), F_GETFD) & FD_CLOEXEC);
}

TEST_F(ThreadFifoTest, BadCallsAreRefusedWithoutTouchingAPipe) {
  ASSERT_EQ(attach(), 0);
  char buf[8] = {};
  const std::string err = "-1: |ERR |NONAME|zrdbthrdfifo_ctrl| ZRDB(4901):";
  // clang-format off
  const std::tuple<std::function<int()>, std::string> rows[] = {
      {[&] { return zrdb_tfifo_putdata(kFifo, 3, buf, 1); }, err + "index out of range(3)\n"},
      {[&] { return zrdb_tfifo_getdata(kFifo, -1, buf, 1); }, err + "index out of range(-1)\n"},
      {[&] { return zrdb_tfifo_getFd(kFifo, 3, 1); }, err + "index out of range(3)\n"},
      {[&] { return zrdb_tfifo_putdata(kFifo, 0, nullptr, 4); }, err + "null buffer or negative size(4)\n"},
      {[&] { return zrdb_tfifo_getdata(kFifo, 0, buf, -2); }, err + "null buffer or negative size(-2)\n"},
      {[&] { return zrdbthrdfifo_ctrl(&zrdbIndexHdr.dit[kFifo], 9, intptr_t(&buf)); },
       "-1: |WARN|NONAME|zrdbthrdfifo_ctrl| ZRDB(4901): INVALID OPERATION(9)!\n"},
      {[&] { return zrdb_tfifo_putdata(5000, 0, buf, 1); }, "-1: "},
      {[&] { return zrdb_tfifo_putdata(ZRDB_SYMBLINK_BASE, 0, buf, 1); }, "-1: "},  // no link translation
      {[&] { return zrdb_tfifo_putdata(kTooMany, 0, buf, 1); },
       "-3: |WARN|NONAME|zrdb_tfifo_putdata| ZRDID(4902) is not in resource list!\n"}};
  // clang-format on
  for (const auto &[call, out] : rows) EXPECT_EQ(run(call), out);
  ASSERT_EQ(zrdb_tfifo_putdata(kFifo, 0, "ok", 2), 0);  // nothing was queued before it
  EXPECT_EQ(zrdb_tfifo_getdata(kFifo, 0, buf, 2), 0);
  EXPECT_EQ(std::string(buf, 2), "ok");
}

// Writers of one FIFO are serialised: every put stays whole, also a short
// one the system would keep whole by itself, next to a long one that waits
// for room. The pipe is cut to one page and the reader takes small pieces,
// so the long put waits many times. Each trace level takes its own path
// through the put; level 2 also keeps the pending mark exact. (A get reads
// once, so the reader here reads the records from the descriptor.)
TEST_F(ThreadFifoTest, MixedSizePutsStayWholeBehindASlowReader) {
  ASSERT_EQ(attach(), 0);
  constexpr int32_t kSizes[] = {16, 300, 4096, 20000};
  constexpr int kWriters = 4, kPuts = 100;
  const size_t total = kPuts * size_t(16 + 300 + 4096 + 20000);
  for (const int32_t level : {0, 2}) {
    const int32_t index = level / 2;
    zrdbthrdfifo_iprint(&zrdbIndexHdr.dit[kFifo], index, (level << 16) | 3);
    const int fd = zrdb_tfifo_getFd(kFifo, index, 1);
    ASSERT_EQ(fcntl(zrdb_tfifo_getFd(kFifo, index, 0), F_SETPIPE_SZ, 4096), 4096);
    std::vector<std::thread> writers;
    for (int t = 0; t < kWriters; ++t) {
      writers.emplace_back([t, index, size = kSizes[t]] {
        std::vector<unsigned char> record(static_cast<size_t>(size));
        for (int n = 0; n < kPuts; ++n) {
          std::memset(record.data(), t * kPuts + n, record.size());  // low byte of a put number
          record[0] = static_cast<unsigned char>(t);
          if (zrdb_tfifo_putdata(kFifo, index, record.data(), size) != 0) return;
        }
      });
    }
    std::vector<unsigned char> in(total);
    size_t at = 0;
    for (pollfd p{fd, POLLIN, 0}; at < total && poll(&p, 1, 10000) == 1;) {
      const ssize_t r = read(fd, in.data() + at, std::min<size_t>(512, total - at));
      if (r <= 0) break;
      at += size_t(r);
    }
    for (std::thread &w : writers) w.join();
    ASSERT_EQ(at, total) << "level " << level;
    int got[kWriters] = {};
    for (size_t pos = 0; pos < total;) {
      const unsigned t = in[pos];
      ASSERT_LT(t, unsigned(kWriters)) << "a put was torn at " << pos << ", level " << level;
      const auto size = size_t(kSizes[t]);
      ASSERT_LE(pos + size, total);
      const auto number = static_cast<unsigned char>(int(t) * kPuts + got[t]++);
      ASSERT_EQ(std::count(in.begin() + long(pos) + 1, in.begin() + long(pos + size), number),
                long(size) - 1)
          << "a put of " << size << " bytes was torn or reordered, level " << level;
      pos += size;
    }
    if (level == 2) {
      EXPECT_EQ(stat(index).mbc, int32_t(total));  // nothing was got through the item
    }
  }
}

TEST_F(ThreadFifoTest, StatisticsAndTraceLevels) {
  snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "owner");
  ASSERT_EQ(attach(), 0);  // the owner's name is taken at open
  char buf[16];
  const std::string line = "pipes" + std::string(27, ' ') + "= Thread FIFO, User(owner), MBC(";
  // The owner binds no print handlers: it calls them, another process prints.
  ZRDB_DIT *dit = &zrdbIndexHdr.dit[kFifo];
  EXPECT_EQ(run([&] { return zrdbthrdfifo_iprint(dit, 1, (2 << 16) | 3); }),
            "0: |INFO|owner|zrdbthrdfifo_iprint| ZRDB(4901,1): Set debug level 2 !\n");
  for (const int32_t size : {5, 7}) ASSERT_EQ(zrdb_tfifo_putdata(kFifo, 1, "0123456", size), 0);
  ASSERT_EQ(zrdb_tfifo_getdata(kFifo, 1, buf, 12), 0);
  ASSERT_EQ(zrdb_tfifo_putdata(kFifo, 1, "ab", 2), 0);  // 2 pending: below the mark
  EXPECT_EQ(run([&] { return zrdbthrdfifo_iprint(dit, 1, 0); }), "0: " + line + "12)\n");
  EXPECT_EQ(run([&] { return zrdbthrdfifo_iprint(dit, 3, 0); }),
            "-1: |ERR |owner|zrdbthrdfifo_iprint| ZRDB(4901):index out of range(3)\n");

  // Level 3 arms the size statistics; print reaches FIFO 0 with its mode.
  zrdbthrdfifo_print(dit, (3 << 16) | 3);
  EXPECT_EQ(stat(0).minSize, 999999);
  for (const int32_t size : {4, 9, 2})
    ASSERT_EQ(zrdb_tfifo_putdata(kFifo, 0, "012345678", size), 0);
  EXPECT_EQ(std::make_pair(stat(0).maxSize, stat(0).minSize), std::make_pair(9, 2));
  stat(0).mbc = 44;
  zrdbthrdfifo_print(dit, 2);  // resets FIFO 0's mark, not the sizes
  EXPECT_EQ(std::make_pair(stat(0).mbc, stat(0).maxSize), std::make_pair(0, 9));
  zrdbthrdfifo_print(dit, 3);  // mode 3 is level 0
  EXPECT_EQ(stat(0).trace, 0);
  EXPECT_EQ(stat(1).mbc, 12);  // another FIFO's statistics are its own

  zrdbthrdfifo_iprint(dit, 2, (1 << 16) | 3);  // level 1 traces every operation
  EXPECT_EQ(run([] { return zrdb_tfifo_putdata(kFifo, 2, "abc", 3); }),
            "0: |DBG |owner(1)|zrdbthrdfifo_ctrl| FIFO(2), Put Data bytes(3)\n");
  snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "NONAME");
}

TEST_F(ThreadFifoTest, OneOwnerAtATimeAndAKilledOwnerLetsGo) {
  const std::string held =
      "|ERR |NONAME|zrdbthrdfifo_open| ZRDB(4901): Get lock failed!\n"
      "|ERR |NONAME|zrdbthrdfifo_open| ZRDB(4901): /tmp/zrdbid4901.lock: held by another process\n";
  Child owner([&] { return attach() == 0; }, [] { return pause(), 0; });
  ASSERT_TRUE(owner.ready());
  EXPECT_EQ(run([&] { return attach(); }), "-1: " + held);
  kill(owner.pid(), SIGKILL);
  owner.wait();
  ASSERT_EQ(attach(), 0);  // the dead owner's lock went with it
  // A forked child that cleans up does not take this process's ownership away.
  EXPECT_EQ(run_in_child([] { return zrdb_Cleanup(); }), 0);
  EXPECT_EQ(run_in_child([&] { return attach() == -1 ? 0 : 1; }), 0);
  zrdb_Cleanup();  // and the owner's clean-up does
  EXPECT_EQ(run_in_child([&] { return attach(); }), 0);
}

TEST_F(ThreadFifoTest, OpenRefusesAPlantedLockPathAndAFifoCountAbove100) {
  const std::string failed =
      "-1: |ERR |NONAME|zrdbthrdfifo_open| ZRDB(4901): Open lock file failed!\n"
      "|ERR |NONAME|zrdbthrdfifo_open| ZRDB(4901): /tmp/zrdbid4901.lock: ";
  const std::string target = dir_.path() + "/victim";
  ASSERT_EQ(symlink(target.c_str(), "/tmp/zrdbid4901.lock"), 0);
  EXPECT_EQ(run([&] { return attach(); }), failed + std::strerror(ELOOP) + "\n");
  EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";
  unlink("/tmp/zrdbid4901.lock");
  ASSERT_EQ(mkfifo("/tmp/zrdbid4901.lock", 0600), 0);  // must not block the open
  EXPECT_EQ(run([&] { return attach(); }), failed + "not a regular file\n");
  unlink("/tmp/zrdbid4901.lock");

  EXPECT_EQ(run([&] { return attach({kTooMany}); }),
            "-1: |ERR |NONAME|zrdbthrdfifo_open| ZRDB(4902): FIFO Open failed, FOFI number (101) "
            "must between(1,100),!\n");
  // The failed open let its lock go.
  EXPECT_EQ(run_in_child([&] {
              const int fd = open("/tmp/zrdbid4902.lock", O_RDONLY);
              return flock(fd, LOCK_EX | LOCK_NB);
            }),
            0);
}

// Out of descriptors, the open says so and names the limit, whether the
// lock file or a pipe ran into it.
TEST_F(ThreadFifoTest, OpenOutOfDescriptorsNamesTheLimit) {
  const std::string head = "-1: |ERR |NONAME|zrdbthrdfifo_open| ZRDB(4901)";
  const std::pair<int, std::string> cases[] = {
      // descriptors to spare, the lines
      {0, head + ": Open lock file failed!\n|ERR |NONAME|zrdbthrdfifo_open| ZRDB(4901): "
                 "/tmp/zrdbid4901.lock: "},
      {1, head + ":pipe[0] open failed\n|ERR |NONAME|zrdbthrdfifo_open| ZRDB(4901):pipe[0]: "}};
  for (const auto &[spare, lines] : cases) {
    zrdb_Cleanup();
    ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlim_t limit = 0;
    const std::string out = run([&] {
      const int lowestFree = dup(0);  // every lower descriptor is in use
      close(lowestFree);
      limit = static_cast<rlim_t>(lowestFree + spare);
      const rlimit tight{limit, saved.rlim_max};
      setrlimit(RLIMIT_NOFILE, &tight);
      const int32_t owned[] = {kFifo, -1};
      const int rc = zrdb_Init(HBUSER_CLIENT, owned);
      setrlimit(RLIMIT_NOFILE, &saved);
      return rc;
    });
    EXPECT_EQ(out, lines + std::strerror(EMFILE) + ": this process may hold " +
                       std::to_string(limit) + " descriptors (RLIMIT_NOFILE, ulimit -n)\n");
  }
}

}  // namespace zrdb::test
