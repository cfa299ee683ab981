// Value access, descriptor queries and the database listing.
#include <cstdio>

#include "access/dispatch.h"
#include "types/plain_copy.h"

extern "C" {
int32_t glb_ZrdbDebugLvl = 0;
}

namespace zrdb {

void translate_link(const Request &rq, Target &out) {
  int32_t idx = out.idx;
  if (zrdb_symblink_check(rq.id, out.idx, &out.id, &idx) == 1 && rq.indexed) out.idx = idx;
}

int report_inactive(const Request &rq, const Target &t) {
  if (rq.inactive == Inactive::NotActived)
    log_message(LogLevel::Warn, rq.caller, "ZRDID(%d) is not actived!\n", t.id);
  if (rq.inactive == Inactive::NotInList)
    log_message(LogLevel::Warn, rq.caller, "ZRDID(%d) is not in resurce list!\n", t.id);
  return -2;
}

bool report_wrong_type(const Request &rq, const Target &t) {
  log_message(LogLevel::Warn, rq.caller, "ZRDID(%d) is not a %s item!\n", t.id,
              DBITEMTYPE_MAP[rq.type].key);
  return false;
}

void report_unbound(const Request &rq, int32_t id, const ZRDB_ITEM_OPS *op, const void *slot) {
  if (rq.unbound == Unbound::IprintDetail) {
    log_message(LogLevel::Warn, rq.caller, "ZRDID(%d) is not in resurce list, op=%08x!\n", id,
                address_word(op));
    if (op != nullptr)
      log_message(LogLevel::Warn, rq.caller, "op->d_iprint=%08x!\n", address_word(slot));
    return;
  }
  log_message(LogLevel::Warn, rq.caller,
              rq.unbound == Unbound::Resource ? "ZRDID(%d) is not in resource list!\n"
                                              : "ZRDID(%d) is not in resurce list!\n",
              id);
  if (rq.unbound == Unbound::IgetDetail && op != nullptr) {
    log_message(LogLevel::Warn, rq.caller, "zrdb_getiValue: op= %08x, d_iget=%08x\n",
                address_word(op), address_word(slot));
  }
}

void print_prefix(const Target &t) {
  const int32_t type = t.desc->type;
  const char *keyword = (type >= 0 && type < ZRDB_TYPE_COUNT) ? DBITEMTYPE_MAP[type].key : "";
  std::printf("%04d: %-10s: ", t.id, keyword);
}

int call_ctrl(const char *caller, int32_t id, int32_t type, int32_t op, intptr_t para) {
  return call_ctrl({.caller = caller, .id = id, .inactive = Inactive::Unchecked, .type = type}, op,
                   para);
}

namespace {

// The descriptor of an active item for the queries, or null after -1 / -2.
ZRDB_ITEM_DESC *query(const char *caller, int32_t id, int &rc) {
  Target t{};
  rc = resolve(
      {
          .caller = caller,
          .id = id,
      },
      t);
  return rc == 0 ? t.desc : nullptr;
}

constexpr const char *kStars =
    "*********************************************************************";

}  // namespace
}  // namespace zrdb

using zrdb::Inactive;
using zrdb::Request;
using zrdb::Unbound;

