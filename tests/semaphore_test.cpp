// Semaphores: the deadline arithmetic of the timed waits, the primitives
// over named semaphores, and the semaphore items with their public
// functions, across processes where it matters.
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

#include "platform/semaphore.h"
#include "support/fixture.h"

namespace zrdb::test {
namespace {

using Clock = std::chrono::steady_clock;

int32_t count_of(void *sem) {
  int32_t n = -100;
  EXPECT_EQ(hbdb_sem_Get_Value(sem, &n), 0);
  return n;
}

// Sets a semaphore to exactly n.
void set_count(void *sem, int32_t n) {
  while (sem_trywait(static_cast<sem_t *>(sem)) == 0) {
  }
  for (int32_t i = 0; i < n; ++i) hbdb_sem_Post(sem);
}

double elapsed_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(SemaphoreDeadlineTest, MicrosecondDeadlineIsExactWithCarries) {
  struct Case {
    timespec now;
    uint32_t us;
    timespec deadline;
  };
  constexpr time_t s = 1700000000;
  const Case cases[] = {
      {{s, 999999000}, 1500000, {s + 2, 499999000}},  // the carry counts the us of now
      {{s, 0}, 1, {s, 1000}},
      {{s, 999999999}, 1, {s + 1, 999}},
      {{s, 999998999}, 1, {s, 999999999}},
      {{s, 500000000}, 500000, {s + 1, 0}},
      {{s, 123456789}, 1000000, {s + 1, 123456789}},
      {{s, 999000000}, 999999, {s + 1, 998999000}},
      {{s, 123456789}, 4294967295u, {s + 4295, 90751789}},  // no wrap of the carry
  };
  for (const Case &c : cases) {
    const timespec d = deadline_after_us(c.now, c.us);
    EXPECT_EQ(d.tv_sec, c.deadline.tv_sec) << c.now.tv_nsec << " + " << c.us << " us";
    EXPECT_EQ(d.tv_nsec, c.deadline.tv_nsec) << c.now.tv_nsec << " + " << c.us << " us";
  }
}

TEST(SemaphoreDeadlineTest, SecondDeadlineIsTheWholeSecondAfterTheTimeout) {
  constexpr time_t s = 1700000000;
  for (const uint32_t n : {0u, 1u, 20u}) {
    const timespec d = deadline_after_seconds(s, n);
    EXPECT_EQ(d.tv_sec, s + n + 1) << n;
    EXPECT_EQ(d.tv_nsec, 0) << n;
  }
}

constexpr const char *kPrimName = "/zrdbt_h2_prim";
constexpr const char *kMissingName = "/zrdbt_h2_missing";

class SemaphorePrimitiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sem_unlink(kPrimName);
    sem_unlink(kMissingName);
  }
  void TearDown() override {
    if (sem_ != nullptr) hbdb_sem_Close(sem_);
    sem_unlink(kPrimName);
    sem_unlink(kMissingName);
  }
  void create(uint32_t initial) {
    if (sem_ != nullptr) hbdb_sem_Close(sem_);
    sem_ = hbdb_sem_Create(kPrimName, initial);
    ASSERT_NE(sem_, nullptr);
  }
  void *sem_ = nullptr;
};

TEST_F(SemaphorePrimitiveTest, CreateReplacesAStaleSemaphoreAndGetOpensTheSameOne) {
  create(3);
  hbdb_sem_Post(sem_);
  void *stale = hbdb_sem_Get(kPrimName);
  ASSERT_NE(stale, nullptr);
  EXPECT_EQ(count_of(stale), 4);
  create(1);  // a new semaphore under the same name
  EXPECT_EQ(count_of(sem_), 1);
  EXPECT_EQ(count_of(stale), 4);
  void *opened = hbdb_sem_Get(kPrimName);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(hbdb_sem_Post(opened), 0);
  EXPECT_EQ(count_of(sem_), 2);
  EXPECT_EQ(hbdb_sem_Close(opened), 0);
  EXPECT_EQ(hbdb_sem_Close(stale), 0);
}

TEST_F(SemaphorePrimitiveTest, GetOfAMissingNameFailsWithTheSystemError) {
  void *sem = &sem;
  const std::string out = capture_stdout([&] { sem = hbdb_sem_Get(kMissingName); });
  EXPECT_EQ(sem, nullptr);
  EXPECT_EQ(out, std::string("|ERR |NONAME|hbdb_sem_Get| Get ") + kMissingName +
                     " Semp failed, err = " + std::strerror(ENOENT) + "\n");
}

