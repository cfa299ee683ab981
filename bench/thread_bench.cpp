// Thread transports, each beside the bare mechanism it wraps, in the same run:
//   tfifo         a thread FIFO item: a producer thread puts numbered elements
//                 (zrdb_tfifo_putdata), the benchmark thread gets them
//                 (zrdb_tfifo_getdata); against write() / read() of the same
//                 elements on a bare pipe between two threads, placed on
//                 two CPUs and on one. Wall-clock time: both threads block
//                 in the pipe, which CPU time of one of them leaves out.
//   tfifo_alone   the same put and get in the benchmark thread alone: the
//                 calls' own cost, without the second thread.
//   rbuf_cycle    zrdb_rbuf_alloc + zrdb_rbuf_recycle on a pool item of 16
//                 buffers of 256 bytes, against the same on a free list of
//                 16 such buffers that a mutex guards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_db.h"
#include "zrdb.h"

namespace zrdb::bench {
namespace {

// High ids, away from those of tests and examples: opening the items takes
// /tmp/zrdbid<id>.lock, /tmp is not private to the benchmark's namespace,
// and an item whose lock another process holds cannot be opened.
constexpr int32_t kFifoId = 4980;
constexpr int32_t kPoolId = 4981;

constexpr int32_t kMaxElem = 256;  // E of the FIFO item: the largest element
constexpr int32_t kPoolElem = 256;
constexpr int32_t kPoolCount = 16;
constexpr size_t kPoolHeader = 64;  // the ZRDB_RBUF_INFO before the buffers

const DatabaseDefinition kDatabase{
    "id=4980, name=bench_tfifo, type=thrd_fifo, size=256*1\n"
    "id=4981, name=bench_pool, type=thrd_rbuf, size=256*16\n",
    // Only an attach through an id list opens them.
    "id=4980, name=bench_tfifo\n"
    "id=4981, name=bench_pool\n"};

bool prepare(benchmark::State &state) {
  if (std::string err = use_database(kDatabase); !err.empty()) {
    state.SkipWithError(err.c_str());
    return false;
  }
  return true;
}

// Reads whatever arrives on `fd` within `waitMs`, until it stays empty that
// long (0: what is there now); returns the bytes read.
int64_t drain(int fd, int waitMs) {
  int64_t total = 0;
  unsigned char sink[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN) != 0) {
    const ssize_t n = read(fd, sink, sizeof sink);
    if (n <= 0) break;
    total += n;
  }
  return total;
}

bool readable(int fd, int waitMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN) != 0;
}

// Times the calling thread gave up its core to wait (blocked in a read or
// write, or on a mutex).
int64_t waits_of_this_thread() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return ru.ru_nvcsw;
}

void fill(unsigned char *buf, int32_t size, unsigned char seed) {
  for (int32_t i = 0; i < size; ++i) buf[i] = static_cast<unsigned char>(seed + i * 7);
}

// ---------------------------------------------------------------------------
// 1. Elements through a pipe.

struct ZrdbFifo {
  int rd;  // the item's pipe, from zrdb_tfifo_getFd
  int wr;
  bool put(const void *buf, int32_t n) const { return zrdb_tfifo_putdata(kFifoId, 0, buf, n) == 0; }
  bool get(void *buf, int32_t n) const { return zrdb_tfifo_getdata(kFifoId, 0, buf, n) == 0; }
};

struct RawPipe {
  int rd;
  int wr;
  bool put(const void *buf, int32_t n) const { return write(wr, buf, n) == n; }
  bool get(void *buf, int32_t n) const { return read(rd, buf, n) == n; }
};

