// Ring-buffer pool items: ring order, exhaustion, bins given back wrongly,
// statistics seen from another process, and threads sharing one pool.
#include <thread>

#include "support/fixture.h"

namespace zrdb::test {

constexpr int32_t kPool = 4911;   // 4 buffers of 16 bytes
constexpr int32_t kOther = 4912;  // another pool

class RbufPoolTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=4911, name=frames, type=thrd_rbuf, size=16*4\n"
           "id=4912, name=others, type=thrd_rbuf, size=8*2\n"
           "id=4913, name=behind, type=integer, value=7\n";
  }
  std::vector<int32_t> lockedItems() const override { return {kPool, kOther}; }
  void SetUp() override {
    DatabaseTest::SetUp();
    snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "owner");
    ASSERT_EQ(attach({kPool, kOther, 4913}), 0);
  }
  void TearDown() override {
    snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "NONAME");
    DatabaseTest::TearDown();
  }
  static ZRDB_DIT *dit() { return &zrdbIndexHdr.dit[kPool]; }
  static ZRDB_RBUF_INFO &info() { return data_of<ZRDB_RBUF_INFO>(kPool); }
  static std::string stats() {
    return run([] { return zrdbthrdrbuf_print(dit(), 0); });
  }
  static std::string counters(const char *fb, const char *uc, const char *muc, const char *afc) {
    return std::string("0: frames") + std::string(26, ' ') +
           "= Thread Ring Buffer Pool, size(16*4 Bytes), User(owner), FB(" + fb + "),UC(" + uc +
           "),MUC(" + muc + "),AFC(" + afc + ")\n";
  }
};

TEST_F(RbufPoolTest, BinsComeInRingOrderUntilThePoolIsEmpty) {
  ZRDB_RBUF_BIN *bins[4];
  for (int i = 0; i < 4; ++i) {
    bins[i] = zrdb_rbuf_alloc(kPool);
    ASSERT_NE(bins[i], nullptr);
    EXPECT_EQ(std::make_tuple(bins[i]->index, bins[i]->addr, bins[i]->size, bins[i]->barcode),
              std::make_tuple(i, &data_of<char>(kPool) + 64 + 16 * i, 16, ZRDB_RBUF_BARCODE));
  }
  EXPECT_EQ(zrdb_rbuf_alloc(kPool), nullptr);
  EXPECT_EQ(stats(), counters("0", "4", "4", "1"));
  ASSERT_EQ(zrdb_rbuf_recycle(bins[1]), 0);
  ASSERT_EQ(zrdb_rbuf_recycle(bins[0]), 0);
  EXPECT_EQ(zrdb_rbuf_alloc(kPool), bins[0]);  // the scan goes on after bin 3
  EXPECT_EQ(zrdb_rbuf_alloc(kPool), bins[1]);
  EXPECT_EQ(stats(), counters("0", "4", "4", "1"));

  EXPECT_EQ(zrdb_rbuf_reset(kPool), 0);
  EXPECT_EQ(stats(), counters("4", "0", "0", "0"));
  EXPECT_EQ(zrdb_rbuf_alloc(kPool), bins[0]);
  // The statistics command resets the peak and the failures, not the use.
  zrdbthrdrbuf_iprint(dit(), 7, 2);
  EXPECT_EQ(stats(), counters("3", "1", "0", "0"));
}