TEST_F(SemaphorePrimitiveTest, CreateWithAnImpossibleCountFailsWithTheSystemError) {
  void *sem = &sem;
  const std::string out = capture_stdout([&] { sem = hbdb_sem_Create(kPrimName, 0xFFFFFFFFu); });
  EXPECT_EQ(sem, nullptr);
  EXPECT_EQ(out, std::string("|ERR |NONAME|hbdb_sem_Create| Create ") + kPrimName +
                     " Semp failed, err = " + std::strerror(EINVAL) + "\n");
}

TEST_F(SemaphorePrimitiveTest, BinaryPostRaisesOnlyACountOfAtMostOne) {
  create(0);
  const std::pair<int32_t, int32_t> cases[] = {{0, 1}, {1, 2}, {2, 2}, {3, 3}};
  for (const auto &[before, after] : cases) {
    set_count(sem_, before);
    EXPECT_EQ(hbdb_sem_Post_binary(sem_), 0) << before;
    EXPECT_EQ(count_of(sem_), after) << before;
  }
}

TEST_F(SemaphorePrimitiveTest, BinaryWaitsDrainToOneAndThenTake) {
  create(0);
  for (const int32_t before : {1, 2, 5}) {
    set_count(sem_, before);
    EXPECT_EQ(hbdb_sem_Wait_binary(sem_), 0) << before;
    EXPECT_EQ(count_of(sem_), 0) << before;
    set_count(sem_, before);
    EXPECT_EQ(hbdb_sem_timedWait_binary(sem_, 1), 0) << before;
    EXPECT_EQ(count_of(sem_), 0) << before;
  }
}

TEST_F(SemaphorePrimitiveTest, TimedWaitsTakeAnAvailableCountAndOtherwiseTimeOut) {
  create(2);
  EXPECT_EQ(hbdb_sem_timedWait_us(sem_, 1000), 0);
  EXPECT_EQ(hbdb_sem_timedWait(sem_, 0), 0);
  EXPECT_EQ(count_of(sem_), 0);

  Clock::time_point start = Clock::now();
  errno = 0;
  EXPECT_EQ(hbdb_sem_timedWait_us(sem_, 20000), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_GE(elapsed_ms(start), 15.0);
  EXPECT_LT(elapsed_ms(start), 1000.0);

  // Zero seconds waits until the next whole second.
  start = Clock::now();
  errno = 0;
  EXPECT_EQ(hbdb_sem_timedWait(sem_, 0), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_LT(elapsed_ms(start), 1500.0);
}

TEST_F(SemaphorePrimitiveTest, DestroyRemovesTheName) {
  create(0);
  EXPECT_EQ(hbdb_sem_Destroy(kPrimName), 0);
  EXPECT_EQ(sem_open(kPrimName, 0), SEM_FAILED);
  EXPECT_EQ(hbdb_sem_Destroy(kPrimName), -1);
}

TEST_F(SemaphorePrimitiveTest, NullHandleOrNullResultFailsWithoutCrashing) {
  int32_t n = 77;
  EXPECT_EQ(hbdb_sem_Wait(nullptr), -1);
  EXPECT_EQ(hbdb_sem_Wait_binary(nullptr), -1);
  EXPECT_EQ(hbdb_sem_timedWait(nullptr, 1), -1);
  EXPECT_EQ(hbdb_sem_timedWait_us(nullptr, 1), -1);
  EXPECT_EQ(hbdb_sem_timedWait_binary(nullptr, 1), -1);
  EXPECT_EQ(hbdb_sem_Post(nullptr), -1);
  EXPECT_EQ(hbdb_sem_Post_binary(nullptr), -1);
  EXPECT_EQ(hbdb_sem_Close(nullptr), -1);
  EXPECT_EQ(hbdb_sem_Get_Value(nullptr, &n), -1);
  EXPECT_EQ(n, 77);
  create(4);
  EXPECT_EQ(hbdb_sem_Get_Value(sem_, nullptr), -1);
}

// ---------------------------------------------------------------------------
// Semaphore items

constexpr const char *kThree = "/zrdbt_h2_three";
constexpr const char *kZero = "/zrdbt_h2_zero";

class SemaphoreItemTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=sem_three, type=semap, value=/zrdbt_h2_three:3\n"
           "id=2, name=sem_zero, type=semap, value=/zrdbt_h2_zero\n"
           "id=3, name=plain, type=integer, value=7\n";
  }
  std::vector<std::string> semaphores() const override { return {kThree, kZero}; }

  static int32_t value_of(int32_t id) {
    int32_t n = -100;
    EXPECT_EQ(zrdb_semaGetValue(id, &n), 0) << id;
    return n;
  }
  static void set_item_count(int32_t id, int32_t n) {
    while (zrdb_semaWait_timeout_us(id, 1) == 0) {
    }
    for (int32_t i = 0; i < n; ++i) zrdb_semaPost(id, 0);
  }
};

