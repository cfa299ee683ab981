// Ring-buffer pool items: N equal buffers in the item's data area, handed
// out to the threads of the one process that opened the item as bins, and
// searched for in ring order from where the last search stopped. The bins
// live in that process; the statistics live in the data area, where any
// process can print and reset them.
#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "access/dispatch.h"
#include "platform/item_lock.h"
#include "types/shared_word.h"

namespace zrdb {
namespace {

static_assert(sizeof(ZRDB_RBUF_INFO) == 64);
static_assert(offsetof(ZRDB_RBUF_INFO, flags) == 0);
static_assert(offsetof(ZRDB_RBUF_INFO, owner) == 4);
static_assert(offsetof(ZRDB_RBUF_INFO, fb) == 36);
static_assert(offsetof(ZRDB_RBUF_INFO, uc) == 40);
static_assert(offsetof(ZRDB_RBUF_INFO, muc) == 44);
static_assert(offsetof(ZRDB_RBUF_INFO, afc) == 48);
static_assert(offsetof(ZRDB_RBUF_INFO, maxDelay) == 52);
static_assert(offsetof(ZRDB_RBUF_INFO, minDelay) == 56);
static_assert(offsetof(ZRDB_RBUF_INFO, trace) == 60);

constexpr uint32_t kOpenFlag = 0x1u;
constexpr uint32_t kStateFlags = 0xFu;  // bits 0..3: cleared on open and close

// The per-process control block. The bins are one array, so that a pointer
// given back can be checked against it before anything is written.
struct Pool {
  ZRDB_RBUF_BIN *head;
  ZRDB_RBUF_BIN *tail;
  pthread_mutex_t mutex;
  int32_t lockFd;
  ZRDB_RBUF_BIN *cursor;
  int32_t count;
};

Pool *pool_of(const ZRDB_DIT *dit) { return reinterpret_cast<Pool *>(dit->para); }

ZRDB_RBUF_INFO *info_of(const ZRDB_DIT *dit) {
  return reinterpret_cast<ZRDB_RBUF_INFO *>(item_data(dit));
}

int32_t trace_of(ZRDB_RBUF_INFO *info) { return load(info->trace); }

int64_t zrdb_get_timestamp_us() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

bool is_member(const Pool &pool, const ZRDB_RBUF_BIN *bin) {
  const uintptr_t offset =
      reinterpret_cast<uintptr_t>(bin) - reinterpret_cast<uintptr_t>(pool.head);
  return offset % sizeof(ZRDB_RBUF_BIN) == 0 &&
         offset / sizeof(ZRDB_RBUF_BIN) < static_cast<uintptr_t>(pool.count);
}

void release(Pool *pool) {
  std::free(pool->head);
  item_lock_release(pool->lockFd);
  pthread_mutex_destroy(&pool->mutex);
  std::free(pool);
}

int allocate(const ZRDB_DIT *dit, Pool &pool, ZRDB_RBUF_BIN **out, const char *func) {
  ZRDB_RBUF_INFO *info = info_of(dit);
  const int32_t did = dit->desc->did;
  if (*out != nullptr) {
    log_message(LogLevel::Err, func, "bin prointer must be NULL when allocate a RBUF!\n");
    return -1;
  }
  pthread_mutex_lock(&pool.mutex);
  const int32_t trace = trace_of(info);
  ZRDB_RBUF_BIN *bin = nullptr;
  if (load(info->fb) != 0) {
    const ZRDB_RBUF_BIN *start = pool.cursor;
    do {
      ZRDB_RBUF_BIN *candidate = pool.cursor;
      pool.cursor = candidate->next;
      if (candidate->inUse == 0) bin = candidate;
    } while (bin == nullptr && pool.cursor != start);
  } else if (trace == 1) {
    log_debug(1, func, "ZRDB(%d): ZRDBTHRDRBUFOP_ALLOC  failed!\n", did);
  }
  if (bin == nullptr) {
    if (trace == 1 && load(info->fb) != 0)
      log_debug(1, func, "ZRDB(%d): ZRDBTHRDRBUFOP_ALLOC  failed! Can't find free buffer\n", did);
    store(info->afc, load(info->afc) + 1);
    pthread_mutex_unlock(&pool.mutex);
    return -1;
  }
  bin->inUse = 1;
  bin->timestamp = trace == 3 ? zrdb_get_timestamp_us() : 0;
  store(info->fb, load(info->fb) - 1);
  const uint32_t uc = load(info->uc) + 1;
  store(info->uc, uc);
  if (uc > load(info->muc)) store(info->muc, uc);
  pthread_mutex_unlock(&pool.mutex);
  if (trace == 1) {
    log_debug(1, func, "ZRDBDID(%d): RBUF Bin(%d,addr:%08x), has been allocated!\n", bin->did,
              bin->index, address_word(bin->addr));
  }
  *out = bin;
  return 0;
}

int recycle(const ZRDB_DIT *dit, Pool &pool, ZRDB_RBUF_BIN *bin, const char *func) {
  ZRDB_RBUF_INFO *info = info_of(dit);
  const int32_t did = dit->desc->did;
  if (bin->did != did) {
    log_message(LogLevel::Err, func, "ZRDB(%d): ZRDBTHRDRBUFOP_RECYCLE  failed, DID not match!\n",
                did);
    return -1;
  }
  if (bin->barcode != ZRDB_RBUF_BARCODE) {
    log_message(LogLevel::Err, func,
                "ZRDB(%d): ZRDBTHRDRBUFOP_RECYCLE  failed, illegal buffer barcode(%lx)\n", did,
                static_cast<unsigned long>(bin->barcode));
    return -1;
  }
  // A copy of a bin carries the right id and barcode; only the pool's own
  // bins may be marked free.
  if (!is_member(pool, bin)) {
    log_message(LogLevel::Err, func,
                "ZRDB(%d): ZRDBTHRDRBUFOP_RECYCLE  failed, bin(%08x) is not of this pool!\n", did,
                address_word(bin));
    return -1;
  }
  const int32_t trace = trace_of(info);
  pthread_mutex_lock(&pool.mutex);
  if (trace == 3 && bin->timestamp != 0) {
    const auto hold = static_cast<uint32_t>(zrdb_get_timestamp_us() - bin->timestamp);
    if (hold > load(info->maxDelay)) store(info->maxDelay, hold);
    if (hold < load(info->minDelay)) store(info->minDelay, hold);
  }
  bin->timestamp = 0;
  bin->inUse = 0;
  store(info->fb, load(info->fb) + 1);
  store(info->uc, load(info->uc) - 1);
  pthread_mutex_unlock(&pool.mutex);
  if (trace == 1) {
    log_debug(1, func, "ZRDBDID(%d): RBUF Bin(%d,addr:%08x), has been Recycled!\n", bin->did,
              bin->index, address_word(bin->addr));
  }
  return 0;
}

void reset(const ZRDB_DIT *dit, Pool &pool) {
  ZRDB_RBUF_INFO *info = info_of(dit);
  pthread_mutex_lock(&pool.mutex);
  store(info->fb, static_cast<uint32_t>(pool.count));
  store(info->uc, 0);
  store(info->afc, 0);
  store(info->muc, 0);
  for (int32_t i = 0; i < pool.count; ++i) pool.head[i].inUse = 0;
  pool.cursor = pool.head;
  pthread_mutex_unlock(&pool.mutex);
}

}  // namespace
}  // namespace zrdb

