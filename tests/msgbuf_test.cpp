// Message buffers: slot layout, the write and read rules (kept sender and
// payload, overwrite, null addresses), clearing, printing, the refusal of
// unusable geometries, and the call pattern with a server in another
// process.
#include <semaphore.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

using Clock = std::chrono::steady_clock;

enum : int32_t {
  kMb = 1,
  kMbFour = 2,
  kReq = 3,
  kAck = 4,
  kSyncCaller = 5,
  kAsyncCaller = 6,
  kDefaultCaller = 7,
  kMixedCaller = 8,
  kMarker = 9,
  kMbOdd = 10,
};

struct Message {
  int rc = 0;
  int32_t from = -1;
  int32_t arg = -1;
  int32_t msize = -1;
  std::string payload;
};

Message read_message(int32_t id) {
  Message m;
  unsigned char payload[ZRDB_MSGBUF_PAYLOAD] = {};
  m.rc = zrdb_msgbufRead(id, &m.from, &m.arg, &m.msize, payload);
  m.payload.assign(reinterpret_cast<const char *>(payload), sizeof payload);
  return m;
}

std::string payload_of(char fill) { return std::string(ZRDB_MSGBUF_PAYLOAD, fill); }

class MsgbufTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=mb, type=msgbuf, size=76*16\n"
           "id=2, name=mb_four, type=msgbuf, size=76*4\n"
           "id=3, name=req, type=semap, value=/zrdbt_h2_req:0\n"
           "id=4, name=ack, type=semap, value=/zrdbt_h2_ack:0\n"
           "id=5, name=sync_caller, type=integer, realtime=1*3*4, timeout=10000\n"
           "id=6, name=async_caller, type=integer, realtime=2*3\n"
           "id=7, name=default_caller, type=integer, realtime=1*3*4\n"
           "id=8, name=mixed_caller, type=integer, realtime=0*3*4, realtime=1*3*4, "
           "timeout=10000, realtime=2*3\n"
           "id=9, name=marker, type=integer, value=0\n"
           "id=10, name=mb_odd, type=msgbuf, size=77*3\n";
  }
  std::vector<std::string> semaphores() const override {
    return {"/zrdbt_h2_req", "/zrdbt_h2_ack"};
  }
  void SetUp() override {
    DatabaseTest::SetUp();
    reattach(HBUSER_CLIENT);
  }

  static unsigned char *area(int32_t id) {
    ZRDB_BLK_INFO info{};
    EXPECT_EQ(zrdb_getUserBlkInfo(id, &info), 0);
    return static_cast<unsigned char *>(info.addr);
  }
  static ZRDB_MSGBUF_HDR *header(int32_t id) {
    return reinterpret_cast<ZRDB_MSGBUF_HDR *>(area(id));
  }
  static ZRDB_MSGBUF_MSG slot(int32_t id, int32_t elemSize, int32_t i) {
    ZRDB_MSGBUF_MSG m{};
    std::memcpy(&m, area(id) + 8 + static_cast<size_t>(elemSize) * static_cast<size_t>(i),
                sizeof m);
    return m;
  }
  static int32_t count(int32_t sem) {
    int32_t n = -100;
    EXPECT_EQ(zrdb_semaGetValue(sem, &n), 0);
    return n;
  }
  static void set_count(int32_t sem, int32_t n) {
    while (zrdb_semaWait_timeout_us(sem, 1) == 0) {
    }
    for (int32_t i = 0; i < n; ++i) zrdb_semaPost(sem, 0);
  }
  static int32_t marker() {
    int32_t v = -1;
    EXPECT_EQ(zrdb_getValue(kMarker, &v, 4), 0);
    return v;
  }
};

