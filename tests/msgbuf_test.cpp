// Message buffers: layout, write and read rules and their texts, the call pattern.
#include <regex>

#include "support/fixture.h"

namespace zrdb::test {

using namespace std::string_literals;

enum : int32_t { kMb = 1, kFour, kReq, kAck, kSmall, kBare, kAfter, kAsync, kCaller = 40, kSlow };

class MsgbufTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, type=msgbuf, size=76*16\nid=2, name=mb_four, type=msgbuf, size=76*4\n"
           "id=3, type=semap, value=/zrdbt_h3_q:0\nid=4, type=semap, value=/zrdbt_h3_a:0\n"
           "id=5, type=msgbuf, size=75*2\nid=6, type=msgbuf\nid=7, value=7\nid=8, realtime=2*3\n"
           "id=40, realtime=1*3*4\nid=41, realtime=1*3*4, timeout=10000\n";  // 40: 2 ms
  }
  std::vector<std::string> semaphores() const override { return {"/zrdbt_h3_q", "/zrdbt_h3_a"}; }
  void SetUp() override {
    DatabaseTest::SetUp();
    reattach(HBUSER_PRINT);
  }
  static int32_t count(int32_t sem) {
    int32_t n = -100;
    return zrdb_semaGetValue(sem, &n) == 0 ? n : -100;
  }
};

std::string payload(char fill) { return std::string(ZRDB_MSGBUF_PAYLOAD, fill); }

std::string next_message(int32_t id) {  // "result from arg msize payload"
  int32_t from = -1, arg = -1, msize = -1;
  char p[ZRDB_MSGBUF_PAYLOAD] = {};
  const int rc = zrdb_msgbufRead(id, &from, &arg, &msize, p);
  return std::to_string(rc) + " " + std::to_string(from) + " " + std::to_string(arg) + " " +
         std::to_string(msize) + " " + std::string(p, strnlen(p, sizeof p));
}

TEST_F(MsgbufTest, SlotsOf76BytesCarrySenderArgumentLengthAndTheWholePayload) {
  ASSERT_EQ(zrdb_msgbufWrite(kMb, 100, -5, 100, payload('a').data()), 0);  // msize is carried
  ASSERT_EQ(zrdb_msgbufWrite(kMb, 101, 6, 1, payload('b').data()), 0);
  // Slot i at 8 + 76 i: from, arg, msize, 64 payload bytes; slot 2 untouched.
  EXPECT_EQ(std::string(reinterpret_cast<char *>(item_area(kMb)) + 84, 77),
            "\x65\0\0\0\6\0\0\0\1\0\0\0"s + payload('b') + '\0');
  for (const std::string &m :
       {"0 100 -5 100 " + payload('a'), "0 101 6 1 " + payload('b'), "-1 -1 -1 -1 "s})
    EXPECT_EQ(next_message(kMb), m);
  // A zero sender or length keeps what the slot held from its last use.
  ASSERT_EQ(zrdb_msgbufWrite(kFour, 11, 1, 8, payload('A').data()), 0);
  EXPECT_EQ(outcome([] { return zrdb_msgbufClear(kFour); }), "01-2\n1-3\n");
  ASSERT_EQ(zrdb_msgbufWrite(kFour, 0, 2, 0, nullptr), 0);
  EXPECT_EQ(next_message(kFour), "0 11 2 8 " + payload('A'));
  EXPECT_EQ(outcome([] { return zrdb_printValue(kFour, 1); }),
            "00002: msgbuf    : mb_four" + std::string(25, ' ') +
                "= Circular MSG Buffer, size(76*4 Bytes)\n");
}