TEST_F(SemaphoreItemTest, AllocationCreatesEachSemaphoreWithItsInitialCount) {
  for (const auto &[name, expected] : {std::pair{kThree, 3}, std::pair{kZero, 0}}) {
    sem_t *sem = sem_open(name, 0);
    ASSERT_NE(sem, SEM_FAILED) << name;
    int n = -1;
    sem_getvalue(sem, &n);
    EXPECT_EQ(n, expected) << name;
    sem_close(sem);
  }
}

TEST_F(SemaphoreItemTest, PostWaitAndValueGoThroughTheItem) {
  reattach(HBUSER_CLIENT);
  EXPECT_EQ(value_of(1), 3);
  EXPECT_EQ(zrdb_semaWait(1), 0);
  EXPECT_EQ(zrdb_semaWait_timeout_us(1, 1000), 0);
  EXPECT_EQ(value_of(1), 1);
  EXPECT_EQ(zrdb_semaPost(1, 0), 0);
  EXPECT_EQ(zrdb_semaPost(1, 0), 0);
  EXPECT_EQ(zrdb_semaPost(1, 0), 0);
  EXPECT_EQ(value_of(1), 4);

  const std::pair<int32_t, int32_t> binary[] = {{0, 1}, {1, 2}, {2, 2}};
  for (const auto &[before, after] : binary) {
    set_item_count(2, before);
    EXPECT_EQ(zrdb_semaPost(2, 1), 0) << before;
    EXPECT_EQ(value_of(2), after) << before;
  }

  set_item_count(2, 0);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(zrdb_semaWait_timeout_us(2, 20000), -1);
  EXPECT_GE(elapsed_ms(start), 15.0);
  EXPECT_LT(elapsed_ms(start), 1000.0);
}

TEST_F(SemaphoreItemTest, WaitsWithoutLimitBlockUntilAnotherProcessPosts) {
  reattach(HBUSER_CLIENT);
  const std::function<int()> waits[] = {
      [] { return zrdb_semaWait(2); },
      [] { return zrdb_semaWait_timeout_us(2, 0); },  // 0: no limit
  };
  for (const auto &wait : waits) {
    Child child([&] { return wait() == 0 && value_of(2) == 0 ? 0 : 1; });
    ASSERT_TRUE(child.started());
    // A wait that did not block would have ended by now.
    usleep(100000);
    EXPECT_TRUE(child.running());
    EXPECT_EQ(zrdb_semaPost(2, 0), 0);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(value_of(2), 0);
  }
}