// The call pattern starts each line with the library's source position,
// "[line|file] ", the line number left-aligned in four columns. Returns the
// lines without it, or a note naming the first line that lacks it.
std::string without_positions(const std::string &out) {
  std::string rest;
  size_t pos = 0;
  while (pos < out.size()) {
    const size_t newline = out.find('\n', pos);
    const size_t end = newline == std::string::npos ? out.size() : newline + 1;
    const std::string line = out.substr(pos, end - pos);
    pos = end;
    const size_t bar = line.find('|');
    const size_t close = line.find("] ");
    if (line.empty() || line[0] != '[' || bar == std::string::npos || close == std::string::npos ||
        close < bar) {
      return "no position: " + line;
    }
    const std::string number = line.substr(1, bar - 1);
    const size_t digits = number.find_first_not_of("0123456789");
    const bool aligned =
        digits != 0 && number.size() >= 4 &&
        (digits == std::string::npos || number.find_first_not_of(' ', digits) == std::string::npos);
    const std::string file = line.substr(bar + 1, close - bar - 1);
    const std::string suffix = "src/types/msgbuf.cpp";
    if (!aligned || file.size() < suffix.size() ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
      return "bad position: " + line;
    }
    rest += line.substr(close + 2);
  }
  return rest;
}

std::string timeout_line(int32_t did) { return std::to_string(did) + " time out read\n"; }
std::string cleanup_line(int32_t value) {
  return "zrdid_ro:4, sem_val:" + std::to_string(value) + " -- cleanup last reading\n";
}

TEST_F(MsgbufTest, SlotsAreSeventySixBytesBehindAnEightByteHeader) {
  ZRDB_BLK_INFO info{};
  ASSERT_EQ(zrdb_getUserBlkInfo(kMb, &info), 0);
  EXPECT_EQ(info.size, 1224);
  for (int32_t i = 0; i < 3; ++i) {
    const std::string p = payload_of(static_cast<char>('a' + i));
    ASSERT_EQ(zrdb_msgbufWrite(kMb, 100 + i, -i, 64 - i, p.data()), 0);
  }
  for (int32_t i = 0; i < 3; ++i) {
    const ZRDB_MSGBUF_MSG m = slot(kMb, 76, i);
    EXPECT_EQ(m.from, 100 + i);
    EXPECT_EQ(m.arg, -i);
    EXPECT_EQ(m.msize, 64 - i);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.payload), 64),
              payload_of(static_cast<char>('a' + i)));
  }
  EXPECT_EQ(header(kMb)->wr, 3);
  EXPECT_EQ(header(kMb)->rd, 0);
}

TEST_F(MsgbufTest, ReadReturnsTheFieldsInOrderAndThenNothing) {
  const std::string p = payload_of('x');
  ASSERT_EQ(zrdb_msgbufWrite(kMb, 5, -7, 100, p.data()), 0);  // msize is carried, not checked
  ASSERT_EQ(zrdb_msgbufWrite(kMb, 6, 8, 1, payload_of('y').data()), 0);
  Message m = read_message(kMb);
  EXPECT_EQ(m.rc, 0);
  EXPECT_EQ(m.from, 5);
  EXPECT_EQ(m.arg, -7);
  EXPECT_EQ(m.msize, 100);
  EXPECT_EQ(m.payload, p);
  m = read_message(kMb);
  EXPECT_EQ(m.from, 6);
  EXPECT_EQ(m.payload, payload_of('y'));
  std::string out = capture_stdout([&] { m = read_message(kMb); });
  EXPECT_EQ(m.rc, -1);
  EXPECT_EQ(m.from, -1);
  EXPECT_EQ(out, "");
}

TEST_F(MsgbufTest, ZeroSenderOrLengthKeepsWhatTheSlotHeldBefore) {
  ASSERT_EQ(zrdb_msgbufWrite(kMbFour, 11, 1, 8, payload_of('A').data()), 0);
  capture_stdout([] { ASSERT_EQ(zrdb_msgbufClear(kMbFour), 0); });  // slot 0 is next again
  ASSERT_EQ(zrdb_msgbufWrite(kMbFour, 0, 2, 0, payload_of('B').data()), 0);
  Message m = read_message(kMbFour);
  EXPECT_EQ(m.from, 11);
  EXPECT_EQ(m.arg, 2);
  EXPECT_EQ(m.msize, 8);
  EXPECT_EQ(m.payload, payload_of('A'));
  // A null payload with length 0 is accepted the same way.
  capture_stdout([] { zrdb_msgbufClear(kMbFour); });
  ASSERT_EQ(zrdb_msgbufWrite(kMbFour, 12, 3, 0, nullptr), 0);
  m = read_message(kMbFour);
  EXPECT_EQ(m.from, 12);
  EXPECT_EQ(m.arg, 3);
  EXPECT_EQ(m.msize, 8);
  EXPECT_EQ(m.payload, payload_of('A'));
}

