// Message buffer items: N slots of fixed-form messages (sender, argument,
// payload length, 64-byte payload) behind read/write indices, and the call
// pattern that posts a message to each server named by the calling item's
// realtime-control block and waits for the server's acknowledgement.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "access/dispatch.h"
#include "types/slot_ring.h"

namespace zrdb {
namespace {

static_assert(sizeof(ZRDB_MSGBUF_HDR) == 8);
static_assert(offsetof(ZRDB_MSGBUF_HDR, rd) == 0);
static_assert(offsetof(ZRDB_MSGBUF_HDR, wr) == 4);
static_assert(sizeof(ZRDB_MSGBUF_MSG) == 76);
static_assert(offsetof(ZRDB_MSGBUF_MSG, from) == 0);
static_assert(offsetof(ZRDB_MSGBUF_MSG, arg) == 4);
static_assert(offsetof(ZRDB_MSGBUF_MSG, msize) == 8);
static_assert(offsetof(ZRDB_MSGBUF_MSG, payload) == 12);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(std::atomic_ref<int32_t>::required_alignment == alignof(int32_t));

constexpr int32_t kMinSlot = static_cast<int32_t>(sizeof(ZRDB_MSGBUF_MSG));

using Msgbuf = SlotRing<ZRDB_MSGBUF_HDR>;

void put(unsigned char *slot, size_t offset, const void *src, size_t n) {
  std::memcpy(slot + offset, src, n);
}

void get(const unsigned char *slot, size_t offset, void *dst, size_t n) {
  std::memcpy(dst, slot + offset, n);
}

void reset(const Msgbuf &mb) {
  index_ref(mb.hdr->rd).store(0, std::memory_order_release);
  index_ref(mb.hdr->wr).store(0, std::memory_order_release);
}

int write_message(const Msgbuf &mb, const ZRDB_MSGBUF_PARA &p, int32_t did, const char *func) {
  if (p.from == nullptr || p.arg == nullptr || p.msize == nullptr) {
    std::printf("WARNING: Null buffer ");
    return -1;
  }
  // Only this writer stores wr.
  const int32_t wr = index_ref(mb.hdr->wr).load(std::memory_order_relaxed);
  if (!mb.index_ok(wr, did, func)) return ZRDB_ERR_CORRUPT;
  unsigned char *slot = mb.slot(wr);
  // A zero sender or length keeps what the slot held from its last use.
  if (*p.from != 0) put(slot, offsetof(ZRDB_MSGBUF_MSG, from), p.from, sizeof(int32_t));
  put(slot, offsetof(ZRDB_MSGBUF_MSG, arg), p.arg, sizeof(int32_t));
  if (*p.msize != 0) {
    if (p.payload == nullptr) {
      std::printf("WARNING: Null buffer or msize is too big");
      return -1;
    }
    put(slot, offsetof(ZRDB_MSGBUF_MSG, msize), p.msize, sizeof(int32_t));
    put(slot, offsetof(ZRDB_MSGBUF_MSG, payload), p.payload, ZRDB_MSGBUF_PAYLOAD);
  }
  // Publish: the slot's bytes happen before the reader's acquire of wr.
  const int32_t next = (wr + 1) % mb.count;
  index_ref(mb.hdr->wr).store(next, std::memory_order_release);
  if (next == index_ref(mb.hdr->rd).load(std::memory_order_acquire)) {
    std::printf("WARNING MSG BUF is gonna be overwritten");
  }
  return 0;
}

int read_message(const Msgbuf &mb, const ZRDB_MSGBUF_PARA &p, int32_t did, const char *func) {
  // Only this reader stores rd; wr is acquired so the slot is complete.
  const int32_t rd = index_ref(mb.hdr->rd).load(std::memory_order_relaxed);
  if (rd == index_ref(mb.hdr->wr).load(std::memory_order_acquire)) return -1;
  if (p.from == nullptr || p.arg == nullptr || p.msize == nullptr || p.payload == nullptr) {
    std::printf("WARNING: Null buffer ");
    return -1;
  }
  if (!mb.index_ok(rd, did, func)) return ZRDB_ERR_CORRUPT;
  const unsigned char *slot = mb.slot(rd);
  get(slot, offsetof(ZRDB_MSGBUF_MSG, from), p.from, sizeof(int32_t));
  get(slot, offsetof(ZRDB_MSGBUF_MSG, arg), p.arg, sizeof(int32_t));
  get(slot, offsetof(ZRDB_MSGBUF_MSG, msize), p.msize, sizeof(int32_t));
  get(slot, offsetof(ZRDB_MSGBUF_MSG, payload), p.payload, ZRDB_MSGBUF_PAYLOAD);
  // The release keeps the copies above from being overtaken by a writer
  // that reuses the slot.
  index_ref(mb.hdr->rd).store((rd + 1) % mb.count, std::memory_order_release);
  return 0;
}

// The acknowledge semaphore's count; a count that cannot be read is 0.
int32_t sem_count(int32_t sem) {
  int32_t value = 0;
  if (zrdb_semaGetValue(sem, &value) != 0) return 0;
  return value;
}

// Waits up to `timeoutMs` for the acknowledgement and returns the count
// seen (0: none came). The window is that of polling the count every 200 us,
// (t*1000)/200 polls, but the wait blocks on the semaphore with a deadline on
// the monotonic clock (after polling for the spin budget, see
// platform/semaphore.h): the answer is seen the moment it is posted, and
// setting the system time neither shortens nor stretches the window. A
// taken acknowledgement counts as seen and is not given back; the caller's
// consume step drains the rest.
int32_t await_window(int32_t ack, int32_t timeoutMs) {
  constexpr uint64_t kPollUs = 200;
  const uint64_t windowUs = uint64_t(timeoutMs) * 1000 / kPollUs * kPollUs;
  if (windowUs > 0 && semaphore_item_wait_monotonic(ack, windowUs) == 0) return 1;
  return sem_count(ack);
}

// Drains an acknowledgement left over from an earlier call, so that the
// wait below sees only the answer to this message.
void cleanup_last_reading(int32_t ack) {
  for (int32_t v = sem_count(ack); v != 0; v = sem_count(ack)) {
    std::printf("[%-4d|%s] zrdid_ro:%d, sem_val:%d -- cleanup last reading\n", __LINE__,
                base_name(__FILE__), ack, v);
    zrdb_semaWait(ack);
  }
}

// True when the acknowledgement came (and was consumed).
bool await_ack(int32_t did, int32_t ack, int32_t timeoutMs) {
  int32_t v = 0;
  if (timeoutMs < 0) {
    zrdb_semaWait(ack);
    v = sem_count(ack);
  } else if (timeoutMs >= 1) {
    v = await_window(ack, timeoutMs);
  } else {
    v = sem_count(ack);
  }
  if (v == 0) {
    std::printf("[%-4d|%s] %d time out read\n", __LINE__, base_name(__FILE__), did);
    return false;
  }
  // Consume the acknowledgement: the semaphore ends drained to 0.
  while (sem_count(ack) != 0) zrdb_semaWait(ack);
  return true;
}

// The first item of the entry that this process has not bound, or -1. A
// call through it would reach nothing and could only time out.
int32_t unbound_item(const int32_t (&items)[3]) {
  for (const int32_t item : items) {
    if (item != 0 && zrdb_checkBound(item) != 0) return item;
  }
  return -1;
}

struct CallOptions {
  const int32_t *timeoutMs;  // replaces every entry's time-out when given
  bool checkBound;           // skip (and report) entries not bound here
};

// The call pattern; `out`, when given, receives each entry's outcome.
int call_servers(const char *caller, int32_t did, const void *payload, int32_t msize, int32_t arg,
                 int32_t sync, CallOptions opt, ZRDB_CALL_ENTRY (&out)[ZRDB_RT_MAX]) {
  for (ZRDB_CALL_ENTRY &e : out) e = {ZRDB_CALL_SKIPPED, -1};
  Target t{};
  if (const int rc = resolve({.caller = caller, .id = did, .inactive = Inactive::Unchecked}, t);
      rc != 0)
    return rc;
  did = t.id;
  const ZRDB_RT_CTRL &rt = t.desc->rt;
  const uint32_t entries = std::min<uint32_t>(rt.rtCount, ZRDB_RT_MAX);
  for (uint32_t i = 0; i < entries; ++i) {
    const int32_t mb = rt.rtA[i];
    const int32_t req = rt.rtB[i];
    const int32_t ack = rt.rtC[i];
    const int32_t timeout = opt.timeoutMs != nullptr ? *opt.timeoutMs : rt.rtTimeout[i];
    if (mb == 0) continue;
    // An asynchronous call leaves a synchronous server's acknowledgement
    // raised, as if it had answered.
    if (sync == 0 && ack != 0 && sem_count(ack) == 0) zrdb_semaPost(ack, 0);
    // An entry with an acknowledge semaphore serves synchronous calls only,
    // one without it asynchronous calls only.
    if (!((sync == 1 && ack != 0) || (sync == 0 && ack == 0))) continue;
    if (opt.checkBound) {
      if (const int32_t item = unbound_item({mb, req, ack}); item >= 0) {
        const char *name = zrdb_getName(item);
        ZRDB_LOG(Warn,
                 "call of item %d: item %d (%.*s) is not bound in this process: list it in "
                 "the application file\n",
                 did, item, ZRDB_ITEM_NAME_LEN - 1, name != nullptr ? name : "?");
        out[i] = {ZRDB_CALL_UNBOUND, item};
        continue;
      }
    }
    zrdb_msgbufWrite(mb, did, arg, msize, payload);
    if (ack != 0) cleanup_last_reading(ack);
    zrdb_semaPost(req, 0);
    if (ack == 0) {
      out[i].outcome = ZRDB_CALL_SENT;
    } else {
      out[i].outcome = await_ack(did, ack, timeout) ? ZRDB_CALL_ACKNOWLEDGED : ZRDB_CALL_TIMED_OUT;
    }
  }
  return 0;
}

// The result of a call from its entries' outcomes: an unbound entry first,
// since it says what to fix; then a time-out; a call nobody takes fails.
int call_result(const ZRDB_CALL_ENTRY (&out)[ZRDB_RT_MAX]) {
  bool served = false, timedOut = false;
  for (const ZRDB_CALL_ENTRY &e : out) {
    if (e.outcome == ZRDB_CALL_UNBOUND) return ZRDB_ERR_UNBOUND;
    timedOut |= e.outcome == ZRDB_CALL_TIMED_OUT;
    served |= e.outcome != ZRDB_CALL_SKIPPED;
  }
  if (timedOut) return ZRDB_ERR_TIMEOUT;
  return served ? 0 : ZRDB_ERR_NO_SERVER;
}

}  // namespace
}  // namespace zrdb

