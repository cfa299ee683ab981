// Diagnostics: capture files and their restart, the debug level banner, and
// the parameter reader against a server that updates its item when called.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "support/fixture.h"

namespace zrdb::test {

TEST(Capture, StopsAtTheLimitAndRestartsOnALevelChange) {
  TempDir dir;
  const std::string path = dir.path() + "/capture.bin";
  const std::string chunk(40, 'c');
  snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "cam");
  const std::string head = "0: cam(0)>>>>";
  const auto dump = [&] { return zrdbdbg_dumpData(path.c_str(), chunk.data(), 40, 100); };
  EXPECT_EQ(run(dump), head + "40 captured data saved\n");
  EXPECT_EQ(run(dump), head + "40 captured data saved\n");
  EXPECT_EQ(run(dump), head + "40 captured data saved\ncam(0)>>>>Capturing Done!!!\n");
  EXPECT_EQ(run(dump), "0: ");  // complete: ignored
  EXPECT_EQ(read_file(path).size(), 120u);

  // The banner goes to standard error, once per change, for this name only.
  ::testing::internal::CaptureStderr();
  EXPECT_NE(zrdbdbg_updateDebugLvl("other", 5), 0);
  EXPECT_NE(zrdbdbg_updateDebugLvl("cam", 5), 0);
  EXPECT_EQ(zrdbdbg_updateDebugLvl("cam", 5), 0);
  const std::string dashes(65, '-');
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            dashes + "\nTURN ON APP(cam) DEBUG LEVEL(5)\n" + dashes + "\n");
  EXPECT_EQ(run(dump), "0: cam(5)>>>>40 captured data saved\n");
  EXPECT_EQ(read_file(path).size(), 40u);  // truncated: a new capture

  // A link at the path is not followed; the capture tries again next time.
  const std::string linked = dir.path() + "/linked.bin";
  ASSERT_EQ(symlink((dir.path() + "/target").c_str(), linked.c_str()), 0);
  VSYSDBG::gblSysDebugReset = 1;
  EXPECT_EQ(run([&] { return VSYSDBG::dumpData(linked.c_str(), "x", 1, 10); }),
            "-1: Failed to open " + linked + " for writing\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/target"));
  EXPECT_EQ(zrdbdbg_dumpData(path.c_str(), nullptr, 4, 100), -1);
  snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "NONAME");
  zrdbdbg_debug_lvl = 0;
}

// What is at a capture path already: a FIFO must not block the capture, a
// file another user made writable for all must not receive it (nor be
// truncated), and this user's own file is written anew with the capture's
// mode, a frame's two parts one after the other.
TEST(Capture, OnlyARegularFileOfThisUserReceivesIt) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo", foreign = dir.write("foreign", "theirs"),
                    own = dir.write("own", "old text");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  ASSERT_EQ(chmod(own.c_str(), 0666), 0);
  std::vector<std::pair<std::string, std::string>> rows = {{fifo, "-1:"}};
  if (geteuid() == 0) {  // only root can give a file to another user
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(foreign.c_str(), 0666), 0);
    rows.emplace_back(foreign, "-1:");
  }
  rows.emplace_back(own, "0: ");  // last: the capture keeps the file it opened
  for (const auto &[path, result] : rows) {
    VSYSDBG::gblSysDebugReset = 1;
    EXPECT_EQ(run([&] { return VSYSDBG::dumpData(path.c_str(), "new", 3, 10); }).substr(0, 3),
              result)
        << path;
    EXPECT_EQ(run([&] { return VSYSDBG::dumpOneFrameData(path.c_str(), "head", 4, "body", 4); }),
              result + (result == "0: " ? "8 captured data saved\n"
                                        : " Failed to open " + path + " for writing\n"));
  }
  EXPECT_EQ(read_file(foreign), "theirs");
  EXPECT_EQ(read_file(own), "headbody");
  struct stat st {};
  ASSERT_EQ(stat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  // The host clock: the wall clock in microseconds, cut to 37 bits. Compared
  // modulo 2^37 with a wide margin (a wrong unit or mask is far off; a slow
  // machine is not).
  const int64_t mask = (int64_t{1} << 37) - 1, margin = 60'000'000;
  const int64_t t = VSYSDBG::get_host_time();
  const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const int64_t apart = (now - t) & mask;
  EXPECT_TRUE(t >= 0 && t <= mask && (apart < margin || apart > mask - margin)) << t;
}

