// VLINK master and slave items and the VLINK access functions. A master
// holds the link configuration and the state of up to 32 links; in an
// application its value operations become transactions with the link
// daemon, serialised across processes by "/vlinkmstsemp". The daemon binds
// the master with handlers that touch only the link states.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "access/dispatch.h"
#include "types/shared_word.h"
#include "types/vlink.h"

namespace zrdb {
namespace {

constexpr size_t kStringLen = 128;     // the VLINK string before the link states
constexpr uint16_t kNotDone = 0xFFFF;  // status preset by the access functions
constexpr uint32_t kSemaphoreWaitS = 20;

ZRDB_VLINK_CTX *context_of(const ZRDB_DIT *dit) {
  return reinterpret_cast<ZRDB_VLINK_CTX *>(dit->para);
}

// The state of link lid in a master's (or, lid 0, a slave's) data area.
int32_t &state_word(void *data, uint32_t lid) {
  return *reinterpret_cast<int32_t *>(static_cast<unsigned char *>(data) + kStringLen + 4 * lid);
}

// Parses the item's string from a bounded copy, and refuses a link count the
// table of 32 states cannot hold: a lid beyond it would reach past the item.
int context_from_item(const ZRDB_DIT *dit, ZRDB_VLINK_CTX &ctx, const char *func) {
  parseVlinkStr(item_text(dit).text, &ctx);
  if (ctx.nlink >= 0 && ctx.nlink <= ZRDB_VLINK_MAX_LINKS) return 0;
  log_message(LogLevel::Err, func, "ZRDB(%d): VLINK link count %d is outside 0..%d!\n",
              dit->desc->did, ctx.nlink, ZRDB_VLINK_MAX_LINKS);
  return -1;
}

// Steps shared by the application and daemon handlers: a context, a record
// and a link number below nlink. 0, or -1 after the warnings.
int check_request(const ZRDB_DIT *dit, const ZRDB_VLINK_MSG *msg, const char *func) {
  const ZRDB_VLINK_CTX *ctx = context_of(dit);
  if (ctx == nullptr) {
    log_message(LogLevel::Warn, func, "VLINK is not exist !\n");
    return -1;
  }
  if (msg == nullptr) {
    log_message(LogLevel::Warn, func, "VLINK msg is NULL !\n");
    return -1;
  }
  if (msg->lid >= static_cast<uint32_t>(ctx->nlink)) {
    log_message(LogLevel::Warn, func, "link id (%d) is not in the range(%d)!\n",
                static_cast<int>(msg->lid), ctx->nlink);
    log_message(LogLevel::Warn, func, "msg->lid = %d, nlink = %d\n", static_cast<int>(msg->lid),
                ctx->nlink);
    return -1;
  }
  return 0;
}

// Operations 2 and 3 on the link-state table; false for any other.
bool link_state_op(ZRDB_DIT *dit, int32_t op, ZRDB_VLINK_MSG *msg) {
  int32_t word = 0;
  if (op == ZRDBVLINKOP_GETSTATUS) {
    word = getLinkStatus(item_data(dit), msg->lid);
    std::memcpy(msg->data, &word, sizeof word);
  } else if (op == ZRDBVLINKOP_SETSTATUS) {
    std::memcpy(&word, msg->data, sizeof word);
    setLinkStatus(item_data(dit), msg->lid, word);
  } else {
    return false;
  }
  msg->status = 0;
  return true;
}

void wrong_operation(const ZRDB_DIT *dit, int32_t op, const char *func) {
  log_message(LogLevel::Warn, func, "Name:%.31s, did:%d, Wrong ZRDB VLINK Operation(%lu)\n",
              dit->desc->name, dit->desc->did,
              static_cast<unsigned long>(static_cast<uint32_t>(op)));
}

void transact(ZRDB_VLINK_CTX &ctx, ZRDB_VLINK_MSG *msg, const char *func) {
  if (hbdb_sem_timedWait_binary(ctx.sem, kSemaphoreWaitS) == 0) {
    ipc_do_xact(&ctx, msg);
    hbdb_sem_Post(ctx.sem);
    return;
  }
  if (errno == ETIMEDOUT) {
    // A process that died holding the semaphore would block every link:
    // the queue is emptied and the semaphore handed on.
    log_message(LogLevel::Warn, func, "VLINK SEMAP timeout during transaction, forced to init!\n");
    ipc_init(&ctx);
    hbdb_sem_Post(ctx.sem);
  } else {
    log_message(LogLevel::Warn, func, "VLINK SEMAP  get failed during transaction(%s)!\n",
                std::strerror(errno));
  }
  msg->status = kNotDone;
}

// The four access functions: the item's d_ctrl with the record, then the
// record's status.
int vlink_call(const char *caller, int32_t did, ZRDB_VLINK_MSG &msg) {
  msg.status = kNotDone;
  const int rc = call_ctrl({.caller = caller,
                            .id = did,
                            .inactive = Inactive::Unchecked,
                            .type = ZRDB_TYPE_VLINKMST,
                            .altType = ZRDB_TYPE_VLINKSLV},
                           msg.op, reinterpret_cast<intptr_t>(&msg));
  if (rc != 0) return rc;
  return msg.status == 0 ? 0 : -1;
}

// A value transaction's record; false after a warning when the size is
// negative or the buffer missing.
bool value_record(ZRDB_VLINK_MSG &msg, uint16_t op, int32_t lid, int32_t aux, int32_t itemId,
                  int32_t itemIdx, const void *buf, int32_t size, const char *func) {
  if (size < 0 || (buf == nullptr && size > 0)) {
    log_message(LogLevel::Warn, func, "VLINK value of %d bytes at %p refused!\n", size, buf);
    return false;
  }
  msg.op = op;
  msg.lid = static_cast<uint32_t>(lid);
  msg.itemId = itemId;
  msg.itemIdx = itemIdx;
  msg.size = static_cast<uint32_t>(std::min(size, ZRDB_VLINK_DATA_MAX));
  msg.aux = static_cast<uint32_t>(aux);
  return true;
}

}  // namespace
}  // namespace zrdb

