// Circular buffer items: N slots of E bytes holding two-part records (a
// message part and a data part) behind a header of read/write indices and
// statistics. One writer and one reader at a time; a full buffer is
// overwritten, never refused.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "access/dispatch.h"
#include "core.h"
#include "types/copy_bytes.h"
#include "types/shared_word.h"
#include "types/slot_ring.h"

namespace zrdb {
namespace {

static_assert(sizeof(ZRDB_CBUF_HDR) == 20);
static_assert(offsetof(ZRDB_CBUF_HDR, rd) == 0);
static_assert(offsetof(ZRDB_CBUF_HDR, wr) == 4);
static_assert(offsetof(ZRDB_CBUF_HDR, of) == 8);
static_assert(offsetof(ZRDB_CBUF_HDR, uf) == 12);
static_assert(offsetof(ZRDB_CBUF_HDR, mbl) == 16);
static_assert(sizeof(ZRDB_CBUF_SLOT) == 8);
static_assert(offsetof(ZRDB_CBUF_SLOT, msgLen) == 0);
static_assert(offsetof(ZRDB_CBUF_SLOT, dataLen) == 4);
// The indices are shared between processes: the atomics must be plain words.
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<int32_t>::required_alignment == alignof(int32_t));

// Slot head plus the 4 bytes at the end of every slot that stay unused.
constexpr int32_t kSlotOverhead = 12;

// Slots start at 20 + i*E; the reader's room per slot leaves the last 4
// bytes unused.
struct Cbuf : SlotRing<ZRDB_CBUF_HDR> {
  // Largest message plus data a slot carries.
  uint32_t room() const { return static_cast<uint32_t>(elemSize - kSlotOverhead); }
};

Cbuf view(const ZRDB_DIT *dit) { return {SlotRing<ZRDB_CBUF_HDR>::view(dit)}; }

// An increment of a counter that only one side writes (uf the reader, of
// the writer): the ordinary increment the statistics call for, without a
// locked instruction on the header's cache line, which the other side is
// using at the same moment.
void bump(uint32_t &counter) { store(counter, load(counter) + 1); }

uint32_t slot_field(const unsigned char *slot, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, slot + offset, sizeof value);
  return value;
}

void set_slot_field(unsigned char *slot, size_t offset, uint32_t value) {
  std::memcpy(slot + offset, &value, sizeof value);
}

int write_record(const Cbuf &cb, const ZRDB_CBUF_PARA &p, const char *func) {
  // Only this writer stores wr; rd is read again once the record is published.
  const int32_t wr = index_ref(cb.hdr->wr).load(std::memory_order_relaxed);
  if (!cb.index_ok(wr, p.did, func)) return ZRDB_ERR_CORRUPT;
  unsigned char *slot = cb.slot(wr);
  if (p.msg == nullptr || static_cast<uint32_t>(p.msize) > cb.room()) {
    log_message(LogLevel::Warn, func, "ZRDBDID[%d]:Null buffer or msize is too big(%d)\n", p.did,
                p.msize);
    set_slot_field(slot, offsetof(ZRDB_CBUF_SLOT, msgLen), 0);
    return -1;
  }
  const auto msize = static_cast<uint32_t>(p.msize);
  copy_part(slot + sizeof(ZRDB_CBUF_SLOT), p.msg, msize);
  set_slot_field(slot, offsetof(ZRDB_CBUF_SLOT, msgLen), msize);
  if (p.data == nullptr || static_cast<uint32_t>(p.dsize) > cb.room() - msize) {
    log_message(LogLevel::Warn, func, "ZRDBDID[%d]:Null buffer or dsize is too big(%d)\n", p.did,
                p.dsize);
    set_slot_field(slot, offsetof(ZRDB_CBUF_SLOT, dataLen), 0);
    return -1;
  }
  const auto dsize = static_cast<uint32_t>(p.dsize);
  copy_part(slot + sizeof(ZRDB_CBUF_SLOT) + msize, p.data, dsize);
  set_slot_field(slot, offsetof(ZRDB_CBUF_SLOT, dataLen), dsize);

  // Publish: the slot's bytes happen before the reader's acquire of wr.
  const int32_t next = cb.next(wr);
  index_ref(cb.hdr->wr).store(next, std::memory_order_release);
  const int32_t rd = index_ref(cb.hdr->rd).load(std::memory_order_acquire);
  // A damaged rd only skews the statistics; the level stays in 0..N-1.
  int32_t level = 0;
  if (cb.index_ok(rd, p.did, func)) {
    level = next - rd;  // (next + N - rd) mod N, both indices being in 0..N-1
    if (level < 0) level += cb.count;
  }
  if (static_cast<uint32_t>(level) > load(cb.hdr->mbl)) store(cb.hdr->mbl, level);
  if (level + 1 >= cb.count) bump(cb.hdr->of);
  return 0;
}

