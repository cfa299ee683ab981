// zrdb/communication.hpp - handles of the communication items: semaphores,
// circular and message buffers, the call pattern, thread FIFOs, buffer
// pools, remote buffers and VLINK. Included by zrdb.hpp.
#ifndef ZRDB_COMMUNICATION_HPP
#define ZRDB_COMMUNICATION_HPP

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include <poll.h>

#include "core.hpp"

namespace zrdb {

// A semaphore item (a named semaphore shared by the processes).
class Semaphore : public detail::Handle<Semaphore, ZRDB_TYPE_SEMAP> {
 public:
  Semaphore() noexcept = default;
  // Raises the count by one.
  Status post() const noexcept { return Status(zrdb_semaPost(id_, 0)); }
  // Raises the count only to 1 (2 when it is 1 already): repeated posts
  // without a wait between them wake one waiter.
  Status post_binary() const noexcept { return Status(zrdb_semaPost(id_, 1)); }
  Status wait() const noexcept { return Status(zrdb_semaWait(id_)); }
  // -1 when the time passed. The C function takes 0 as "no limit": a zero
  // or negative time here tries once instead, and a time beyond its 32-bit
  // microseconds waits for as long as they reach.
  Status wait_for(std::chrono::microseconds time) const noexcept {
    const int64_t us = std::clamp<int64_t>(time.count(), 1, std::numeric_limits<uint32_t>::max());
    return Status(zrdb_semaWait_timeout_us(id_, static_cast<uint32_t>(us)));
  }
  Result<int32_t> value() const noexcept {
    int32_t count = 0;
    return detail::result(zrdb_semaGetValue(id_, &count), count);
  }

  // A semaphore used as a lock (initial value 1): held from lock() until the
  // Guard goes, which posts it back once, on every path out of the scope.
  class [[nodiscard]] Guard {
   public:
    Guard(Guard &&other) noexcept : id_(std::exchange(other.id_, -1)) {}
    Guard &operator=(Guard &&) = delete;
    ~Guard() {
      if (id_ >= 0) (void)zrdb_semaPost(id_, 0);
    }

   private:
    friend Semaphore;
    explicit Guard(int32_t id) noexcept : id_(id) {}
    int32_t id_;
  };
  Result<Guard> lock() const noexcept {
    const int rc = zrdb_semaWait(id_);
    return rc == 0 ? Result<Guard>(Guard(id_)) : Result<Guard>(Failure{rc});
  }
  // kErrTimeout when the lock was not free within `time`.
  Result<Guard> lock_for(std::chrono::microseconds time) const noexcept {
    const Status st = wait_for(time);
    if (!st) return Failure{st.error() == -1 ? kErrTimeout : st.error()};
    return Guard(id_);
  }

 private:
  using Handle::Handle;
};

// A circular buffer item: records of a message part and a data part.
class CircularBuffer : public detail::Handle<CircularBuffer, ZRDB_TYPE_CBUF> {
 public:
  struct Lengths {
    int32_t msg;
    int32_t data;
  };
  CircularBuffer() noexcept = default;
  // A full buffer is overwritten; -1 when the record does not fit a slot.
  Status write(std::span<const std::byte> msg, std::span<const std::byte> data) const noexcept {
    return Status(zrdb_cbufWrite(id_, detail::bytes(msg), detail::length(msg.size()),
                                 detail::bytes(data), detail::length(data.size())));
  }
  // The bytes delivered to each span; a part too big for its span is
  // skipped (length 0), the record consumed all the same. -1 when empty.
  Result<Lengths> read(std::span<std::byte> msg, std::span<std::byte> data) const noexcept {
    Lengths n{0, 0};
    return detail::result(
        zrdb_cbufRead(id_, detail::bytes(msg), detail::length(msg.size()), detail::bytes(data),
                      detail::length(data.size()), &n.msg, &n.data),
        n);
  }