using zrdb::LogLevel;

extern "C" {

int parseVlinkStr(const char *text, ZRDB_VLINK_CTX *ctx) {
  char copy[zrdb::kStringLen + 1];
  zrdb::copy_padded(copy, text);
  ctx->nlink = 0;
  if (gethostname(ctx->host, sizeof ctx->host) != 0) ctx->host[0] = '\0';
  ctx->host[sizeof ctx->host - 1] = '\0';
  ctx->port = ZRDB_VLINK_DEFAULT_PORT;
  char *save = nullptr;
  int field = 0;
  for (const char *tok = strtok_r(copy, ":\t\r\n", &save); tok != nullptr;
       tok = strtok_r(nullptr, ":\t\r\n", &save), ++field) {
    if (field == 0) {
      ctx->nlink = zrdb::parse_decimal(tok);
    } else if (field == 1) {
      zrdb::copy_padded(ctx->host, tok);
    } else if (field == 2) {
      ctx->port = zrdb::parse_decimal(tok);
    } else {
      ZRDB_LOG(Warn, "vlink string Syntax error!\n");
    }
  }
  return 0;
}

int32_t getLinkStatus(const void *data, uint32_t lid) {
  return zrdb::load(zrdb::state_word(const_cast<void *>(data), lid));
}

int setLinkStatus(void *data, uint32_t lid, int32_t value) {
  zrdb::store(zrdb::state_word(data, lid), value);
  if (glb_ZrdbDebugLvl == zrdb::kVlinkDebug)
    std::printf("setLinkStatus-----id =%d, value = %d\n", static_cast<int>(lid), value);
  return 0;
}

int zrdbvlmst_create(ZRDB_DIT * /*dit*/) {
  void *sem = hbdb_sem_Create(ZRDB_VLINK_SEMAPHORE, 1);
  if (sem == nullptr) return -1;
  hbdb_sem_Close(sem);
  return 0;
}

int zrdbvlmst_free(ZRDB_DIT * /*dit*/) {
  hbdb_sem_Destroy(ZRDB_VLINK_SEMAPHORE);
  return 0;
}

int zrdbvlmst_open(ZRDB_DIT *dit) {
  if (zrdb::context_of(dit) != nullptr) {
    ZRDB_LOG(Warn, "VLINK already exist!\n");
    return -1;
  }
  auto *ctx = static_cast<ZRDB_VLINK_CTX *>(std::calloc(1, sizeof(ZRDB_VLINK_CTX)));
  if (ctx == nullptr) {
    ZRDB_LOG(Warn, "Allocate memory for ZRDB_VLINK_CTX failed!\n");
    return -2;
  }
  ctx->sem = hbdb_sem_Get(ZRDB_VLINK_SEMAPHORE);
  if (ctx->sem == nullptr) {
    std::free(ctx);
    return -4;
  }
  if (zrdb::context_from_item(dit, *ctx, __func__) != 0) {
    hbdb_sem_Close(ctx->sem);
    std::free(ctx);
    return -1;
  }
  if (hbdb_sem_timedWait_binary(ctx->sem, zrdb::kSemaphoreWaitS) != 0) {
    if (errno != ETIMEDOUT) {
      ZRDB_LOG(Warn, "VLINK SEMAP  get failed(%s)!\n", std::strerror(errno));
      hbdb_sem_Close(ctx->sem);
      std::free(ctx);
      return -5;
    }
    ZRDB_LOG(Warn, "VLINK SEMAP timeout during initialization, forced to init!\n");
  }
  ipc_init(ctx);
  hbdb_sem_Post(ctx->sem);
  dit->para = reinterpret_cast<intptr_t>(ctx);
  zrdb::install_alarm_handler();
  return 0;
}

int zrdbvlmst_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  auto *msg = reinterpret_cast<ZRDB_VLINK_MSG *>(para);
  if (zrdb::check_request(dit, msg, __func__) != 0) return -1;
  if (op == ZRDBVLINKOP_GETVALUE || op == ZRDBVLINKOP_SETVALUE) {
    if (getLinkStatus(zrdb::item_data(dit), msg->lid) != 1) {
      ZRDB_LOG(Warn, "VLINK (%d) is down !\n", static_cast<int>(msg->lid));
      msg->status = zrdb::kNotDone;
    } else {
      zrdb::transact(*zrdb::context_of(dit), msg, __func__);
    }
    return 0;
  }
  if (!zrdb::link_state_op(dit, op, msg)) zrdb::wrong_operation(dit, op, __func__);
  return 0;
}