// Checks that the item is one bare pipe: an element put comes out of the
// read end of zrdb_tfifo_getFd exactly as it went in (no more, no less),
// and one written to the write end comes out of zrdb_tfifo_getdata. Then
// the two benchmarks move the same bytes through the same kind of pipe.
// Empties the pipe first: a run that failed may have left elements.
std::string open_item_fifo(int32_t size, ZrdbFifo &fifo) {
  fifo.rd = zrdb_tfifo_getFd(kFifoId, 0, 1);
  fifo.wr = zrdb_tfifo_getFd(kFifoId, 0, 0);
  if (fifo.rd < 0 || fifo.wr < 0 || fifo.rd == fifo.wr) return "zrdb_tfifo_getFd failed";
  drain(fifo.rd, 0);
  unsigned char out[kMaxElem];
  unsigned char in[kMaxElem + 1];
  fill(out, size, 0x11);
  if (zrdb_tfifo_putdata(kFifoId, 0, out, size) != 0) return "zrdb_tfifo_putdata failed";
  if (!readable(fifo.rd, 1000) || read(fifo.rd, in, sizeof in) != size ||
      std::memcmp(in, out, size) != 0) {
    return "a put element did not come out of the item's read end unchanged";
  }
  fill(out, size, 0x22);
  if (write(fifo.wr, out, size) != size || !readable(fifo.rd, 1000)) {
    return "the item's write end does not feed its read end";
  }
  std::memset(in, 0, sizeof in);
  if (zrdb_tfifo_getdata(kFifoId, 0, in, size) != 0 || std::memcmp(in, out, size) != 0) {
    return "zrdb_tfifo_getdata did not deliver the element written";
  }
  if (drain(fifo.rd, 0) != 0) return "the item delivered more bytes than were put";
  return {};
}

// Where the two threads of a transfer run. Left to the scheduler, they share
// one CPU for a whole run or not, at random, and the time per element
// differs by up to half between the two; so each run places them itself.
struct CpuPlan {
  cpu_set_t allowed;  // this thread's set before, restored afterwards
  int consumer = -1;
  int producer = -1;
};

// The first CPU this thread may use for both (cpus 1), or the first two
// (cpus 2). False when there are not that many.
bool plan_cpus(int64_t cpus, CpuPlan &plan) {
  if (sched_getaffinity(0, sizeof plan.allowed, &plan.allowed) != 0) return false;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (!CPU_ISSET(c, &plan.allowed)) continue;
    if (plan.consumer < 0) {
      plan.consumer = c;
      if (cpus == 1) plan.producer = c;
    } else if (plan.producer < 0) {
      plan.producer = c;
    }
  }
  return plan.producer >= 0;
}