TEST_F(MsgbufTest, NullPayloadWithALengthIsRefusedAfterStoringSenderAndArgument) {
  int rc = 0;
  const std::string out =
      capture_stdout([&] { rc = zrdb_msgbufWrite(kMbFour, 21, 22, 8, nullptr); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "WARNING: Null buffer or msize is too big\n");
  EXPECT_EQ(header(kMbFour)->wr, 0);
  EXPECT_EQ(read_message(kMbFour).rc, -1);
  const ZRDB_MSGBUF_MSG m = slot(kMbFour, 76, 0);
  EXPECT_EQ(m.from, 21);
  EXPECT_EQ(m.arg, 22);
  EXPECT_EQ(m.msize, 0);
}

TEST_F(MsgbufTest, TheNthWriteWithoutAReadWarnsAndEmptiesTheBuffer) {
  for (int32_t i = 1; i <= 3; ++i) {
    const std::string out = capture_stdout(
        [&] { EXPECT_EQ(zrdb_msgbufWrite(kMbFour, i, i, 4, payload_of('m').data()), 0); });
    EXPECT_EQ(out, "") << i;
  }
  const std::string out = capture_stdout(
      [&] { EXPECT_EQ(zrdb_msgbufWrite(kMbFour, 4, 4, 4, payload_of('m').data()), 0); });
  EXPECT_EQ(out, "WARNING MSG BUF is gonna be overwritten\n");
  EXPECT_EQ(read_message(kMbFour).rc, -1);
}

TEST_F(MsgbufTest, ReadIntoANullAddressKeepsTheMessageQueued) {
  ASSERT_EQ(zrdb_msgbufWrite(kMb, 31, 32, 4, payload_of('q').data()), 0);
  int32_t from = 0;
  int32_t arg = 0;
  int32_t msize = 0;
  unsigned char payload[64];
  const std::string out = capture_stdout([&] {
    EXPECT_EQ(zrdb_msgbufRead(kMb, &from, &arg, &msize, nullptr), -1);
    EXPECT_EQ(zrdb_msgbufRead(kMb, nullptr, &arg, &msize, payload), -1);
  });
  EXPECT_EQ(out, "WARNING: Null buffer \nWARNING: Null buffer \n");
  const Message m = read_message(kMb);
  EXPECT_EQ(m.rc, 0);
  EXPECT_EQ(m.from, 31);
}

TEST_F(MsgbufTest, UnknownOperationIsRefused) {
  ZRDB_DIT *dit = &zrdbIndexHdr.dit[kMb];
  ZRDB_MSGBUF_PARA p{};
  int rc = 0;
  const std::string out =
      capture_stdout([&] { rc = dit->op->d_ctrl(dit, 3, reinterpret_cast<intptr_t>(&p)); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "MSGBUF_CTRL: invalid operation(3)\n");
}

TEST_F(MsgbufTest, ClearEmptiesTheBufferAndNeedsTheItemBound) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(zrdb_msgbufWrite(kMb, 1, 1, 1, payload_of('c').data()), 0);
  int rc = -1;
  std::string out = capture_stdout([&] { rc = zrdb_msgbufClear(kMb); });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "1-2\n1-3\n");
  EXPECT_EQ(header(kMb)->rd, 0);
  EXPECT_EQ(header(kMb)->wr, 0);
  EXPECT_EQ(read_message(kMb).rc, -1);

  const int32_t list[] = {kMarker, -1};
  reattach(HBUSER_CLIENT, list);
  out = capture_stdout([&] { rc = zrdb_msgbufClear(kMb); });
  EXPECT_EQ(rc, -3);
  EXPECT_EQ(out, "1-2\n|WARN|NONAME|zrdb_msgbufClear| ZRDID(1) is not in resurce list!\n");
}

