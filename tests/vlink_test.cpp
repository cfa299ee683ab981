// VLINK: the request on the queue word for word, response matching, the
// time-out without a daemon, link numbers and states, against a test
// daemon that answers as it is told or not at all.
#include <sys/msg.h>
#include <sys/syscall.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

#include "support/fixture.h"

namespace zrdb::test {

constexpr int32_t kMaster = 4950;
constexpr int32_t kValue = 4951;
constexpr int32_t kSlave = 4952;

// Answers each request on the queue with what `answer` makes of its copy
// (false: no answer), until stopped; keeps the requests it saw.
class TestDaemon {
 public:
  using Answer = std::function<bool(ZRDB_VLINK_WIRE &resp)>;
  explicit TestDaemon(Answer answer) : answer_(std::move(answer)), thread_([this] { serve(); }) {}
  ~TestDaemon() { stop(); }
  const std::vector<ZRDB_VLINK_WIRE> &stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

 private:
  void serve() {
    const int q = msgget(ZRDB_VLINK_QUEUE_KEY, IPC_CREAT | 0666);
    while (!stop_) {
      ZRDB_VLINK_WIRE req{};
      if (zrdb_vlink_msgrcv(q, &req, ZRDB_VLINK_REQUEST_TYPE, IPC_NOWAIT) < 0) {
        usleep(200);
        continue;
      }
      seen_.push_back(req);
      ZRDB_VLINK_WIRE resp = req;
      resp.mtype = ZRDB_VLINK_RESPONSE_TYPE;
      resp.result = 0;
      if (answer_(resp)) zrdb_vlink_msgsnd(q, &resp, 0);
    }
  }
  Answer answer_;
  std::vector<ZRDB_VLINK_WIRE> seen_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class VlinkTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=4950, name=vlink, type=vlinkmst, value=" + vlinkString_ +
           "\n"
           "id=4951, name=speed, type=integer\n"
           "id=4952, name=slave, type=vlinkslv\n";
  }
  std::vector<std::string> semaphores() const override { return {ZRDB_VLINK_SEMAPHORE}; }
  void SetUp() override {
    DatabaseTest::SetUp();
    const int32_t list[] = {kValue, -1};  // the master is bound first all the same
    zrdb_Cleanup();
    ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    attached_ = run([&] { return zrdb_Init(HBUSER_CLIENT, list); });
  }
  void TearDown() override {
    DatabaseTest::TearDown();
    msgctl(msgget(ZRDB_VLINK_QUEUE_KEY, 0), IPC_RMID, nullptr);
  }
  static size_t queued() {
    msqid_ds info{};
    return msgctl(msgget(ZRDB_VLINK_QUEUE_KEY, 0), IPC_STAT, &info) == 0 ? info.msg_qnum : 99;
  }
  std::string vlinkString_ = "4:peer:6000:extra";
  std::string attached_;
};

TEST_F(VlinkTest, RequestsAreLaidOutAsTheDaemonReadsThem) {
  ASSERT_EQ(attached_, "0: |WARN|NONAME|parseVlinkStr| vlink string Syntax error!\n");
  ASSERT_EQ(zrdb_VLINKSetStatus(kMaster, 1, 1), 0);
  TestDaemon daemon([](ZRDB_VLINK_WIRE &resp) {
    std::memcpy(resp.value, "\x11\x22\x33\x44\x55", 5);
    resp.size = 77;  // whatever it says, the requested size is copied
    return true;
  });
  uint32_t got = 0;
  const std::vector<unsigned char> big(600, 0x5A);
  std::vector<unsigned char> many(1000, 0);
  ASSERT_EQ(zrdb_VLINKGetValue(kMaster, 1, 7, 100, 2, &got, 4), 0);
  ASSERT_EQ(zrdb_VLINKSetValue(kMaster, 1, 0, 5, 6, big.data(), 600), 0);
  ASSERT_EQ(zrdb_VLINKGetValue(kMaster, 1, 0, 5, 6, many.data(), 1000), 0);
  EXPECT_EQ(zrdb_VLINKGetValue(kMaster, 1, 0, 5, 6, many.data(), -1), -1);
  const std::vector<ZRDB_VLINK_WIRE> &seen = daemon.stop();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(got, 0x44332211u);
  // aux carries the transaction number, not the caller's 7.
  const uint32_t words[] = {2, 1, 0, 1, 100, 2, seen[0].aux, 15, 4};
  EXPECT_EQ(std::memcmp(&seen[0], words, sizeof words), 0);
  EXPECT_NE(seen[0].aux, seen[1].aux);
  EXPECT_EQ(std::count(seen[0].value, seen[0].value + 512, 0), 512);
  EXPECT_EQ(seen[1].size, 512u);
  EXPECT_EQ(std::count(seen[1].value, seen[1].value + 512, 0x5A), 512);
  EXPECT_EQ(seen[2].size, 512u);
  EXPECT_EQ(many[4], 0x55);
  EXPECT_EQ(std::count(many.begin() + 512, many.end(), 0), 488);  // 512 at most came back
}