using zrdb::Pool;

extern "C" {

int zrdbthrdrbuf_create(ZRDB_DIT *dit) {
  ZRDB_RBUF_INFO *info = zrdb::info_of(dit);
  std::memset(info, 0, sizeof *info);
  zrdb::copy_padded(info->owner, "NONAME");
  return 0;
}

int zrdbthrdrbuf_open(ZRDB_DIT *dit) {
  const int32_t did = dit->desc->did;
  const int32_t count = dit->desc->count;
  int32_t lockFd = zrdb::item_lock_acquire(__func__, did);
  if (lockFd < 0) return -1;
  if (count < 1) {
    ZRDB_LOG(Err, "ZRDB(%d): RBUF Open failed, buffer number (%d) must be at least 1!\n", did,
             count);
    zrdb::item_lock_release(lockFd);
    return -1;
  }
  auto *pool = static_cast<Pool *>(std::calloc(1, sizeof(Pool)));
  if (pool == nullptr) {
    ZRDB_LOG(Err, "ZRDB(%d): Memory pool entry allocation failed!\n", did);
    zrdb::item_lock_release(lockFd);
    return -1;
  }
  pool->lockFd = lockFd;
  pthread_mutex_init(&pool->mutex, nullptr);
  auto *bins =
      static_cast<ZRDB_RBUF_BIN *>(std::calloc(static_cast<size_t>(count), sizeof(ZRDB_RBUF_BIN)));
  if (bins == nullptr) {
    ZRDB_LOG(Err, "ZRDB(%d):Allocate memory pool item entry failed!\n", did);
    zrdb::release(pool);
    return -2;
  }
  ZRDB_RBUF_INFO *info = zrdb::info_of(dit);
  std::memset(info, 0, sizeof *info);
  zrdb::copy_padded(info->owner, zrdbdbg_app_name);
  unsigned char *buffers = zrdb::item_data(dit) + sizeof(ZRDB_RBUF_INFO);
  const auto elemSize = static_cast<size_t>(dit->desc->elemSize);
  for (int32_t i = 0; i < count; ++i) {
    bins[i] = {ZRDB_RBUF_BARCODE,   did, i, buffers + elemSize * static_cast<size_t>(i),
               dit->desc->elemSize, 0,   0, &bins[(i + 1) % count]};
  }
  zrdb::store(info->fb, static_cast<uint32_t>(count));
  pool->head = bins;
  pool->tail = &bins[count - 1];
  pool->cursor = bins;
  pool->count = count;
  dit->para = reinterpret_cast<intptr_t>(pool);
  zrdb::store(info->flags, (zrdb::load(info->flags) & ~zrdb::kStateFlags) | zrdb::kOpenFlag);
  return 0;
}

int zrdbthrdrbuf_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  Pool *pool = zrdb::pool_of(dit);
  const int32_t did = dit->desc->did;
  if (zrdb::trace_of(zrdb::info_of(dit)) == 1) zrdb::log_debug(1, __func__, "op:%d \n", op);
  auto *word = reinterpret_cast<ZRDB_RBUF_BIN **>(para);
  const bool needsBin = op == ZRDBTHRDRBUFOP_ALLOC || op == ZRDBTHRDRBUFOP_RECYCLE;
  if (pool == nullptr || (needsBin && word == nullptr) ||
      (op == ZRDBTHRDRBUFOP_RECYCLE && *word == nullptr)) {
    ZRDB_LOG(Err, "ZRDB(%d): RBUF not open here or no bin given!\n", did);
    return -1;
  }
  switch (op) {
    case ZRDBTHRDRBUFOP_ALLOC:
      return zrdb::allocate(dit, *pool, word, __func__);
    case ZRDBTHRDRBUFOP_RECYCLE:
      return zrdb::recycle(dit, *pool, *word, __func__);
    case ZRDBTHRDRBUFOP_RESET:
      zrdb::reset(dit, *pool);
      return 0;
    default:
      ZRDB_LOG(Warn, "ZRDB(%d): INVALID OPERATION(%d)!\n", did, op);
      return -1;
  }
}

