// zrdb-vlinkd between two systems on one machine. Each system is a process
// tree in IPC and mount namespaces of its own (with its own /dev/shm): its
// database, queue and VLINK semaphore vanish with it. The daemons link over
// 127.0.0.1; an application of system A reads and writes an item of B.
#include <sched.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <arpa/inet.h>
#include <poll.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "queue.h"
#include "support/fixture.h"

namespace zrdb::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPortA = 47700, kPortB = 47701, kSyncPortB = 47702;
constexpr int32_t kMaster = 1, kSpeed = 10;

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs the daemon; its standard error goes to `log`. Returns its exit status.
int run_daemon(const std::vector<std::string> &args, const std::string &log) {
  std::string cmd = "timeout -s KILL 10 " + tool_shell_command("zrdb-vlinkd");
  for (const std::string &a : args) cmd += " '" + a + "'";
  const int status = std::system((cmd + " >/dev/null 2>" + log).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Vlinkd, BadSettingsFileStopsTheStartWithStatus2) {
  TempDir dir;
  const std::string cfg = dir.write("d.cfg", "link 0=127.0.0.1\nlisten 127.0.0.1:0\n");
  // A FIFO would block the open, a device never end.
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> rows[] = {
      {cfg, ":2: port '0' is not a number in 1..65535\n"},
      {fifo, ": cannot open: not a regular file\n"},
      {"/dev/zero", ": cannot open: not a regular file\n"},
  };
  for (const auto &[file, why] : rows) {
    EXPECT_EQ(run_daemon({"--foreground", "-c", file, "db"}, dir.path() + "/e"), 2);
    EXPECT_EQ(read_file(dir.path() + "/e"), "zrdb-vlinkd: " + file + why);
  }
}

// Makes this process a system of its own, allocates its database and starts
// its daemon (killed when this process ends). The daemon's pid, or -1.
pid_t start_system(const std::string &db, const std::vector<std::string> &args,
                   const std::string &log) {
  if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("none", "/dev/shm", "tmpfs", 0, nullptr) != 0 || zrdb_cfgParse(db.c_str()) != 0 ||
      zrdb_Init(HBUSER_ALLOCATE, nullptr) != 0)
    return -1;
  zrdb_Cleanup();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (std::freopen(log.c_str(), "w", stderr) == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
    _exit(127);
  const std::vector<std::string> daemon = tool_command("zrdb-vlinkd");
  std::vector<const char *> argv;
  for (const std::string &word : daemon) argv.push_back(word.c_str());
  argv.push_back("--foreground");
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(db.c_str());
  argv.push_back(nullptr);
  execv(argv[0], const_cast<char *const *>(argv.data()));
  _exit(127);
}

template <typename Pred>
bool within(std::chrono::milliseconds limit, Pred done) {
  for (const auto end = Clock::now() + limit; Clock::now() < end; usleep(20000))
    if (done()) return true;
  return done();
}

size_t queued() {
  msqid_ds info{};
  return msgctl(msgget(ZRDB_VLINK_QUEUE_KEY, 0), IPC_STAT, &info) == 0 ? info.msg_qnum : 9999;
}

// The daemon's side of the message queue, in this process.
class VlinkdQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(queue_.open());
    id_ = msgget(ZRDB_VLINK_QUEUE_KEY, 0);
  }
  void TearDown() override {
    queue_.stop_receiver();
    msgctl(id_, IPC_RMID, nullptr);
  }
  vlinkd::RequestQueue queue_;
  int id_ = -1;
};

TEST_F(VlinkdQueue, AFloodWaitsInTheSystemQueueNotInTheDaemon) {
  constexpr size_t kMax = vlinkd::RequestQueue::kMaxHeld, kBeyond = 10;
  ASSERT_TRUE(queue_.start_receiver());
  ZRDB_VLINK_WIRE req{.mtype = ZRDB_VLINK_REQUEST_TYPE};
  size_t sent = 0;
  ASSERT_TRUE(within(std::chrono::seconds(10), [&] {
    while (sent < kMax + kBeyond && zrdb_vlink_msgsnd(id_, &req, IPC_NOWAIT) == 0) ++sent;
    return sent == kMax + kBeyond;
  }));
  ASSERT_TRUE(within(std::chrono::seconds(10), [&] { return queue_.receiver_waiting(); }));
  EXPECT_EQ(queue_.held(), kMax);
  EXPECT_EQ(queued(), kBeyond);
  ASSERT_TRUE(queue_.take(req));  // room for one more
  EXPECT_TRUE(within(std::chrono::seconds(10),
                     [&] { return queued() == kBeyond - 1 && queue_.receiver_waiting(); }));
  EXPECT_EQ(queue_.held(), kMax);
}