// Only the matching successful answer counts: an answer that differs in
// any field, what earlier transactions left on the queue and messages larger
// than a VLINK message neither jam the queue nor pass for the answer.
TEST_F(VlinkTest, OnlyTheMatchingSuccessfulAnswerCounts) {
  ASSERT_EQ(zrdb_VLINKSetStatus(kMaster, 2, 1), 0);
  const int q = msgget(ZRDB_VLINK_QUEUE_KEY, IPC_CREAT | 0666);
  // A successful answer to this very get, but of another transaction.
  const auto stale = [q](uint32_t aux, int flags) {
    ZRDB_VLINK_WIRE m{.mtype = ZRDB_VLINK_RESPONSE_TYPE, .lid = 2, .itemId = 9, .itemIdx = 3};
    m.aux = aux;
    m.value[0] = 66;
    return zrdb_vlink_msgsnd(q, &m, flags);
  };
  const auto oversize = [q] {
    struct {
      long mtype = ZRDB_VLINK_RESPONSE_TYPE;
      char body[ZRDB_VLINK_MSG_SIZE + 100] = {};
    } big;
    return msgsnd(q, &big, sizeof big.body, IPC_NOWAIT);
  };
  using Wire = ZRDB_VLINK_WIRE;
  const struct {
    const char *name;
    std::function<void(Wire &)> answer;  // changes the answer, or sends another first
    int rc;
    std::function<void()> before = [] {};  // on the queue before the call
  } rows[] = {
      {"as asked", [](Wire &) {}, 0},
      {"only the low nibble counts", [](Wire &r) { r.result = 0x10; }, 0},
      {"a failure", [](Wire &r) { r.result = 0x1; }, -1},
      {"another element", [](Wire &r) { ++r.itemIdx; }, -1},
      {"another item", [](Wire &r) { ++r.itemId; }, -1},
      {"another link", [](Wire &r) { ++r.lid; }, -1},
      {"another operation", [](Wire &r) { r.op = 1; }, -1},
      {"an answer of another transaction first", [&](Wire &r) { stale(r.aux + 1, 0); }, 0},
      {"an oversize message first", [&](Wire &) { oversize(); }, 0},
      {"an oversize message, then answers nobody collected up to a full queue", [](Wire &) {}, 0,
       [&] {
         ASSERT_EQ(oversize(), 0);
         for (int n = 0; n < 10000 && stale(0, IPC_NOWAIT) == 0;) ++n;
       }},
  };
  for (const auto &row : rows) {
    row.before();
    TestDaemon daemon([&](Wire &resp) {
      resp.value[0] = 77;
      row.answer(resp);
      return true;
    });
    int32_t value = 0;
    EXPECT_EQ(zrdb_VLINKGetValue(kMaster, 2, 0, 9, 3, &value, 4), row.rc) << row.name;
    EXPECT_TRUE(row.rc != 0 || value == 77) << row.name << ": " << value;
    daemon.stop();
    EXPECT_EQ(queued(), 0u) << row.name;
  }
}

// A signal of the application's that interrupts the wait for the answer
// (System V queue calls are never restarted) does not end the transaction.
TEST_F(VlinkTest, AnotherSignalDoesNotEndTheWait) {
  ASSERT_EQ(zrdb_VLINKSetStatus(kMaster, 0, 1), 0);
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &quiet, &old), 0);
  const pthread_t caller = pthread_self();
  const std::string syscall = "/proc/self/task/" + std::to_string(gettid()) + "/syscall";
  TestDaemon daemon([&](ZRDB_VLINK_WIRE &resp) {
    // Once the caller waits in msgrcv (2 s at most), and only then, is the
    // signal sure to interrupt it.
    for (int i = 0; i < 2000; ++i) {
      long number = -1;
      std::ifstream(syscall) >> number;
      if (number == SYS_msgrcv) break;
      usleep(1000);
    }
    pthread_kill(caller, SIGUSR1);
    std::memcpy(resp.value, "\x2a\0\0\0", 4);
    return true;
  });
  int32_t value = 0;
  EXPECT_EQ(zrdb_VLINKGetValue(kMaster, 0, 0, 9, 3, &value, 4), 0);
  EXPECT_EQ(value, 42);
  sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(VlinkTest, WithoutADaemonTheTransactionEndsAfterFiveSeconds) {
  ASSERT_EQ(zrdb_VLINKSetStatus(kMaster, 0, 1), 0);
  int32_t value = 0;
  EXPECT_EQ(run([&] { return zrdb_VLINKGetValue(kMaster, 0, 0, 1, 0, &value, 4); }),
            "-1: |INFO|NONAME|ALARMhandler| Alarm signal captured!\n"
            "|WARN|NONAME|ipc_do_xact| Unable to receive vlink message queue.error = Interrupted "
            "system call\n");
  EXPECT_EQ(queued(), 1u);  // the request nobody took
  ipc_init(nullptr);
  EXPECT_EQ(queued(), 0u);
}

