// Communication objects between two real processes, each beside the bare
// mechanism it wraps, in the same run:
//   sem_pingpong  semaphore items (zrdb_semaPost / zrdb_semaWait) against two
//                 bare named POSIX semaphores;
//   call_sync     the synchronous call pattern (zrdb_callMsgbufWrite, sync 1)
//                 with a server process, against a 64-byte message handed
//                 over through shared memory and two bare named semaphores.
// The partner process is forked in each run's set-up (it inherits the
// attachment) and stopped and reaped at its end. Wall-clock time: a round
// trip is mostly waiting, which CPU time leaves out. The round trips run
// pinned, this process on CPU 0 and the partner on CPU partner_cpu (1: a
// core each, 0: one shared), with the semaphore waits polling for spin_ns
// before they block (-1: the library's default for this process); the raw
// twins poll sem_trywait for the same time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "bench_db.h"
#include "partner.h"
#include "zrdb.h"

namespace zrdb::bench {
namespace {

constexpr int32_t kPingId = 1;
constexpr int32_t kPongId = 2;
constexpr int32_t kMsgbufId = 5;
constexpr int32_t kCallerId = 6;
constexpr int32_t kRequestId = 7;
constexpr int32_t kAckId = 8;

constexpr int32_t kPayload = ZRDB_MSGBUF_PAYLOAD;

// Names of the semaphore items (in the item texts below) and of the bare
// twins; all begin with /zrdbb_ so that they clash with nothing else.
constexpr const char *kItemSemaphores[] = {"/zrdbb_ping", "/zrdbb_pong", "/zrdbb_req",
                                           "/zrdbb_ack"};
constexpr const char *kRawPing = "/zrdbb_raw_ping";
constexpr const char *kRawPong = "/zrdbb_raw_pong";

const DatabaseDefinition kDatabase{
    "id=1, name=bench_ping, type=semap, value=/zrdbb_ping:0\n"
    "id=2, name=bench_pong, type=semap, value=/zrdbb_pong:0\n"
    "id=5, name=bench_msgbuf, type=msgbuf, size=76*16\n"
    "id=6, name=bench_caller, type=integer, size=4*1, value=0, realtime=5*7*8\n"
    "id=7, name=bench_req, type=semap, value=/zrdbb_req:0\n"
    "id=8, name=bench_ack, type=semap, value=/zrdbb_ack:0\n",
    "id=1, name=bench_ping\n"
    "id=2, name=bench_pong\n"
    "id=5, name=bench_msgbuf\n"
    "id=6, name=bench_caller\n"
    "id=7, name=bench_req\n"
    "id=8, name=bench_ack\n"};

// Attaches the database, with every semaphore name down for removal even if
// the run is killed.
bool prepare(benchmark::State &state) {
  for (const char *name : kItemSemaphores) unlink_semaphore_at_exit(name);
  unlink_semaphore_at_exit(kRawPing);
  unlink_semaphore_at_exit(kRawPong);
  if (std::string err = use_database(kDatabase); !err.empty()) {
    state.SkipWithError(err.c_str());
    return false;
  }
  return true;
}

// A count left by an earlier run that ended badly would answer a request
// before the partner has.
void drain_item_semaphore(int32_t id) {
  int32_t v = 0;
  while (zrdb_semaGetValue(id, &v) == 0 && v > 0) zrdb_semaWait(id);
}

void set_round_trip_counters(benchmark::State &state) {
  state.counters["round_trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// ---------------------------------------------------------------------------
// Two named semaphores of our own, created for one run and unlinked after it.
class RawSemaphores {
 public:
  RawSemaphores() {
    ping_ = open(kRawPing);
    pong_ = open(kRawPong);
  }
  ~RawSemaphores() {
    for (sem_t *s : {ping_, pong_}) {
      if (s != nullptr) sem_close(s);
    }
    sem_unlink(kRawPing);
    sem_unlink(kRawPong);
  }
  RawSemaphores(const RawSemaphores &) = delete;
  RawSemaphores &operator=(const RawSemaphores &) = delete;

  bool ok() const { return ping_ != nullptr && pong_ != nullptr; }
  sem_t *ping() const { return ping_; }
  sem_t *pong() const { return pong_; }

 private:
  static sem_t *open(const char *name) {
    sem_unlink(name);  // left by a run that was killed
    sem_t *s = sem_open(name, O_CREAT | O_EXCL, 0600, 0);
    return s == SEM_FAILED ? nullptr : s;
  }
  sem_t *ping_ = nullptr;
  sem_t *pong_ = nullptr;
};

// sem_wait, after polling sem_trywait for up to `spinNs` as the library's
// waits do.
int wait_raw(sem_t *s, long spinNs) {
  if (spinNs > 0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::nanoseconds(spinNs);
    do {
      for (int i = 0; i < 8; ++i) {
        if (sem_trywait(s) == 0) return 0;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
        asm volatile("yield");
#endif
      }
    } while (std::chrono::steady_clock::now() < end);
  }
  int rc = 0;
  while ((rc = sem_wait(s)) != 0 && errno == EINTR) {
  }
  return rc;
}

// One round-trip run's placement and spin budget (arguments partner_cpu and
// spin_ns): pins this process to CPU 0 and sets the budget, which the
// partner forked afterwards inherits; both are restored when the run ends.
class Placement {
 public:
  explicit Placement(benchmark::State &state)
      : partnerCpu_(static_cast<int>(state.range(0))), spinNs_(state.range(1)) {
    // Before pinning: the library picks its default on first use, from the
    // CPUs this process may run on.
    if (spinNs_ < 0) {  // read the budget in force: set it and put it back
      spinNs_ = zrdb_setSpinWait(0);
      zrdb_setSpinWait(spinNs_);
    } else {
      savedSpin_ = zrdb_setSpinWait(spinNs_);
    }
    pinned_ = sched_getaffinity(0, sizeof saved_, &saved_) == 0 && pin(0);
    state.counters["spin_ns"] = static_cast<double>(spinNs_);
    if (!pinned_) state.SkipWithError("cannot pin to CPU 0");
  }
  ~Placement() {
    if (savedSpin_ >= 0) zrdb_setSpinWait(savedSpin_);
    if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
  }
  Placement(const Placement &) = delete;
  Placement &operator=(const Placement &) = delete;

  bool ok() const { return pinned_; }
  long spin_ns() const { return spinNs_; }
  // Called in the partner; false when its CPU does not exist or is not ours.
  bool pin_partner() const { return pin(partnerCpu_); }

 private:
  static bool pin(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
  }
  cpu_set_t saved_{};
  bool pinned_ = false;
  int partnerCpu_;
  long spinNs_;
  long savedSpin_ = -1;
};

// ---------------------------------------------------------------------------
// 1. Semaphore ping-pong: post ping, wait for pong; the partner waits on ping
// and posts pong.

void sem_pingpong_zrdb(benchmark::State &state) {
  if (!prepare(state)) return;
  drain_item_semaphore(kPingId);
  drain_item_semaphore(kPongId);
  const Placement placement(state);
  if (!placement.ok()) return;
  SharedMemory shm(sizeof(Control));
  Control *ctl = make_control(shm);
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl, &placement] {
    if (!placement.pin_partner()) return 2;
    int64_t served = 0;
    int64_t errors = 0;
    for (;;) {
      if (zrdb_semaWait(kPingId) != 0) {
        ++errors;
        break;
      }
      if (ctl->stop.load(std::memory_order_acquire) != 0) break;
      if (zrdb_semaPost(kPongId, 0) != 0) ++errors;
      ++served;
    }
    ctl->served.store(served);
    ctl->errors.store(errors);
    return 0;
  });
  if (!started) return;
  int64_t failed = 0;
  for (auto _ : state) {
    failed += zrdb_semaPost(kPingId, 0) != 0;
    failed += zrdb_semaWait(kPongId) != 0;
  }
  stop_partner(
      state, partner, ctl, [] { zrdb_semaPost(kPingId, 0); }, state.iterations());
  if (failed != 0) state.SkipWithError("zrdb_semaPost or zrdb_semaWait failed");
  set_round_trip_counters(state);
}

void sem_pingpong_raw(benchmark::State &state) {
  if (!prepare(state)) return;  // same setting as the ZRDB twin
  RawSemaphores sems;
  if (!sems.ok()) {
    state.SkipWithError("sem_open of the raw semaphores failed");
    return;
  }
  sem_t *ping = sems.ping();
  sem_t *pong = sems.pong();
  const Placement placement(state);
  if (!placement.ok()) return;
  const long spin = placement.spin_ns();
  SharedMemory shm(sizeof(Control));
  Control *ctl = make_control(shm);
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl, ping, pong, &placement] {
    if (!placement.pin_partner()) return 2;
    const long spin = placement.spin_ns();
    int64_t served = 0;
    int64_t errors = 0;
    for (;;) {
      if (wait_raw(ping, spin) != 0) {
        ++errors;
        break;
      }
      if (ctl->stop.load(std::memory_order_acquire) != 0) break;
      if (sem_post(pong) != 0) ++errors;
      ++served;
    }
    ctl->served.store(served);
    ctl->errors.store(errors);
    return 0;
  });
  if (!started) return;
  int64_t failed = 0;
  for (auto _ : state) {
    failed += sem_post(ping) != 0;
    failed += wait_raw(pong, spin) != 0;
  }
  stop_partner(
      state, partner, ctl, [ping] { sem_post(ping); }, state.iterations());
  if (failed != 0) state.SkipWithError("sem_post or sem_wait failed");
  set_round_trip_counters(state);
}