TEST_F(MsgbufTest, UnboundOrOutOfRangeIdIsRefused) {
  const int32_t list[] = {kMarker, -1};
  reattach(HBUSER_CLIENT, list);
  Message m;
  std::string out = capture_stdout([&] {
    EXPECT_EQ(zrdb_msgbufWrite(kMb, 1, 1, 1, payload_of('u').data()), -3);
    m = read_message(kMb);
  });
  EXPECT_EQ(m.rc, -3);
  EXPECT_EQ(m.from, -1);
  EXPECT_EQ(out,
            "|WARN|NONAME|zrdb_msgbufWrite| ZRDID(1) is not in resurce list!\n"
            "|WARN|NONAME|zrdb_msgbufRead| ZRDID(1) is not in resurce list!\n");
  out = capture_stdout([&] {
    for (const int32_t id : {-1, 5000}) {
      EXPECT_EQ(zrdb_msgbufWrite(id, 1, 1, 1, payload_of('u').data()), -1);
      EXPECT_EQ(read_message(id).rc, -1);
      EXPECT_EQ(zrdb_msgbufClear(id), -1);
      EXPECT_EQ(zrdb_callMsgbufWrite(id, payload_of('u').data(), 1, 1, 1), -1);
    }
  });
  EXPECT_EQ(out, "");
}

TEST_F(MsgbufTest, PrintShowsTheGeometryInEveryMode) {
  reattach(HBUSER_PRINT);
  const std::string line =
      "mb_four                         = Circular MSG Buffer, size(76*4 Bytes)\n";
  EXPECT_EQ(capture_stdout([] { EXPECT_EQ(zrdb_printValue(kMbFour, 0), 0); }), line);
  EXPECT_EQ(capture_stdout([] { EXPECT_EQ(zrdb_printValue(kMbFour, 2), 0); }), line);
  EXPECT_EQ(capture_stdout([] { EXPECT_EQ(zrdb_printValue(kMbFour, 1), 0); }),
            "0002: msgbuf    : " + line);
}

TEST_F(MsgbufTest, SlotsOfAnOddSizeAreUnalignedAndStillWork) {
  for (int32_t i = 1; i <= 7; ++i) {
    ASSERT_EQ(zrdb_msgbufWrite(kMbOdd, i, -i, i, payload_of(static_cast<char>('0' + i)).data()), 0);
    const Message m = read_message(kMbOdd);
    ASSERT_EQ(m.rc, 0);
    EXPECT_EQ(m.from, i);
    EXPECT_EQ(m.arg, -i);
    EXPECT_EQ(m.msize, i);
    EXPECT_EQ(m.payload, payload_of(static_cast<char>('0' + i)));
  }
}

// ---------------------------------------------------------------------------
// The call pattern

TEST_F(MsgbufTest, SyncCallReturnsOnceTheServerProcessAcknowledges) {
  const std::string sent = payload_of('s');
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    zrdb_setValue(kMarker, &round, 4);
    Child server([&] {
      if (zrdb_semaWait(kReq) != 0) return 1;
      const Message m = read_message(kMb);
      if (m.rc != 0 || m.from != kSyncCaller || m.arg != 40 + round || m.msize != 16 ||
          m.payload != sent) {
        return 2;
      }
      const int32_t done = 100 + round;
      zrdb_setValue(kMarker, &done, 4);
      return zrdb_semaPost(kAck, 0) == 0 ? 0 : 3;
    });
    ASSERT_TRUE(server.started());
    // The configured time-out is 10 s: the answer ends the wait.
    int rc = -1;
    const Clock::time_point start = Clock::now();
    const std::string out = capture_stdout(
        [&] { rc = zrdb_callMsgbufWrite(kSyncCaller, sent.data(), 16, 40 + round, 1); });
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(marker(), 100 + round);
    EXPECT_EQ(count(kAck), 0);
    EXPECT_EQ(count(kReq), 0);
    EXPECT_EQ(read_message(kMb).rc, -1);
  }
}