 private:
  using Handle::Handle;
};

// One message of a message buffer.
struct Message {
  int32_t from = 0;  // the sending item
  int32_t arg = 0;
  int32_t size = 0;  // payload bytes, as the sender gave them
  std::array<std::byte, ZRDB_MSGBUF_PAYLOAD> payload{};
};

namespace detail {
// The C functions read a whole payload whatever its length: a shorter one
// is copied into a full one first. A longer one is refused (-1).
template <typename Send>
int with_payload(std::span<const std::byte> bytes, Send send) noexcept {
  if (bytes.size() > ZRDB_MSGBUF_PAYLOAD) return -1;
  std::array<std::byte, ZRDB_MSGBUF_PAYLOAD> whole{};
  if (!bytes.empty()) std::memcpy(whole.data(), bytes.data(), bytes.size());
  return send(whole.data(), static_cast<int32_t>(bytes.size()));
}
}  // namespace detail

// A message buffer item. An empty payload (or a zero sender) keeps what
// the slot held from its last use, as in the C function.
class MessageBuffer : public detail::Handle<MessageBuffer, ZRDB_TYPE_MSGBUF> {
 public:
  MessageBuffer() noexcept = default;
  Status write(int32_t from, int32_t arg, std::span<const std::byte> payload) const noexcept {
    return Status(detail::with_payload(
        payload, [&](const void *p, int32_t n) { return zrdb_msgbufWrite(id_, from, arg, n, p); }));
  }
  // -1 when empty.
  Result<Message> read() const noexcept {
    Message m;
    return detail::result(zrdb_msgbufRead(id_, &m.from, &m.arg, &m.size, m.payload.data()), m);
  }
  Status clear() const noexcept { return Status(zrdb_msgbufClear(id_)); }

 private:
  using Handle::Handle;
};

// An item whose realtime-control block names servers, and the call pattern
// through it: the payload goes to each server's message buffer, its request
// semaphore is posted and, for a synchronous call, its acknowledgement
// awaited. Resolution refuses an item without servers with -3, and one whose
// servers' items this process has not bound with kErrUnbound (item(): the
// one to list in the application file). A call fails with kErrTimeout when
// a server did not acknowledge, kErrNoServer when no server takes that kind
// of call (zrdb_callMsgbufWriteEx).
class Command {
 public:
  Command() noexcept = default;
  static Result<Command> at(int32_t id) noexcept {
    int32_t item = id;
    zrdb_symblink_check(id, 0, &item, nullptr);
    if (const int type = zrdb_getType(item); type < 0) return Failure{type};
    const ZRDB_RT_CTRL &rt = zrdb_getInfoHdr()->dit[item].desc->rt;
    const uint32_t entries = std::min<uint32_t>(rt.rtCount, ZRDB_RT_MAX);
    if (entries == 0) return Failure{-3};
    for (uint32_t i = 0; i < entries; ++i) {
      if (rt.rtA[i] == 0) continue;
      for (const int32_t server : {rt.rtA[i], rt.rtB[i], rt.rtC[i]}) {
        if (server == 0) continue;
        if (const Failure f = detail::check_bound(server); f.code != 0) return f;
      }
    }
    return Command(id);
  }
  static Result<Command> find(std::string_view name) noexcept {
    const int32_t id = detail::id_of(name);
    return id < 0 ? Result<Command>(Failure{id}) : at(id);
  }
  int32_t id() const noexcept { return id_; }
  // Synchronous, with each server's configured time-out.
  Status call(std::span<const std::byte> payload, int32_t arg = 0) const noexcept {
    return send(payload, arg, 1, ZRDB_CALL_CONFIGURED_TIMEOUT);
  }
  // Synchronous, with `timeout` for every server (negative: no limit).
  Status call_for(std::span<const std::byte> payload, int32_t arg,
                  std::chrono::milliseconds timeout) const noexcept {
    const auto ms = std::clamp<int64_t>(timeout.count(), -1, std::numeric_limits<int32_t>::max());
    return send(payload, arg, 1, static_cast<int32_t>(ms));
  }
  // Asynchronous: to the servers that take calls without acknowledgement.
  Status post(std::span<const std::byte> payload, int32_t arg = 0) const noexcept {
    return send(payload, arg, 0, ZRDB_CALL_CONFIGURED_TIMEOUT);
  }