extern "C" {

int zrdbmsgbuf_create(ZRDB_DIT *dit) {
  // Slots too small for a message are refused when used, not here.
  zrdb::reset(zrdb::Msgbuf::view(dit));
  return 0;
}

int zrdbmsgbuf_free(ZRDB_DIT *dit) {
  zrdb::reset(zrdb::Msgbuf::view(dit));
  return 0;
}

int zrdbmsgbuf_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  const auto *p = reinterpret_cast<const ZRDB_MSGBUF_PARA *>(para);
  if (op != ZRDBMSGBUFOP_READ && op != ZRDBMSGBUFOP_WRITE) {
    std::printf("MSGBUF_CTRL: invalid operation(%d)\n", op);
    return -1;
  }
  // Items of a database whose allocation refused them may still be bound
  // by other processes: refuse here too.
  if (p == nullptr || !zrdb::geometry_ok(dit->desc, zrdb::kMinSlot, "message buffer", __func__))
    return -1;
  const zrdb::Msgbuf mb = zrdb::Msgbuf::view(dit);
  const int32_t did = dit->desc->did;
  return op == ZRDBMSGBUFOP_WRITE ? zrdb::write_message(mb, *p, did, __func__)
                                  : zrdb::read_message(mb, *p, did, __func__);
}

