// Message buffers: slot layout, the write and read rules and their texts,
// and the call pattern with a server in another process.
#include <regex>

#include "platform/semaphore.h"
#include "support/fixture.h"

namespace zrdb::test {

enum : int32_t { kMb = 1, kFour = 2, kReq = 3, kAck = 4, kCaller = 40, kSlow = 41, kAsync = 42 };

class MsgbufTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=mb, type=msgbuf, size=76*16\nid=2, name=four, type=msgbuf, size=76*4\n"
           "id=3, type=semap, value=/zrdbt_req:0\nid=4, type=semap, value=/zrdbt_ack:0\n"
           "id=40, realtime=1*3*4\nid=41, realtime=1*3*4, timeout=10000\nid=42, realtime=2*3\n";
  }
  std::vector<std::string> semaphores() const override { return {"/zrdbt_req", "/zrdbt_ack"}; }
  void SetUp() override {
    DatabaseTest::SetUp();
    reattach(HBUSER_PRINT);
    // The waits poll longer than a server here takes to answer, and for the
    // whole of a 2 ms window: polling must change no result.
    zrdb_setSpinWait(kMaxSpinNs);
  }
  static std::string counts() {
    int32_t req = -1, ack = -1;
    zrdb_semaGetValue(kReq, &req);
    zrdb_semaGetValue(kAck, &ack);
    return "req " + std::to_string(req) + " ack " + std::to_string(ack);
  }
};

std::string payload(char fill) { return std::string(ZRDB_MSGBUF_PAYLOAD, fill); }

// The next n messages read back, each as "result from arg msize payload".
std::string next(int32_t id, int n = 1) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    int32_t from = -1, arg = -1, msize = -1;
    char p[ZRDB_MSGBUF_PAYLOAD] = {};
    const int rc = zrdb_msgbufRead(id, &from, &arg, &msize, p);
    out += std::to_string(rc) + " " + std::to_string(from) + " " + std::to_string(arg) + " " +
           std::to_string(msize) + " " + std::string(p, strnlen(p, sizeof p));
  }
  return out;
}

TEST_F(MsgbufTest, SlotsCarrySenderArgumentLengthAndTheWholePayload) {
  ASSERT_EQ(zrdb_msgbufWrite(kMb, 100, -5, 100, payload('a').data()), 0);  // msize is carried
  ASSERT_EQ(zrdb_msgbufWrite(kMb, 101, 6, 1, payload('b').data()), 0);
  // Slot i at 8 + 76 i: from, arg, msize, then 64 payload bytes.
  EXPECT_EQ(std::string(static_cast<char *>(zrdb_getBaseAddr()) + 84, 77),
            std::string("\x65\0\0\0\6\0\0\0\1\0\0\0", 12) + payload('b') + '\0');
  EXPECT_EQ(next(kMb, 3),
            "0 100 -5 100 " + payload('a') + "0 101 6 1 " + payload('b') + "-1 -1 -1 -1 ");
  // A zero sender or length keeps what the slot held from its last use.
  ASSERT_EQ(zrdb_msgbufWrite(kFour, 11, 1, 8, payload('A').data()), 0);
  EXPECT_EQ(run([] { return zrdb_msgbufClear(kFour); }), "0: 1-2\n1-3\n");
  ASSERT_EQ(zrdb_msgbufWrite(kFour, 0, 2, 0, nullptr), 0);
  EXPECT_EQ(next(kFour), "0 11 2 8 " + payload('A'));
  EXPECT_EQ(run([] { return zrdb_printValue(kFour, 1); }),
            "0: 0002: msgbuf    : four" + std::string(28, ' ') +
                "= Circular MSG Buffer, size(76*4 Bytes)\n");
}

