// zrdb-vlinkd between two systems on one machine. Each system is a process
// tree in IPC and mount namespaces of its own (with its own /dev/shm): its
// database, queue and VLINK semaphore vanish with it. Both live in a network
// namespace the test makes, where the daemons link over 127.0.0.1 with
// CURVE keys; an application of system A reads and writes items of B, and
// strangers try to.
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <zmq.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "keys.h"
#include "message.h"
#include "queue.h"
#include "support/fixture.h"
#include "transport.h"

namespace zrdb::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPortA = 47700, kPortB = 47701, kSyncPortA = 47702;
constexpr int32_t kMaster = 1, kSpeed = 10, kSecret = 11, kLocked = 12, kHidden = 13;
constexpr const char *kOutside = "10.99.0.1";  // the namespace's address that is not loopback

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string public_key(const std::string &prefix) {
  return read_file(prefix + ".pub").substr(0, 40);
}

TEST(Vlinkd, BadSettingsOrKeysStopTheStartWithStatus2) {
  TempDir dir;
  const std::string d = dir.path();
  ASSERT_EQ(capture_stdout([&] { vlinkd::keygen((d + "/a").c_str()); }).size(), 41u);
  const std::string key = d + "/a.key", open = d + "/open.key", bad = d + "/bad.key";
  std::filesystem::copy_file(key, open);
  ASSERT_EQ(chmod(open.c_str(), 0640), 0);
  dir.write("bad.key", "not a key\n");
  ASSERT_EQ(chmod(bad.c_str(), 0600), 0);
  const std::string cfg = dir.write("d.cfg", "key " + key + "\nlink 0=127.0.0.1 " +
                                                 public_key(d + "/a") + "\nlisten 127.0.0.1:0\n");
  // A FIFO would block the open, a device never end.
  const std::string fifo = d + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"-c", cfg}, cfg + ":3: port '0' is not a number in 1..65535"},
      {{"-c", fifo}, fifo + ": cannot open: not a regular file"},
      {{"-c", "/dev/zero"}, "/dev/zero: cannot open: not a regular file"},
      {{}, "no key file given (key FILE; make one with zrdb-vlinkd keygen PREFIX)"},
      {{"--key", d + "/none.key"}, "key " + d + "/none.key: No such file or directory"},
      {{"--key", open},
       "key " + open + ": readable or writable by group or others (chmod 600 " + open + ")"},
      {{"--key", bad}, "key " + bad + ": no secret key (40 Z85 characters) on its first line"},
      {{"--key", key, "--link", "0=127.0.0.1", d + "/b.pub"},
       "link 0: key file '" + d + "/b.pub': No such file or directory"},
  };
  for (const auto &[args, why] : rows) {
    std::vector<std::string> all = {"--foreground"};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back("db");
    const ToolRun r = run_tool("zrdb-vlinkd", all, d);
    EXPECT_EQ(r.status, 2) << why;
    EXPECT_EQ(r.err, "zrdb-vlinkd: " + why + "\n");
  }
}