 private:
  explicit Command(int32_t id) noexcept : id_(id) {}
  Status send(std::span<const std::byte> payload, int32_t arg, int32_t sync,
              int32_t timeoutMs) const noexcept {
    ZRDB_CALL_ENTRY entries[ZRDB_RT_MAX] = {};
    const int rc = detail::with_payload(payload, [&](const void *p, int32_t n) {
      return zrdb_callMsgbufWriteEx(id_, p, n, arg, sync, timeoutMs, entries);
    });
    int32_t unbound = -1;
    for (const ZRDB_CALL_ENTRY &e : entries) {
      if (rc == kErrUnbound && e.outcome == ZRDB_CALL_UNBOUND && unbound < 0) unbound = e.item;
    }
    return Status(rc, unbound);
  }
  int32_t id_ = -1;
};

// A ring-buffer pool item, opened by this process (bound through an id
// list). alloc() hands out a Bin, which gives its buffer back when it goes
// unless release() took the raw bin. A Bin goes to another thread of this
// process through ThreadFifo::put_bin and get_bin.
class BufferPool : public detail::Handle<BufferPool, ZRDB_TYPE_THRD_RBUF> {
 public:
  class Bin {
   public:
    Bin() noexcept = default;
    explicit Bin(ZRDB_RBUF_BIN *raw) noexcept : raw_(raw) {}
    Bin(Bin &&other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    Bin &operator=(Bin &&other) noexcept {
      if (this != &other) {
        (void)recycle();
        raw_ = std::exchange(other.raw_, nullptr);
      }
      return *this;
    }
    ~Bin() { (void)recycle(); }

    explicit operator bool() const noexcept { return raw_ != nullptr; }
    std::span<std::byte> data() const noexcept {
      if (raw_ == nullptr || raw_->size <= 0) return {};
      return {static_cast<std::byte *>(raw_->addr), static_cast<std::size_t>(raw_->size)};
    }
    ZRDB_RBUF_BIN *get() const noexcept { return raw_; }
    ZRDB_RBUF_BIN *release() noexcept { return std::exchange(raw_, nullptr); }
    // Gives the buffer back now; the Bin is empty afterwards whatever the result.
    Status recycle() noexcept {
      return raw_ != nullptr ? Status(zrdb_rbuf_recycle(std::exchange(raw_, nullptr))) : Status();
    }

   private:
    ZRDB_RBUF_BIN *raw_ = nullptr;
  };

  BufferPool() noexcept = default;
  // -1 when no buffer is free (or the pool is not open here).
  Result<Bin> alloc() const noexcept {
    ZRDB_RBUF_BIN *raw = zrdb_rbuf_alloc(id_);
    return raw != nullptr ? Result<Bin>(Bin(raw)) : Result<Bin>(Failure{-1});
  }
  // Marks every buffer free: Bins still held must be released, not recycled.
  Status reset() const noexcept { return Status(zrdb_rbuf_reset(id_)); }