int read_record(const Cbuf &cb, ZRDB_CBUF_PARA &p, const char *func) {
  // Only this reader stores rd; wr is acquired so the slot is complete.
  const int32_t rd = index_ref(cb.hdr->rd).load(std::memory_order_relaxed);
  const int32_t wr = index_ref(cb.hdr->wr).load(std::memory_order_acquire);
  if (rd == wr) {
    bump(cb.hdr->uf);
    return -1;
  }
  if (!cb.index_ok(rd, p.did, func)) return ZRDB_ERR_CORRUPT;
  const unsigned char *slot = cb.slot(rd);
  // A well-formed record always fits; the bounds only keep a slot torn by
  // an overrun writer from being read past its end.
  const uint32_t msgLen = std::min(slot_field(slot, offsetof(ZRDB_CBUF_SLOT, msgLen)), cb.room());
  const uint32_t dataLen =
      std::min(slot_field(slot, offsetof(ZRDB_CBUF_SLOT, dataLen)), cb.room() - msgLen);
  const unsigned char *message = slot + sizeof(ZRDB_CBUF_SLOT);
  if (p.msg != nullptr && msgLen <= static_cast<uint32_t>(p.msize)) {
    copy_part(p.msg, message, msgLen);
    p.msgLen = static_cast<int32_t>(msgLen);
  } else {
    log_message(LogLevel::Warn, func, "ZRDBDID[%d]:Null buffer or msize is too small(%d)\n", p.did,
                p.msize);
  }
  if (p.data != nullptr && dataLen <= static_cast<uint32_t>(p.dsize)) {
    copy_part(p.data, message + msgLen, dataLen);
    p.dataLen = static_cast<int32_t>(dataLen);
  } else {
    log_message(LogLevel::Warn, func, "ZRDBDID[%d]:Null buffer or or dsize is too small(%d)\n",
                p.did, p.dsize);
  }
  // Consumed even when a part could not be delivered. The release keeps the
  // copies above from being overtaken by a writer that reuses the slot.
  index_ref(cb.hdr->rd).store(cb.next(rd), std::memory_order_release);
  return 0;
}

// The dispatch of both access functions, inlined into each: the
// out-of-line call_ctrl would take the type as a variable and cost a call
// on every record, and the request is built only on the checked path.
[[gnu::always_inline]] inline int call_cbuf(const char *caller, int32_t did, int32_t op,
                                            ZRDB_CBUF_PARA *p) {
  return call_ctrl(
      [caller, did] {
        return Request{
            .caller = caller, .id = did, .inactive = Inactive::Unchecked, .type = ZRDB_TYPE_CBUF};
      },
      op, reinterpret_cast<intptr_t>(p));
}

}  // namespace
}  // namespace zrdb

extern "C" {

int zrdbcbuf_create(ZRDB_DIT *dit) {
  // Only the header is set: a buffer whose slots cannot carry a record is
  // still created, and refused when it is used.
  ZRDB_CBUF_HDR *hdr = zrdb::view(dit).hdr;
  for (uint32_t *counter : {&hdr->of, &hdr->uf, &hdr->mbl}) zrdb::store(*counter, 0);
  zrdb::index_ref(hdr->rd).store(0, std::memory_order_release);
  zrdb::index_ref(hdr->wr).store(0, std::memory_order_release);
  return 0;
}

int zrdbcbuf_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  auto *p = reinterpret_cast<ZRDB_CBUF_PARA *>(para);
  if (op != ZRDBCBUFOP_READ && op != ZRDBCBUFOP_WRITE) {
    ZRDB_LOG(Warn, "CBUF_CTRL: invalid operation(%d)\n", op);
    return -1;
  }
  if (p == nullptr) return -1;
  // The geometry checked at bind bounds every slot address; rd and wr, read
  // from the header on every call, are range-checked against it each time.
  zrdb::BoundGeometry geometry{};
  if (!zrdb::bound_geometry_or_log(dit, geometry, __func__)) return ZRDB_ERR_CORRUPT;
  if (!zrdb::geometry_ok(geometry, zrdb::kSlotOverhead, "circular buffer", __func__)) return -1;
  p->did = geometry.did;
  const zrdb::Cbuf cb{zrdb::SlotRing<ZRDB_CBUF_HDR>::view(geometry)};
  return op == ZRDBCBUFOP_WRITE ? zrdb::write_record(cb, *p, __func__)
                                : zrdb::read_record(cb, *p, __func__);
}

int zrdbcbuf_print(ZRDB_DIT *dit, int32_t mode) {
  ZRDB_CBUF_HDR *hdr = zrdb::view(dit).hdr;
  if (mode == 2) {
    // Resets the statistics only; queued records stay.
    for (uint32_t *counter : {&hdr->of, &hdr->uf, &hdr->mbl}) zrdb::store(*counter, 0);
    return 0;
  }
  std::printf("%-32.31s= Circular Buffer, size(%d*%d Bytes), OF(%d),UF(%d),MBL(%d)\n",
              dit->desc->name, dit->desc->elemSize, dit->desc->count,
              static_cast<int>(zrdb::load(hdr->of)), static_cast<int>(zrdb::load(hdr->uf)),
              static_cast<int>(zrdb::load(hdr->mbl)));
  return 0;
}

int zrdb_cbufWrite(int32_t did, const void *msg, int32_t msize, const void *data, int32_t dsize) {
  // The block serves both directions; a write only reads through it.
  ZRDB_CBUF_PARA p{const_cast<void *>(msg), msize, const_cast<void *>(data), dsize, 0, 0, did};
  return zrdb::call_cbuf(__func__, did, ZRDBCBUFOP_WRITE, &p);
}

int zrdb_cbufRead(int32_t did, void *msg, int32_t msize, void *data, int32_t dsize, int32_t *msgLen,
                  int32_t *dataLen) {
  ZRDB_CBUF_PARA p{msg, msize, data, dsize, 0, 0, did};
  const int rc = zrdb::call_cbuf(__func__, did, ZRDBCBUFOP_READ, &p);
  if (rc != 0) return rc;
  if (msgLen != nullptr) *msgLen = p.msgLen;
  if (dataLen != nullptr) *dataLen = p.dataLen;
  return 0;
}

}  // extern "C"