// A log handler takes standard output's place for every message, traces
// included, until it is reset.
TEST(LogHandler, ReceivesWhatStandardOutputWouldShowUntilReset) {
  std::string got;
  const auto keep = [](int level, const char *function, const char *message, void *user) {
    *static_cast<std::string *>(user) += std::to_string(level) + " " + function + ": " + message;
  };
  const auto appInit = [] { return zrdb_appInit("/nonexistent.app", nullptr, HBUSER_CLIENT); };
  int32_t id = 4321;
  ZRDB_CFG_PARAM table[] = {{&id, 0, &id, 4, 0}, {nullptr, 0, nullptr, 0, 0}};
  zrdb_setLogHandler(keep, &got);
  zrdbdbg_debug_lvl = 10002;
  EXPECT_EQ(run(appInit), "-1: ");
  EXPECT_EQ(run([&] { return zrdbcfg_readParams(table); }), "0: ");
  zrdbdbg_debug_lvl = 0;
  const std::string warning =
      "1 zrdb_appInit: Open App configuration file (/nonexistent.app) failed!\n";
  EXPECT_EQ(got.substr(0, warning.size()), warning);
  EXPECT_NE(got.find("3 zrdbcfg_readParams: ---------0\n"), std::string::npos) << got;
  zrdb_setLogHandler(nullptr, nullptr);
  EXPECT_EQ(run(appInit),
            "-1: |WARN|NONAME|zrdb_appInit| Open App configuration file (/nonexistent.app) "
            "failed!\n|WARN|NONAME|zrdb_appInit| No such file or directory\n");
}

class ReadParamsTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=mb, type=msgbuf, size=76*4\n"
           "id=3, type=semap, value=/zrdbt_preq:0\nid=4, type=semap, value=/zrdbt_pack:0\n"
           "id=10, name=gain, type=integer, size=4*2, value=0x12345678, realtime=1*3*4, "
           "timeout=5000\n"
           "id=11, name=label, type=string, size=16*1, value=plant-a\n";
  }
  std::vector<std::string> semaphores() const override { return {"/zrdbt_preq", "/zrdbt_pack"}; }
  void SetUp() override {
    DatabaseTest::SetUp();
    reattach(HBUSER_PRINT);
  }
};

TEST_F(ReadParamsTest, EachItemIsReadAfterItsServerAnswered) {
  // The server updates element 1 of gain when it is called, then answers;
  // gain is read twice.
  Child server([] {
    for (int32_t call = 0; call < 2; ++call) {
      if (zrdb_semaWait_timeout_us(3, 5000000) != 0) return 1;
      int32_t from = 0, arg = 0, size = 0;
      char payload[64];
      if (zrdb_msgbufRead(1, &from, &arg, &size, payload) != 0 || from != 10 || arg != 1) return 2;
      const int32_t fresh = 0x0102ABCD + call;
      zrdb_setiValue(10, 1, &fresh, 4);
      zrdb_semaPost(4, 0);
    }
    return 0;
  });
  int32_t gain = 10, label = 11;
  int16_t low = -1;
  int32_t whole = -1;
  char text[16] = {};
  ZRDB_CFG_PARAM table[] = {
      {&gain, 1, &low, 2, 0}, {&gain, 1, &whole, 4, 0}, {&label, 0, text, sizeof text, 1}, {}};
  zrdbdbg_debug_lvl = 10002;
  const std::string out = run([&] { return zrdbcfg_readParams(table); });
  zrdbdbg_debug_lvl = 0;
  EXPECT_EQ(server.wait(), 0);
  EXPECT_EQ(low, static_cast<int16_t>(0xABCD));  // the low two bytes of the fresh value
  EXPECT_EQ(whole, 0x0102ABCE);
  EXPECT_STREQ(text, "plant-a");
  EXPECT_NE(out.find("|DBG |NONAME(10002)|zrdbcfg_readParams| gain---------16952270\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("label---------plant-a\n"), std::string::npos) << out;
}

}  // namespace zrdb::test
