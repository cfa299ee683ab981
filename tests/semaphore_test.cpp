// Semaphores: the deadline arithmetic of the timed waits, the binary post and
// drain of the primitives, semaphore items across processes, and the
// polling that the item waits do before they block.
#include <grp.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <limits>

#include <cerrno>
#include <chrono>

#include "platform/semaphore.h"
#include "support/fixture.h"

namespace zrdb::test {

// Milliseconds `wait` took to time out.
double timed_out_after(const std::function<int()> &wait) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait(), -1);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST(SemaphoreDeadlineTest, DeadlinesCarryExactlyAndNeverWrap) {
  constexpr time_t s = 1700000000;
  // clang-format off
  const std::tuple<long, uint32_t, time_t, long> rows[] = {  // now ns, us; deadline s, ns
      {999999000, 1500000, s + 2, 499999000},  // the carry counts the us of now
      {0, 1, s, 1000}, {999999999, 1, s + 1, 999}, {999998999, 1, s, 999999999},
      {500000000, 500000, s + 1, 0}, {999000000, 999999, s + 1, 998999000},
      {123456789, 4294967295u, s + 4295, 90751789}};
  // clang-format on
  for (const auto &[ns, us, sec, nsec] : rows) {
    const timespec d = deadline_after_us({s, ns}, us);
    EXPECT_EQ(std::make_pair(d.tv_sec, d.tv_nsec), std::make_pair(sec, nsec)) << ns << "+" << us;
  }
  // Whole seconds: the next second after the wait, saturated, never wrapped.
  constexpr time_t kMax = std::numeric_limits<time_t>::max();
  EXPECT_EQ(deadline_after_seconds(s, 20).tv_sec, s + 21);
  EXPECT_EQ(deadline_after_seconds(kMax - 5, 4294967295u).tv_sec, kMax);
}

TEST(SemaphorePrimitiveTest, BinaryPostRaisesOnlyUpToTwoAndBinaryWaitsDrainFirst) {
  void *sem = hbdb_sem_Create("/zrdbt_prim", 0);
  ASSERT_NE(sem, nullptr);
  hbdb_sem_Destroy("/zrdbt_prim");
  const auto set = [&](int32_t n) {  // sets the count to n
    while (sem_trywait(static_cast<sem_t *>(sem)) == 0) {
    }
    for (int32_t i = 0; i < n; ++i) hbdb_sem_Post(sem);
  };
  for (const auto &[before, after] : {std::pair{0, 1}, {1, 2}, {2, 2}, {3, 3}}) {
    int32_t posted = -1, waited = -1, timed = -1;
    set(before);
    hbdb_sem_Post_binary(sem);
    hbdb_sem_Get_Value(sem, &posted);
    set(before + 1);
    hbdb_sem_Wait_binary(sem);  // drains to 1, then takes it
    hbdb_sem_Get_Value(sem, &waited);
    set(before + 1);
    hbdb_sem_timedWait_binary(sem, 1);
    hbdb_sem_Get_Value(sem, &timed);
    EXPECT_EQ(std::make_tuple(posted, waited, timed), std::make_tuple(after, 0, 0)) << before;
  }
  errno = 0;
  const double ms = timed_out_after([&] { return hbdb_sem_timedWait_us(sem, 20000); });
  // The upper bounds are far above the waits (20 ms; up to the next second):
  // they catch a wrong unit (20 s, hours), not a slow machine.
  EXPECT_TRUE(ms >= 19.0 && ms < 10000.0 && errno == ETIMEDOUT) << ms;
  EXPECT_LT(timed_out_after([&] { return hbdb_sem_timedWait(sem, 0); }), 10000.0);
  hbdb_sem_Close(sem);
}

// Under the usual umask 022 another user's process still opens a semaphore
// that this one made: the database's users need not share one account.
TEST(SemaphorePrimitiveTest, AnotherUserOpensASemaphoreMadeUnderUmask022) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  EXPECT_EQ(run_in_child([] {
              umask(022);
              void *sem = hbdb_sem_Create("/zrdbt_mode", 0);
              const int opened = run_in_child([] {
                constexpr uid_t kNobody = 65534;
                if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                    setresuid(kNobody, kNobody, kNobody) != 0)
                  return 2;
                return hbdb_sem_Get("/zrdbt_mode") != nullptr ? 0 : 1;
              });
              hbdb_sem_Destroy("/zrdbt_mode");
              return sem == nullptr ? 3 : opened;
            }),
            0);
}