TEST_F(MsgbufTest, WarningsArePrintedWithoutANewline) {
  int32_t a = 0;
  const auto write = [] { return zrdb_msgbufWrite(kFour, 1, 1, 4, payload('x').data()); };
  const std::pair<std::function<int()>, std::string> steps[] = {
      {[] { return zrdb_msgbufWrite(kFour, 1, 1, 8, nullptr); },
       "-1WARNING: Null buffer or msize is too big"},
      {write, "0"},
      {write, "0"},
      {[&] { return zrdb_msgbufRead(kFour, &a, &a, &a, nullptr); }, "-1WARNING: Null buffer "},
      {write, "0"},
      {write, "0WARNING MSG BUF is gonna be overwritten"},  // wr reaches rd: all is lost
      {[] { return std::stoi(next_message(kFour)); }, "-1"}};
  for (const auto &[step, expected] : steps) EXPECT_EQ(outcome(step), expected);
  // Slots too small for a message: created like any other, refused when used.
  for (const auto &[id, size] : {std::pair{kSmall, "75*2"}, std::pair{kBare, "0*0"}}) {
    const std::string refused = "|WARN|NONAME|zrdbmsgbuf_ctrl| ZRDBDID[" + std::to_string(id) +
                                "]:message buffer size(" + size +
                                ") refused, slots need at least 76 bytes\n";
    EXPECT_EQ(outcome([&] { return zrdb_msgbufWrite(id, 9, 9, 64, payload('z').data()); }) +
                  outcome([&] { return next_message(id); }),
              "-1" + refused + "-1 -1 -1 -1 " + refused);
  }
  EXPECT_EQ(*reinterpret_cast<int32_t *>(item_area(kAfter)), 7);
}

TEST_F(MsgbufTest, CallsReachTheServerProcessAndWaitForItOnlyWhenSynchronous) {
  Child server([] {
    if (zrdb_semaWait(kReq) != 0 || next_message(kMb) != "0 41 7 16 " + payload('s')) return 1;
    return zrdb_semaPost(kAck, 0);
  });
  EXPECT_EQ(outcome([] { return zrdb_callMsgbufWrite(kSlow, payload('s').data(), 16, 7, 1); }),
            "0");
  EXPECT_EQ(server.wait(), 0);
  EXPECT_EQ(std::make_pair(count(kAck), count(kReq)), std::make_pair(0, 0));
  // Without a server: the message goes out, the server is woken, the call returns 0.
  std::string out = capture_stdout(
      [] { EXPECT_EQ(zrdb_callMsgbufWrite(kCaller, payload('t').data(), 4, 1, 1), 0); });
  EXPECT_TRUE(
      std::regex_match(out, std::regex(R"(^\[[0-9 ]{4}\|msgbuf\.cpp\] 40 time out read\n$)")))
      << out;
  EXPECT_EQ(count(kReq), 1);
  EXPECT_EQ(next_message(kMb), "0 40 1 4 " + payload('t'));
  // Acknowledgements left from earlier calls are drained first, a line each.
  EXPECT_EQ(zrdb_semaPost(kAck, 0) + zrdb_semaPost(kAck, 0), 0);
  out = capture_stdout([] { zrdb_callMsgbufWriteTimeout(kSlow, payload('t').data(), 4, 1, 1, 0); });
  EXPECT_EQ(std::regex_replace(out, std::regex(R"(\[[0-9 ]{4}\|msgbuf\.cpp\] )"), ""),
            "zrdid_ro:4, sem_val:2 -- cleanup last reading\n"
            "zrdid_ro:4, sem_val:1 -- cleanup last reading\n41 time out read\n");
  EXPECT_EQ(count(kAck), 0);
  // Asynchronous calls are served by entries without acknowledgement; others get it raised.
  for (const int32_t id : {kAsync, kCaller}) zrdb_callMsgbufWrite(id, payload('a').data(), 8, 9, 0);
  EXPECT_EQ(zrdb_callMsgbufWrite(kAsync, payload('b').data(), 8, 9, 1), 0);  // not served
  EXPECT_EQ(std::make_tuple(count(kAck), count(kReq), next_message(kFour)),
            std::make_tuple(1, 3, "0 8 9 8 " + payload('a')));
}

}  // namespace zrdb::test