bool pin_this_thread(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// One element per iteration, numbered from 1; the benchmark thread gets,
// the producer puts exactly as many as there will be iterations. It starts
// with the first iteration, so every element crosses in the timed part.
template <typename Fifo>
void transfer(benchmark::State &state, const Fifo &fifo) {
  const auto size = static_cast<int32_t>(state.range(0));
  const int64_t total = static_cast<int64_t>(state.max_iterations);
  CpuPlan plan;
  if (!plan_cpus(state.range(1), plan) || !pin_this_thread(plan.consumer)) {
    state.SkipWithError("cannot place the threads on as many CPUs as asked");
    return;
  }
  bool pinned = true;
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  int64_t putErrors = 0;
  int64_t putWaits = 0;
  std::thread producer([&] {
    pinned = pin_this_thread(plan.producer);
    go.wait(false);
    putWaits = -waits_of_this_thread();
    unsigned char elem[kMaxElem];
    std::memset(elem, 0x5A, sizeof elem);
    for (int64_t seq = 1; seq <= total; ++seq) {
      std::memcpy(elem, &seq, sizeof seq);
      if (!fifo.put(elem, size)) {
        ++putErrors;
        // The reader waits for every element: send this one around.
        (void)!write(fifo.wr, elem, size);
      }
    }
    putWaits += waits_of_this_thread();
    done.store(true, std::memory_order_release);
  });
  unsigned char elem[kMaxElem];
  int64_t expect = 1;
  int64_t getErrors = 0;
  bool started = false;
  int64_t getWaits = -waits_of_this_thread();
  for (auto _ : state) {
    if (!started) {
      started = true;
      go.store(true);
      go.notify_one();
    }
    if (!fifo.get(elem, size)) {
      ++getErrors;
      continue;
    }
    int64_t seq = 0;
    std::memcpy(&seq, elem, sizeof seq);
    getErrors += seq != expect;
    expect = seq + 1;
  }
  getWaits += waits_of_this_thread();
  go.store(true);
  go.notify_one();
  // After a failed get the producer may still have elements to put; it
  // must not block on a full pipe.
  int64_t leftover = 0;
  while (!done.load(std::memory_order_acquire)) leftover += drain(fifo.rd, 1);
  producer.join();
  leftover += drain(fifo.rd, 0);
  pthread_setaffinity_np(pthread_self(), sizeof plan.allowed, &plan.allowed);
  if (!pinned) {
    state.SkipWithError("cannot place the producer thread");
  } else if (putErrors != 0) {
    state.SkipWithError("a put failed");
  } else if (getErrors != 0) {
    state.SkipWithError("a get failed or delivered elements out of order");
  } else if (leftover != 0) {
    state.SkipWithError("bytes were left in the pipe");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * size);
  // How often each side slept. The producer sleeps only on a full pipe, so
  // put_waits > 0 means it ran ahead of the reader.
  state.counters["get_waits/elem"] =
      benchmark::Counter(static_cast<double>(getWaits), benchmark::Counter::kAvgIterations);
  state.counters["put_waits/elem"] =
      benchmark::Counter(static_cast<double>(putWaits), benchmark::Counter::kAvgIterations);
}

// A put and then a get per iteration, in this thread alone.
template <typename Fifo>
void put_get_alone(benchmark::State &state, const Fifo &fifo) {
  const auto size = static_cast<int32_t>(state.range(0));
  unsigned char out[kMaxElem];
  unsigned char in[kMaxElem];
  std::memset(out, 0x5A, sizeof out);
  int64_t seq = 0;
  int64_t failed = 0;
  for (auto _ : state) {
    ++seq;
    std::memcpy(out, &seq, sizeof seq);
    failed += !fifo.put(out, size);
    failed += !fifo.get(in, size);
    failed += std::memcmp(in, &seq, sizeof seq) != 0;
  }
  if (failed != 0) state.SkipWithError("a put or get failed or delivered another element");
  if (drain(fifo.rd, 0) != 0) state.SkipWithError("bytes were left in the pipe");
}

// `run` is transfer or put_get_alone.
void tfifo_zrdb(benchmark::State &state, void (*run)(benchmark::State &, const ZrdbFifo &)) {
  if (!prepare(state)) return;
  ZrdbFifo fifo{};
  if (std::string err = open_item_fifo(static_cast<int32_t>(state.range(0)), fifo); !err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  run(state, fifo);
}

void tfifo_raw(benchmark::State &state, void (*run)(benchmark::State &, const RawPipe &)) {
  if (!prepare(state)) return;  // same setting as the ZRDB twin
  int fd[2];
  // As the item's pipe is made; close-on-exec costs nothing per transfer.
  if (pipe2(fd, O_CLOEXEC) != 0) {
    state.SkipWithError("pipe2 failed");
    return;
  }
  run(state, RawPipe{fd[0], fd[1]});
  close(fd[0]);
  close(fd[1]);
}

// ---------------------------------------------------------------------------
// 2. Buffer pool: take a buffer and give it back.

// The bare equivalent of the pool: the same buffers on a free list.
class RawPool {
 public:
  RawPool() : memory_(static_cast<size_t>(kPoolElem) * kPoolCount) {
    free_.reserve(kPoolCount);
    for (int32_t i = 0; i < kPoolCount; ++i) free_.push_back(&memory_[i * kPoolElem]);
  }
  void *alloc() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return nullptr;
    void *p = free_.back();
    free_.pop_back();
    return p;
  }
  void recycle(void *p) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(p);
  }

 private:
  std::mutex mutex_;
  std::vector<unsigned char> memory_;
  std::vector<void *> free_;
};