TEST(SpinWaitTest, SettingIsBoundedAndReturnsThePreviousOne) {
  const long initial = zrdb_setSpinWait(1234);
  ASSERT_GE(initial, 0);
  EXPECT_EQ(zrdb_setSpinWait(-1), -1);
  EXPECT_EQ(zrdb_setSpinWait(kMaxSpinNs + 1), -1);
  EXPECT_EQ(zrdb_setSpinWait(kMaxSpinNs), 1234);  // the refused calls changed nothing
  EXPECT_EQ(zrdb_setSpinWait(0), kMaxSpinNs);
  EXPECT_EQ(spin_budget_ns(), 0);
  zrdb_setSpinWait(initial);
  // The environment's text: plain decimal nanoseconds up to the bound.
  const std::pair<const char *, long> texts[] = {
      {nullptr, -1},    {"", -1},   {"0", 0},   {"20000", 20000}, {"10000000", kMaxSpinNs},
      {"10000001", -1}, {"-5", -1}, {" 5", -1}, {"5us", -1},      {"99999999999999999999999", -1}};
  for (const auto &[text, ns] : texts) EXPECT_EQ(parse_spin_ns(text), ns) << (text ? text : "null");
}

TEST(SpinWaitTest, OneCpuMeansNoPollingUnlessTheEnvironmentAsks) {
  // In a child: pinning and the environment stay out of this process.
  expect_in_child([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    unsetenv("ZRDB_SPIN_NS");
    EXPECT_EQ(initial_spin_ns(), 0);
    setenv("ZRDB_SPIN_NS", "777", 1);
    EXPECT_EQ(initial_spin_ns(), 777);
    setenv("ZRDB_SPIN_NS", "lots", 1);
    EXPECT_EQ(initial_spin_ns(), 0);
  });
}

class SemaphoreItemTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=three, type=semap, value=/zrdbt_three:3\n"
           "id=2, name=zero, type=semap, value=/zrdbt_zero\n";
  }
  std::vector<std::string> semaphores() const override { return {"/zrdbt_three", "/zrdbt_zero"}; }
  static int32_t value_of(int32_t id) {
    int32_t n = -100;
    EXPECT_EQ(zrdb_semaGetValue(id, &n), 0) << id;
    return n;
  }
};

TEST_F(SemaphoreItemTest, WaitAndPostGoThroughTheItemAndAcrossProcesses) {
  ASSERT_NE(zrdbIndexHdr.dit[1].para, 0);
  zrdb_Cleanup();  // the allocating attach closes the handle its creation kept
  EXPECT_EQ(zrdbIndexHdr.dit[1].para, 0);
  reattach(HBUSER_CLIENT);
  EXPECT_EQ(value_of(1), 3);
  EXPECT_EQ(zrdb_semaWait(1), 0);
  EXPECT_EQ(zrdb_semaWait_timeout_us(1, 1000), 0);
  EXPECT_EQ(zrdb_semaPost(1, 0), 0);
  EXPECT_EQ(zrdb_semaPost(1, 1), 0);  // binary: 2 stays 2
  EXPECT_EQ(value_of(1), 2);
  EXPECT_GE(timed_out_after([] { return zrdb_semaWait_timeout_us(2, 20000); }), 19.0);
  // A wait without limit (0) blocks until another process posts.
  Child waiter([] { return zrdb_semaWait_timeout_us(2, 0) == 0 ? 0 : 1; });
  usleep(100000);
  EXPECT_TRUE(waiter.running());
  EXPECT_EQ(zrdb_semaPost(2, 0), 0);
  EXPECT_EQ(waiter.wait(), 0);
  // A process killed while it holds the semaphore leaves it taken.
  EXPECT_EQ(run_in_child([] { return zrdb_semaWait(1) == 0 ? raise(SIGKILL) : 1; }), -1);
  EXPECT_EQ(std::make_pair(value_of(1), value_of(2)), std::make_pair(1, 0));
}

TEST_F(SemaphoreItemTest, WaitsThatPollTakeOneTokenAndStillTimeOut) {
  reattach(HBUSER_CLIENT);
  zrdb_setSpinWait(kMaxSpinNs);  // longer than the time-outs below; children inherit it
  // Polling is cut to the wait's own time-out, which then ends it as before.
  EXPECT_EQ(zrdb_semaWait_timeout_us(2, 2000), -1);
  EXPECT_EQ(value_of(2), 0);
  // Tokens posted while a waiter of another process polls: it takes one.
  const std::function<int()> waits[] = {[] { return zrdb_semaWait(2); },
                                        [] { return zrdb_semaWait_timeout_us(2, 5000000); }};
  for (const auto &wait : waits) {
    Child waiter([&] { return wait() == 0 ? 0 : 1; });  // started: on its way to the wait
    EXPECT_EQ(zrdb_semaPost(2, 0) + zrdb_semaPost(2, 0), 0);
    EXPECT_EQ(waiter.wait(), 0);
    EXPECT_EQ(value_of(2), 1);
    EXPECT_EQ(zrdb_semaWait_timeout_us(2, 1000000), 0);
  }
}

}  // namespace zrdb::test