int zrdbmsgbuf_print(ZRDB_DIT *dit, int32_t /*mode*/) {
  std::printf("%-32.31s= Circular MSG Buffer, size(%d*%d Bytes)\n", dit->desc->name,
              dit->desc->elemSize, dit->desc->count);
  return 0;
}

int zrdb_msgbufWrite(int32_t did, int32_t from, int32_t arg, int32_t msize, const void *payload) {
  // The block serves both directions; a write only reads through it.
  const ZRDB_MSGBUF_PARA p{&from, &arg, &msize, const_cast<void *>(payload)};
  return zrdb::call_ctrl(__func__, did, ZRDB_TYPE_MSGBUF, ZRDBMSGBUFOP_WRITE,
                         reinterpret_cast<intptr_t>(&p));
}

int zrdb_msgbufRead(int32_t did, int32_t *from, int32_t *arg, int32_t *msize, void *payload) {
  const ZRDB_MSGBUF_PARA p{from, arg, msize, payload};
  return zrdb::call_ctrl(__func__, did, ZRDB_TYPE_MSGBUF, ZRDBMSGBUFOP_READ,
                         reinterpret_cast<intptr_t>(&p));
}

int zrdb_msgbufClear(int32_t did) {
  const zrdb::Request rq{.caller = __func__,
                         .id = did,
                         .inactive = zrdb::Inactive::Unchecked,
                         .type = ZRDB_TYPE_MSGBUF};
  zrdb::Target t{};
  if (const int rc = zrdb::resolve(rq, t); rc != 0) return rc;
  std::printf("1-2\n");
  // Bound means a d_ctrl of this process; d_free is what empties the buffer.
  if (zrdb::bound_handler(rq, t, &ZRDB_ITEM_OPS::d_ctrl) == nullptr || !zrdb::type_ok(rq, t))
    return -3;
  const auto free = zrdb::bound_handler(rq, t, &ZRDB_ITEM_OPS::d_free);
  if (free == nullptr) return -3;
  std::printf("1-3\n");
  return free(&zrdbIndexHdr.dit[t.id]);
}

