// Thread FIFO items: up to 100 numbered pipes between the threads of the
// one process that opened the item. The pipes, their mutexes and the
// pending counts live in that process; the owner's name and each FIFO's
// statistics and trace level live in the data area, where any process can
// print and reset them.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "access/dispatch.h"
#include "platform/fifo.h"
#include "platform/item_lock.h"
#include "platform/sys_cause.h"
#include "types/shared_word.h"

namespace zrdb {
namespace {

static_assert(sizeof(ZRDB_TFIFO_HDR) == 64);
static_assert(offsetof(ZRDB_TFIFO_HDR, owner) == 0);
static_assert(sizeof(ZRDB_TFIFO_STAT) == 20);
static_assert(offsetof(ZRDB_TFIFO_STAT, reserved) == 0);
static_assert(offsetof(ZRDB_TFIFO_STAT, mbc) == 4);
static_assert(offsetof(ZRDB_TFIFO_STAT, maxSize) == 8);
static_assert(offsetof(ZRDB_TFIFO_STAT, minSize) == 12);
static_assert(offsetof(ZRDB_TFIFO_STAT, trace) == 16);

constexpr int32_t kMinSizeArmed = 999999;

constexpr size_t kCacheLine = 64;

struct FifoEntry {
  int32_t fd[2];          // read end, write end
  pthread_mutex_t mutex;  // held by every put across its write
  // Bytes put and bytes got, as this process counts them; pending is their
  // difference. Atomic, so that a get never waits for the mutex (a put
  // blocked on a full pipe holds it, and only a get that goes on reading
  // can unblock it), and on lines of their own, so that the putting and the
  // getting thread do not pass one cache line back and forth.
  alignas(kCacheLine) std::atomic<int32_t> putBytes;
  alignas(kCacheLine) std::atomic<int32_t> gotBytes;
};

// One block: this head, then `count` entries.
struct alignas(kCacheLine) FifoContext {
  int32_t lockFd;
  int32_t count;  // entries made at open; bounds every index with the record's
  FifoEntry *entries;
};

FifoContext *context(const ZRDB_DIT *dit) { return reinterpret_cast<FifoContext *>(dit->para); }

ZRDB_TFIFO_HDR *header(const ZRDB_DIT *dit) {
  return reinterpret_cast<ZRDB_TFIFO_HDR *>(item_data(dit));
}

ZRDB_TFIFO_STAT &stat_of(const ZRDB_DIT *dit, int32_t index) {
  return reinterpret_cast<ZRDB_TFIFO_STAT *>(item_data(dit) + sizeof(ZRDB_TFIFO_HDR))[index];
}

bool index_ok(const ZRDB_DIT *dit, int32_t limit, int32_t index, const char *func) {
  if (index >= 0 && index < limit) return true;
  log_message(LogLevel::Err, func, "ZRDB(%d):index out of range(%d)\n", dit->desc->did, index);
  return false;
}

// Closes the pipes and mutexes of the first `made` entries, the lock, and
// frees the block.
void release(FifoContext *ctx, int32_t made) {
  for (int32_t i = 0; i < made; ++i) {
    close(ctx->entries[i].fd[0]);
    close(ctx->entries[i].fd[1]);
    pthread_mutex_destroy(&ctx->entries[i].mutex);
  }
  item_lock_release(ctx->lockFd);
  std::free(ctx);
}

int get_data(const ZRDB_DIT *dit, FifoEntry &e, ZRDB_TFIFO_STAT &st, const ZRDB_TFIFO_PARA &p,
             const char *func) {
  int rc = 0;
  if (read_once(e.fd[0], p.buf, static_cast<size_t>(p.size)) != p.size) {
    log_message(LogLevel::Err, func, "ZRDB(%d):pipe read failed\n", dit->desc->did);
    rc = -1;
  }
  e.gotBytes.fetch_add(p.size, std::memory_order_relaxed);
  if (load(st.trace) == 1) log_debug(1, func, "FIFO(%d), Get Data bytes(%d)\n", p.index, p.size);
  return rc;
}

int put_data(const ZRDB_DIT *dit, FifoEntry &e, ZRDB_TFIFO_STAT &st, const ZRDB_TFIFO_PARA &p,
             const char *func) {
  // Every put holds the mutex. A write of up to PIPE_BUF bytes is whole by
  // itself, but it lands inside a longer put that waits for room in a full
  // pipe; the mutex also keeps the statistics' compare-and-store exact.
  const int32_t trace = load(st.trace);
  pthread_mutex_lock(&e.mutex);
  if (const ssize_t put = write_once(e.fd[1], p.buf, static_cast<size_t>(p.size)); put != p.size) {
    log_message(LogLevel::Err, func, "ZRDB(%d):pipewrite failed\n", dit->desc->did);
    log_message(LogLevel::Err, func, "ZRDB(%d): %s\n", dit->desc->did,
                put < 0 ? std::strerror(errno) : "written in part");
    pthread_mutex_unlock(&e.mutex);
    return -1;  // nothing counted: the statistics show what the pipe holds
  }
  const int32_t put = e.putBytes.fetch_add(p.size, std::memory_order_relaxed) + p.size;
  if (trace == 2) {
    const int32_t pending = put - e.gotBytes.load(std::memory_order_relaxed);
    if (pending > load(st.mbc)) store(st.mbc, pending);
  }
  if (trace == 3) {
    if (p.size > load(st.maxSize)) store(st.maxSize, p.size);
    if (p.size < load(st.minSize)) store(st.minSize, p.size);
  }
  pthread_mutex_unlock(&e.mutex);
  if (trace == 1) log_debug(1, func, "FIFO(%d), Put Data bytes(%d)\n", p.index, p.size);
  return 0;
}

// The public functions take a plain item id, and say "resource".
int tfifo_call(const char *caller, int32_t zrdid, int32_t op, ZRDB_TFIFO_PARA &p) {
  return call_ctrl({.caller = caller,
                    .id = zrdid,
                    .inactive = Inactive::Unchecked,
                    .unbound = Unbound::Resource,
                    .type = ZRDB_TYPE_THRD_FIFO,
                    .translate = false},
                   op, reinterpret_cast<intptr_t>(&p));
}

}  // namespace
}  // namespace zrdb