int zrdbthrdrbuf_iprint(ZRDB_DIT *dit, int32_t /*index*/, int32_t cmd) {
  const ZRDB_ITEM_DESC *desc = dit->desc;
  ZRDB_RBUF_INFO *info = zrdb::info_of(dit);
  const auto [command, argument] = zrdb::stat_command(cmd);
  const int32_t trace = zrdb::trace_of(info);
  if (command == zrdb::StatCommand::Reset) {
    if (trace == 1) {
      zrdb::log_debug(1, __func__, "ZRDB(%d):Reset %.31s statistic counter!\n", desc->did,
                      desc->name);
    }
    zrdb::store(info->muc, 0);
    zrdb::store(info->afc, 0);
  } else if (command == zrdb::StatCommand::SetTrace) {
    zrdb::store(info->trace, argument);
    ZRDB_LOG(Info, "ZRDB(%d): Set debug level %d !\n", desc->did, argument);
    if (argument == 2) zrdb::store(info->muc, 0);
    if (argument == 3) {
      zrdb::store(info->maxDelay, 0);
      zrdb::store(info->minDelay, 0xFFFFFFFFu);
    }
  } else {
    std::printf(
        "%-32.31s= Thread Ring Buffer Pool, size(%d*%d Bytes), User(%.32s), "
        "FB(%d),UC(%d),MUC(%d),AFC(%d)\n",
        desc->name, desc->elemSize, desc->count, info->owner,
        static_cast<int>(zrdb::load(info->fb)), static_cast<int>(zrdb::load(info->uc)),
        static_cast<int>(zrdb::load(info->muc)), static_cast<int>(zrdb::load(info->afc)));
    if (trace == 3) {
      std::printf("Max Delay:%d, Min Delay:%ul\n", static_cast<int>(zrdb::load(info->maxDelay)),
                  zrdb::load(info->minDelay));
    }
  }
  return 0;
}