TEST_F(MsgbufTest, WarningsArePrintedWithoutANewline) {
  int32_t a = 0;
  const auto write = [] { return zrdb_msgbufWrite(kFour, 1, 1, 4, payload('x').data()); };
  const std::vector<std::pair<std::function<int()>, std::string>> steps = {
      {[] { return zrdb_msgbufWrite(kFour, 1, 1, 8, nullptr); },
       "-1: WARNING: Null buffer or msize is too big"},
      {write, "0: "},
      {write, "0: "},
      {[&] { return zrdb_msgbufRead(kFour, &a, &a, &a, nullptr); }, "-1: WARNING: Null buffer "},
      {write, "0: "},
      {write, "0: WARNING MSG BUF is gonna be overwritten"},  // wr meets rd: all are lost
      {[] { return next(kFour) == "-1 -1 -1 -1 " ? 0 : 1; }, "0: "}};
  for (size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(run(steps[i].first), steps[i].second) << i;
}

TEST_F(MsgbufTest, SyncCallEndsWhenTheServerProcessAcknowledges) {
  Child server([] {
    if (zrdb_semaWait(kReq) != 0 || next(kMb) != "0 41 7 16 " + payload('s')) return 1;
    return zrdb_semaPost(kAck, 0);
  });
  // The configured time-out is 10 s: the answer ends the wait, and is taken.
  EXPECT_EQ(run([] { return zrdb_callMsgbufWrite(kSlow, payload('s').data(), 16, 7, 1); }), "0: ");
  EXPECT_EQ(server.wait(), 0);
  EXPECT_EQ(counts(), "req 0 ack 0");
}

TEST_F(MsgbufTest, SyncCallWithoutAServerPrintsTheTimeOutLineAndReturns) {
  const std::string out =
      run([] { return zrdb_callMsgbufWrite(kCaller, payload('t').data(), 4, 1, 1); });
  EXPECT_TRUE(std::regex_match(out, std::regex(R"(0: \[[0-9 ]{4}\|[^/|]+\] 40 time out read\n)")))
      << out;
  EXPECT_EQ(counts(), "req 1 ack 0");  // the message went out and the server was woken
  EXPECT_EQ(next(kMb), "0 40 1 4 " + payload('t'));
  // Acknowledgements left from earlier calls are drained first, one line each.
  for (int i = 0; i < 2; ++i) zrdb_semaPost(kAck, 0);
  EXPECT_EQ(
      std::regex_replace(run([] { return zrdb_callMsgbufWriteTimeout(kSlow, "", 0, 1, 1, 0); }),
                         std::regex(R"(\[[0-9 ]{4}\|[^/|]+\] )"), ""),
      "0: zrdid_ro:4, sem_val:2 -- cleanup last reading\n"
      "zrdid_ro:4, sem_val:1 -- cleanup last reading\n41 time out read\n");
  EXPECT_EQ(counts(), "req 2 ack 0");
}

TEST_F(MsgbufTest, TheCheckedCallSaysWhatBecameOfEachEntry) {
  Child server([] { return zrdb_semaWait(kReq) == 0 ? zrdb_semaPost(kAck, 0) : 1; });
  struct Row {
    const char *what;
    int32_t caller, sync, timeoutMs;
    int rc, outcome;
  };
  const Row rows[] = {
      {"answered", kSlow, 1, ZRDB_CALL_CONFIGURED_TIMEOUT, 0, ZRDB_CALL_ACKNOWLEDGED},
      {"nobody answers", kCaller, 1, 0, ZRDB_ERR_TIMEOUT, ZRDB_CALL_TIMED_OUT},
      {"asynchronous", kAsync, 0, 0, 0, ZRDB_CALL_SENT},
      {"no entry takes it", kAsync, 1, 0, ZRDB_ERR_NO_SERVER, ZRDB_CALL_SKIPPED},
  };
  for (const Row &r : rows) {
    ZRDB_CALL_ENTRY e[ZRDB_RT_MAX];
    EXPECT_EQ(zrdb_callMsgbufWriteEx(r.caller, "", 0, 0, r.sync, r.timeoutMs, e), r.rc) << r.what;
    EXPECT_EQ(e[0].outcome, r.outcome) << r.what;
    EXPECT_EQ(e[1].outcome, ZRDB_CALL_SKIPPED) << r.what;
  }
  EXPECT_EQ(server.wait(), 0);
  // Bound without the acknowledge semaphore: nothing is sent, and the
  // result names the item to list.
  ASSERT_EQ(attach({kMb, kReq}), 0);
  const std::string before = counts();
  ZRDB_CALL_ENTRY e[ZRDB_RT_MAX];
  EXPECT_EQ(zrdb_callMsgbufWriteEx(kCaller, "", 0, 0, 1, 0, e), ZRDB_ERR_UNBOUND);
  EXPECT_EQ(e[0].outcome, ZRDB_CALL_UNBOUND);
  EXPECT_EQ(e[0].item, kAck);
  EXPECT_EQ(counts(), before);
  EXPECT_EQ(zrdb_callMsgbufWrite(kCaller, "", 0, 0, 1), 0);  // the plain call keeps its 0
}

}  // namespace zrdb::test