// ---------------------------------------------------------------------------
// 2. Synchronous call: the caller hands a 64-byte message to the server
// process and waits for its acknowledgement; the server waits for the
// request, takes the message and acknowledges it.

// Standard output redirected to a temporary file while the calls run: the
// call pattern reports a missed acknowledgement only by printing a line.
class CapturedStdout {
 public:
  CapturedStdout() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = dup(STDOUT_FILENO);
    if (file_ == nullptr || saved_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0) restore();
  }
  ~CapturedStdout() { restore(); }
  CapturedStdout(const CapturedStdout &) = delete;
  CapturedStdout &operator=(const CapturedStdout &) = delete;

  // Ends the capture; returns what was printed.
  std::string text() {
    std::fflush(stdout);
    restore();
    std::string out;
    if (file_ == nullptr) return out;
    std::rewind(file_);
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;) out.append(chunk, n);
    std::fclose(file_);
    file_ = nullptr;
    return out;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  FILE *file_ = nullptr;
  int saved_ = -1;
};

int64_t count_lines(const std::string &text, const char *marker) {
  int64_t n = 0;
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
    ++n;
  }
  return n;
}

void call_sync_zrdb(benchmark::State &state) {
  if (!prepare(state)) return;
  drain_item_semaphore(kRequestId);
  drain_item_semaphore(kAckId);
  {
    int32_t from = 0;
    int32_t arg = 0;
    int32_t msize = 0;
    unsigned char sink[kPayload];
    while (zrdb_msgbufRead(kMsgbufId, &from, &arg, &msize, sink) == 0) {
    }
  }
  const Placement placement(state);
  if (!placement.ok()) return;
  SharedMemory shm(sizeof(Control));
  Control *ctl = make_control(shm);
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl, &placement] {
    if (!placement.pin_partner()) return 2;
    int64_t served = 0;
    int64_t errors = 0;
    uint64_t expect = 1;
    for (;;) {
      if (zrdb_semaWait(kRequestId) != 0) {
        ++errors;
        break;
      }
      int32_t from = 0;
      int32_t arg = 0;
      int32_t msize = 0;
      unsigned char payload[kPayload];
      // A caller that timed out has queued more than one message; the
      // stop request comes after the last of them.
      if (zrdb_msgbufRead(kMsgbufId, &from, &arg, &msize, payload) != 0) {
        if (ctl->stop.load(std::memory_order_acquire) != 0) break;
        ++errors;
        continue;
      }
      uint64_t seq = 0;
      std::memcpy(&seq, payload, sizeof seq);
      if (from != kCallerId || msize != kPayload || seq != expect) ++errors;
      expect = seq + 1;
      if (zrdb_semaPost(kAckId, 0) != 0) ++errors;
      ++served;
    }
    ctl->served.store(served);
    ctl->errors.store(errors);
    return 0;
  });
  if (!started) return;
  unsigned char payload[kPayload];
  std::memset(payload, 0x5A, sizeof payload);
  uint64_t seq = 0;
  int64_t failed = 0;
  std::string printed;
  {
    CapturedStdout capture;
    for (auto _ : state) {
      ++seq;
      std::memcpy(payload, &seq, sizeof seq);
      failed += zrdb_callMsgbufWrite(kCallerId, payload, kPayload, 0, 1) != 0;
    }
    printed = capture.text();
  }
  stop_partner(
      state, partner, ctl, [] { zrdb_semaPost(kRequestId, 0); }, state.iterations());
  if (failed != 0) state.SkipWithError("zrdb_callMsgbufWrite failed");
  set_round_trip_counters(state);
  // Calls that gave up waiting (after the item's 2 ms) and answers that a
  // later call found and drained; both should be 0.
  state.counters["timeouts"] = static_cast<double>(count_lines(printed, "time out read"));
  state.counters["late_acks"] = static_cast<double>(count_lines(printed, "cleanup last reading"));
}

