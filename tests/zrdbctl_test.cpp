// zrdbctl as an operator runs it: a separate process per command, judged by
// its exit status, its standard output and its one-line reason on standard
// error, and by the segments it leaves behind.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

namespace fs = std::filesystem;

// Data key of examples/plant.db.
constexpr int kPlantDataKey = 0x5A0DE000;

struct ToolRun {
  int status = -1;  // exit status, -1 when the tool did not exit normally
  std::string out;
  std::string err;
};

// The tool is built beside the tests: build*/tests/<test> and build*/tools/zrdbctl.
fs::path build_dir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool segment_exists(int key) { return shmget(key, 0, 0) >= 0; }

// Starts a program with standard output and error sent to files; returns
// its pid (the caller waits), or -1.
pid_t spawn(const std::string &program, const std::vector<std::string> &args,
            const std::string &out, const std::string &err) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (o < 0 || e < 0 || dup2(o, STDOUT_FILENO) < 0 || dup2(e, STDERR_FILENO) < 0) _exit(126);
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int wait_exit(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class ZrdbctlTest : public ::testing::Test {
 protected:
  static constexpr const char *kItems =
      "id=0, name=dbg_level, type=integer, value=0\n"
      "id=1, name=speed, type=integer, size=4*8, value=100\n"
      "id=2, name=label, type=string, size=16*2, value=idle\n"
      "id=3, name=blob, type=user, size=10, value=0x41\n"
      "id=7, name=x.1, type=integer, value=7\n"
      "id=12, name=counter, type=integer, value=5\n"
      "id=20, name=small, type=integer, size=2*2, value=3\n";

  void SetUp() override {
    remove_ipc(kTestDataKey);
    tool_ = (build_dir() / "tools" / "zrdbctl").string();
    ASSERT_TRUE(fs::exists(tool_)) << tool_ << " is missing: build the zrdbctl target";
    dbPath_ = dir_.write("db.cfg", system_section() + kItems);
  }

  void TearDown() override {
    remove_ipc(kTestDataKey);
    remove_ipc(kPlantDataKey, {"/plant_req", "/plant_ack"});
  }

  ToolRun run(const std::vector<std::string> &args) const {
    const std::string out = dir_.path() + "/out";
    const std::string err = dir_.path() + "/err";
    ToolRun r;
    r.status = wait_exit(spawn(tool_, args, out, err));
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
  }

  // Runs a command that must succeed and returns its output.
  std::string ok(const std::vector<std::string> &args) const {
    const ToolRun r = run(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    EXPECT_EQ(r.err, "") << args[0];
    return r.out;
  }

  void create() const { ASSERT_EQ(run({"create", dbPath_}).status, 0); }

  TempDir dir_;
  std::string tool_;
  std::string dbPath_;
};

std::string join(const std::vector<std::string> &args) {
  std::string text;
  for (const std::string &a : args) text += (text.empty() ? "" : " ") + a;
  return text;
}

// A failure reports exactly one line, prefixed with the tool's name.
void expect_one_line_reason(const ToolRun &r, const std::string &fragment,
                            const std::string &context) {
  EXPECT_EQ(r.err.rfind("zrdbctl: ", 0), 0u) << context << ": " << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << context << ": " << r.err;
  EXPECT_FALSE(r.err.empty() || r.err.back() != '\n') << context;
  EXPECT_NE(r.err.find(fragment), std::string::npos) << context << ": " << r.err;
}

TEST_F(ZrdbctlTest, CreateAllocatesAndRemoveLeavesNoSegment) {
  const ToolRun created = run({"create", dbPath_});
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_NE(created.out.find("7 items"), std::string::npos) << created.out;
  EXPECT_TRUE(segment_exists(ZRDB_INDEX_KEY));
  EXPECT_TRUE(segment_exists(kTestDataKey));

  EXPECT_EQ(run({"remove"}).status, 0);
  EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY));
  EXPECT_FALSE(segment_exists(kTestDataKey));

  const ToolRun again = run({"remove"});
  EXPECT_EQ(again.status, 1);
  expect_one_line_reason(again, "no database", "second remove");
  EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY));
}

