// A VLINK get and set between two systems beside the bare transports they
// ride on, in the same run (wall-clock time: a transaction is mostly waiting):
//   vlink_get/zrdb  zrdb_VLINKGetValue of a 4-byte item of the peer system,
//                   through the queue, the local zrdb-vlinkd, ZeroMQ over
//                   TCP with CURVE, the peer's zrdb-vlinkd and database, and
//                   back. The peer system is a child in IPC and mount
//                   namespaces of its own, as in tests/vlinkd_test.cpp; the
//                   local daemon a child here.
//   vlink_set/zrdb  zrdb_VLINKSetValue of that item (on the peer's allow-set).
//   vlink_get/raw   one System V message queue round trip (544-byte
//                   messages, both types on one queue, as VLINK) with one
//                   partner process, then one loopback TCP round trip
//                   (TCP_NODELAY; 15 bytes out as a get message, 10 back as
//                   its result, without ZeroMQ's framing and encryption) with
//                   another: the transports' bare cost, added up.
//   vlink_handshake one CURVE handshake on loopback (a new ZeroMQ connection
//                   until its monitor reports the handshake done).
//   vlink_idle/32   the CPU time a daemon with 32 links up (heartbeats, no
//                   requests) takes, as a share of one core, over 5 s.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <zmq.h>

#include "bench_db.h"
#include "partner.h"
#include "zrdb.h"

namespace zrdb::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kMaster = 1;
constexpr int kIdleLinks = 32;
constexpr int32_t kPeerItem = 10;
constexpr int32_t kPeerValue = 23130;  // the peer item's value (0x5A5A)
constexpr int kFrameOut = 15;          // a get message: header 5, body 10
constexpr int kFrameBack = 10;         // a result with its outcome and a 4-byte value

// Ports of their own (the tests use 477xx, the demo 478xx): the network is
// not private to the benchmark's namespace. The masters' texts name them.
DatabaseDefinition database(int links) {
  return {"id=1, name=bench_vlink, type=vlinkmst, value=" + std::to_string(links) +
              ":127.0.0.1:47610\n",
          "id=1, name=bench_vlink\n"};
}
const char kPeerDatabase[] =
    "[system]\nname=zrdb_bench_peer\nkey=0x5A0B0002\nsize=4096\n[database]\n"
    "id=1, name=bench_vlink, type=vlinkmst, value=1:127.0.0.1:47611\n"
    "id=10, name=bench_value, type=integer, size=4*1, value=23130\n";

// What a fatal signal must remove besides the database, which the handler of
// bench_db.cpp removes next: the queues and files made here. The children
// die with this process (PR_SET_PDEATHSIG), the peer system's objects with
// its namespaces.
volatile sig_atomic_t g_queues[2] = {-1, -1};  // the VLINK queue, the raw one
// The daemons' database files and logs, then their directory.
enum Path {
  kLocalDb,
  kPeerDb,
  kLocalLog,
  kPeerLog,
  kLocalKey,
  kLocalPub,
  kPeerKey,
  kPeerPub,  // keygen's files: local.key, ...
  kDir,
  kPaths
};
char g_paths[kPaths][256];
volatile sig_atomic_t g_pathCount = 0;
struct sigaction g_previous[NSIG];
constexpr int kFatal[] = {SIGINT,  SIGTERM, SIGHUP, SIGQUIT, SIGABRT,
                          SIGSEGV, SIGBUS,  SIGFPE, SIGILL};

// The files, then their directory; plain system calls, safe in a handler.
void remove_paths(int count) {
  for (int i = 0; i + 1 < count; ++i) unlink(g_paths[i]);
  if (count > 0) rmdir(g_paths[count - 1]);
}

void on_fatal_signal(int sig) {
  for (const sig_atomic_t q : g_queues) {
    if (q >= 0) msgctl(q, IPC_RMID, nullptr);
  }
  remove_paths(g_pathCount);
  sigaction(sig, &g_previous[sig], nullptr);
  raise(sig);  // taken by the previous handler once this one returns
}

// Puts this file's handler in front of whatever handles the fatal signals
// now (bench_db.cpp's, once a database was made).
void guard_fatal_signals() {
  struct sigaction mine {};
  mine.sa_handler = on_fatal_signal;
  mine.sa_flags = SA_RESETHAND;
  sigemptyset(&mine.sa_mask);
  for (const int sig : kFatal) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    if (now.sa_handler != on_fatal_signal) sigaction(sig, &mine, &g_previous[sig]);
  }
}