int zrdb_callMsgbufWrite(int32_t did, const void *payload, int32_t msize, int32_t arg,
                         int32_t sync) {
  ZRDB_CALL_ENTRY out[ZRDB_RT_MAX];
  return zrdb::call_servers(__func__, did, payload, msize, arg, sync, {nullptr, false}, out);
}

int zrdb_callMsgbufWriteTimeout(int32_t did, const void *payload, int32_t msize, int32_t arg,
                                int32_t sync, int32_t timeoutMs) {
  ZRDB_CALL_ENTRY out[ZRDB_RT_MAX];
  return zrdb::call_servers(__func__, did, payload, msize, arg, sync, {&timeoutMs, false}, out);
}

int zrdb_callMsgbufWriteEx(int32_t did, const void *payload, int32_t msize, int32_t arg,
                           int32_t sync, int32_t timeoutMs, ZRDB_CALL_ENTRY *entries) {
  ZRDB_CALL_ENTRY out[ZRDB_RT_MAX];
  const int32_t *timeout = timeoutMs >= -1 ? &timeoutMs : nullptr;
  int rc = zrdb::call_servers(__func__, did, payload, msize, arg, sync, {timeout, true}, out);
  if (rc == 0) rc = zrdb::call_result(out);
  if (entries != nullptr) std::memcpy(entries, out, sizeof out);
  return rc;
}

}  // extern "C"