TEST_F(ZrdbctlTest, SetThenGetRoundTripsByNameAndById) {
  create();
  struct Case {
    std::vector<std::string> set;
    std::string item;  // read back with get
    std::string shown;
  };
  const Case cases[] = {
      {{"speed.3", "0x10"}, "speed.3", "16\n"},            // hex in, decimal out
      {{"1.4", "4294967295"}, "speed.4", "4294967295\n"},  // id and name reach one item
      {{"counter", "-1"}, "12", "4294967295\n"},           // shown unsigned
      {{"label.1", "hello"}, "label", "idle\nhello\n"},    // only the element named
      {{"label.0", "0123456789abcdef"}, "label.0", "0123456789abcdef\n"},  // fills the element
      {{"label.0", "ab"}, "label.0", "ab\n"},                 // no tail of the longer text
      {{"speed", "9"}, "speed", "9\n9\n9\n9\n9\n9\n9\n9\n"},  // no index: every element
      {{"x.1", "3"}, "7", "3\n"},                             // the whole name wins over a split
      {{"small.1", "0x1234"}, "small", "3\n4660\n"},          // narrow elements stay apart
  };
  for (const Case &c : cases) {
    std::vector<std::string> set = {"set"};
    set.insert(set.end(), c.set.begin(), c.set.end());
    ok(set);
    EXPECT_EQ(ok({"get", c.item}), c.shown) << join(set);
  }
}

TEST_F(ZrdbctlTest, BadInputExitsTwoWithOneLineReasonAndChangesNothing) {
  create();
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const Case cases[] = {
      {{"get", "nosuch"}, "unknown item 'nosuch'"},
      {{"get", "5000"}, "unknown item"},
      {{"get", "nosuch.1"}, "unknown item 'nosuch'"},
      {{"get", "speed.8"}, "out of range"},
      {{"get", "speed.-1"}, "bad element index"},
      {{"set", "speed.9", "1"}, "out of range"},
      {{"set", "speed.1", "12abc"}, "bad number"},
      {{"set", "speed.1", ""}, "bad number"},
      {{"set", "speed.1", "4294967296"}, "bad number"},
      {{"set", "speed.1", "0x100000000"}, "bad number"},
      {{"set", "speed.1", "-2147483649"}, "bad number"},
      {{"set", "small.0", "70000"}, "does not fit"},
      {{"set", "label.1", "0123456789abcdefX"}, "holds 16"},
      {{"set", "blob", "1"}, "user item"},
      {{"get", "blob.0"}, "no elements"},
      {{"get", "blob.1"}, "out of range"},
      {{"print", "speed", "x"}, "bad print mode"},
      {{"frob"}, "unknown command"},
      {{"get"}, "usage: zrdbctl"},
      {{"set", "speed"}, "usage: zrdbctl"},
      {{"-f"}, "needs a database file"},
      {{"-q", "info"}, "unknown option"},
      {{}, "no command"},
  };
  for (const Case &c : cases) {
    const ToolRun r = run(c.args);
    EXPECT_EQ(r.status, 2) << join(c.args);
    expect_one_line_reason(r, c.reason, join(c.args));
  }
  EXPECT_EQ(ok({"get", "speed"}), "100\n100\n100\n100\n100\n100\n100\n100\n");
  EXPECT_EQ(ok({"get", "label"}), "idle\nidle\n");
  EXPECT_EQ(ok({"get", "small"}), "3\n0\n");
}

TEST_F(ZrdbctlTest, WithoutDatabaseEveryCommandFailsAndMakesNoIndex) {
  const std::vector<std::vector<std::string>> commands = {
      {"info"},           {"dump"},   {"get", "speed"},       {"set", "speed", "1"},
      {"print", "speed"}, {"remove"}, {"-f", dbPath_, "dump"}};
  for (const auto &args : commands) {
    const ToolRun r = run(args);
    EXPECT_EQ(r.status, 1) << join(args);
    expect_one_line_reason(r, "does not exist", join(args));
    EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY)) << join(args) << " left an index segment";
  }
}