TEST_F(VlinkdQueue, AnswersNobodyCollectedAreRemovedAfterFiveSeconds) {
  const ZRDB_VLINK_WIRE foreign{.mtype = ZRDB_VLINK_RESPONSE_TYPE, .one = 1};  // from long ago
  ASSERT_EQ(zrdb_vlink_msgsnd(id_, &foreign, IPC_NOWAIT), 0);
  queue_.answer({.mtype = ZRDB_VLINK_REQUEST_TYPE, .lid = 3}, vlinkd::kLinkDown);
  const auto sent = Clock::now();
  const struct {
    std::chrono::seconds after;
    int dropped;
    size_t left;
  } steps[] = {{std::chrono::seconds(0), 1, 1},  // the first look: the foreign one goes
               {std::chrono::seconds(4), 0, 1},
               {std::chrono::seconds(6), 1, 0}};
  for (const auto &step : steps) {
    EXPECT_EQ(queue_.drop_uncollected(sent + step.after), step.dropped) << step.after.count();
    EXPECT_EQ(queued(), step.left) << step.after.count();
  }
}

int32_t link_state() {
  int32_t s = -1;
  return zrdb_VLINKGetStatus(kMaster, 0, &s) == 0 ? s : -1;
}

int32_t peer_speed(int32_t idx) {
  int32_t v = -1;
  return zrdb_VLINKGetValue(kMaster, 0, 0, kSpeed, idx, &v, 4) == 0 ? v : -1;
}

// A write of element `idx` as system B's library would mirror it to us.
void send_sync(uint32_t idx, uint32_t value) {
  uint8_t m[28] = {};
  const uint32_t header[] = {1, 0, kSpeed, idx, 4, 0};
  for (size_t i = 0; i < 6; ++i) *reinterpret_cast<uint32_t *>(m + 4 * i) = htonl(header[i]);
  std::memcpy(m + 24, &value, 4);  // the item's bytes as they are
  *reinterpret_cast<uint32_t *>(m + 20) = htonl(vlink_calc_syncto_msg_cs(m));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kSyncPortB);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sendto(fd, m, sizeof m, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  close(fd);
}

// System A's side; the result names the first step that failed.
int application(const std::string &db, const std::string &log, int pidPipe) {
  const pid_t daemonA = start_system(
      db, {"--listen", "127.0.0.1:" + std::to_string(kPortA), "--link", "0=127.0.0.1:47701"}, log);
  pid_t daemonB = -1;
  pollfd p{pidPipe, POLLIN, 0};
  if (daemonA < 0 || poll(&p, 1, 10000) != 1 || read(pidPipe, &daemonB, sizeof daemonB) != 4 ||
      daemonB < 0)
    return 77;
  if (zrdb_cfgParse(db.c_str()) != 0 || zrdb_Init(HBUSER_CLIENT, nullptr) != 0) return 2;
  if (!within(std::chrono::seconds(10), [] { return link_state() == 1; })) return 3;
  if (peer_speed(1) != 5) return 4;  // B's initial value: A has no such item
  const int32_t v = 1234;
  if (zrdb_VLINKSetValue(kMaster, 0, 0, kSpeed, 1, &v, 4) != 0 || peer_speed(1) != 1234) return 5;
  int32_t ignored = 0;
  if (zrdb_VLINKGetValue(kMaster, 0, 0, 4999, 0, &ignored, 4) != -1) return 6;  // B refuses
  send_sync(2, 77);
  if (!within(std::chrono::seconds(5), [] { return peer_speed(2) == 77; })) return 7;
  kill(daemonB, SIGKILL);
  const auto start = Clock::now();
  if (peer_speed(1) != -1 || Clock::now() - start > std::chrono::seconds(5)) return 8;
  if (!within(std::chrono::seconds(5), [] { return link_state() == 0; })) return 9;
  zrdb_Cleanup();
  kill(daemonA, SIGTERM);
  int status = -1;
  within(std::chrono::seconds(5), [&] { return waitpid(daemonA, &status, WNOHANG) == daemonA; });
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 10;
}