// Checks that the pool hands out its 16 buffers of 256 bytes in the data
// segment (buffer i at 64 + 256 i of the item's data area), each once, and
// none beyond them; the raw list holds the same number of the same size.
// Leaves every buffer free and the counters cleared.
std::string check_pool() {
  if (zrdb_item_size(kPoolId) != kPoolElem || zrdb_item_count(kPoolId) != kPoolCount) {
    return "the pool's geometry differs from the benchmark's";
  }
  ZRDB_BLK_INFO blk{};
  if (zrdb_getUserBlkInfo(kPoolId, &blk) != 0 || blk.addr == nullptr) {
    return "zrdb_getUserBlkInfo failed";
  }
  if (zrdb_rbuf_reset(kPoolId) != 0) return "zrdb_rbuf_reset failed";
  auto *base = static_cast<unsigned char *>(blk.addr) + kPoolHeader;
  ZRDB_RBUF_BIN *bins[kPoolCount] = {};
  bool seen[kPoolCount] = {};
  std::string err;
  for (int32_t i = 0; i < kPoolCount && err.empty(); ++i) {
    bins[i] = zrdb_rbuf_alloc(kPoolId);
    if (bins[i] == nullptr) {
      err = "zrdb_rbuf_alloc failed with buffers free";
    } else if (bins[i]->index < 0 || bins[i]->index >= kPoolCount || seen[bins[i]->index] ||
               bins[i]->addr != base + static_cast<ptrdiff_t>(bins[i]->index) * kPoolElem) {
      err = "zrdb_rbuf_alloc returned a buffer twice or outside the pool's data";
    } else {
      seen[bins[i]->index] = true;
    }
  }
  if (err.empty() && zrdb_rbuf_alloc(kPoolId) != nullptr) {
    err = "zrdb_rbuf_alloc returned more buffers than the pool has";
  }
  for (ZRDB_RBUF_BIN *bin : bins) {
    if (bin != nullptr && zrdb_rbuf_recycle(bin) != 0 && err.empty()) {
      err = "zrdb_rbuf_recycle failed";
    }
  }
  const auto *info = static_cast<const ZRDB_RBUF_INFO *>(blk.addr);
  if (err.empty() && (info->fb != kPoolCount || info->uc != 0)) {
    err = "the pool's counters do not show every buffer free";
  }
  if (zrdb_rbuf_reset(kPoolId) != 0 && err.empty()) err = "zrdb_rbuf_reset failed";
  return err;
}

void rbuf_cycle_zrdb(benchmark::State &state) {
  if (!prepare(state)) return;
  if (std::string err = check_pool(); !err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  int64_t failed = 0;
  for (auto _ : state) {
    ZRDB_RBUF_BIN *bin = zrdb_rbuf_alloc(kPoolId);
    if (bin == nullptr) {
      ++failed;
      continue;
    }
    failed += zrdb_rbuf_recycle(bin) != 0;
  }
  if (failed != 0) state.SkipWithError("an allocation or a recycle failed");
}

void rbuf_cycle_raw(benchmark::State &state) {
  if (!prepare(state)) return;  // same setting as the ZRDB twin
  RawPool pool;
  RawPool *p = &pool;
  // The list is reachable from elsewhere, as a pool shared by threads is:
  // the compiler must do every push and pop.
  benchmark::DoNotOptimize(p);
  int64_t failed = 0;
  for (auto _ : state) {
    void *buf = p->alloc();
    if (buf == nullptr) {
      ++failed;
      continue;
    }
    p->recycle(buf);
  }
  if (failed != 0) state.SkipWithError("an allocation failed");
}

// Pairs run side by side so that both members see much the same machine
// load; the summary pairs them by name.
[[maybe_unused]] const bool registered = [] {
  for (const int64_t cpus : {2, 1}) {
    for (const int64_t size : {8, 256}) {
      benchmark::RegisterBenchmark("tfifo/zrdb", tfifo_zrdb, transfer<ZrdbFifo>)
          ->Args({size, cpus})
          ->ArgNames({"bytes", "cpus"})
          ->UseRealTime();
      benchmark::RegisterBenchmark("tfifo/raw", tfifo_raw, transfer<RawPipe>)
          ->Args({size, cpus})
          ->ArgNames({"bytes", "cpus"})
          ->UseRealTime();
    }
  }
  for (const int64_t size : {8, 256}) {
    benchmark::RegisterBenchmark("tfifo_alone/zrdb", tfifo_zrdb, put_get_alone<ZrdbFifo>)
        ->Arg(size)
        ->ArgName("bytes");
    benchmark::RegisterBenchmark("tfifo_alone/raw", tfifo_raw, put_get_alone<RawPipe>)
        ->Arg(size)
        ->ArgName("bytes");
  }
  benchmark::RegisterBenchmark("rbuf_cycle/zrdb", rbuf_cycle_zrdb);
  benchmark::RegisterBenchmark("rbuf_cycle/raw", rbuf_cycle_raw);
  return true;
}();

}  // namespace
}  // namespace zrdb::bench