int zrdbvlmst_close(ZRDB_DIT *dit) {
  ZRDB_VLINK_CTX *ctx = zrdb::context_of(dit);
  if (ctx == nullptr) {
    ZRDB_LOG(Err, "VLINK is not exist !\n");
    return -1;
  }
  ipc_close(ctx);
  if (ctx->sem != nullptr) hbdb_sem_Close(ctx->sem);
  std::free(ctx);
  dit->para = 0;
  return 0;
}

int zrdbvlmst_daemon_open(ZRDB_DIT *dit) {
  ZRDB_LOG(Info, "Open vlink Daemon as master!\n");
  if (zrdb::context_of(dit) != nullptr) {
    ZRDB_LOG(Warn, "VLINK Daemon already exist!\n");
    return -1;
  }
  auto *ctx = static_cast<ZRDB_VLINK_CTX *>(std::calloc(1, sizeof(ZRDB_VLINK_CTX)));
  if (ctx == nullptr) {
    ZRDB_LOG(Warn, "Allocate memory for ZRDB_VLINK_CTX failed!\n");
    return -2;
  }
  if (zrdb::context_from_item(dit, *ctx, __func__) != 0) {
    std::free(ctx);
    return -1;
  }
  dit->para = reinterpret_cast<intptr_t>(ctx);
  return 0;
}

