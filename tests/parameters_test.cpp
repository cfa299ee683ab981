// Parameter sets: save_values / load_values in a process of their own, and
// zrdbctl save, load and create --restore as an operator runs them.
#include "zrdb/parameters.hpp"

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>

#include "support/zrdbctl_run.h"

namespace zrdb::test {
namespace {

// Every plain type, the edges of their values and an item without a name;
// the circular buffer holds no value to save.
class ParameterSetTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=speed, type=integer, size=4*3, value=100\n"
           "id=2, name=small, type=integer, size=2*2, value=3\n"
           "id=3, name=label, type=string, size=8*3, value=idle\n"
           "id=4, name=blob, type=user, size=10, value=0x41\n"
           "id=5, type=integer, value=9\n"
           "id=6, name=ev, type=cbuf, size=32*4\n"
           "id=7, name=note, type=string, size=4, value=ok\n";
  }
  static std::span<unsigned char> area(int32_t id) {
    ZRDB_BLK_INFO blk{};
    EXPECT_EQ(zrdb_getUserBlkInfo(id, &blk), 0);
    return {static_cast<unsigned char *>(blk.addr),
            static_cast<size_t>(zrdb_item_size(id) * zrdb_item_count(id))};
  }
  static constexpr int32_t kPlain[] = {1, 2, 3, 4, 5, 7};
};

TEST_F(ParameterSetTest, SaveThenLoadRestoresEveryPlainTypeByteForByte) {
  reattach(HBUSER_PRINT);  // binds the plain items' value handlers
  const uint32_t speed[] = {0x7fffffff, 0xffffffff, 5}, unnamed = 12345;
  const uint16_t small[] = {0xffff, 0x8000};
  const char label[3][8] = {"run", "\xe9t\xe9", "\xc3\xa9\xe2\x9c\x93"};  // not UTF-8, UTF-8
  const unsigned char blob[10] = {0xf0, 0, 0xff, 1, 0x80, 0x7f, 2, 3, 4, 5};
  const std::pair<int32_t, const void *> values[] = {
      {1, speed}, {2, small}, {3, label}, {4, blob}, {5, &unnamed}};
  for (const auto &[id, bytes] : values) std::memcpy(area(id).data(), bytes, area(id).size());
  std::map<int32_t, std::vector<unsigned char>> before;
  for (const int32_t id : kPlain) before[id].assign(area(id).begin(), area(id).end());

  const std::string file = dir_.path() + "/set.json";
  const ParameterReport saved = save_values(file.c_str());
  ASSERT_EQ(saved.code, 0) << saved.error;
  EXPECT_EQ(saved.items, std::size(kPlain));
  // A dry run reports and writes nothing; the load puts back every byte.
  for (const int32_t id : kPlain) std::fill(area(id).begin(), area(id).end(), 0x5a);
  const ParameterReport dry = load_values(file.c_str(), true);
  EXPECT_EQ(dry.code, 0) << dry.error;
  for (const std::string change :
       {"small[0]: 23130 -> -1", "note[0]: \"ZZZZ\" -> \"ok\"", "label: 24 of 24 bytes"})
    EXPECT_NE(std::find(dry.changes.begin(), dry.changes.end(), change), dry.changes.end())
        << change;
  EXPECT_EQ(area(1)[0], 0x5a);
  const ParameterReport loaded = load_values(file.c_str());
  ASSERT_EQ(loaded.code, 0) << loaded.error;
  EXPECT_EQ(loaded.items, std::size(kPlain));
  for (const int32_t id : kPlain)
    EXPECT_TRUE(std::ranges::equal(area(id), before[id])) << "item " << id;
}

// zrdbctl against databases made from files, judged by its exit status and
// what it prints.
class ParameterToolTest : public ZrdbctlRun {
 protected:
  void TearDown() override { remove_ipc(kTestDataKey); }
};