// Starts the daemon of this system (killed when this process ends); its
// output is added to `log`. Its pid, or -1.
pid_t spawn_daemon(const std::string &db, const std::vector<std::string> &args,
                   const std::string &log) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (std::freopen(log.c_str(), "a", stderr) == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
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

// Makes this process a system of its own, allocates its database and starts
// its daemon. The daemon's pid, or -1.
pid_t start_system(const std::string &db, const std::vector<std::string> &args,
                   const std::string &log) {
  if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("none", "/dev/shm", "tmpfs", 0, nullptr) != 0 || zrdb_cfgParse(db.c_str()) != 0 ||
      zrdb_Init(HBUSER_ALLOCATE, nullptr) != 0)
    return -1;
  zrdb_Cleanup();
  return spawn_daemon(db, args, log);
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

// The loop's wait: a message whose descriptor signal an earlier operation
// took is seen only when the caller asks for a recheck; a new message and
// a readable descriptor are seen through poll. Timeouts are 0: no waiting.
TEST(VlinkdWait, SeesWhatWaitsOnSocketsAndDescriptors) {
  void *ctx = zmq_ctx_new();
  void *in = zmq_socket(ctx, ZMQ_PAIR), *out = zmq_socket(ctx, ZMQ_PAIR);
  ASSERT_EQ(zmq_bind(in, "inproc://vlinkd-wait"), 0);
  ASSERT_EQ(zmq_connect(out, "inproc://vlinkd-wait"), 0);
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const auto take_signal = [&] {  // what a send or receive on `in` may do
    int events = 0;
    size_t len = sizeof events;
    zmq_getsockopt(in, ZMQ_EVENTS, &events, &len);
  };
  const auto put_message = [&] { zmq_send(out, "x", 1, 0); };
  const auto put_event = [&] { (void)!write(fd, "\1\0\0\0\0\0\0\0", 8); };
  const struct {
    const char *what;
    std::function<void()> before;
    bool recheck;
    short socketReady, fdReady;
  } cases[] = {
      {"new message", put_message, false, ZMQ_POLLIN, 0},
      {"signal taken, no recheck", take_signal, false, 0, 0},
      {"signal taken, recheck", take_signal, true, ZMQ_POLLIN, 0},
      {"descriptor readable too", put_event, true, ZMQ_POLLIN, ZMQ_POLLIN},
  };
  for (const auto &c : cases) {
    c.before();
    zmq_pollitem_t items[] = {{in, 0, ZMQ_POLLIN, 0}, {nullptr, fd, ZMQ_POLLIN, 0}};
    const bool recheck[] = {c.recheck, false};
    const int ready = vlinkd::wait_ready(items, recheck, 2, 0);
    EXPECT_EQ(items[0].revents, c.socketReady) << c.what;
    EXPECT_EQ(items[1].revents, c.fdReady) << c.what;
    EXPECT_EQ(ready, (c.socketReady != 0) + (c.fdReady != 0)) << c.what;
  }
  close(fd);
  zmq_close(in);
  zmq_close(out);
  zmq_ctx_term(ctx);
}

int32_t link_state() {
  int32_t s = -1;
  return zrdb_VLINKGetStatus(kMaster, 0, &s) == 0 ? s : -1;
}

int32_t peer_value(int32_t item, int32_t idx = 1) {
  int32_t v = -1;
  return zrdb_VLINKGetValue(kMaster, 0, 0, item, idx, &v, 4) == 0 ? v : -1;
}

int peer_set(int32_t item, int32_t idx, int32_t v) {
  return zrdb_VLINKSetValue(kMaster, 0, 0, item, idx, &v, 4);
}

// A write of element `idx` of B's item as A's library mirrors it: a
// datagram to A's daemon, from `from`.
void send_sync(const char *from, uint32_t item, uint32_t idx, uint32_t value) {
  uint8_t m[28] = {};
  const uint32_t header[] = {1, 0, item, idx, 4, 0};
  for (size_t i = 0; i < 6; ++i) *reinterpret_cast<uint32_t *>(m + 4 * i) = htonl(header[i]);
  std::memcpy(m + 24, &value, 4);  // the item's bytes as they are
  *reinterpret_cast<uint32_t *>(m + 20) = htonl(vlink_calc_syncto_msg_cs(m));
  sockaddr_in at{.sin_family = AF_INET};
  inet_pton(AF_INET, from, &at.sin_addr);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at);
  at.sin_port = htons(kSyncPortA);
  inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
  sendto(fd, m, sizeof m, 0, reinterpret_cast<sockaddr *>(&at), sizeof at);
  close(fd);
}