int zrdbvlmst_daemon_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  auto *msg = reinterpret_cast<ZRDB_VLINK_MSG *>(para);
  if (zrdb::check_request(dit, msg, __func__) != 0) return -1;
  if (!zrdb::link_state_op(dit, op, msg)) zrdb::wrong_operation(dit, op, __func__);
  return 0;
}

int zrdbvlmst_daemon_close(ZRDB_DIT *dit) {
  ZRDB_VLINK_CTX *ctx = zrdb::context_of(dit);
  if (ctx == nullptr) {
    ZRDB_LOG(Warn, "VLINK is not exist !\n");
    return -1;
  }
  std::free(ctx);
  dit->para = 0;
  return 0;
}

int zrdbvlslv_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para) {
  auto *msg = reinterpret_cast<ZRDB_VLINK_MSG *>(para);
  if (msg == nullptr) {
    ZRDB_LOG(Warn, "VLINK msg is NULL !\n");
    return -1;
  }
  // A slave holds one state, of link 0, whatever lid says.
  ZRDB_VLINK_MSG one = *msg;
  one.lid = 0;
  if (zrdb::link_state_op(dit, op, &one)) {
    std::memcpy(msg->data, one.data, sizeof(int32_t));
    msg->status = 0;
  } else {
    zrdb::wrong_operation(dit, op, __func__);
  }
  return 0;
}

int zrdb_VLINKGetStatus(int32_t did, int32_t lid, int32_t *state) {
  ZRDB_VLINK_MSG msg{};
  msg.op = ZRDBVLINKOP_GETSTATUS;
  msg.lid = static_cast<uint32_t>(lid);
  msg.size = sizeof(int32_t);
  const int rc = zrdb::vlink_call(__func__, did, msg);
  if (rc == 0 && state != nullptr) std::memcpy(state, msg.data, sizeof *state);
  return rc;
}

int zrdb_VLINKSetStatus(int32_t did, int32_t lid, int32_t state) {
  ZRDB_VLINK_MSG msg{};
  msg.op = ZRDBVLINKOP_SETSTATUS;
  msg.lid = static_cast<uint32_t>(lid);
  msg.size = sizeof(int32_t);
  std::memcpy(msg.data, &state, sizeof state);
  return zrdb::vlink_call(__func__, did, msg);
}

int zrdb_VLINKGetValue(int32_t did, int32_t lid, int32_t aux, int32_t itemId, int32_t itemIdx,
                       void *buf, int32_t size) {
  ZRDB_VLINK_MSG msg{};
  if (!zrdb::value_record(msg, ZRDBVLINKOP_GETVALUE, lid, aux, itemId, itemIdx, buf, size,
                          __func__))
    return -1;
  const int rc = zrdb::vlink_call(__func__, did, msg);
  if (rc == 0) std::memcpy(buf, msg.data, msg.size);
  return rc;
}

int zrdb_VLINKSetValue(int32_t did, int32_t lid, int32_t aux, int32_t itemId, int32_t itemIdx,
                       const void *buf, int32_t size) {
  ZRDB_VLINK_MSG msg{};
  if (!zrdb::value_record(msg, ZRDBVLINKOP_SETVALUE, lid, aux, itemId, itemIdx, buf, size,
                          __func__))
    return -1;
  if (msg.size > 0) std::memcpy(msg.data, buf, msg.size);
  return zrdb::vlink_call(__func__, did, msg);
}

int zrdb_VLINKIdOrNum(int32_t did) {
  // Only a master's context is one: another type's para is something else.
  const ZRDB_ITEM_DESC *desc = zrdb::descriptor(did);
  const ZRDB_VLINK_CTX *ctx =
      desc != nullptr && desc->type == ZRDB_TYPE_VLINKMST && zrdbIndexHdr.dit[did].op != nullptr
          ? zrdb::context_of(&zrdbIndexHdr.dit[did])
          : nullptr;
  if (ctx == nullptr) {
    ZRDB_LOG(Warn, "VLINK is not exist !\n");
    return -1;
  }
  return ctx->nlink;
}

}  // extern "C"