using zrdb::FifoContext;
using zrdb::LogLevel;

extern "C" {

int zrdbthrdfifo_create(ZRDB_DIT *dit) {
  zrdb::copy_padded(zrdb::header(dit)->owner, "NONAME");
  return 0;
}

int zrdbthrdfifo_open(ZRDB_DIT *dit) {
  const int32_t did = dit->desc->did;
  int32_t lockFd = zrdb::item_lock_acquire(__func__, did);
  if (lockFd < 0) return -1;
  const int32_t count = dit->desc->count;
  if (count < 1 || count > ZRDB_TFIFO_MAX) {
    ZRDB_LOG(Err, "ZRDB(%d): FIFO Open failed, FOFI number (%d) must between(1,%d),!\n", did, count,
             ZRDB_TFIFO_MAX);
    zrdb::item_lock_release(lockFd);
    return -1;
  }
  const size_t bytes = sizeof(FifoContext) + static_cast<size_t>(count) * sizeof(zrdb::FifoEntry);
  auto *ctx = static_cast<FifoContext *>(std::aligned_alloc(zrdb::kCacheLine, bytes));
  if (ctx != nullptr) std::memset(static_cast<void *>(ctx), 0, bytes);
  if (ctx == nullptr) {
    ZRDB_LOG(Err, "ZRDB(%d): Fifo entry allocation failed!\n", did);
    zrdb::item_lock_release(lockFd);
    return -1;
  }
  ctx->lockFd = lockFd;
  ctx->count = count;
  ctx->entries = reinterpret_cast<zrdb::FifoEntry *>(ctx + 1);
  static_assert(sizeof(FifoContext) % alignof(zrdb::FifoEntry) == 0 &&
                sizeof(zrdb::FifoEntry) % zrdb::kCacheLine == 0);
  for (int32_t i = 0; i < count; ++i) {
    zrdb::FifoEntry &e = ctx->entries[i];
    // Close-on-exec: a program one of the threads starts must not keep them.
    if (pipe2(e.fd, O_CLOEXEC) != 0) {
      const zrdb::SysCause cause = zrdb::descriptor_cause(errno);
      ZRDB_LOG(Err, "ZRDB(%d):pipe[%d] open failed\n", did, i);
      ZRDB_LOG(Err, "ZRDB(%d):pipe[%d]: %s\n", did, i, cause.text);
      zrdb::release(ctx, i);
      return -2;
    }
    pthread_mutex_init(&e.mutex, nullptr);
    new (&e.putBytes) std::atomic<int32_t>(0);
    new (&e.gotBytes) std::atomic<int32_t>(0);
  }
  zrdb::copy_padded(zrdb::header(dit)->owner, zrdbdbg_app_name);
  dit->para = reinterpret_cast<intptr_t>(ctx);
  return 0;
}

int zrdbthrdfifo_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  auto *p = reinterpret_cast<ZRDB_TFIFO_PARA *>(para);
  FifoContext *ctx = zrdb::context(dit);
  const int32_t did = dit->desc->did;
  if (p == nullptr || ctx == nullptr) {
    ZRDB_LOG(Err, "ZRDB(%d): FIFO not open here or no parameter block!\n", did);
    return -1;
  }
  // The record may have been rewritten since the open: both counts bound.
  const int32_t limit = ctx->count < dit->desc->count ? ctx->count : dit->desc->count;
  if (!zrdb::index_ok(dit, limit, p->index, __func__)) return -1;
  zrdb::FifoEntry &e = ctx->entries[p->index];
  ZRDB_TFIFO_STAT &st = zrdb::stat_of(dit, p->index);
  switch (op) {
    case ZRDBTHRDFIFO_GETDATA:
    case ZRDBTHRDFIFO_PUTDATA:
      if (p->size < 0 || (p->buf == nullptr && p->size > 0)) {
        ZRDB_LOG(Err, "ZRDB(%d):null buffer or negative size(%d)\n", did, p->size);
        return -1;
      }
      return op == ZRDBTHRDFIFO_GETDATA ? zrdb::get_data(dit, e, st, *p, __func__)
                                        : zrdb::put_data(dit, e, st, *p, __func__);
    case ZRDBTHRDFIFO_GETOUTPUTFD:
    case ZRDBTHRDFIFO_GETINPUTFD: {
      const bool output = op == ZRDBTHRDFIFO_GETOUTPUTFD;
      p->buf = reinterpret_cast<void *>(static_cast<intptr_t>(output ? e.fd[0] : e.fd[1]));
      if (zrdb::load(st.trace) == 1) {
        zrdb::log_debug(
            1, __func__,
            output ? "FIFO(%d), ZRDBTHRDFIFO_GETOUTPUTFD\n" : "FIFO(%d), ZRDBTHRDFIFO_GETINPUTFD\n",
            p->index);
      }
      return 0;
    }
    default:
      ZRDB_LOG(Warn, "ZRDB(%d): INVALID OPERATION(%d)!\n", did, op);
      return -1;
  }
}