// What crosses the loopback interface while `act` runs, as one string.
std::string capture(const std::function<bool()> &act) {
  const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, htons(ETH_P_ALL));
  const int room = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  sockaddr_ll lo{.sll_family = AF_PACKET,
                 .sll_protocol = htons(ETH_P_ALL),
                 .sll_ifindex = static_cast<int>(if_nametoindex("lo"))};
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&lo), sizeof lo) != 0 || !act()) {
    close(fd);
    return "(no capture)";
  }
  std::string seen;
  char packet[70000];
  for (ssize_t n; (n = recv(fd, packet, sizeof packet, 0)) > 0;) seen.append(packet, n);
  close(fd);
  return seen;
}

// A peer that is not what B's settings name: a CURVE client with the key
// pair `own`, or (own null) a ZeroMQ client without CURVE. It tries to write
// speed[1] once, without dialling again; true when no answer came.
bool stranger_gets_no_answer(const vlinkd::KeyPair *own, const std::string &bKey) {
  vlinkd::Message set{
      .type = vlinkd::MessageType::Set, .id = 1, .itemId = kSpeed, .itemIdx = 1, .valueLen = 4};
  std::memcpy(set.value, "\x11\x11\x11\x11", 4);
  uint8_t bytes[vlinkd::kMaxMessage];
  const size_t n = vlinkd::encode_message(set, bytes);
  void *ctx = zmq_ctx_new();
  void *s = zmq_socket(ctx, ZMQ_DEALER);
  const int never = -1, none = 0;
  zmq_setsockopt(s, ZMQ_RECONNECT_IVL, &never, sizeof never);
  zmq_setsockopt(s, ZMQ_LINGER, &none, sizeof none);
  if (own != nullptr) {
    zmq_setsockopt(s, ZMQ_CURVE_SERVERKEY, bKey.c_str(), 40);
    zmq_setsockopt(s, ZMQ_CURVE_PUBLICKEY, own->publicKey, 40);
    zmq_setsockopt(s, ZMQ_CURVE_SECRETKEY, own->secretKey, 40);
  }
  zmq_connect(s, ("tcp://127.0.0.1:" + std::to_string(kPortB)).c_str());
  zmq_send(s, bytes, n, ZMQ_DONTWAIT);
  zmq_pollitem_t item{s, 0, ZMQ_POLLIN, 0};
  const bool answered = zmq_poll(&item, 1, 1000) == 1;
  zmq_close(s);
  zmq_ctx_term(ctx);
  return !answered;
}

// A daemon with the key pair `own`, on `port`, linked as link 0 to the peer
// on `peerPort` with the public key `peerKey`; then `more`.
std::vector<std::string> daemon_args(const std::string &own, int port, int peerPort,
                                     const std::string &peerKey, std::vector<std::string> more) {
  const std::string at = "127.0.0.1:";
  more.insert(more.begin(), {"--key", own + ".key", "--listen", at + std::to_string(port), "--link",
                             "0=" + at + std::to_string(peerPort), peerKey});
  return more;
}

struct Paths {
  std::string dir, dbA, logA, logB;
};