TEST(Vlinkd, TwoSystemsGetSetSyncAndLoseTheirPeer) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for IPC and mount namespaces";
  TempDir dir;
  const std::string dbA =
      dir.write("a.db", system_section() + "id=1, name=vlink, type=vlinkmst, value=1:localhost\n");
  const std::string dbB =
      dir.write("b.db", system_section() + "id=1, name=vlink, type=vlinkmst, value=1:localhost\n" +
                            "id=10, name=speed, type=integer, size=4*4, value=5\n");
  int pids[2];
  ASSERT_EQ(pipe(pids), 0);
  Child systemB([&] {
    const pid_t daemonB = start_system(dbB,
                                       {"--listen", "127.0.0.1:" + std::to_string(kPortB), "--link",
                                        "0=127.0.0.1:47700", "--sync-port", "47702"},
                                       dir.path() + "/b.log");
    if (write(pids[1], &daemonB, sizeof daemonB) != 4 || daemonB < 0) return 1;
    return waitpid(daemonB, nullptr, 0) == daemonB ? 0 : 1;  // A kills it
  });
  const int rc = run_in_child([&] { return application(dbA, dir.path() + "/a.log", pids[0]); });
  close(pids[0]);
  close(pids[1]);
  if (rc == 77) GTEST_SKIP() << "no namespaces here (unshare or mount refused)";
  const std::string logA = read_file(dir.path() + "/a.log");
  EXPECT_EQ(rc, 0) << "failed at step " << rc << "\nA:\n"
                   << logA << "B:\n"
                   << read_file(dir.path() + "/b.log");
  // The library's lines (standard output) come in order with the daemon's.
  EXPECT_LT(logA.find("HBUSER_VLINK_DAEMON"), logA.find("serving")) << logA;
}  // ~Child ends system B, if A did not; its daemon dies with it

// Under systemd (Type=notify) the daemon says READY=1 once it is attached
// and listening: a unit ordered after it may use the link at once.
TEST(Vlinkd, TellsTheServiceManagerOnceListening) {
#ifndef ZRDB_HAVE_LIBSYSTEMD
  GTEST_SKIP() << "built without libsystemd: no readiness to report";
#endif
  if (geteuid() != 0) GTEST_SKIP() << "needs root for IPC and mount namespaces";
  TempDir dir;
  const std::string db =
      dir.write("a.db", system_section() + "id=1, name=vlink, type=vlinkmst, value=1:localhost\n");
  sockaddr_un manager{.sun_family = AF_UNIX};
  const std::string path = dir.path() + "/notify";
  ASSERT_LT(path.size(), sizeof manager.sun_path);
  path.copy(manager.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&manager), sizeof manager), 0);
  const int rc = run_in_child([&] {
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    const pid_t daemon = start_system(db, {"--listen", "127.0.0.1:" + std::to_string(kPortA)},
                                      dir.path() + "/a.log");
    if (daemon < 0) return 77;
    pollfd p{fd, POLLIN, 0};
    char said[64] = {};
    if (poll(&p, 1, 10000) != 1 || recv(fd, said, sizeof said - 1, 0) <= 0) return 1;
    if (std::string(said).find("READY=1") == std::string::npos) return 2;
    sockaddr_in peer{.sin_family = AF_INET, .sin_port = htons(kPortA)};
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    const bool listening = connect(tcp, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0;
    close(tcp);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    return listening ? 0 : 3;
  });
  close(fd);
  if (rc == 77) GTEST_SKIP() << "no namespaces here (unshare or mount refused)";
  EXPECT_EQ(rc, 0) << "1: no notification, 2: not READY=1, 3: not listening when ready\n"
                   << read_file(dir.path() + "/a.log");
}

}  // namespace
}  // namespace zrdb::test
