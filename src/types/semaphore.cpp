// Semaphore items: the item's data holds "name:initial count"; each process
// keeps its handle of the named semaphore in its ZRDB_DIT para. Also the
// public semaphore functions, which go through d_ctrl.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "access/dispatch.h"
#include "platform/semaphore.h"

namespace zrdb {
namespace {

constexpr int kFieldLen = 128;

// Field n of the item's definition text. The text is read from a bounded
// copy, so an item shorter than 128 bytes is never read past its end.
void definition_field(const ZRDB_DIT *dit, int n, char (&out)[kFieldLen]) {
  getItemFromStr(item_text(dit).text, n, out, kFieldLen);
}

void *handle(const ZRDB_DIT *dit) { return reinterpret_cast<void *>(dit->para); }

// Replaces the handle of an earlier attach of this process, if any.
void set_handle(ZRDB_DIT *dit, void *sem) {
  void *previous = handle(dit);
  dit->para = reinterpret_cast<intptr_t>(sem);
  if (previous != nullptr && previous != sem) hbdb_sem_Close(previous);
}

// An item whose semaphore could not be created or opened has no handle;
// its operations fail here instead of reaching the system.
bool has_handle(const ZRDB_DIT *dit, const char *func) {
  if (handle(dit) != nullptr) return true;
  log_message(LogLevel::Warn, func, "ZRDID(%d) semaphore is not open!\n", dit->desc->did);
  return false;
}

}  // namespace

int semaphore_item_wait_monotonic(int32_t id, uint64_t microseconds) {
  const Request rq{.caller = "zrdb_semaWait_timeout_us",
                   .id = id,
                   .inactive = Inactive::Unchecked,
                   .type = ZRDB_TYPE_SEMAP};
  return dispatch(rq, &ZRDB_ITEM_OPS::d_ctrl, [&](auto, ZRDB_DIT *dit, int32_t) {
    if (!has_handle(dit, rq.caller)) return -1;
    if (sem_wait_monotonic_us(handle(dit), microseconds) == 0) return 0;
    // A time-out is the caller's to report; any other failure is no time-out.
    if (errno != ETIMEDOUT) {
      log_message(LogLevel::Warn, rq.caller, "ZRDID(%d) semaphore wait failed(%s)\n",
                  dit->desc->did, std::strerror(errno));
    }
    return -1;
  });
}

}  // namespace zrdb

extern "C" {

int zrdbsemp_create(ZRDB_DIT *dit) {
  char name[zrdb::kFieldLen];
  char count[zrdb::kFieldLen];
  zrdb::definition_field(dit, 0, name);
  zrdb::definition_field(dit, 1, count);
  void *sem = hbdb_sem_Create(name, static_cast<uint32_t>(zrdb::parse_decimal(count)));
  if (sem == nullptr) return -1;
  zrdb::set_handle(dit, sem);
  return 0;
}

int zrdbsemp_open(ZRDB_DIT *dit) {
  char name[zrdb::kFieldLen];
  zrdb::definition_field(dit, 0, name);
  void *sem = hbdb_sem_Get(name);
  if (sem == nullptr) return -1;
  zrdb::set_handle(dit, sem);
  return 0;
}

int zrdbsemp_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  switch (op) {
    case ZRDBSEMPOP_WAIT:
      if (!zrdb::has_handle(dit, __func__)) return -1;
      if (para == 0) {
        zrdb::sem_wait_spinning(zrdb::handle(dit));
        return 0;
      }
      return zrdb::sem_timed_wait_us_spinning(zrdb::handle(dit), static_cast<uint32_t>(para)) == 0
                 ? 0
                 : -1;
    case ZRDBSEMPOP_POST:
      if (!zrdb::has_handle(dit, __func__)) return -1;
      if (para != 0) {
        hbdb_sem_Post_binary(zrdb::handle(dit));
      } else {
        hbdb_sem_Post(zrdb::handle(dit));
      }
      return 0;
    case ZRDBSEMPOP_GETVALUE:
      if (!zrdb::has_handle(dit, __func__)) return -1;
      hbdb_sem_Get_Value(zrdb::handle(dit), reinterpret_cast<int32_t *>(para));
      return 0;
    default:
      std::printf("Wrong ZRDB Semp Operation(%lu)\n",
                  static_cast<unsigned long>(static_cast<uint32_t>(op)));
      return 0;
  }
}

int zrdbsemp_print(ZRDB_DIT *dit, int32_t mode) {
  if (!zrdb::has_handle(dit, __func__)) return -1;
  int32_t current = 0;
  hbdb_sem_Get_Value(zrdb::handle(dit), &current);
  if (mode == 2) {
    // Refill to the initial count; a higher count is left as it is.
    char initial[zrdb::kFieldLen];
    zrdb::definition_field(dit, 1, initial);
    for (int32_t n = zrdb::parse_decimal(initial) - current; n > 0; --n) {
      hbdb_sem_Post(zrdb::handle(dit));
    }
    return 0;
  }
  const auto *text = reinterpret_cast<const char *>(zrdb::item_data(dit));
  const auto room = static_cast<size_t>(dit->desc->size > 0 ? dit->desc->size : 0);
  std::printf("%-32.31s= %.*s, CVAL=%d\n", dit->desc->name, static_cast<int>(strnlen(text, room)),
              text, current);
  return 0;
}

int zrdbsemp_close(ZRDB_DIT *dit) {
  if (zrdb::handle(dit) != nullptr) hbdb_sem_Close(zrdb::handle(dit));
  dit->para = 0;
  return 0;
}

int zrdbsemp_free(ZRDB_DIT *dit) {
  char name[zrdb::kFieldLen];
  zrdb::definition_field(dit, 0, name);
  hbdb_sem_Destroy(name);
  return 0;
}

int zrdb_semaPost(int32_t id, int32_t binary) {
  return zrdb::call_ctrl(__func__, id, ZRDB_TYPE_SEMAP, ZRDBSEMPOP_POST, binary);
}

int zrdb_semaWait(int32_t id) {
  return zrdb::call_ctrl(__func__, id, ZRDB_TYPE_SEMAP, ZRDBSEMPOP_WAIT, 0);
}

int zrdb_semaWait_timeout_us(int32_t id, uint32_t microseconds) {
  return zrdb::call_ctrl(__func__, id, ZRDB_TYPE_SEMAP, ZRDBSEMPOP_WAIT,
                         static_cast<intptr_t>(microseconds));
}

int zrdb_semaGetValue(int32_t id, int32_t *value) {
  return zrdb::call_ctrl(__func__, id, ZRDB_TYPE_SEMAP, ZRDBSEMPOP_GETVALUE,
                         reinterpret_cast<intptr_t>(value));
}

}  // extern "C"