int zrdbthrdrbuf_print(ZRDB_DIT *dit, int32_t cmd) { return zrdbthrdrbuf_iprint(dit, 0, cmd); }

int zrdbthrdrbuf_close(ZRDB_DIT *dit) {
  Pool *pool = zrdb::pool_of(dit);
  if (pool == nullptr) return -1;
  zrdb::release(pool);
  dit->para = 0;
  if (zrdb::opened_here(*dit)) {
    ZRDB_RBUF_INFO *info = zrdb::info_of(dit);
    zrdb::store(info->flags, zrdb::load(info->flags) & ~zrdb::kStateFlags);
  }
  return 0;
}

ZRDB_RBUF_BIN *zrdb_rbuf_alloc(int32_t zrdid) {
  ZRDB_RBUF_BIN *bin = nullptr;
  const int rc = zrdb::call_ctrl(__func__, zrdid, ZRDB_TYPE_THRD_RBUF, ZRDBTHRDRBUFOP_ALLOC,
                                 reinterpret_cast<intptr_t>(&bin));
  return rc == 0 ? bin : nullptr;
}

int zrdb_rbuf_recycle(ZRDB_RBUF_BIN *bin) {
  if (bin == nullptr) {
    ZRDB_LOG(Warn, "null bin!\n");
    return -1;
  }
  // The bin names its pool: an item id, never a link.
  return zrdb::call_ctrl({.caller = __func__,
                          .id = bin->did,
                          .inactive = zrdb::Inactive::Unchecked,
                          .type = ZRDB_TYPE_THRD_RBUF,
                          .translate = false},
                         ZRDBTHRDRBUFOP_RECYCLE, reinterpret_cast<intptr_t>(&bin));
}

int zrdb_rbuf_reset(int32_t zrdid) {
  return zrdb::call_ctrl({.caller = __func__,
                          .id = zrdid,
                          .inactive = zrdb::Inactive::Unchecked,
                          .type = ZRDB_TYPE_THRD_RBUF,
                          .translate = false,
                          .unboundResult = -1},
                         ZRDBTHRDRBUFOP_RESET, 0);
}

}  // extern "C"