int zrdbthrdfifo_iprint(ZRDB_DIT *dit, int32_t index, int32_t cmd) {
  const ZRDB_ITEM_DESC *desc = dit->desc;
  if (!zrdb::index_ok(dit, desc->count, index, __func__)) return -1;
  ZRDB_TFIFO_STAT &st = zrdb::stat_of(dit, index);
  const auto [command, argument] = zrdb::stat_command(cmd);
  if (command == zrdb::StatCommand::Reset) {
    if (zrdb::load(st.trace) == 1) {
      zrdb::log_debug(1, __func__, "ZRDB(%d,%d):Reset %.31s statistic counter!\n", desc->did, index,
                      desc->name);
    }
    zrdb::store(st.mbc, 0);
  } else if (command == zrdb::StatCommand::SetTrace) {
    zrdb::store(st.trace, argument);
    ZRDB_LOG(Info, "ZRDB(%d,%d): Set debug level %d !\n", desc->did, index, argument);
    if (argument == 2) zrdb::store(st.mbc, 0);
    if (argument == 3) {
      zrdb::store(st.maxSize, 0);
      zrdb::store(st.minSize, zrdb::kMinSizeArmed);
    }
  } else {
    std::printf("%-32.31s= Thread FIFO, User(%.64s), MBC(%d)\n", desc->name,
                zrdb::header(dit)->owner, zrdb::load(st.mbc));
  }
  return 0;
}

int zrdbthrdfifo_print(ZRDB_DIT *dit, int32_t cmd) { return zrdbthrdfifo_iprint(dit, 0, cmd); }

int zrdbthrdfifo_close(ZRDB_DIT *dit) {
  FifoContext *ctx = zrdb::context(dit);
  if (ctx == nullptr) return -1;
  zrdb::release(ctx, ctx->count);
  dit->para = 0;
  return 0;
}

int zrdb_tfifo_getdata(int32_t zrdid, int32_t index, void *buf, int32_t size) {
  ZRDB_TFIFO_PARA p{index, buf, size};
  return zrdb::tfifo_call(__func__, zrdid, ZRDBTHRDFIFO_GETDATA, p);
}

int zrdb_tfifo_putdata(int32_t zrdid, int32_t index, const void *buf, int32_t size) {
  // The block serves both directions; a put only reads through it.
  ZRDB_TFIFO_PARA p{index, const_cast<void *>(buf), size};
  return zrdb::tfifo_call(__func__, zrdid, ZRDBTHRDFIFO_PUTDATA, p);
}

int zrdb_tfifo_getFd(int32_t zrdid, int32_t index, int32_t output) {
  ZRDB_TFIFO_PARA p{index, nullptr, 0};
  const int rc = zrdb::tfifo_call(
      __func__, zrdid, output != 0 ? ZRDBTHRDFIFO_GETOUTPUTFD : ZRDBTHRDFIFO_GETINPUTFD, p);
  return rc != 0 ? rc : static_cast<int>(reinterpret_cast<intptr_t>(p.buf));
}

}  // extern "C"