TEST_F(ZrdbctlTest, FailedCreateLeavesNoSegment) {
  const std::string badSyntax =
      dir_.write("bad.cfg", system_section() + "id=1, name=a, colour=red\n");
  const std::string tooSmall = dir_.write(
      "small.cfg", system_section(kTestDataKey, 4096) + "id=1, name=a, type=user, size=4097\n");
  const std::string noKey =
      dir_.write("nokey.cfg", "[system]\nname=t\nsize=4096\n[database]\nid=1, name=a\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string reason;
  };
  const Case cases[] = {
      {{"create", badSyntax}, 1, "did not parse"},
      {{"create", tooSmall}, 1, "did not parse"},
      {{"create", noKey}, 2, "no data segment key"},
      {{"create", dir_.path() + "/missing.cfg"}, 2, "cannot read"},
  };
  for (const Case &c : cases) {
    const ToolRun r = run(c.args);
    EXPECT_EQ(r.status, c.status) << join(c.args);
    expect_one_line_reason(r, c.reason, join(c.args));
    EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY)) << join(c.args);
    EXPECT_FALSE(segment_exists(kTestDataKey)) << join(c.args);
  }
}

TEST_F(ZrdbctlTest, CreateRefusesWhileAllocatedAndKeepsTheIndex) {
  create();
  ok({"set", "speed.2", "7"});
  // Same items in another order: a re-parse would move every data area.
  const std::string reordered =
      dir_.write("reordered.cfg", system_section() +
                                      "id=20, name=small, type=integer, size=2*2\n"
                                      "id=2, name=label, type=string, size=16*2\n"
                                      "id=1, name=speed, type=integer, size=4*8\n");
  for (const std::string &file : {dbPath_, reordered}) {
    const ToolRun r = run({"create", file});
    EXPECT_EQ(r.status, 1) << file;
    expect_one_line_reason(r, "allocated already", file);
  }
  EXPECT_EQ(ok({"get", "speed.2"}), "7\n");
  EXPECT_EQ(ok({"get", "label.0"}), "idle\n");
}

TEST_F(ZrdbctlTest, InvalidIndexIsParsedOnlyFromAGivenFileAndRemoveClearsIt) {
  // An application's attach with a broken file leaves an index that is not
  // valid (as the library specifies); the tool must not use it blindly.
  const std::string badSyntax =
      dir_.write("bad.cfg", system_section() + "id=1, name=a, colour=red\n");
  const auto leave_invalid_index = [&] {
    ASSERT_EQ(run_in_child([&] { return zrdb_cfgParseFromFile(badSyntax.c_str()) != 0 ? 0 : 1; }),
              0);
    ASSERT_TRUE(segment_exists(ZRDB_INDEX_KEY));
  };

  leave_invalid_index();
  ToolRun r = run({"get", "speed"});
  EXPECT_EQ(r.status, 1);
  expect_one_line_reason(r, "not valid", "get on an invalid index");
  EXPECT_TRUE(segment_exists(ZRDB_INDEX_KEY));
  r = run({"remove"});
  EXPECT_EQ(r.status, 1);
  expect_one_line_reason(r, "removed it", "remove of an invalid index");
  EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY));

  // With the file the index is repaired, but nothing is allocated yet.
  leave_invalid_index();
  r = run({"-f", dbPath_, "dump"});
  EXPECT_EQ(r.status, 1);
  expect_one_line_reason(r, "not allocated", "dump with -f");
  r = run({"remove", dbPath_});
  EXPECT_EQ(r.status, 1);
  expect_one_line_reason(r, "removed the index segment only", "remove of an unallocated index");
  EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY));

  // An invalid index under an allocated database is repaired from the file,
  // and the database is then removed completely.
  create();
  leave_invalid_index();
  EXPECT_EQ(run({"remove", dbPath_}).status, 0);
  EXPECT_FALSE(segment_exists(ZRDB_INDEX_KEY));
  EXPECT_FALSE(segment_exists(kTestDataKey));
}