TEST_F(RbufPoolTest, WrongBinsAreRefusedAndChangeNothing) {
  ZRDB_RBUF_BIN *bin = zrdb_rbuf_alloc(kPool);
  ZRDB_RBUF_BIN *foreign = zrdb_rbuf_alloc(kOther);
  ASSERT_NE(bin, nullptr);
  ASSERT_NE(foreign, nullptr);
  ZRDB_RBUF_BIN copy = *bin;
  ZRDB_RBUF_BIN scribbled = *bin;
  scribbled.barcode = 0xdeadbeef;
  ZRDB_RBUF_BIN stray = *bin;
  stray.did = 5000;
  ZRDB_RBUF_BIN *none = nullptr;
  char copyAddr[9];
  snprintf(copyAddr, sizeof copyAddr, "%08x", unsigned(uintptr_t(&copy)));
  const std::string err = "-1: |ERR |owner|zrdbthrdrbuf_ctrl| ZRDB(4911): ZRDBTHRDRBUFOP_";
  // clang-format off
  const std::tuple<std::function<int()>, std::string> rows[] = {
      {[&] { return zrdbthrdrbuf_ctrl(dit(), ZRDBTHRDRBUFOP_RECYCLE, intptr_t(&foreign)); },
       err + "RECYCLE  failed, DID not match!\n"},
      {[&] { return zrdb_rbuf_recycle(&scribbled); },
       err + "RECYCLE  failed, illegal buffer barcode(deadbeef)\n"},
      {[&] { return zrdb_rbuf_recycle(&copy); },
       err + "RECYCLE  failed, bin(" + copyAddr + ") is not of this pool!\n"},
      {[&] { return zrdb_rbuf_recycle(&stray); }, "-1: "},
      {[&] { return zrdb_rbuf_recycle(nullptr); }, "-1: |WARN|owner|zrdb_rbuf_recycle| null bin!\n"},
      {[&] { ZRDB_RBUF_BIN *b = bin; return zrdbthrdrbuf_ctrl(dit(), ZRDBTHRDRBUFOP_ALLOC, intptr_t(&b)); },
       "-1: |ERR |owner|zrdbthrdrbuf_ctrl| bin prointer must be NULL when allocate a RBUF!\n"},
      {[&] { return zrdbthrdrbuf_ctrl(dit(), ZRDBTHRDRBUFOP_RECYCLE, intptr_t(&none)); },
       "-1: |ERR |owner|zrdbthrdrbuf_ctrl| ZRDB(4911): RBUF not open here or no bin given!\n"},
      {[&] { return zrdbthrdrbuf_ctrl(dit(), 3, 0); },
       "-1: |WARN|owner|zrdbthrdrbuf_ctrl| ZRDB(4911): INVALID OPERATION(3)!\n"},
      {[&] { return zrdb_rbuf_reset(4913); },
       "-1: |WARN|owner|zrdb_rbuf_reset| ZRDID(4913) is not in resurce list!\n"}};
  // clang-format on
  for (const auto &[call, out] : rows) EXPECT_EQ(run(call), out);
  EXPECT_EQ(stats(), counters("3", "1", "1", "0"));
  EXPECT_EQ(bin->inUse, 1);
  int32_t behind = 0;
  EXPECT_EQ(zrdb_getValue(4913, &behind, 4), 0);
  EXPECT_EQ(behind, 7);

  // Given back twice, a bin is counted twice: the pool cannot tell.
  ASSERT_EQ(zrdb_rbuf_recycle(bin), 0);
  ASSERT_EQ(zrdb_rbuf_recycle(bin), 0);
  EXPECT_EQ(stats(), counters("5", "-1", "1", "0"));
}

TEST_F(RbufPoolTest, HoldTimesAndANonOwner) {
  EXPECT_EQ(run([] { return zrdbthrdrbuf_iprint(dit(), 0, (3 << 16) | 3); }),
            "0: |INFO|owner|zrdbthrdrbuf_iprint| ZRDB(4911): Set debug level 3 !\n");
  EXPECT_EQ(stats(), counters("4", "0", "0", "0") + "Max Delay:0, Min Delay:4294967295l\n");
  ZRDB_RBUF_BIN *bin = zrdb_rbuf_alloc(kPool);
  ASSERT_NE(bin, nullptr);
  EXPECT_NE(bin->timestamp, 0);
  bin->timestamp -= 5000;  // held for 5 ms at least
  ASSERT_EQ(zrdb_rbuf_recycle(bin), 0);
  EXPECT_GE(info().maxDelay, 5000u);
  EXPECT_EQ(info().minDelay, info().maxDelay);
  EXPECT_EQ(bin->timestamp, 0);
  EXPECT_EQ(info().flags & 0xF, 1u);

  // A process that does not own the pool may not take buffers from it.
  expect_in_child([&] {
    ASSERT_EQ(attach({}, HBUSER_PRINT), 0);
    EXPECT_EQ(zrdb_rbuf_alloc(kPool), nullptr);
    EXPECT_EQ(zrdb_rbuf_reset(kPool), -1);
  });
  reattach(HBUSER_PRINT);  // the owner's close clears the open flag
  EXPECT_EQ(info().flags & 0xF, 0u);
}

// Threads take and give back bins at once: every bin is held by one thread
// at a time, and the counters end where they began.
TEST_F(RbufPoolTest, ThreadsShareThePoolWithoutLosingBins) {
  constexpr int kThreads = 4, kRounds = 2000;
  std::atomic<int> overlaps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kRounds; ++n) {
        ZRDB_RBUF_BIN *bin = zrdb_rbuf_alloc(kPool);
        if (bin == nullptr) continue;  // all four taken just now
        auto *cell = static_cast<unsigned char *>(bin->addr);
        cell[0] = static_cast<unsigned char>(t);
        std::this_thread::yield();
        if (cell[0] != t) ++overlaps;
        zrdb_rbuf_recycle(bin);
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(std::make_tuple(overlaps.load(), info().fb, info().uc), std::make_tuple(0, 4u, 0u));
  EXPECT_LE(info().muc, 4u);
}

}  // namespace zrdb::test