// The message as the call pattern lays it out in a slot.
struct RawMessage {
  int32_t from;
  int32_t arg;
  int32_t msize;
  unsigned char payload[kPayload];
};

void call_sync_raw(benchmark::State &state) {
  if (!prepare(state)) return;  // same setting as the ZRDB twin
  RawSemaphores sems;
  if (!sems.ok()) {
    state.SkipWithError("sem_open of the raw semaphores failed");
    return;
  }
  sem_t *request = sems.ping();
  sem_t *ack = sems.pong();
  const Placement placement(state);
  if (!placement.ok()) return;
  const long spin = placement.spin_ns();
  SharedMemory shm(sizeof(Control) + sizeof(RawMessage));
  Control *ctl = make_control(shm);
  auto *slot = reinterpret_cast<RawMessage *>(shm.as<unsigned char>() + sizeof(Control));
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl, slot, request, ack, &placement] {
    if (!placement.pin_partner()) return 2;
    const long spin = placement.spin_ns();
    int64_t served = 0;
    int64_t errors = 0;
    uint64_t expect = 1;
    for (;;) {
      if (wait_raw(request, spin) != 0) {
        ++errors;
        break;
      }
      if (ctl->stop.load(std::memory_order_acquire) != 0) break;
      RawMessage m;
      std::memcpy(&m, slot, sizeof m);
      uint64_t seq = 0;
      std::memcpy(&seq, m.payload, sizeof seq);
      if (m.from != kCallerId || m.msize != kPayload || seq != expect) ++errors;
      expect = seq + 1;
      if (sem_post(ack) != 0) ++errors;
      ++served;
    }
    ctl->served.store(served);
    ctl->errors.store(errors);
    return 0;
  });
  if (!started) return;
  unsigned char payload[kPayload];
  std::memset(payload, 0x5A, sizeof payload);
  uint64_t seq = 0;
  int64_t failed = 0;
  for (auto _ : state) {
    ++seq;
    std::memcpy(payload, &seq, sizeof seq);
    slot->from = kCallerId;
    slot->arg = 0;
    slot->msize = kPayload;
    std::memcpy(slot->payload, payload, kPayload);
    failed += sem_post(request) != 0;
    failed += wait_raw(ack, spin) != 0;
  }
  stop_partner(
      state, partner, ctl, [request] { sem_post(request); }, state.iterations());
  if (failed != 0) state.SkipWithError("sem_post or sem_wait failed");
  set_round_trip_counters(state);
}

// Pairs run side by side so that both members see much the same machine
// load; the summary pairs them by name.
[[maybe_unused]] const bool registered = [] {
  // A core each and one shared, without polling and with the default.
  const auto placements = [](benchmark::internal::Benchmark *b) {
    b->ArgNames({"partner_cpu", "spin_ns"})->UseRealTime()->Unit(benchmark::kMicrosecond);
    for (const int64_t partnerCpu : {1, 0}) {
      for (const int64_t spinNs : {0, -1}) b->Args({partnerCpu, spinNs});
    }
  };
  benchmark::RegisterBenchmark("sem_pingpong/zrdb", sem_pingpong_zrdb)->Apply(placements);
  benchmark::RegisterBenchmark("sem_pingpong/raw", sem_pingpong_raw)->Apply(placements);
  benchmark::RegisterBenchmark("call_sync/zrdb", call_sync_zrdb)->Apply(placements);
  benchmark::RegisterBenchmark("call_sync/raw", call_sync_raw)->Apply(placements);
  return true;
}();

}  // namespace
}  // namespace zrdb::bench
