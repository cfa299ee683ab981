// Semaphores: timed-wait deadlines, binary post and drain, items used across processes.
#include "platform/semaphore.h"
#include "support/fixture.h"

namespace zrdb::test {

double ms_of(const std::function<void()> &fn) {  // milliseconds fn took
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST(SemaphoreTest, DeadlinesCarryExactlyAndNeverWrap) {
  constexpr time_t s = 1700000000;
  // Nanoseconds of now, microseconds to wait: the deadline (carries count now's microseconds).
  const std::tuple<long, uint32_t, time_t, long> cases[] = {
      {999999000, 1500000, s + 2, 499999000},
      {999999999, 1, s + 1, 999},
      {999998999, 1, s, 999999999},
      {500000000, 500000, s + 1, 0},
      {123456789, 4294967295u, s + 4295, 90751789}};
  for (const auto &[nanos, us, sec, nsec] : cases) {
    const timespec d = deadline_after_us({s, nanos}, us);
    EXPECT_EQ(std::make_pair(d.tv_sec, d.tv_nsec), std::make_pair(sec, nsec)) << nanos << "+" << us;
  }
  EXPECT_EQ(deadline_after_seconds(s, 20).tv_sec, s + 21);  // the next whole second: never shorter
}

TEST(SemaphoreTest, BinaryPostAndDrainTimedWaitsAndBadHandles) {
  sem_unlink("/zrdbt_h3_prim");
  void *sem = hbdb_sem_Create("/zrdbt_h3_prim", 0);
  ASSERT_NE(sem, nullptr);
  sem_unlink("/zrdbt_h3_prim");  // the handle keeps it
  // Sets the count to `before`, runs op and returns its result and the count.
  const auto with_count = [&](int32_t before, int (*op)(void *)) {
    while (hbdb_sem_timedWait_us(sem, 0) == 0) {
    }
    while (before-- > 0) hbdb_sem_Post(sem);
    const int rc = op(sem);
    int32_t n = -1;
    hbdb_sem_Get_Value(sem, &n);
    return std::make_pair(rc, n);
  };
  for (const auto &[before, after] : {std::pair{0, 1}, {1, 2}, {2, 2}, {3, 3}})
    EXPECT_EQ(with_count(before, hbdb_sem_Post_binary), std::make_pair(0, after)) << before;
  const auto timed = [](void *s) { return hbdb_sem_timedWait_binary(s, 1); };
  for (const int32_t before : {1, 5})  // binary waits drain to one, then take it
    for (const auto wait : {hbdb_sem_Wait_binary, +timed})
      EXPECT_EQ(with_count(before, wait), std::make_pair(0, 0)) << before;
  EXPECT_GE(ms_of([&] { EXPECT_EQ(hbdb_sem_timedWait_us(sem, 20000), -1); }), 19.0);
  EXPECT_EQ(errno, ETIMEDOUT);
  int32_t n = 77;
  for (const int rc :
       {hbdb_sem_Wait(nullptr), hbdb_sem_Wait_binary(nullptr), hbdb_sem_timedWait_us(nullptr, 1),
        hbdb_sem_timedWait_binary(nullptr, 1), hbdb_sem_Post_binary(nullptr),
        hbdb_sem_Get_Value(nullptr, &n), hbdb_sem_Get_Value(sem, nullptr), hbdb_sem_Close(nullptr)})
    EXPECT_EQ(rc, -1);
  EXPECT_EQ(std::make_pair(n, hbdb_sem_Close(sem)), std::make_pair(77, 0));
}

class SemaphoreItemTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=sem_three, type=semap, value=/zrdbt_h3_3:3\n"
           "id=2, name=sem_zero, type=semap, value=/zrdbt_h3_0\n";
  }
  std::vector<std::string> semaphores() const override { return {"/zrdbt_h3_3", "/zrdbt_h3_0"}; }
};

TEST_F(SemaphoreItemTest, CountsPostsAndWaitsAcrossProcesses) {
  reattach(HBUSER_PRINT);
  EXPECT_EQ(outcome([] { return zrdb_printValue(1, 1); }),
            "00001: semap     : sem_three" + std::string(23, ' ') + "= /zrdbt_h3_3:3, CVAL=3\n");
  EXPECT_EQ(zrdb_semaWait_timeout_us(1, 1000), 0);  // 3 -> 2
  EXPECT_EQ(zrdb_semaPost(1, 1), 0);                // binary: stays 2
  int32_t n[2] = {};
  EXPECT_EQ(zrdb_semaGetValue(1, &n[0]), 0);
  EXPECT_GE(ms_of([] { EXPECT_EQ(zrdb_semaWait_timeout_us(2, 20000), -1); }), 19.0);
  // Waits without limit (0 us means none) block until another process posts.
  for (const auto wait :
       {+[] { return zrdb_semaWait(2); }, +[] { return zrdb_semaWait_timeout_us(2, 0); }}) {
    Child child([&] { return wait(); });
    usleep(100000);
    EXPECT_TRUE(child.running());
    EXPECT_EQ(zrdb_semaPost(2, 0), 0);
    EXPECT_EQ(child.wait(), 0);
  }
  EXPECT_EQ(zrdb_semaGetValue(2, &n[1]), 0);
  EXPECT_EQ(std::make_pair(n[0], n[1]), std::make_pair(2, 0));
}

}  // namespace zrdb::test
