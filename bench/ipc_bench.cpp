// Communication objects between two real processes, each beside the bare
// mechanism it wraps, in the same run:
//   sem_pingpong  semaphore items (zrdb_semaPost / zrdb_semaWait) against two
//                 bare named POSIX semaphores;
//   cbuf_rw       circular buffer records, one writer and one reader process,
//                 against a plain single-producer/single-consumer ring in
//                 shared memory of the same slot count and slot size;
//   call_sync     the synchronous call pattern (zrdb_callMsgbufWrite, sync 1)
//                 with a server process, against a 64-byte message handed
//                 over through shared memory and two bare named semaphores.
// The partner process is forked in each run's set-up (it inherits the
// attachment) and stopped and reaped at its end. Wall-clock time: a round
// trip is mostly waiting, which CPU time leaves out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "bench_db.h"
#include "partner.h"
#include "zrdb.h"

namespace zrdb::bench {
namespace {

constexpr int32_t kPingId = 1;
constexpr int32_t kPongId = 2;
constexpr int32_t kCbuf64Id = 3;
constexpr int32_t kCbuf1kId = 4;
constexpr int32_t kMsgbufId = 5;
constexpr int32_t kCallerId = 6;
constexpr int32_t kRequestId = 7;
constexpr int32_t kAckId = 8;

constexpr int32_t kSlots = 64;         // N of both rings
constexpr int32_t kSlotOverhead = 12;  // a cbuf slot carries E - 12 bytes
constexpr int32_t kSeqBytes = 8;       // message part: the record's number
constexpr int32_t kPayload = ZRDB_MSGBUF_PAYLOAD;

// Names of the semaphore items (in the item texts below) and of the bare
// twins; all begin with /zrdbb_ so that they clash with nothing else.
constexpr const char *kItemSemaphores[] = {"/zrdbb_ping", "/zrdbb_pong", "/zrdbb_req",
                                           "/zrdbb_ack"};
constexpr const char *kRawPing = "/zrdbb_raw_ping";
constexpr const char *kRawPong = "/zrdbb_raw_pong";

// Slot sizes: record + 12 (76 for 64-byte records, 1036 for 1 KiB).
const DatabaseDefinition kDatabase{
    "id=1, name=bench_ping, type=semap, value=/zrdbb_ping:0\n"
    "id=2, name=bench_pong, type=semap, value=/zrdbb_pong:0\n"
    "id=3, name=bench_cbuf64, type=cbuf, size=76*64\n"
    "id=4, name=bench_cbuf1k, type=cbuf, size=1036*64\n"
    "id=5, name=bench_msgbuf, type=msgbuf, size=76*16\n"
    "id=6, name=bench_caller, type=integer, size=4*1, value=0, realtime=5*7*8\n"
    "id=7, name=bench_req, type=semap, value=/zrdbb_req:0\n"
    "id=8, name=bench_ack, type=semap, value=/zrdbb_ack:0\n",
    "id=1, name=bench_ping\n"
    "id=2, name=bench_pong\n"
    "id=3, name=bench_cbuf64\n"
    "id=4, name=bench_cbuf1k\n"
    "id=5, name=bench_msgbuf\n"
    "id=6, name=bench_caller\n"
    "id=7, name=bench_req\n"
    "id=8, name=bench_ack\n",
    // 1036 * 64 alone is more than the default 64 KiB.
    131072};

int32_t cbuf_id(int64_t recordBytes) { return recordBytes == 64 ? kCbuf64Id : kCbuf1kId; }

// What the two processes share besides the objects measured. The partner
// writes its totals once, when it ends.
struct Control {
  std::atomic<int32_t> ready;
  std::atomic<int32_t> stop;
  std::atomic<int64_t> served;
  std::atomic<int64_t> errors;
  std::atomic<int64_t> idlePolls;  // cbuf reader: reads that found it empty
};
// Lock-free atomics work across processes: they are plain words.
static_assert(std::atomic<int32_t>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);

// The control block at the start of `shm`; null when the mapping failed.
Control *make_control(SharedMemory &shm) {
  return shm.get() == nullptr ? nullptr : new (shm.get()) Control{};
}

// Attaches the database, with every semaphore name down for removal even if
// the run is killed, and checks the geometry the benchmarks rely on.
bool prepare(benchmark::State &state) {
  for (const char *name : kItemSemaphores) unlink_semaphore_at_exit(name);
  unlink_semaphore_at_exit(kRawPing);
  unlink_semaphore_at_exit(kRawPong);
  if (std::string err = use_database(kDatabase); !err.empty()) {
    state.SkipWithError(err.c_str());
    return false;
  }
  for (const int64_t record : {64, 1024}) {
    const int32_t id = cbuf_id(record);
    if (zrdb_item_size(id) != record + kSlotOverhead || zrdb_item_count(id) != kSlots) {
      state.SkipWithError("circular buffer geometry differs from the benchmark's");
      return false;
    }
  }
  return true;
}

// A count left by an earlier run that ended badly would answer a request
// before the partner has.
void drain_item_semaphore(int32_t id) {
  int32_t v = 0;
  while (zrdb_semaGetValue(id, &v) == 0 && v > 0) zrdb_semaWait(id);
}

// Starts `serve` in a partner process and waits until it runs.
bool start_partner(benchmark::State &state, Partner &partner, Control *ctl,
                   const std::function<int()> &serve) {
  if (ctl == nullptr) {
    state.SkipWithError("mmap of the control block failed");
    return false;
  }
  if (!partner.start([&] {
        ctl->ready.store(1, std::memory_order_release);
        return serve();
      })) {
    state.SkipWithError("fork failed");
    return false;
  }
  if (!wait_for([&] { return ctl->ready.load(std::memory_order_acquire) != 0; })) {
    state.SkipWithError("the partner process did not start");
    return false;
  }
  return true;
}

// Stops the partner (`wake` unblocks it after the stop flag is raised) and
// checks that it served every iteration without an error.
void stop_partner(benchmark::State &state, Partner &partner, Control *ctl,
                  const std::function<void()> &wake, int64_t expected) {
  ctl->stop.store(1, std::memory_order_release);
  wake();
  const int status = partner.finish();
  if (status != 0) {
    state.SkipWithError("the partner process failed or had to be killed");
  } else if (ctl->errors.load() != 0) {
    state.SkipWithError("the partner process saw wrong or missing data");
  } else if (ctl->served.load() != expected) {
    state.SkipWithError("the partner process did not serve every iteration");
  }
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

int wait_raw(sem_t *s) {
  int rc = 0;
  while ((rc = sem_wait(s)) != 0 && errno == EINTR) {
  }
  return rc;
}

// ---------------------------------------------------------------------------
// 1. Semaphore ping-pong: post ping, wait for pong; the partner waits on ping
// and posts pong.

void sem_pingpong_zrdb(benchmark::State &state) {
  if (!prepare(state)) return;
  drain_item_semaphore(kPingId);
  drain_item_semaphore(kPongId);
  SharedMemory shm(sizeof(Control));
  Control *ctl = make_control(shm);
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl] {
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
  SharedMemory shm(sizeof(Control));
  Control *ctl = make_control(shm);
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl, ping, pong] {
    int64_t served = 0;
    int64_t errors = 0;
    for (;;) {
      if (wait_raw(ping) != 0) {
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
    failed += wait_raw(pong) != 0;
  }
  stop_partner(
      state, partner, ctl, [ping] { sem_post(ping); }, state.iterations());
  if (failed != 0) state.SkipWithError("sem_post or sem_wait failed");
  set_round_trip_counters(state);
}

// ---------------------------------------------------------------------------
// 2. Circular buffer throughput: this process writes numbered records, the
// partner reads them as fast as it can and checks number and lengths.
// Neither side sleeps: an empty reader and a full writer spin, then yield.

// The index words of a ring, read without the library: the writer must not
// write while N - 1 records are held, or the cbuf drops its backlog.
struct RingIndices {
  int32_t *rd;
  int32_t *wr;
  int32_t count;
  int32_t load(int32_t *word) const {
    return std::atomic_ref<int32_t>(*word).load(std::memory_order_acquire);
  }
  bool full() const { return (load(wr) + 1) % count == load(rd); }
  bool empty() const { return load(wr) == load(rd); }
};

// The plain ring: the cbuf's shape (indices side by side, slots of E bytes
// with two length words in front) with none of its checks or statistics.
// Its slots sit at the same offset within a page as the cbuf's: the copies
// of 1 KiB records took up to half as long again at some offsets as at
// others, and that is the database layout's doing, not the code's.
struct RawRing {
  int32_t rd;
  int32_t wr;
  int32_t elemSize;
  int32_t count;
  // slots follow (the header keeps them 4-byte aligned, as in the cbuf)

  unsigned char *slot(int32_t i) {
    return reinterpret_cast<unsigned char *>(this + 1) + static_cast<size_t>(i) * elemSize;
  }
  RingIndices indices() { return {&rd, &wr, count}; }

  void write(const void *msg, uint32_t msize, const void *data, uint32_t dsize) {
    const int32_t w = std::atomic_ref<int32_t>(wr).load(std::memory_order_relaxed);
    unsigned char *s = slot(w);
    std::memcpy(s, &msize, 4);
    std::memcpy(s + 4, &dsize, 4);
    std::memcpy(s + 8, msg, msize);
    std::memcpy(s + 8 + msize, data, dsize);
    std::atomic_ref<int32_t>(wr).store((w + 1) % count, std::memory_order_release);
  }

  // False when empty; a part that does not fit its destination is skipped.
  bool read(void *msg, uint32_t msize, void *data, uint32_t dsize, uint32_t &msgLen,
            uint32_t &dataLen) {
    const int32_t r = std::atomic_ref<int32_t>(rd).load(std::memory_order_relaxed);
    if (r == std::atomic_ref<int32_t>(wr).load(std::memory_order_acquire)) return false;
    const unsigned char *s = slot(r);
    uint32_t m = 0;
    uint32_t d = 0;
    std::memcpy(&m, s, 4);
    std::memcpy(&d, s + 4, 4);
    msgLen = m <= msize ? m : 0;
    dataLen = d <= dsize ? d : 0;
    std::memcpy(msg, s + 8, msgLen);
    std::memcpy(data, s + 8 + m, dataLen);
    std::atomic_ref<int32_t>(rd).store((r + 1) % count, std::memory_order_release);
    return true;
  }
};
static_assert(sizeof(RawRing) == 16);

// One record per iteration. `write` stores one record and returns false on
// failure; `ring` sees the indices of the buffer written.
template <typename Write>
void write_records(benchmark::State &state, const RingIndices &ring, Write write) {
  const auto record = static_cast<int32_t>(state.range(0));
  unsigned char data[1024];
  std::memset(data, 0xA5, sizeof data);
  uint64_t seq = 0;
  int64_t failed = 0;
  int64_t fullWaits = 0;
  Backoff backoff;
  for (auto _ : state) {
    if (ring.full()) {
      ++fullWaits;
      do backoff.pause();
      while (ring.full());
      backoff.reset();
    }
    ++seq;
    failed += !write(&seq, data, record - kSeqBytes);
  }
  state.counters["full_waits/rec"] =
      benchmark::Counter(static_cast<double>(fullWaits), benchmark::Counter::kAvgIterations);
  if (failed != 0) state.SkipWithError("a write failed");
}

// The reader's loop. `read` returns false when the buffer is empty and
// delivers the record's number and part lengths otherwise.
template <typename Read>
int read_records(Control *ctl, int32_t record, Read read) {
  unsigned char data[1024];
  uint64_t expect = 1;
  int64_t served = 0;
  int64_t errors = 0;
  int64_t idle = 0;
  Backoff backoff;
  for (;;) {
    uint64_t seq = 0;
    uint32_t msgLen = 0;
    uint32_t dataLen = 0;
    if (read(&seq, data, msgLen, dataLen)) {
      backoff.reset();
      if (seq != expect || msgLen != kSeqBytes ||
          dataLen != static_cast<uint32_t>(record - kSeqBytes)) {
        ++errors;
      }
      expect = seq + 1;
      ++served;
      continue;
    }
    // The writer raises the flag only once the buffer is drained.
    if (ctl->stop.load(std::memory_order_acquire) != 0) break;
    ++idle;
    backoff.pause();
  }
  ctl->served.store(served);
  ctl->errors.store(errors);
  ctl->idlePolls.store(idle);
  return 0;
}

// Waits until the partner has read everything, stops it and reports.
void finish_records(benchmark::State &state, Partner &partner, Control *ctl,
                    const RingIndices &ring) {
  if (!wait_for([&] { return ring.empty(); })) {
    state.SkipWithError("the reader did not drain the buffer");
  }
  stop_partner(
      state, partner, ctl, [] {}, state.iterations());
  const auto record = state.range(0);
  state.SetBytesProcessed(state.iterations() * record);
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["empty_reads/rec"] = benchmark::Counter(static_cast<double>(ctl->idlePolls.load()),
                                                         benchmark::Counter::kAvgIterations);
}

void cbuf_rw_zrdb(benchmark::State &state) {
  if (!prepare(state)) return;
  const auto record = static_cast<int32_t>(state.range(0));
  const int32_t id = cbuf_id(record);
  ZRDB_BLK_INFO blk{};
  if (zrdb_getUserBlkInfo(id, &blk) != 0 || blk.addr == nullptr) {
    state.SkipWithError("zrdb_getUserBlkInfo failed");
    return;
  }
  auto *hdr = static_cast<ZRDB_CBUF_HDR *>(blk.addr);
  const RingIndices ring{&hdr->rd, &hdr->wr, kSlots};
  {  // a run that ended badly may have left records
    unsigned char sink[1024];
    int32_t m = 0;
    int32_t d = 0;
    while (zrdb_cbufRead(id, sink, sizeof sink, sink, sizeof sink, &m, &d) == 0) {
    }
  }
  SharedMemory shm(sizeof(Control));
  Control *ctl = make_control(shm);
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl, id, record] {
    return read_records(
        ctl, record, [id](uint64_t *seq, unsigned char *data, uint32_t &msgLen, uint32_t &dataLen) {
          int32_t m = 0;
          int32_t d = 0;
          if (zrdb_cbufRead(id, seq, kSeqBytes, data, 1024, &m, &d) != 0) {
            return false;
          }
          msgLen = static_cast<uint32_t>(m);
          dataLen = static_cast<uint32_t>(d);
          return true;
        });
  });
  if (!started) return;
  write_records(state, ring, [id](const uint64_t *seq, const unsigned char *data, int32_t dsize) {
    return zrdb_cbufWrite(id, seq, kSeqBytes, data, dsize) == 0;
  });
  finish_records(state, partner, ctl, ring);
}

void cbuf_rw_raw(benchmark::State &state) {
  if (!prepare(state)) return;  // same setting as the ZRDB twin
  const auto record = static_cast<int32_t>(state.range(0));
  const int32_t elemSize = record + kSlotOverhead;
  ZRDB_BLK_INFO blk{};
  if (zrdb_getUserBlkInfo(cbuf_id(record), &blk) != 0 || blk.addr == nullptr) {
    state.SkipWithError("zrdb_getUserBlkInfo failed");
    return;
  }
  constexpr size_t kPage = 4096;
  const size_t cbufSlots = (reinterpret_cast<uintptr_t>(blk.addr) + sizeof(ZRDB_CBUF_HDR)) % kPage;
  const size_t at = (cbufSlots + kPage - sizeof(RawRing)) % kPage;
  SharedMemory ringMemory(at + sizeof(RawRing) + static_cast<size_t>(elemSize) * kSlots);
  SharedMemory shm(sizeof(Control));
  Control *ctl = make_control(shm);
  if (ringMemory.get() == nullptr) {
    state.SkipWithError("mmap of the ring failed");
    return;
  }
  auto *rawRing = reinterpret_cast<RawRing *>(ringMemory.as<unsigned char>() + at);
  rawRing->elemSize = elemSize;
  rawRing->count = kSlots;
  const RingIndices ring = rawRing->indices();
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl, rawRing, record] {
    return read_records(
        ctl, record,
        [rawRing](uint64_t *seq, unsigned char *data, uint32_t &msgLen, uint32_t &dataLen) {
          return rawRing->read(seq, kSeqBytes, data, 1024, msgLen, dataLen);
        });
  });
  if (!started) return;
  write_records(state, ring,
                [rawRing](const uint64_t *seq, const unsigned char *data, int32_t dsize) {
                  rawRing->write(seq, kSeqBytes, data, static_cast<uint32_t>(dsize));
                  return true;
                });
  finish_records(state, partner, ctl, ring);
}