TEST_F(ZrdbctlTest, PrintHandsModeAndIndexToTheItemHandler) {
  create();
  ok({"set", "speed.2", "42"});
  EXPECT_EQ(ok({"print", "speed.2", "0"}), "42\n");
  EXPECT_EQ(ok({"print", "speed", "0"}), "100\n");
  EXPECT_EQ(ok({"print", "counter", "0"}), "5\n");
  // Mode 1, the default, adds the id and type prefix; other non-zero modes
  // print the verbose line alone.
  const std::string element = ok({"print", "speed.2"});
  EXPECT_EQ(element.rfind("0001: integer   : speed", 0), 0u) << element;
  EXPECT_NE(element.find("[2]= 42(0x0000002a)\n"), std::string::npos) << element;
  EXPECT_EQ(ok({"print", "speed", "2"}).rfind("speed ", 0), 0u);
  const std::string text = ok({"print", "label.1"});
  EXPECT_EQ(text.rfind("0002: string    : label", 0), 0u) << text;
  EXPECT_NE(text.find("[1]= idle\n"), std::string::npos) << text;
  EXPECT_NE(ok({"print", "blob"}).find("User defined, size(12 Bytes)"), std::string::npos);
}

TEST_F(ZrdbctlTest, DumpAndInfoDescribeTheWholeDatabase) {
  create();
  const std::string dump = ok({"dump"});
  EXPECT_NE(dump.find("ZRDB ----- test ----- Key:" + std::to_string(kTestDataKey) + ", Size:65536"),
            std::string::npos)
      << dump;
  for (const char *line :
       {"0000: integer   : dbg_level", "0001: integer   : speed", "0002: string    : label",
        "0003: user      : blob", "0007: integer   : x.1", "0012: integer   : counter",
        "0020: integer   : small"}) {
    EXPECT_NE(dump.find(line), std::string::npos) << line;
  }

  // 4 + 32 + 32 + 12 (10 rounded up) + 4 + 4 + 4 bytes.
  const std::string info = ok({"info"});
  for (const char *line :
       {"system      test\n", "data key    0x5a0d0001", "data size   65536 bytes\n",
        "data used   92 bytes", "items end at byte 92\n", "items       7 (highest id 20)\n",
        "user 1 integer 5 string 1", "allocated   yes"}) {
    EXPECT_NE(info.find(line), std::string::npos) << line << " in\n" << info;
  }
}

TEST_F(ZrdbctlTest, ExampleProgramsExchangeValuesAcrossProcesses) {
  const fs::path examples = fs::path(__FILE__).parent_path().parent_path() / "examples";
  const std::string db = (examples / "plant.db").string();
  const std::string app = (examples / "plant.app").string();
  const std::string producer = (build_dir() / "examples" / "producer").string();
  const std::string consumer = (build_dir() / "examples" / "consumer").string();
  ASSERT_TRUE(fs::exists(producer) && fs::exists(consumer)) << "build the example programs";
  remove_ipc(kPlantDataKey);
  ASSERT_EQ(run({"create", db}).status, 0);
  ASSERT_NE(ok({"info"}).find("data key    0x5a0de000"), std::string::npos)
      << "kPlantDataKey is stale";

  // The consumer starts first and waits for the producer's "done".
  const pid_t reader =
      spawn(consumer, {db, app, "20", "20"}, dir_.path() + "/c.out", dir_.path() + "/c.err");
  const pid_t writer =
      spawn(producer, {db, app, "20"}, dir_.path() + "/p.out", dir_.path() + "/p.err");
  EXPECT_EQ(wait_exit(writer), 0) << read_file(dir_.path() + "/p.err");
  EXPECT_EQ(wait_exit(reader), 0) << read_file(dir_.path() + "/c.out")
                                  << read_file(dir_.path() + "/c.err");

  EXPECT_EQ(ok({"get", "counter"}), "20\n");
  EXPECT_EQ(ok({"get", "levels.0"}), "20\n");
  EXPECT_EQ(ok({"get", "status"}), "done\n");
  EXPECT_EQ(run({"remove"}).status, 0);
  EXPECT_FALSE(segment_exists(kPlantDataKey));
}