// An item is written only where name, type and geometry agree; every other
// saved item is named with its reason, and the status says so.
TEST_F(ParameterToolTest, MismatchedItemsAreListedAndSkipped) {
  create(
      "id=1, name=keep, type=integer, size=4*2, value=1\n"
      "id=2, name=gone, type=integer\n"
      "id=3, name=grown, type=integer, size=4*2\n"
      "id=4, name=wider, type=string, size=8\n"
      "id=5, name=retyped, type=integer\n"
      "id=6, name=old_name, type=integer\n"
      "id=7, type=integer\n");
  const std::string set = dir_.path() + "/set.json";
  ASSERT_EQ(run({"set", "keep.1", "7"}), 0);
  ASSERT_EQ(run({"save", set}), 0) << err_;
  ASSERT_EQ(run({"remove"}), 0);
  const std::string db = dir_.write("db2.cfg", system_section() +
                                                   "id=1, name=keep, type=integer, size=4*2\n"
                                                   "id=3, name=grown, type=integer, size=4*3\n"
                                                   "id=4, name=wider, type=string, size=16\n"
                                                   "id=5, name=retyped, type=string\n"
                                                   "id=6, name=new_name, type=integer\n"
                                                   "id=7, name=named, type=integer\n");
  EXPECT_EQ(run({"create", db, "--restore", set}), 3) << out_;
  EXPECT_NE(err_.find("6 saved entries did not match"), std::string::npos) << err_;
  for (const char *line : {
           "changed keep[0]: 0 -> 1\nchanged keep[1]: 0 -> 7\n",
           "skipped gone: not in the database\n",
           "skipped grown: has 3 element(s) of 4 bytes here, saved with 2 of 4\n",
           "skipped wider: has 1 element(s) of 16 bytes here, saved with 1 of 8\n",
           "skipped retyped: is a string item here, saved as integer\n",
           "skipped old_name: not in the database (id 6 is 'new_name' now)\n",
           "skipped #7: not in the database (id 7 is 'named' now)\n",
       })
    EXPECT_NE(out_.find(line), std::string::npos) << line << out_;
  ASSERT_EQ(run({"get", "keep.1"}), 0);
  EXPECT_EQ(out_, "7\n");
}

// The whole file is checked before the first write: a fault anywhere, even
// after an item that matches, writes nothing.
TEST_F(ParameterToolTest, ABadFileChangesNothing) {
  create("id=1, name=speed, type=integer, size=4*2, value=100\n");
  const std::string good =
      R"({"name":"speed","id":1,"type":"integer","count":2,"size":4,"values":[42,42]})";
  const auto set = [&](const std::string &more) {
    return R"({"zrdb_parameters":1,"system":"test","items":[)" + good + more + "]}";
  };
  const struct {
    std::string text;
    std::string why;
  } cases[] = {
      {set(",\n"), "parse error at line 2, column 1"},
      {R"({"system":"test","items":[]})", "not a ZRDB parameter set"},
      {set(R"(,{"name":"b","id":2,"type":"integer","count":2,"size":4,"values":[1]})"),
       "items[1] (\"b\"): \"values\" holds 1 element(s), not \"count\""},
      {set(R"(,{"name":"b","id":2,"type":"integer","count":1,"size":2,"values":[65536]})"),
       "element 0 must be an integer from -32768 to 65535"},
      {set(R"(,{"name":"b","id":2,"type":"user","count":1,"size":3,"base64":"QUJ="})"),
       "\"base64\" is not base64 text"},
      {set(R"(,{"name":"b","id":2,"type":"user","count":1,"size":3,"base64":"QUI="})"),
       "\"base64\" holds 2 bytes, not count * size"},
      {set(R"(,{"name":"b","id":2,"type":"string","count":1,"size":2,"values":["abc"]})"),
       "element 0 is longer than 2 bytes"},
      {set(R"(,{"name":"b","id":5000,"type":"integer","count":1,"size":4,"values":[1]})"),
       "\"id\" must be an integer from 0 to 4999"},
      {set(R"(,{"name":"b","id":2,"type":"semap","count":1,"size":4,"values":[1]})"),
       "\"type\" must be"},
      {set("," + good), "items[1] (\"speed\"): saved twice"},
  };
  for (const auto &c : cases) expect({{"load", dir_.write("bad.json", c.text)}, 2, c.why});
  expect({{"load", dir_.path()}, 2, "not a regular file"});
  ASSERT_EQ(run({"get", "speed"}), 0);
  EXPECT_EQ(out_, "100\n100\n");
}