// System A's side; the result names the first step that failed. A's daemon
// starts as under systemd (Type=notify): it says READY=1 once it is attached
// and listening, so that a unit ordered after it may use the link at once.
int application(const Paths &p, int pidPipe) {
  const std::string a = p.dir + "/a", b = p.dir + "/b", notify = p.dir + "/notify";
  sockaddr_un manager{.sun_family = AF_UNIX};
  notify.copy(manager.sun_path, sizeof manager.sun_path - 1);
  const int ready = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (bind(ready, reinterpret_cast<sockaddr *>(&manager), sizeof manager) != 0 ||
      setenv("NOTIFY_SOCKET", notify.c_str(), 1) != 0)
    return 1;
  const pid_t daemonA = start_system(
      p.dbA,
      daemon_args(a, kPortA, kPortB, b + ".pub", {"--sync-port", std::to_string(kSyncPortA)}),
      p.logA);
  if (daemonA < 0) return 77;
#ifdef ZRDB_HAVE_LIBSYSTEMD
  pollfd told{ready, POLLIN, 0};
  char said[64] = {};
  sockaddr_in own{.sin_family = AF_INET, .sin_port = htons(kPortA)};
  own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int tcp = socket(AF_INET, SOCK_STREAM, 0);
  if (poll(&told, 1, 10000) != 1 || recv(ready, said, sizeof said - 1, 0) <= 0 ||
      std::string(said).find("READY=1") == std::string::npos ||
      connect(tcp, reinterpret_cast<sockaddr *>(&own), sizeof own) != 0)
    return 1;
  close(tcp);
#endif
  pid_t daemonB = -1;
  pollfd pipe{pidPipe, POLLIN, 0};
  const auto next_b = [&] {
    return poll(&pipe, 1, 10000) == 1 && read(pidPipe, &daemonB, sizeof daemonB) == 4 &&
           daemonB > 0;
  };
  if (!next_b()) return 77;
  if (zrdb_cfgParse(p.dbA.c_str()) != 0 || zrdb_Init(HBUSER_CLIENT, nullptr) != 0) return 2;
  if (!within(std::chrono::seconds(10), [] { return link_state() == 1; })) return 3;
  if (peer_value(kSpeed) != 5) return 4;  // B's initial value: A has no such item
  if (peer_set(kSpeed, 1, 1234) != 0 || peer_value(kSpeed) != 1234) return 5;
  // Refused by B's library, by its deny-get list, by its allow-set list.
  if (peer_value(4999, 0) != -1 || peer_value(kHidden) != -1 || peer_set(kLocked, 1, 9) != -1 ||
      peer_value(kLocked) != 3)
    return 6;
  const ToolRun dump = run_tool("zrdbctl", {"dump"}, p.dir);
  if (dump.status != 0 || dump.out.find("links=[1] peers=[\"" + public_key(b).substr(0, 8) +
                                        "\"]") == std::string::npos)
    return 7;
  // Sync: from outside this system, of an item off the allow-set list, then
  // one that B applies; the link keeps their order.
  send_sync(kOutside, kSpeed, 0, 66);
  send_sync("127.0.0.1", kLocked, 0, 99);
  send_sync("127.0.0.1", kSpeed, 2, 77);
  if (!within(std::chrono::seconds(5), [] { return peer_value(kSpeed, 2) == 77; })) return 8;
  if (peer_value(kSpeed, 0) != 5 || peer_value(kLocked, 0) != 3) return 9;
  // The value crosses the link encrypted; the capture sees it in the clear.
  const char canary[17] = "Zr!canary-7f3a9Q";
  const std::string link =
      capture([&] { return zrdb_VLINKSetValue(kMaster, 0, 0, kSecret, 0, canary, 16) == 0; });
  const std::string clear = capture([&] {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(9)};
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    const bool sent = sendto(fd, canary, 16, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == 16;
    close(fd);
    return sent;
  });
  if (link.find(canary) != std::string::npos || clear.find(canary) == std::string::npos) return 10;
  // Strangers: a key of its own, A's public key without A's secret one, no CURVE.
  vlinkd::KeyPair stranger, impostor;
  zmq_curve_keypair(stranger.publicKey, stranger.secretKey);
  impostor = stranger;
  std::memcpy(impostor.publicKey, public_key(a).c_str(), 40);
  for (const vlinkd::KeyPair *own : {&stranger, &impostor, static_cast<vlinkd::KeyPair *>(nullptr)})
    if (!stranger_gets_no_answer(own, public_key(b))) return 11;
  // Each refused once in B's log, and nothing written.
  const std::string refusedKey = "key " + std::string(stranger.publicKey, 8) + " is no configured";
  const auto refusals = [&] {
    const std::string log = read_file(p.logB);
    return std::make_pair(count(log, refusedKey), count(log, "no valid CURVE handshake"));
  };
  if (!within(std::chrono::seconds(5), [&] { return refusals() == std::make_pair(1, 2); }) ||
      peer_value(kSpeed) != 1234 || link_state() != 1)
    return 12;
  // Half-open connections do not hold up the link's transactions.
  std::vector<int> halfOpen;
  for (int i = 0; i < 500; ++i) {
    sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(kPortB)};
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    halfOpen.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(halfOpen.back(), reinterpret_cast<sockaddr *>(&to), sizeof to);
  }
  int answered = 0;
  for (int i = 0; i < 100; ++i) answered += peer_value(kSpeed) == 1234;
  for (const int fd : halfOpen) close(fd);
  if (answered != 100) return 13;
  // B's daemon killed: A's requests fail at once, its link goes down, and
  // comes back up when B's daemon is started again.
  kill(daemonB, SIGKILL);
  if (!within(std::chrono::seconds(5), [] { return link_state() == 0; })) return 14;
  if (peer_value(kSpeed) != -1 || !next_b()) return 15;
  if (!within(std::chrono::seconds(15), [] { return link_state() == 1; }) ||
      peer_value(kSpeed) != 1234)
    return 16;
  zrdb_Cleanup();
  kill(daemonA, SIGTERM);
  int status = -1;
  within(std::chrono::seconds(5), [&] { return waitpid(daemonA, &status, WNOHANG) == daemonA; });
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 17;
}