TEST_F(ZrdbctlTest, CommunicationItemsWorkFromTheToolAndBetweenClientAndServer) {
  const fs::path examples = fs::path(__FILE__).parent_path().parent_path() / "examples";
  const std::string db = (examples / "plant.db").string();
  const std::string app = (examples / "plant.app").string();
  remove_ipc(kPlantDataKey, {"/plant_req", "/plant_ack"});
  ASSERT_EQ(run({"create", db}).status, 0);

  // Semaphore: post, read the count, take it; a second timed wait fails.
  ok({"sem-post", "req_sem"});
  ok({"sem-post", "req_sem", "1"});
  EXPECT_EQ(ok({"sem-value", "req_sem"}), "2\n");
  ok({"sem-wait", "req_sem", "100000"});
  ok({"sem-wait", "req_sem"});
  ToolRun r = run({"sem-wait", "req_sem", "1000"});
  EXPECT_EQ(r.status, 1);
  expect_one_line_reason(r, "timed out", "sem-wait on zero");

  // Circular buffer: records come back in order, then it is empty; the
  // statistics show the underflow until print mode 2 resets them.
  ok({"cbuf-write", "events", "first", "one"});
  ok({"cbuf-write", "events", "second"});
  EXPECT_EQ(ok({"cbuf-read", "events"}), "message: first\ndata: one\n");
  EXPECT_EQ(ok({"cbuf-read", "events"}), "message: second\ndata: \n");
  r = run({"cbuf-read", "events"});
  EXPECT_EQ(r.status, 1);
  expect_one_line_reason(r, "is empty", "cbuf-read on empty");
  EXPECT_NE(ok({"print", "events", "1"}).find("OF(0),UF(1),MBL(2)"), std::string::npos);
  ok({"print", "events", "2"});
  EXPECT_NE(ok({"print", "events", "1"}).find("OF(0),UF(0),MBL(0)"), std::string::npos);
  r = run({"cbuf-write", "events", std::string(60, 'x')});
  EXPECT_EQ(r.status, 2);
  expect_one_line_reason(r, "carries 52", "oversize record");

  // Message buffer.
  ok({"msg-write", "requests", "24", "7", "ping"});
  EXPECT_EQ(ok({"msg-read", "requests"}), "from: 24\narg: 7\nsize: 64\npayload: ping\n");
  EXPECT_EQ(run({"msg-read", "requests"}).status, 1);

  // Wrong types are bad input.
  r = run({"sem-post", "speed"});
  EXPECT_EQ(r.status, 2);
  expect_one_line_reason(r, "not semap", "sem-post on an integer");

  // A client calls a server process through the call pattern.
  const std::string server = (build_dir() / "examples" / "server").string();
  const std::string client = (build_dir() / "examples" / "client").string();
  const pid_t serving =
      spawn(server, {db, app, "30"}, dir_.path() + "/s.out", dir_.path() + "/s.err");
  const pid_t calling =
      spawn(client, {db, app, "30"}, dir_.path() + "/k.out", dir_.path() + "/k.err");
  EXPECT_EQ(wait_exit(calling), 0) << read_file(dir_.path() + "/k.err");
  EXPECT_EQ(wait_exit(serving), 0) << read_file(dir_.path() + "/s.err");
  EXPECT_EQ(ok({"sem-value", "ack_sem"}), "0\n");
  EXPECT_EQ(run({"remove"}).status, 0);
}

}  // namespace
}  // namespace zrdb::test