 private:
  using Handle::Handle;
};

// A thread FIFO item, opened by this process (bound through an id list):
// N FIFOs between the threads of this process. Each call names one of them
// by its queue number, 0..N-1. A get waits for `bytes.size()` bytes.
class ThreadFifo : public detail::Handle<ThreadFifo, ZRDB_TYPE_THRD_FIFO> {
 public:
  ThreadFifo() noexcept = default;
  Status put(int32_t queue, std::span<const std::byte> bytes) const noexcept {
    return Status(
        zrdb_tfifo_putdata(id_, queue, detail::bytes(bytes), detail::length(bytes.size())));
  }
  Status get(int32_t queue, std::span<std::byte> bytes) const noexcept {
    return Status(
        zrdb_tfifo_getdata(id_, queue, detail::bytes(bytes), detail::length(bytes.size())));
  }
  // As get, but kErrTimeout when nothing arrives within `timeout` (zero:
  // only what is queued now). The wait is for the first byte: with several
  // readers of one queue, another may take it and this get then blocks.
  Status get_for(int32_t queue, std::span<std::byte> bytes,
                 std::chrono::milliseconds timeout) const noexcept {
    const Result<int> fd = read_fd(queue);
    if (!fd) return fd.status();
    pollfd p{*fd, POLLIN, 0};
    const auto ms = std::clamp<int64_t>(timeout.count(), 0, std::numeric_limits<int>::max());
    const int ready = ::poll(&p, 1, static_cast<int>(ms));
    if (ready < 0) return Status(-1);
    return ready == 0 ? Status(kErrTimeout) : get(queue, bytes);
  }
  // A pool's bin to another thread: the FIFO carries its address, so both
  // ends must be in this process and the queue carry nothing but bins. The
  // Bin is given up only when the put succeeds.
  Status put_bin(int32_t queue, BufferPool::Bin &bin) const noexcept {
    ZRDB_RBUF_BIN *raw = bin.get();
    if (raw == nullptr) return Status(-1);
    const Status st = put(queue, std::as_bytes(std::span(&raw, 1)));
    if (st) (void)bin.release();
    return st;
  }
  // The bin the other end put; it goes back to its pool with the Bin.
  Result<BufferPool::Bin> get_bin(int32_t queue) const noexcept {
    ZRDB_RBUF_BIN *raw = nullptr;
    const Status st = get(queue, std::as_writable_bytes(std::span(&raw, 1)));
    if (!st) return Failure{st.error()};
    return BufferPool::Bin(raw);
  }
  // The descriptors, for poll(): data comes out of read_fd, goes into write_fd.
  Result<int> read_fd(int32_t queue) const noexcept { return fd(zrdb_tfifo_getFd(id_, queue, 1)); }
  Result<int> write_fd(int32_t queue) const noexcept { return fd(zrdb_tfifo_getFd(id_, queue, 0)); }

 private:
  using Handle::Handle;
  static Result<int> fd(int rc) noexcept { return rc >= 0 ? Result<int>(rc) : Failure{rc}; }
};

// A remote buffer item (rmtbuf or vlinkbuf): one UDP endpoint.
class RemoteBuffer : public detail::Handle<RemoteBuffer, ZRDB_TYPE_RMTBUF, ZRDB_TYPE_VLINKBUF> {
 public:
  RemoteBuffer() noexcept = default;
  // The length of one datagram received into buf, waiting up to 1 second.
  Result<int32_t> read(std::span<std::byte> buf) const noexcept {
    int32_t n = 0;
    return detail::result(zrdb_rmtbufRead(id_, detail::bytes(buf), detail::length(buf.size()), &n),
                          n);
  }
  Status write(std::span<const std::byte> buf) const noexcept {
    return Status(zrdb_rmtbufWrite(id_, detail::bytes(buf), detail::length(buf.size())));
  }

 private:
  using Handle::Handle;
};

// A VLINK item: items of peer systems through the link daemon. link is the
// link number, item and idx the peer's item and element.
class Vlink : public detail::Handle<Vlink, ZRDB_TYPE_VLINKMST, ZRDB_TYPE_VLINKSLV> {
 public:
  Vlink() noexcept = default;
  Status get_value(int32_t link, int32_t item, int32_t idx, std::span<std::byte> buf,
                   int32_t aux = 0) const noexcept {
    return Status(zrdb_VLINKGetValue(id_, link, aux, item, idx, detail::bytes(buf),
                                     detail::length(buf.size())));
  }
  Status set_value(int32_t link, int32_t item, int32_t idx, std::span<const std::byte> buf,
                   int32_t aux = 0) const noexcept {
    return Status(zrdb_VLINKSetValue(id_, link, aux, item, idx, detail::bytes(buf),
                                     detail::length(buf.size())));
  }
  // The link's state word (1 = up).
  Result<int32_t> status(int32_t link) const noexcept {
    int32_t state = 0;
    return detail::result(zrdb_VLINKGetStatus(id_, link, &state), state);
  }
  Status set_status(int32_t link, int32_t state) const noexcept {
    return Status(zrdb_VLINKSetStatus(id_, link, state));
  }

 private:
  using Handle::Handle;
};

}  // namespace zrdb

#endif  // ZRDB_COMMUNICATION_HPP