TEST_F(SemaphoreItemTest, PrintShowsTheDefinitionAndCountAndModeTwoRefills) {
  reattach(HBUSER_PRINT);
  std::string out = capture_stdout([] { EXPECT_EQ(zrdb_printValue(1, 1), 0); });
  EXPECT_EQ(out, "0001: semap     : sem_three                       = /zrdbt_h2_three:3, CVAL=3\n");
  out = capture_stdout([] { EXPECT_EQ(zrdb_printValue(2, 0), 0); });
  EXPECT_EQ(out, "sem_zero                        = /zrdbt_h2_zero, CVAL=0\n");

  set_item_count(1, 1);
  out = capture_stdout([] { EXPECT_EQ(zrdb_printValue(1, 2), 0); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(value_of(1), 3);
  // A count above the initial one is never lowered.
  set_item_count(1, 5);
  out = capture_stdout([] { EXPECT_EQ(zrdb_printValue(1, 2), 0); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(value_of(1), 5);
}

TEST_F(SemaphoreItemTest, DefinitionTextIsReadAndWrittenAsAValue) {
  reattach(HBUSER_CLIENT);
  char text[32] = {};
  ASSERT_EQ(zrdb_getValue(1, text, sizeof text - 1), 0);
  EXPECT_STREQ(text, "/zrdbt_h2_three:3");
}

TEST_F(SemaphoreItemTest, UnknownOperationCodeIsPrintedAndIgnored) {
  reattach(HBUSER_CLIENT);
  ZRDB_DIT *dit = &zrdbIndexHdr.dit[1];
  ASSERT_NE(dit->op, nullptr);
  int rc = -1;
  const std::string out = capture_stdout([&] { rc = dit->op->d_ctrl(dit, 7, 0); });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "Wrong ZRDB Semp Operation(7)\n");
  EXPECT_EQ(value_of(1), 3);
}

TEST_F(SemaphoreItemTest, ItemNotBoundHereOrOutOfRangeIsRefused) {
  const int32_t list[] = {3, -1};
  reattach(HBUSER_CLIENT, list);
  int32_t n = 42;
  std::string out = capture_stdout([&] { EXPECT_EQ(zrdb_semaGetValue(1, &n), -3); });
  EXPECT_EQ(n, 42);
  EXPECT_EQ(out, "|WARN|NONAME|zrdb_semaGetValue| ZRDID(1) is not in resurce list!\n");
  out = capture_stdout([] {
    EXPECT_EQ(zrdb_semaPost(1, 0), -3);
    EXPECT_EQ(zrdb_semaWait(1), -3);
    EXPECT_EQ(zrdb_semaWait_timeout_us(1, 10), -3);
  });
  EXPECT_EQ(out,
            "|WARN|NONAME|zrdb_semaPost| ZRDID(1) is not in resurce list!\n"
            "|WARN|NONAME|zrdb_semaWait| ZRDID(1) is not in resurce list!\n"
            "|WARN|NONAME|zrdb_semaWait_timeout_us| ZRDID(1) is not in resurce list!\n");
  out = capture_stdout([&] {
    for (const int32_t id : {-1, 5000}) {
      EXPECT_EQ(zrdb_semaPost(id, 0), -1);
      EXPECT_EQ(zrdb_semaWait(id), -1);
      EXPECT_EQ(zrdb_semaGetValue(id, &n), -1);
    }
  });
  EXPECT_EQ(out, "");
}

TEST_F(SemaphoreItemTest, ItemWithoutAnOpenSemaphoreFailsCleanly) {
  reattach(HBUSER_PRINT);
  ZRDB_DIT *dit = &zrdbIndexHdr.dit[1];
  ASSERT_EQ(zrdbsemp_close(dit), 0);
  EXPECT_EQ(dit->para, 0);
  int32_t n = 42;
  const std::string out = capture_stdout([&] {
    EXPECT_EQ(zrdb_semaPost(1, 0), -1);
    EXPECT_EQ(zrdb_semaWait(1), -1);
    EXPECT_EQ(zrdb_semaWait_timeout_us(1, 10), -1);
    EXPECT_EQ(zrdb_semaGetValue(1, &n), -1);
    EXPECT_EQ(zrdb_printValue(1, 0), -1);
    EXPECT_EQ(zrdbsemp_close(dit), 0);
  });
  EXPECT_EQ(n, 42);
  const std::string line = "ZRDID(1) semaphore is not open!\n";
  EXPECT_EQ(out, "|WARN|NONAME|zrdbsemp_ctrl| " + line + "|WARN|NONAME|zrdbsemp_ctrl| " + line +
                     "|WARN|NONAME|zrdbsemp_ctrl| " + line + "|WARN|NONAME|zrdbsemp_ctrl| " + line +
                     "|WARN|NONAME|zrdbsemp_print| " + line);
}

TEST_F(SemaphoreItemTest, AttachFailsWhenTheSemaphoreIsGone) {
  sem_unlink(kThree);
  zrdb_Cleanup();
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  int rc = 0;
  const std::string out = capture_stdout([&] { rc = zrdb_Init(HBUSER_CLIENT, nullptr); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, std::string("|ERR |NONAME|hbdb_sem_Get| Get ") + kThree +
                     " Semp failed, err = " + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(zrdbIndexHdr.dit[1].op, nullptr);
  EXPECT_EQ(zrdbIndexHdr.dit[1].para, 0);
}

TEST_F(SemaphoreItemTest, RemovalUnlinksEverySemaphore) {
  reattach(HBUSER_REMOVE);
  ASSERT_EQ(zrdb_Remove(), 0);
  EXPECT_EQ(sem_open(kThree, 0), SEM_FAILED);
  EXPECT_EQ(sem_open(kZero, 0), SEM_FAILED);
}

TEST(SemaphoreCreationTest, SemaphoreThatCannotBeCreatedFailsTheAllocation) {
  constexpr const char *kBig = "/zrdbt_h2_big";
  remove_ipc(kTestDataKey, {kBig});
  TempDir dir;
  const std::string path =
      dir.write("db.cfg", system_section() +
                              "id=1, name=big, type=semap, value=/zrdbt_h2_big:-1\n"
                              "id=2, name=after, type=integer, value=1\n");
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  int rc = 0;
  const std::string out = capture_stdout([&] { rc = zrdb_Init(HBUSER_ALLOCATE, nullptr); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, std::string("|ERR |NONAME|hbdb_sem_Create| Create ") + kBig +
                     " Semp failed, err = " + std::strerror(EINVAL) + "\n");
  EXPECT_EQ(zrdbIndexHdr.dit[1].para, 0);
  zrdb_Cleanup();
  remove_ipc(kTestDataKey, {kBig});
}

}  // namespace
}  // namespace zrdb::test