TEST(Vlinkd, TwoSystemsWithKeysAndStrangers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for IPC, mount and network namespaces";
  TempDir dir;
  const std::string d = dir.path();
  capture_stdout([&] {
    vlinkd::keygen((d + "/a").c_str());
    vlinkd::keygen((d + "/b").c_str());
  });
  const std::string master = "id=1, name=vlink, type=vlinkmst, value=1:localhost\n";
  const Paths p{d, dir.write("a.db", system_section() + master), d + "/a.log", d + "/b.log"};
  const std::string dbB = dir.write(
      "b.db", system_section() + master + "id=10, name=speed, type=integer, size=4*4, value=5\n" +
                  "id=11, name=secret, type=string, size=16, value=x\n" +
                  "id=12, name=locked, type=integer, size=4*2, value=3\n" +
                  "id=13, name=hidden, type=integer, size=4*2, value=4\n");
  const std::vector<std::string> argsB =
      daemon_args(d + "/b", kPortB, kPortA, public_key(d + "/a"),
                  {"--allow-set", "0", "speed,11", "--deny-get", "0", "13-14,hidden"});
  const int rc = run_in_child([&] {
    if (unshare(CLONE_NEWNET) != 0 ||
        std::system(
            ("ip link set lo up && ip addr add " + std::string(kOutside) + "/32 dev lo").c_str()) !=
            0)
      return 77;
    int pids[2];
    if (pipe(pids) != 0) return 1;
    Child systemB([&] {
      pid_t daemonB = start_system(dbB, argsB, p.logB);
      for (int round = 0; round < 2; ++round) {  // started again once after A kills it
        if (write(pids[1], &daemonB, sizeof daemonB) != 4 || daemonB < 0 ||
            waitpid(daemonB, nullptr, 0) != daemonB)
          return 1;
        daemonB = spawn_daemon(dbB, argsB, p.logB);
      }
      return 0;
    });
    return application(p, pids[0]);
  });
  if (rc == 77) GTEST_SKIP() << "no namespaces here (unshare, mount or ip refused)";
  const std::string logA = read_file(p.logA);
  EXPECT_EQ(rc, 0) << "failed at step " << rc << "\nA:\n" << logA << "B:\n" << read_file(p.logB);
  // The library's lines (standard output) come in order with the daemon's.
  EXPECT_LT(logA.find("HBUSER_VLINK_DAEMON"), logA.find("serving")) << logA;
}

}  // namespace
}  // namespace zrdb::test