// Whether the system call a tracee stopped at may change a file: before the
// first such call nothing a run does can reach the file it saves to.
bool changes_files(pid_t pid) {
  __ptrace_syscall_info info{};
  if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0 ||
      info.op != PTRACE_SYSCALL_INFO_ENTRY)
    return false;
  const auto nr = static_cast<long>(info.entry.nr);
  constexpr uint64_t kWriting = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC;
  bool changes = (nr == SYS_openat && (info.entry.args[2] & kWriting) != 0) || nr == SYS_unlinkat ||
                 nr == SYS_renameat2 || nr == SYS_truncate;
#ifdef SYS_open  // the older calls some targets still have
  changes = changes || (nr == SYS_open && (info.entry.args[1] & kWriting) != 0) ||
            nr == SYS_creat || nr == SYS_unlink || nr == SYS_rename || nr == SYS_renameat;
#endif
  return changes;
}

struct Trace {
  int stops = -1;        // system call entries and exits, -1: may not trace
  int firstChange = -1;  // the stop of the first call that may change a file
};

// Runs `words`, stopped at each system call entry and exit; kills it at stop
// `killAt` (0: lets it end).
Trace run_killed_at(const std::vector<std::string> &words, int killAt) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> argv;
    for (const std::string &w : words) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    raise(SIGSTOP);
    execv(argv[0], argv.data());
    _exit(127);
  }
  Trace t;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return t;
  t.stops = 0;
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  while (ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr) == 0 && waitpid(pid, &status, 0) == pid &&
         WIFSTOPPED(status)) {
    if (++t.stops == killAt) kill(pid, SIGKILL);
    if (t.firstChange < 0 && changes_files(pid)) t.firstChange = t.stops;
  }
  waitpid(pid, &status, 0);
  return t;
}

// A save killed at any of its system calls leaves the old file or the new
// one, whole.
TEST_F(ParameterToolTest, KilledSaveLeavesTheOldFileOrTheNew) {
  if (under_qemu()) GTEST_SKIP() << "the emulator does not pass system calls to a tracer";
  create(
      "id=1, name=speed, type=integer, size=4*64, value=1\n"
      "id=2, name=label, type=string, size=32*64, value=abc\n");
  const std::string file = dir_.path() + "/set.json";
  ASSERT_EQ(run({"save", file}), 0);
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);  // the new file takes the old one's mode
  const std::string older = read_file(file);
  ASSERT_EQ(run({"set", "speed", "2"}), 0);
  const std::vector<std::string> save = {tool_path("zrdbctl"), "save", file};
  const Trace full = run_killed_at(save, 0);
  if (full.stops < 0) GTEST_SKIP() << "this process may not trace its children";
  const std::string newer = read_file(file);
  ASSERT_NE(older, newer);
  ASSERT_GT(full.firstChange, 0);
  int asNew = 0;
  for (int stop = full.firstChange; stop <= full.stops; ++stop) {
    dir_.write("set.json", older);
    run_killed_at(save, stop);
    const std::string now = read_file(file);
    ASSERT_TRUE(now == older || now == newer) << "killed at system call stop " << stop;
    asNew += now == newer ? 1 : 0;
  }
  EXPECT_GT(asNew, 0);  // the kills reached past the rename
  EXPECT_LT(asNew, full.stops - full.firstChange + 1);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace zrdb::test