// ---------------------------------------------------------------------------
// 3. Synchronous call: the caller hands a 64-byte message to the server
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
  SharedMemory shm(sizeof(Control));
  Control *ctl = make_control(shm);
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl] {
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
  SharedMemory shm(sizeof(Control) + sizeof(RawMessage));
  Control *ctl = make_control(shm);
  auto *slot = reinterpret_cast<RawMessage *>(shm.as<unsigned char>() + sizeof(Control));
  Partner partner;
  const bool started = start_partner(state, partner, ctl, [ctl, slot, request, ack] {
    int64_t served = 0;
    int64_t errors = 0;
    uint64_t expect = 1;
    for (;;) {
      if (wait_raw(request) != 0) {
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
    failed += wait_raw(ack) != 0;
  }
  stop_partner(
      state, partner, ctl, [request] { sem_post(request); }, state.iterations());
  if (failed != 0) state.SkipWithError("sem_post or sem_wait failed");
  set_round_trip_counters(state);
}

// Pairs run side by side so that both members see much the same machine
// load; the summary pairs them by name.
[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("sem_pingpong/zrdb", sem_pingpong_zrdb)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("sem_pingpong/raw", sem_pingpong_raw)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  for (const int64_t record : {64, 1024}) {
    benchmark::RegisterBenchmark("cbuf_rw/zrdb", cbuf_rw_zrdb)->Arg(record)->UseRealTime();
    benchmark::RegisterBenchmark("cbuf_rw/raw", cbuf_rw_raw)->Arg(record)->UseRealTime();
  }
  benchmark::RegisterBenchmark("call_sync/zrdb", call_sync_zrdb)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("call_sync/raw", call_sync_raw)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  return true;
}();

}  // namespace
}  // namespace zrdb::bench