TEST_F(MsgbufTest, NegativeTimeoutBlocksUntilTheServerAcknowledges) {
  Child server([] {
    if (zrdb_semaWait(kReq) != 0 || read_message(kMb).rc != 0) return 1;
    usleep(100000);  // a call that did not block would have returned by now
    const int32_t done = 1;
    zrdb_setValue(kMarker, &done, 4);
    return zrdb_semaPost(kAck, 0) == 0 ? 0 : 2;
  });
  ASSERT_TRUE(server.started());
  const std::string out = capture_stdout([] {
    EXPECT_EQ(zrdb_callMsgbufWriteTimeout(kSyncCaller, payload_of('n').data(), 1, 0, 1, -1), 0);
  });
  EXPECT_EQ(marker(), 1);
  EXPECT_EQ(server.wait(), 0);
  EXPECT_EQ(count(kAck), 0);
  // The blocking wait took the only acknowledgement, so the count read after
  // it is 0 and the call reports it.
  EXPECT_EQ(without_positions(out), timeout_line(kSyncCaller));
}

TEST_F(MsgbufTest, SyncCallWithoutAServerTimesOutInEachForm) {
  struct Case {
    const char *name;
    int32_t caller;
    std::function<int()> call;
    double atLeastMs;
  };
  const std::string p = payload_of('t');
  const Case cases[] = {
      {"configured 2 ms", kDefaultCaller,
       [&] { return zrdb_callMsgbufWrite(kDefaultCaller, p.data(), 4, 1, 1); }, 1.5},
      {"given 50 ms", kSyncCaller,
       [&] { return zrdb_callMsgbufWriteTimeout(kSyncCaller, p.data(), 4, 1, 1, 50); }, 45.0},
      {"given 0: one look", kSyncCaller,
       [&] { return zrdb_callMsgbufWriteTimeout(kSyncCaller, p.data(), 4, 1, 1, 0); }, 0.0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    set_count(kReq, 0);
    int rc = -1;
    const Clock::time_point start = Clock::now();
    const std::string out = capture_stdout([&] { rc = c.call(); });
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_EQ(rc, 0);
    EXPECT_GE(ms, c.atLeastMs);
    EXPECT_LT(ms, 1000.0);
    EXPECT_EQ(without_positions(out), timeout_line(c.caller));
    // The message went out and the server was woken all the same.
    EXPECT_EQ(count(kReq), 1);
    EXPECT_EQ(count(kAck), 0);
    const Message m = read_message(kMb);
    EXPECT_EQ(m.rc, 0);
    EXPECT_EQ(m.from, c.caller);
  }
}

TEST_F(MsgbufTest, LeftoverAcknowledgementsAreDrainedBeforeTheServerIsWoken) {
  set_count(kAck, 2);
  const std::string out = capture_stdout([] {
    EXPECT_EQ(zrdb_callMsgbufWriteTimeout(kSyncCaller, payload_of('l').data(), 4, 1, 1, 0), 0);
  });
  EXPECT_EQ(without_positions(out), cleanup_line(2) + cleanup_line(1) + timeout_line(kSyncCaller));
  EXPECT_EQ(count(kAck), 0);
  EXPECT_EQ(count(kReq), 1);
}

TEST_F(MsgbufTest, AsyncCallQueuesAndWakesWithoutWaiting) {
  const std::string p = payload_of('a');
  std::string out =
      capture_stdout([&] { EXPECT_EQ(zrdb_callMsgbufWrite(kAsyncCaller, p.data(), 8, 9, 0), 0); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(count(kReq), 1);
  const Message m = read_message(kMbFour);
  EXPECT_EQ(m.rc, 0);
  EXPECT_EQ(m.from, kAsyncCaller);
  EXPECT_EQ(m.arg, 9);
  EXPECT_EQ(m.msize, 8);
  EXPECT_EQ(m.payload, p);
  // An entry without an acknowledge semaphore serves asynchronous calls only.
  for (const int32_t sync : {1, 2, -1}) {
    out = capture_stdout(
        [&] { EXPECT_EQ(zrdb_callMsgbufWrite(kAsyncCaller, p.data(), 8, 9, sync), 0); });
    EXPECT_EQ(out, "") << sync;
    EXPECT_EQ(count(kReq), 1) << sync;
    EXPECT_EQ(read_message(kMbFour).rc, -1) << sync;
  }
}

TEST_F(MsgbufTest, AsyncCallOnASyncEntrySendsNothingButRaisesTheAcknowledgement) {
  const std::string p = payload_of('r');
  for (const auto &[before, after] : {std::pair{0, 1}, std::pair{1, 1}, std::pair{2, 2}}) {
    set_count(kAck, before);
    EXPECT_EQ(zrdb_callMsgbufWrite(kSyncCaller, p.data(), 4, 1, 0), 0);
    EXPECT_EQ(count(kAck), after) << before;
    EXPECT_EQ(count(kReq), 0) << before;
    EXPECT_EQ(read_message(kMb).rc, -1) << before;
  }
  // Any other sync value sends nothing and leaves the acknowledgement alone.
  set_count(kAck, 0);
  EXPECT_EQ(zrdb_callMsgbufWrite(kSyncCaller, p.data(), 4, 1, 2), 0);
  EXPECT_EQ(count(kAck), 0);
  EXPECT_EQ(read_message(kMb).rc, -1);
}

TEST_F(MsgbufTest, EachEntryServesItsKindOfCallAndEntriesWithoutABufferAreSkipped) {
  // Entries: (no buffer, req, ack), (mb, req, ack, 10 s), (mb_four, req).
  const std::string p = payload_of('e');
  std::string out =
      capture_stdout([&] { EXPECT_EQ(zrdb_callMsgbufWrite(kMixedCaller, p.data(), 4, 7, 0), 0); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(count(kAck), 1);  // raised once, by the second entry only
  EXPECT_EQ(count(kReq), 1);
  EXPECT_EQ(read_message(kMb).rc, -1);
  EXPECT_EQ(read_message(kMbFour).from, kMixedCaller);
  EXPECT_EQ(read_message(kMbFour).rc, -1);

  set_count(kReq, 0);
  out = capture_stdout(
      [&] { EXPECT_EQ(zrdb_callMsgbufWriteTimeout(kMixedCaller, p.data(), 4, 7, 1, 0), 0); });
  EXPECT_EQ(without_positions(out), cleanup_line(1) + timeout_line(kMixedCaller));
  EXPECT_EQ(count(kReq), 1);
  EXPECT_EQ(read_message(kMb).from, kMixedCaller);
  EXPECT_EQ(read_message(kMbFour).rc, -1);
}

// ---------------------------------------------------------------------------
// Geometries that cannot hold a message.

TEST(MsgbufGeometryTest, SlotsBelowSeventySixBytesAreRefusedAtCreationAndUse) {
  for (const char *size : {"72*4", "75*1"}) {
    SCOPED_TRACE(size);
    remove_ipc(kTestDataKey);
    TempDir dir;
    const std::string path =
        dir.write("db.cfg", system_section() + "id=1, name=short, type=msgbuf, size=" + size +
                                "\nid=2, name=after, type=integer\n");
    ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
    int rc = 0;
    std::string out = capture_stdout([&] { rc = zrdb_Init(HBUSER_ALLOCATE, nullptr); });
    EXPECT_EQ(rc, -1);
    const std::string refused = std::string("ZRDBDID[1]:message buffer size(") + size +
                                ") refused, slots need at least 76 bytes\n";
    EXPECT_EQ(out, "|WARN|NONAME|zrdbmsgbuf_create| " + refused);

    zrdb_Cleanup();
    ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
    ASSERT_EQ(zrdb_Init(HBUSER_CLIENT, nullptr), 0);
    const std::string p(64, '\xcd');
    out = capture_stdout([&] {
      for (int i = 0; i < 5; ++i) EXPECT_EQ(zrdb_msgbufWrite(1, 9, 9, 64, p.data()), -1);
    });
    EXPECT_NE(out.find(refused), std::string::npos);
    uint32_t v = 1;
    EXPECT_EQ(zrdb_getValue(2, &v, 4), 0);
    EXPECT_EQ(v, 0u);
    zrdb_Cleanup();
    remove_ipc(kTestDataKey);
  }
}

}  // namespace
}  // namespace zrdb::test