extern "C" {

int zrdb_symblink_check(int32_t id, int32_t idx, int32_t *outId, int32_t *outIdx) {
  if (id < ZRDB_SYMBLINK_BASE || id >= ZRDB_SYMBLINK_BASE + ZRDB_SYMBLINK_MAX) return 0;
  const ZRDB_SYMPAIR pair = zrdb::link_pair(id, idx);
  if (outId != nullptr) *outId = pair.did;
  if (outIdx != nullptr) *outIdx = pair.idx;
  return 1;
}

int zrdb_getValue(int32_t id, void *buf, int32_t len) {
  const auto rq = [=, caller = __func__] {
    return Request{.caller = caller, .id = id, .syncMode = 1, .syncBuf = buf, .syncLen = len};
  };
  return zrdb::dispatch(rq, &ZRDB_ITEM_OPS::d_get,
                        [=](auto fn, ZRDB_DIT *dit, int32_t, const zrdb::BoundGeometry *g) {
                          return zrdb::call_get(fn, dit, buf, len, g);
                        });
}

int zrdb_setValue(int32_t id, const void *buf, int32_t len) {
  const auto rq = [=, caller = __func__] {
    return Request{.caller = caller, .id = id, .syncMode = 0, .syncBuf = buf, .syncLen = len};
  };
  return zrdb::dispatch(rq, &ZRDB_ITEM_OPS::d_set,
                        [=](auto fn, ZRDB_DIT *dit, int32_t, const zrdb::BoundGeometry *g) {
                          return zrdb::call_set(fn, dit, buf, len, g);
                        });
}

int zrdb_printValue(int32_t id, int32_t mode) {
  const auto rq = [=, caller = __func__] {
    return Request{.caller = caller,
                   .id = id,
                   .inactive = Inactive::Silent,
                   .syncMode = 1,
                   .syncLen = 4,
                   .prefix = mode == 1};
  };
  return zrdb::dispatch(rq, &ZRDB_ITEM_OPS::d_print,
                        [=](auto fn, ZRDB_DIT *dit, int32_t) { return fn(dit, mode); });
}

int zrdb_getiValue(int32_t id, int32_t idx, void *buf, int32_t len) {
  const auto rq = [=, caller = __func__] {
    return Request{.caller = caller,
                   .id = id,
                   .idx = idx,
                   .indexed = true,
                   .inactive = Inactive::NotInList,
                   .unbound = Unbound::IgetDetail,
                   .syncMode = 1,
                   .syncBuf = buf,
                   .syncLen = len};
  };
  return zrdb::dispatch(rq, &ZRDB_ITEM_OPS::d_iget,
                        [=](auto fn, ZRDB_DIT *dit, int32_t i, const zrdb::BoundGeometry *g) {
                          return zrdb::call_iget(fn, dit, i, buf, len, g);
                        });
}

int zrdb_local_getiValue(int32_t id, int32_t idx, void *buf, int32_t len) {
  const auto rq = [=, caller = __func__] {
    return Request{.caller = caller,
                   .id = id,
                   .idx = idx,
                   .indexed = true,
                   .inactive = Inactive::NotInList,
                   .unbound = Unbound::IgetDetail,
                   .syncMode = 1,
                   .syncIdx = false,
                   .syncBuf = buf,
                   .syncLen = len};
  };
  return zrdb::dispatch(rq, &ZRDB_ITEM_OPS::d_iget,
                        [=](auto fn, ZRDB_DIT *dit, int32_t i, const zrdb::BoundGeometry *g) {
                          return zrdb::call_iget(fn, dit, i, buf, len, g);
                        });
}

int zrdb_setiValue(int32_t id, int32_t idx, const void *buf, int32_t len) {
  const auto rq = [=, caller = __func__] {
    return Request{.caller = caller,
                   .id = id,
                   .idx = idx,
                   .indexed = true,
                   .syncMode = 0,
                   .syncBuf = buf,
                   .syncLen = len};
  };
  return zrdb::dispatch(rq, &ZRDB_ITEM_OPS::d_iset,
                        [=](auto fn, ZRDB_DIT *dit, int32_t i, const zrdb::BoundGeometry *g) {
                          return zrdb::call_iset(fn, dit, i, buf, len, g);
                        });
}

int zrdb_local_setiValue(int32_t id, int32_t idx, const void *buf, int32_t len) {
  const auto rq = [=, caller = __func__] {
    return Request{
        .caller = caller, .id = id, .idx = idx, .indexed = true, .inactive = Inactive::NotActived};
  };
  return zrdb::dispatch(rq, &ZRDB_ITEM_OPS::d_iset,
                        [=](auto fn, ZRDB_DIT *dit, int32_t i, const zrdb::BoundGeometry *g) {
                          return zrdb::call_iset(fn, dit, i, buf, len, g);
                        });
}

int zrdb_printiValue(int32_t id, int32_t idx, int32_t verbose) {
  const auto rq = [=, caller = __func__] {
    return Request{.caller = caller,
                   .id = id,
                   .idx = idx,
                   .indexed = true,
                   .inactive = Inactive::Silent,
                   .unbound = Unbound::IprintDetail,
                   .syncMode = 1,
                   .syncLen = 4,
                   .prefix = verbose != 0};
  };
  return zrdb::dispatch(rq, &ZRDB_ITEM_OPS::d_iprint,
                        [=](auto fn, ZRDB_DIT *dit, int32_t i) { return fn(dit, i, verbose); });
}

int zrdb_getType(int32_t id) {
  int rc = 0;
  const ZRDB_ITEM_DESC *desc = zrdb::query(__func__, id, rc);
  return desc != nullptr ? desc->type : rc;
}

int zrdb_item_size(int32_t id) {
  int rc = 0;
  const ZRDB_ITEM_DESC *desc = zrdb::query(__func__, id, rc);
  return desc != nullptr ? desc->elemSize : rc;
}

int zrdb_item_count(int32_t id) {
  int rc = 0;
  const ZRDB_ITEM_DESC *desc = zrdb::query(__func__, id, rc);
  return desc != nullptr ? desc->count : rc;
}

const char *zrdb_getName(int32_t id) {
  int rc = 0;
  const ZRDB_ITEM_DESC *desc = zrdb::query(__func__, id, rc);
  return desc != nullptr ? desc->name : nullptr;
}

int zrdb_getUserBlkInfo(int32_t id, ZRDB_BLK_INFO *info) {
  if (info == nullptr) return -1;
  int rc = 0;
  const ZRDB_ITEM_DESC *desc = zrdb::query(__func__, id, rc);
  if (desc == nullptr) return rc;
  auto *base = static_cast<unsigned char *>(zrdbIndexHdr.dataBase);
  info->addr = base != nullptr ? base + desc->offset : nullptr;
  info->size = desc->size;
  return 0;
}

int zrdb_isOperational(int32_t id) {
  const ZRDB_ITEM_DESC *desc = zrdb::descriptor(id);
  constexpr uint32_t kBoth = ZRDB_FLAG_ACTIVE | ZRDB_FLAG_BOUND;
  return (desc != nullptr && (desc->flags & kBoth) == kBoth) ? 1 : 0;
}

int zrdb_checkBound(int32_t id) {
  zrdb::Target t{};
  if (const int rc = zrdb::resolve({.caller = __func__, .id = id}, t); rc != 0) return rc;
  // Without a data segment (after clean-up) the handlers reach nothing.
  const bool bound = zrdbIndexHdr.dit[t.id].op != nullptr && zrdbIndexHdr.dataBase != nullptr;
  return bound ? 0 : ZRDB_ERR_UNBOUND;
}

int zrdb_dumpAll(void) {
  const ZRDB_SYS_HDR *hdr = zrdbIndexHdr.sysHdr;
  if (hdr == nullptr) return -1;
  std::printf("\n%s\n", zrdb::kStars);
  std::printf("ZRDB ----- %.32s ----- Key:%d, Size:%d", hdr->name, hdr->key,
              static_cast<int>(hdr->size));
  std::printf("\n%s\n", zrdb::kStars);
  for (const ZRDB_DIDNODE *node = zrdbIndexHdr.didHead; node != nullptr; node = node->next) {
    zrdb_printValue(node->did, 1);
  }
  const int rc = std::printf("\n%s\n\n", zrdb::kStars);
  std::fflush(stdout);
  return rc;
}

void *zrdb_getBaseAddr(void) { return zrdbIndexHdr.dataBase; }

ZRDB_INDEX_HDR *zrdb_getInfoHdr(void) { return &zrdbIndexHdr; }

void zrdb_setDebugLvl(int32_t level) { glb_ZrdbDebugLvl = level; }

}  // extern "C"