// A temporary directory with the daemons' files, for one run.
class Files {
 public:
  Files() {
    char dir[] = "/tmp/zrdb-vbench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    const char *names[] = {"local.cfg", "peer.cfg",  "local.log", "peer.log",
                           "local.key", "local.pub", "peer.key",  "peer.pub"};
    for (int i = 0; i < kDir; ++i)
      std::snprintf(g_paths[i], sizeof g_paths[i], "%s/%s", dir, names[i]);
    std::snprintf(g_paths[kDir], sizeof g_paths[kDir], "%s", dir);
    g_pathCount = kPaths;
  }
  ~Files() {
    const int n = g_pathCount;
    g_pathCount = 0;
    remove_paths(n);
  }
  Files(const Files &) = delete;
  Files &operator=(const Files &) = delete;
  bool ok() const { return g_pathCount == kPaths; }
};

std::string read_file(const char *path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool write_file(const char *path, const std::string &text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

// Shared by this process and its children.
struct Control {
  std::atomic<int32_t> localPid;
  std::atomic<int32_t> peerPid;
  std::atomic<int32_t> peerState;  // 0 starting, 1 about to run its daemon, < 0 failed
  std::atomic<int32_t> stop;
  std::atomic<int64_t> served[2];  // raw: by the queue partner, by the TCP partner
  std::atomic<int64_t> errors;
};
constexpr int32_t kPeerReady = 1, kNoNamespaces = -1, kNoPeerDatabase = -2;

// In a child: standard output and error to `log`.
bool to_log(const char *log) {
  return std::freopen(log, "w", stdout) != nullptr && dup2(STDOUT_FILENO, STDERR_FILENO) >= 0;
}

// The daemons' settings: each knows the other's public key; the local one
// has `links` links, all to the peer, which lets link 0 write the item.
std::vector<std::string> daemon_args(bool local, int links) {
  std::vector<std::string> args = {"--foreground", "--key", g_paths[local ? kLocalKey : kPeerKey],
                                   "--listen", local ? "127.0.0.1:47610" : "127.0.0.1:47611"};
  for (int n = 0; n < (local ? links : 1); ++n) {
    args.insert(args.end(),
                {"--link", std::to_string(n) + (local ? "=127.0.0.1:47611" : "=127.0.0.1:47610"),
                 g_paths[local ? kPeerPub : kLocalPub]});
  }
  if (!local) args.insert(args.end(), {"--allow-set", "0", std::to_string(kPeerItem)});
  return args;
}

// In a child: the daemon in the foreground.
int exec_daemon(const std::string &daemon, std::vector<std::string> args, const char *db) {
  args.insert(args.begin(), daemon);
  if (db != nullptr) args.emplace_back(db);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  return 127;
}

// Makes a key pair with the daemon's keygen; false when it failed.
bool keygen(const std::string &daemon, Path key) {
  std::string prefix = g_paths[key];
  prefix.resize(prefix.size() - 4);  // without ".key"
  Partner child;
  return child.start([&] {
    return to_log("/dev/null") ? exec_daemon(daemon, {"keygen", prefix}, nullptr) : 126;
  }) && child.finish(5000) == 0;
}

// The peer system: namespaces of its own, its database, its daemon.
int run_peer(Control *ctl, const std::string &daemon) {
  ctl->peerPid.store(getpid());
  if (!to_log(g_paths[kPeerLog])) return 126;
  if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("none", "/dev/shm", "tmpfs", 0, nullptr) != 0) {
    ctl->peerState.store(kNoNamespaces);
    return 1;
  }
  // This attach first lets go of what the fork inherited of ours.
  if (zrdb_cfgParse(g_paths[kPeerDb]) != 0 || zrdb_Init(HBUSER_ALLOCATE, nullptr) != 0) {
    ctl->peerState.store(kNoPeerDatabase);
    return 1;
  }
  zrdb_Cleanup();
  ctl->peerState.store(kPeerReady);
  return exec_daemon(daemon, daemon_args(false, 1), g_paths[kPeerDb]);
}

bool peer_get(int32_t &v) {
  v = 0;
  return zrdb_VLINKGetValue(kMaster, 0, 0, kPeerItem, 0, &v, 4) == 0 && v == kPeerValue;
}

// Both systems, linked, for one run; everything removed by the destructor.
class Systems {
 public:
  Systems() : shm_(sizeof(Control)) {}
  ~Systems() { stop(); }
  Systems(const Systems &) = delete;
  Systems &operator=(const Systems &) = delete;

  // With `links` local links, all to the peer (up, once it returns true).
  bool start(benchmark::State &state, int links = 1);
  pid_t local_pid() const { return ctl_ != nullptr ? ctl_->localPid.load() : -1; }
  // Stops the daemons and removes what the run made; false when a daemon
  // did not stop cleanly.
  bool stop();

 private:
  bool fail(benchmark::State &state, const std::string &why) {
    // The daemons' logs say why a link did not come up.
    std::fprintf(stderr, "vlink_get: %s\nlocal daemon:\n%speer system:\n%s", why.c_str(),
                 read_file(g_paths[kLocalLog]).c_str(), read_file(g_paths[kPeerLog]).c_str());
    state.SkipWithError(why.c_str());
    stop();
    return false;
  }

  // SIGTERM, then up to 3 s for a clean exit (SIGKILL after that).
  bool stop_daemon(Partner &partner, std::atomic<int32_t> Control::*pid) {
    if (!partner.running()) return true;
    if (ctl_ != nullptr && (ctl_->*pid).load() > 0) kill((ctl_->*pid).load(), SIGTERM);
    return partner.finish(3000) == 0;
  }

  SharedMemory shm_;
  Control *ctl_ = nullptr;
  Files files_;
  Partner local_, peer_;
  bool database_ = false;
};

bool Systems::start(benchmark::State &state, int links) {
  if (geteuid() != 0) {
    state.SkipWithError("needs root: the peer system runs in IPC and mount namespaces of its own");
    return false;
  }
  const std::string daemon =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" /
      "zrdb-vlinkd";
  if (access(daemon.c_str(), X_OK) != 0) {
    state.SkipWithError("no zrdb-vlinkd in this build's tools/ (build the target zrdb-vlinkd)");
    return false;
  }
  // Another system's VLINK objects here are not ours to use or remove.
  if (msgget(ZRDB_VLINK_QUEUE_KEY, 0) >= 0 || access("/dev/shm/sem.vlinkmstsemp", F_OK) == 0) {
    state.SkipWithError("a VLINK queue or /vlinkmstsemp exists: run in a private IPC namespace");
    return false;
  }
  if (shm_.get() == nullptr || !files_.ok()) {
    state.SkipWithError("mmap or the temporary directory failed");
    return false;
  }
  ctl_ = new (shm_.get()) Control{};
  if (!keygen(daemon, kLocalKey) || !keygen(daemon, kPeerKey)) {
    state.SkipWithError("zrdb-vlinkd keygen failed");
    return false;
  }
  char header[96];
  std::snprintf(header, sizeof header, "[system]\nname=zrdb_bench\nkey=0x%X\nsize=%d\n[database]\n",
                static_cast<unsigned>(kBenchDataKey), DatabaseDefinition{}.dataSize);
  if (!write_file(g_paths[kLocalDb], header + database(links).items) ||
      !write_file(g_paths[kPeerDb], kPeerDatabase)) {
    state.SkipWithError("cannot write the database files");
    return false;
  }
  // A fresh attach each run: the master's open makes the queue, which the
  // run removes at its end.
  remove_database();
  unlink_semaphore_at_exit(ZRDB_VLINK_SEMAPHORE);
  if (std::string err = use_database(database(links)); !err.empty()) {
    state.SkipWithError(err.c_str());
    return false;
  }
  database_ = true;
  g_queues[0] = msgget(ZRDB_VLINK_QUEUE_KEY, 0);
  guard_fatal_signals();
  if (g_queues[0] < 0) return fail(state, "the master's open made no VLINK queue");

  Control *ctl = ctl_;
  if (!peer_.start([ctl, daemon] { return run_peer(ctl, daemon); }))
    return fail(state, "fork failed");
  if (!wait_for([ctl] { return ctl->peerState.load() != 0; }) ||
      ctl->peerState.load() != kPeerReady) {
    return fail(state, ctl->peerState.load() == kNoNamespaces
                           ? "no namespaces here (unshare or mount refused)"
                           : "the peer system's database could not be made");
  }
  if (!local_.start([ctl, daemon, links] {
        ctl->localPid.store(getpid());
        return to_log(g_paths[kLocalLog])
                   ? exec_daemon(daemon, daemon_args(true, links), g_paths[kLocalDb])
                   : 126;
      }))
    return fail(state, "fork failed");
  const auto linked = [links] {
    for (int n = 0; n < links; ++n) {
      int32_t up = 0;
      if (zrdb_VLINKGetStatus(kMaster, n, &up) != 0 || up != 1) return false;
    }
    return true;
  };
  if (!wait_for([&] { return usleep(10000) == 0 && linked(); }, 10000))
    return fail(state, "the links did not come up within 10 s");
  int32_t v = 0;
  if (!peer_get(v)) return fail(state, "a get of the peer's item did not read its value");
  return true;
}

bool Systems::stop() {
  // The local daemon first: it would make the queue again.
  bool clean = stop_daemon(local_, &Control::localPid);
  clean = stop_daemon(peer_, &Control::peerPid) && clean;
  if (g_queues[0] >= 0) msgctl(g_queues[0], IPC_RMID, nullptr);
  g_queues[0] = -1;
  if (database_) remove_database();
  database_ = false;
  return clean;
}

double us_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// The rate, and the spread of single iterations (µs).
void set_counters(benchmark::State &state, std::vector<double> &us) {
  state.counters["round_trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["min_us"] = us.front();
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  state.counters["max_us"] = us.back();
}

void vlink_get_zrdb(benchmark::State &state) {
  Systems systems;
  if (!systems.start(state)) return;
  int64_t failed = 0;
  std::vector<double> us;
  int32_t v = 0;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    failed += !peer_get(v);
    us.push_back(us_since(t0));
  }
  if (!systems.stop()) state.SkipWithError("a link daemon did not stop cleanly");
  if (failed != 0) state.SkipWithError("a VLINK get failed or read a wrong value");
  set_counters(state, us);
}

void vlink_set_zrdb(benchmark::State &state) {
  Systems systems;
  if (!systems.start(state)) return;
  int64_t failed = 0;
  std::vector<double> us;
  int32_t v = kPeerValue;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    failed += zrdb_VLINKSetValue(kMaster, 0, 0, kPeerItem, 0, &v, 4) != 0;
    us.push_back(us_since(t0));
  }
  if (!systems.stop()) state.SkipWithError("a link daemon did not stop cleanly");
  if (failed != 0) state.SkipWithError("a VLINK set failed");
  set_counters(state, us);
}