// A queue that nobody reads fills up: the failed send says so and names
// the queue's byte limit.
TEST_F(VlinkTest, AFullQueueIsReportedWithItsLimit) {
  ASSERT_EQ(zrdb_VLINKSetStatus(kMaster, 1, 1), 0);
  const int q = msgget(ZRDB_VLINK_QUEUE_KEY, 0);
  msqid_ds info{};
  ASSERT_EQ(msgctl(q, IPC_STAT, &info), 0);
  info.msg_qbytes = 544;  // room for one request
  ASSERT_EQ(msgctl(q, IPC_SET, &info), 0);
  ZRDB_VLINK_WIRE stale{};
  stale.mtype = ZRDB_VLINK_REQUEST_TYPE;
  ASSERT_EQ(zrdb_vlink_msgsnd(q, &stale, IPC_NOWAIT), 0);
  int32_t value = 0;
  const std::string out = run([&] { return zrdb_VLINKGetValue(kMaster, 1, 0, 1, 0, &value, 4); });
  EXPECT_NE(out.find("|WARN|NONAME|ipc_do_xact| the queue is full: 544 of its 544 bytes in 1 "
                     "message(s) (msg_qbytes; new queues take kernel.msgmnb); nothing reads it, "
                     "is zrdb-vlinkd running?\n"),
            std::string::npos)
      << out;
}

TEST_F(VlinkTest, LinkNumbersAndStates) {
  int32_t state = -1;
  EXPECT_EQ(zrdb_VLINKGetStatus(kMaster, 3, &state), 0);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(run([&] { return zrdb_VLINKGetStatus(kMaster, 4, &state); }),
            "-1: |WARN|NONAME|zrdbvlmst_ctrl| link id (4) is not in the range(4)!\n"
            "|WARN|NONAME|zrdbvlmst_ctrl| msg->lid = 4, nlink = 4\n");
  EXPECT_EQ(zrdb_VLINKGetStatus(kMaster, -1, &state), -1);
  EXPECT_EQ(run([&] { return zrdb_VLINKGetValue(kMaster, 2, 0, 1, 0, &state, 4); }),
            "-1: |WARN|NONAME|zrdbvlmst_ctrl| VLINK (2) is down !\n");
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(zrdb_VLINKIdOrNum(kValue), -1);  // not a master
  // Another process sets states; this one sees them.
  EXPECT_EQ(run_in_child([&] {
              zrdb_Cleanup();
              zrdb_cfgParse(dbPath_.c_str());
              if (zrdb_Init(HBUSER_CLIENT, nullptr) != 0) return 1;
              return zrdb_VLINKSetStatus(kMaster, 2, 1) | zrdb_VLINKSetStatus(kSlave, 7, 1);
            }),
            0);
  EXPECT_EQ(zrdb_VLINKGetStatus(kMaster, 2, &state), 0);
  EXPECT_EQ(state, 1);
  int32_t slave = 0;
  std::memcpy(&slave, static_cast<char *>(zrdb_getBaseAddr()) + descriptor(kSlave)->offset + 128,
              4);
  EXPECT_EQ(slave, 1);
  EXPECT_EQ(zrdb_VLINKGetStatus(kSlave, 0, &state), -3);  // an id list binds no slave
}

TEST(VlinkWithoutIndex, AccessFunctionsSayTheItemIsNotBound) {
  int32_t v = 0;
  const std::pair<const char *, std::function<int()>> calls[] = {
      {"zrdb_VLINKGetStatus", [&] { return zrdb_VLINKGetStatus(kMaster, 0, &v); }},
      {"zrdb_VLINKSetStatus", [&] { return zrdb_VLINKSetStatus(kMaster, 0, 1); }},
      {"zrdb_VLINKGetValue", [&] { return zrdb_VLINKGetValue(kMaster, 0, 0, 1, 0, &v, 4); }},
      {"zrdb_VLINKSetValue", [&] { return zrdb_VLINKSetValue(kMaster, 0, 0, 1, 0, &v, 4); }}};
  for (const auto &[name, call] : calls) {
    EXPECT_EQ(run(call),
              "-3: |WARN|NONAME|" + std::string(name) + "| ZRDID(4950) is not in resurce list!\n");
  }
}

class VlinkTooManyLinksTest : public VlinkTest {
 protected:
  VlinkTooManyLinksTest() { vlinkString_ = "33:peer"; }
};

TEST_F(VlinkTooManyLinksTest, MoreLinksThanStatesAreRefusedAtOpen) {
  EXPECT_EQ(attached_,
            "-1: |ERR |NONAME|zrdbvlmst_open| ZRDB(4950): VLINK link count 33 is outside 0..32!\n");
}

}  // namespace zrdb::test
