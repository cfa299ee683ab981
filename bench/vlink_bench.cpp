// A VLINK get and set between two systems beside the bare transports they
// ride on, in the same run (wall-clock time: a transaction is mostly waiting):
//   vlink_get/zrdb  zrdb_VLINKGetValue of a 4-byte item of the peer system,
//                   through the queue, the local zrdb-vlinkd, ZeroMQ over
//                   TCP with CURVE, the peer's zrdb-vlinkd and database, and
//                   back. The peer system is a child in IPC and mount
//                   namespaces of its own, as in tests/vlinkd_test.cpp; the
//                   local daemon a child here.
//   vlink_set/zrdb  zrdb_VLINKSetValue of that item (on the peer's allow-set).
//   vlink_idle/32   the CPU time a daemon with 32 links up (heartbeats, no
//                   requests) takes, as a share of one core, over 5 s.
// The baselines (vlink_get/raw, vlink_get/zmq, vlink_handshake) are in
// vlink_bare_bench.cpp.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
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
#include <utility>
#include <vector>

#include "bench_db.h"
#include "partner.h"
#include "vlink_bench.h"
#include "zrdb.h"

namespace zrdb::bench::vlink {

volatile sig_atomic_t g_queues[2] = {-1, -1};

double us_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

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

namespace {

constexpr int32_t kMaster = 1;
constexpr int kIdleLinks = 32;
constexpr int32_t kPeerItem = 10;
constexpr int32_t kPeerValue = 23130;  // the peer item's value (0x5A5A)

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
// bench_db.cpp removes next: the queues (g_queues) and the files made here.
// The children die with this process (PR_SET_PDEATHSIG), the peer system's
// objects with its namespaces.
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

}  // namespace

// In front of bench_db.cpp's handler, once a database was made.
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

namespace {

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

[[maybe_unused]] const bool registered = [] {
  const std::pair<const char *, void (*)(benchmark::State &)> roundTrips[] = {
      {"vlink_get/zrdb", vlink_get_zrdb},
      {"vlink_get/raw", vlink_get_raw},
      {"vlink_get/zmq", vlink_get_zmq},
      {"vlink_set/zrdb", vlink_set_zrdb},
      {"vlink_handshake", vlink_handshake}};
  for (const auto &[name, run] : roundTrips)
    benchmark::RegisterBenchmark(name, run)->UseRealTime()->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("vlink_idle/32", vlink_idle)
      ->UseRealTime()
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
}  // namespace zrdb::bench::vlink