// CPU seconds (user and system) of process `pid` so far; -1 when unknown.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const size_t end = text.rfind(')');  // the name may hold blanks
  if (end == std::string::npos) return -1;
  std::istringstream fields(text.substr(end + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return fields ? (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK)) : -1;
}

void vlink_idle(benchmark::State &state) {
  Systems systems;
  if (!systems.start(state, kIdleLinks)) return;
  double share = 0;
  for (auto _ : state) {
    const double before = cpu_seconds(systems.local_pid());
    const Clock::time_point t0 = Clock::now();
    sleep(5);
    const double after = cpu_seconds(systems.local_pid());
    share = 100 * (after - before) / (us_since(t0) / 1e6);
    if (before < 0 || after < 0) state.SkipWithError("the daemon's /proc/PID/stat is unreadable");
  }
  state.counters["cpu_percent_of_a_core"] = share;
  if (!systems.stop()) state.SkipWithError("a link daemon did not stop cleanly");
}

// One CURVE handshake per iteration: a new client connection to a server
// on loopback, until the client's monitor reports the handshake done.
void vlink_handshake(benchmark::State &state) {
  char serverPublic[41], serverSecret[41], clientPublic[41], clientSecret[41];
  void *ctx = zmq_ctx_new();
  void *server = zmq_socket(ctx, ZMQ_ROUTER);
  const int one = 1;
  zmq_curve_keypair(serverPublic, serverSecret);
  zmq_curve_keypair(clientPublic, clientSecret);
  zmq_setsockopt(server, ZMQ_CURVE_SERVER, &one, sizeof one);
  zmq_setsockopt(server, ZMQ_CURVE_SECRETKEY, serverSecret, 40);
  char endpoint[64];
  size_t len = sizeof endpoint;
  if (zmq_bind(server, "tcp://127.0.0.1:*") != 0 ||
      zmq_getsockopt(server, ZMQ_LAST_ENDPOINT, endpoint, &len) != 0) {
    state.SkipWithError("no loopback endpoint (or libzmq without CURVE)");
    zmq_close(server);
    zmq_ctx_term(ctx);
    return;
  }
  std::vector<double> us;
  int64_t failed = 0;
  int round = 0;
  for (auto _ : state) {
    // A name of its own each time: the last monitor goes away in the background.
    const std::string events = "inproc://bench-handshake-" + std::to_string(++round);
    void *client = zmq_socket(ctx, ZMQ_DEALER);
    zmq_setsockopt(client, ZMQ_CURVE_SERVERKEY, serverPublic, 40);
    zmq_setsockopt(client, ZMQ_CURVE_PUBLICKEY, clientPublic, 40);
    zmq_setsockopt(client, ZMQ_CURVE_SECRETKEY, clientSecret, 40);
    zmq_socket_monitor(client, events.c_str(), ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
    void *monitor = zmq_socket(ctx, ZMQ_PAIR);
    zmq_connect(monitor, events.c_str());
    const Clock::time_point t0 = Clock::now();
    zmq_connect(client, endpoint);
    zmq_msg_t event;
    zmq_msg_init(&event);
    zmq_pollitem_t item{monitor, 0, ZMQ_POLLIN, 0};
    failed += zmq_poll(&item, 1, 5000) != 1 || zmq_msg_recv(&event, monitor, 0) < 0;
    us.push_back(us_since(t0));
    while (zmq_msg_more(&event) != 0) zmq_msg_recv(&event, monitor, 0);
    zmq_msg_close(&event);
    zmq_socket_monitor(client, nullptr, 0);
    zmq_close(monitor);
    const int none = 0;
    zmq_setsockopt(client, ZMQ_LINGER, &none, sizeof none);
    zmq_close(client);
  }
  zmq_close(server);
  zmq_ctx_term(ctx);
  if (failed != 0) state.SkipWithError("a handshake did not complete within 5 s");
  set_counters(state, us);
}

// ---------------------------------------------------------------------------
// The bare transports.

struct QueueMessage {
  long mtype;
  unsigned char body[ZRDB_VLINK_MSG_SIZE];
};

// Moves all n bytes, one send or receive (`io`, from an offset) at a time;
// false at an error or the end of the stream.
template <typename Io>
bool whole(size_t n, Io io) {
  for (size_t done = 0; done < n;) {
    const ssize_t k = io(done);
    if (k == 0 || (k < 0 && errno != EINTR)) return false;
    done += k > 0 ? static_cast<size_t>(k) : 0;
  }
  return true;
}
bool send_all(int fd, const unsigned char *b, size_t n) {
  return whole(n, [=](size_t at) { return send(fd, b + at, n - at, MSG_NOSIGNAL); });
}
bool recv_all(int fd, unsigned char *b, size_t n) {
  return whole(n, [=](size_t at) { return recv(fd, b + at, n - at, 0); });
}

void no_delay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Answers each request (type 2) with a response (type 1) carrying its number.
int serve_queue(Control *ctl, int q) {
  QueueMessage m{};
  int64_t served = 0, errors = 0;
  for (uint64_t expect = 1;; ++expect) {
    if (msgrcv(q, &m, sizeof m.body, ZRDB_VLINK_REQUEST_TYPE, 0) < 0) {
      if (errno == EINTR) continue;
      ++errors;
      break;
    }
    if (ctl->stop.load() != 0) break;
    uint64_t seq = 0;
    std::memcpy(&seq, m.body, sizeof seq);
    errors += seq != expect;
    m.mtype = ZRDB_VLINK_RESPONSE_TYPE;
    errors += msgsnd(q, &m, sizeof m.body, 0) != 0;
    ++served;
  }
  ctl->served[0].store(served);
  ctl->errors.fetch_add(errors);
  return 0;
}

// Answers each 15-byte request with 10 bytes carrying its number, until the
// connection ends.
int serve_tcp(Control *ctl, int listener) {
  pollfd p{listener, POLLIN, 0};
  const int fd = poll(&p, 1, 5000) == 1 ? accept(listener, nullptr, nullptr) : -1;
  if (fd < 0) return 1;
  no_delay(fd);
  unsigned char in[kFrameOut], out[kFrameBack] = {};
  int64_t served = 0, errors = 0;
  for (uint64_t expect = 1; recv_all(fd, in, sizeof in); ++expect, ++served) {
    uint64_t seq = 0;
    std::memcpy(&seq, in, sizeof seq);
    errors += seq != expect;
    std::memcpy(out, &seq, sizeof seq);
    if (!send_all(fd, out, sizeof out)) ++errors;
  }
  close(fd);
  ctl->served[1].store(served);
  ctl->errors.fetch_add(errors);
  return 0;
}

// A private queue and a listening socket for one run, removed at its end.
struct RawTransports {
  int listener = -1;
  sockaddr_in at{};
  RawTransports() {
    g_queues[1] = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    guard_fatal_signals();
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    if (listener >= 0 && (bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
                          listen(listener, 1) != 0 ||
                          getsockname(listener, reinterpret_cast<sockaddr *>(&at), &len) != 0)) {
      close(listener);
      listener = -1;
    }
  }
  ~RawTransports() {
    if (listener >= 0) close(listener);
    if (g_queues[1] >= 0) msgctl(g_queues[1], IPC_RMID, nullptr);
    g_queues[1] = -1;
  }
  int queue() const { return g_queues[1]; }
};

void vlink_get_raw(benchmark::State &state) {
  RawTransports raw;
  SharedMemory shm(sizeof(Control));
  if (raw.queue() < 0 || raw.listener < 0 || shm.get() == nullptr) {
    state.SkipWithError("msgget, the loopback listener or mmap failed");
    return;
  }
  Control *ctl = new (shm.get()) Control{};
  const int q = raw.queue();
  const int listener = raw.listener;
  Partner queuePartner, tcpPartner;
  if (!queuePartner.start([ctl, q] { return serve_queue(ctl, q); }) ||
      !tcpPartner.start([ctl, listener] { return serve_tcp(ctl, listener); })) {
    state.SkipWithError("fork failed");
    return;
  }
  // Made after the forks: a copy in a partner would keep the connection
  // open after this process closes it.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&raw.at), sizeof raw.at) != 0) {
    if (fd >= 0) close(fd);
    state.SkipWithError("the connection to the TCP partner failed");
    return;
  }
  no_delay(fd);
  QueueMessage m{};
  unsigned char out[kFrameOut] = {}, in[kFrameBack];
  int64_t failed = 0;
  uint64_t seq = 0;
  std::vector<double> us;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    ++seq;
    m.mtype = ZRDB_VLINK_REQUEST_TYPE;
    std::memcpy(m.body, &seq, sizeof seq);
    failed += msgsnd(q, &m, sizeof m.body, 0) != 0;
    failed += msgrcv(q, &m, sizeof m.body, ZRDB_VLINK_RESPONSE_TYPE, 0) < 0;
    std::memcpy(out, &seq, sizeof seq);
    failed += !send_all(fd, out, sizeof out) || !recv_all(fd, in, sizeof in);
    uint64_t got[2] = {};
    std::memcpy(&got[0], m.body, sizeof seq);
    std::memcpy(&got[1], in, sizeof seq);
    failed += got[0] != seq || got[1] != seq;
    us.push_back(us_since(t0));
  }
  ctl->stop.store(1);
  m.mtype = ZRDB_VLINK_REQUEST_TYPE;
  msgsnd(q, &m, sizeof m.body, IPC_NOWAIT);  // wakes the queue partner
  close(fd);                                 // ends the TCP partner
  const bool stopped = queuePartner.finish() == 0 && tcpPartner.finish() == 0;
  if (!stopped || ctl->errors.load() != 0 || ctl->served[0].load() != state.iterations() ||
      ctl->served[1].load() != state.iterations()) {
    state.SkipWithError("a partner failed, saw a wrong message or missed one");
  } else if (failed != 0) {
    state.SkipWithError("a round trip failed or carried a wrong number");
  }
  set_counters(state, us);
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("vlink_get/zrdb", vlink_get_zrdb)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("vlink_get/raw", vlink_get_raw)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("vlink_set/zrdb", vlink_set_zrdb)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("vlink_handshake", vlink_handshake)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("vlink_idle/32", vlink_idle)
      ->UseRealTime()
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
}  // namespace zrdb::bench
