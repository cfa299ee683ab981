// Data segment attach, handler binding, clean-up and removal.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core.h"
#include "platform/sys_cause.h"
#include "setup/binding_table.h"

namespace zrdb {
namespace {

// The messages of the attach name the public function that was called; a
// last line names the limit that the failure ran into, when there is one.
void log_segment_failure(const char *caller, const char *what, int err, const SysCause &cause) {
  const ZRDB_SYS_HDR *hdr = zrdbIndexHdr.sysHdr;
  log_message(LogLevel::Warn, caller, "Buffer Size:%d, Key=%d\n", static_cast<int>(hdr->size),
              hdr->key);
  log_message(LogLevel::Warn, caller, "BID Buffer %s failed(%s)\n", what, std::strerror(err));
  log_limit(LogLevel::Warn, caller, cause);
}

bool index_attached(const char *caller) {
  if (zrdbIndexHdr.sysHdr != nullptr) return true;
  log_message(LogLevel::Warn, caller, "ZRDB index not attached, call zrdb_cfgParse first!\n");
  return false;
}

// Step 1 and 2 of the attach: get (mode 0: create) and attach the data
// segment. `allocate` says whether it must be new.
int attach_data(const char *caller, bool allocate, bool daemon) {
  const ZRDB_SYS_HDR *hdr = zrdbIndexHdr.sysHdr;
  if (hdr->key == IPC_PRIVATE) {
    // Key 0 would give every process a new private segment of its own.
    log_message(LogLevel::Warn, caller, "ZRDB data segment key is 0: set key in [system]!\n");
    return -1;
  }
  if (hdr->key == ZRDB_INDEX_KEY) {
    // The data would be written over the index that describes it.
    log_message(LogLevel::Warn, caller,
                "ZRDB data segment key is the index key 0x%08x: set another key in [system]!\n",
                static_cast<unsigned>(ZRDB_INDEX_KEY));
    return -1;
  }
  // Size 0 finds the segment whatever its size: the header's size is shared
  // input, and the record checks bound every access by the real size.
  int shmId = shmget(hdr->key, 0, 0666);
  bool created = false;
  if (shmId >= 0 && allocate) {
    log_message(LogLevel::Warn, caller, "ZRDB memory has been allocated, please Remove first!\n");
    return -1;
  }
  if (shmId < 0 && errno == ENOENT) {
    if (daemon) {
      log_message(LogLevel::Warn, caller, "!\n");
      return -1;
    }
    if (!allocate) {
      log_message(LogLevel::Warn, caller, "ZRDB memory not allocated, please Allocate first!\n");
      return -1;
    }
    shmId = shmget(hdr->key, hdr->size, IPC_CREAT | IPC_EXCL | 0666);
    created = shmId >= 0;
  }
  if (shmId < 0) {
    const int err = errno;
    log_segment_failure(caller, "get", err, shm_get_cause(err, hdr->size));
    return -1;
  }
  // Its real size bounds every record check: without it every item would
  // look damaged.
  shmid_ds info{};
  void *addr = reinterpret_cast<void *>(-1);
  if (shmctl(shmId, IPC_STAT, &info) != 0) {
    const int err = errno;
    log_segment_failure(caller, "status", err, SysCause{{}, false});
  } else if (addr = shmat(shmId, nullptr, 0); addr == reinterpret_cast<void *>(-1)) {
    const int err = errno;
    log_segment_failure(caller, "attaching", err, shm_attach_cause(err));
  }
  if (addr == reinterpret_cast<void *>(-1)) {
    // A segment made by this call and never attached would only block the
    // next allocation ("please Remove first") with nothing to remove it by.
    if (created) shmctl(shmId, IPC_RMID, nullptr);
    return -1;
  }
  if (zrdbIndexHdr.dataBase != nullptr) shmdt(zrdbIndexHdr.dataBase);
  zrdbIndexHdr.dataShmId = shmId;
  zrdbIndexHdr.dataBase = addr;
  set_data_segment(info.shm_segsz);
  return 0;
}

// The initial value of an item in a new data segment.
void fill_initial_value(Fill fill, const ZRDB_ITEM_DESC &desc,
                        const char (&value)[ZRDB_VALUE_LEN]) {
  unsigned char *data = static_cast<unsigned char *>(zrdbIndexHdr.dataBase) + desc.offset;
  const auto size = static_cast<size_t>(desc.size);
  const uint32_t number = static_cast<uint32_t>(parse_int(value));
  switch (fill) {
    case Fill::None:
      break;
    case Fill::User:
      std::memset(data, static_cast<unsigned char>(number), size);
      break;
    case Fill::Integer:
      // Four-byte elements, four bytes apart, never past the item.
      for (size_t i = 0; i < static_cast<size_t>(desc.count) && (i + 1) * 4 <= size; ++i) {
        std::memcpy(data + i * 4, &number, 4);
      }
      break;
    case Fill::String: {
      if (desc.count <= 0) break;
      const size_t slot = size / static_cast<size_t>(desc.count);
      for (size_t i = 0; i < static_cast<size_t>(desc.count); ++i) {
        std::memcpy(data + i * slot, value, std::min(slot, sizeof value));
      }
      break;
    }
    case Fill::Semap:
      std::memcpy(data, value, std::min(size, sizeof value));
      break;
    case Fill::Vlink:
      std::memset(data, 0, size);
      std::memcpy(data, value, std::min(size, sizeof value));
      break;
    case Fill::Rmtbuf:
      std::memset(data, 0, std::min<size_t>(size, 248));
      std::memcpy(data, value, std::min(size, sizeof value));
      break;
  }
}

// Binds one item: a fresh handler table from the column's template, the
// initial value in the allocating mode, then d_create and d_open. A damaged
// record binds nothing and gives ZRDB_ERR_CORRUPT.
int bind_item(const char *caller, int32_t id, BindColumn column,
              const char (*value)[ZRDB_VALUE_LEN], bool create) {
  ZRDB_DIT &dit = zrdbIndexHdr.dit[id];
  dit.desc = descriptor(id);
  if (const int rc = check_record(caller, id, dit.desc); rc != 0) return rc;
  auto *bound = static_cast<BoundItem *>(std::calloc(1, sizeof(BoundItem)));
  ZRDB_ITEM_OPS *ops = bound != nullptr ? &bound->ops : nullptr;
  if (ops == nullptr) {
    log_message(LogLevel::Warn, caller, "Memory allocation  failed at item %d\n", id);
    return -1;
  }
  dit.desc->flags |= ZRDB_FLAG_BOUND;  // before remembering: the flags are compared too
  remember_record(*bound, *dit.desc);
  bound->opener = getpid();
  const BindingRow *row = binding_row(dit.desc->type);
  if (row != nullptr && column < kColumnCount) {
    *ops = row->cells[column];
    if (row->hook != nullptr) row->hook(caller, column, dit, *ops);
  }
  ops->dit = &dit;
  // An earlier attach of this process left the item open (its pipes,
  // socket, lock or link context): closed first, so that the open below
  // neither fails on this process's own lock nor leaks what it held.
  if (dit.op != nullptr && dit.op->d_close != nullptr && dit.para != 0) {
    dit.op->d_close(&dit);
    dit.para = 0;
  }
  if (row != nullptr && value != nullptr) fill_initial_value(row->fill, *dit.desc, *value);
  if ((create && ops->d_create != nullptr && ops->d_create(&dit) != 0) ||
      (ops->d_open != nullptr && ops->d_open(&dit) != 0)) {
    std::free(ops);
    return -1;
  }
  std::free(dit.op);  // a table from an earlier attach of this process
  dit.op = ops;
  return 0;
}

// Binds every item of the list. The removing and printing modes go on past
// damaged records, so that removal still releases what it can and a
// listing still shows what it can; the others stop at the first failure.
int whole_list_walk(const char *caller, BindColumn column, bool allocate) {
  int result = 0;
  for (ZRDB_DIDNODE *node = zrdbIndexHdr.didHead; node != nullptr; node = node->next) {
    const int rc =
        bind_item(caller, node->did, column, allocate ? &node->value : nullptr, allocate);
    if (rc == 0) continue;
    if ((column != kColRemove && column != kColPrint) || rc != ZRDB_ERR_CORRUPT) return rc;
    result = rc;
  }
  return result;
}

// Binds the listed ids, the process's VLINK master first.
int selective_walk(const int32_t *idList) {
  size_t pos = 0;
  int32_t id = glb_vLinkDid >= 1 ? glb_vLinkDid : idList[0];
  while (valid_id(id)) {
    if (const int rc = bind_item("zrdb_Init", id, kColClientList, nullptr, false); rc != 0)
      return rc;
    ZRDB_DIT &dit = zrdbIndexHdr.dit[id];
    dit.data = item_data(&dit);
    if (id != glb_vLinkDid) ++pos;
    if (glb_vLinkDid != -1) {
      while (idList[pos] == glb_vLinkDid) ++pos;
    }
    id = idList[pos];
  }
  return 0;
}

// The one release path: calls one release handler (d_close or d_free) of
// every active item of the list whose record is still sound, frees the list
// and detaches the data segment. The handler tables stay, but without a
// data segment the access functions refuse to use them.
void release_items(int (*ZRDB_ITEM_OPS::*slot)(ZRDB_DIT *)) {
  for (ZRDB_DIDNODE *node = zrdbIndexHdr.didHead; node != nullptr; node = node->next) {
    ZRDB_DIT &dit = zrdbIndexHdr.dit[node->did];
    if (dit.desc != nullptr && (dit.desc->flags & ZRDB_FLAG_ACTIVE) != 0 && dit.op != nullptr &&
        dit.op->*slot != nullptr && zrdbIndexHdr.dataBase != nullptr &&
        check_record("zrdb_Cleanup", node->did, dit.desc, dit.op) == 0) {
      (dit.op->*slot)(&dit);
    }
  }
  free_item_list();
  if (zrdbIndexHdr.dataBase != nullptr) {
    shmdt(zrdbIndexHdr.dataBase);
    zrdbIndexHdr.dataBase = nullptr;
    set_data_segment(0);
  }
}

}  // namespace

bool opened_here(const ZRDB_DIT &dit) {
  return dit.op != nullptr && reinterpret_cast<const BoundItem *>(dit.op)->opener == getpid();
}

void release_process_index() {
  release_items(&ZRDB_ITEM_OPS::d_close);
  for (ZRDB_DIT &dit : zrdbIndexHdr.dit) std::free(dit.op);
  if (zrdbIndexHdr.sysHdr != nullptr) shmdt(zrdbIndexHdr.sysHdr);
  std::memset(&zrdbIndexHdr, 0, sizeof zrdbIndexHdr);
  zrdbIndexHdr.dataShmId = -1;
  zrdbIndexHdr.idxShmId = -1;
  glb_vLinkDid = -1;
}

}  // namespace zrdb

extern "C" {

int zrdb_Init(int32_t mode, const int32_t *idList) {
  if (!zrdb::index_attached(__func__)) return -1;
  if (zrdb::attach_data(__func__, mode == HBUSER_ALLOCATE, false) != 0) return -1;
  if (idList == nullptr || mode == HBUSER_VLINK_DAEMON) {
    return zrdb::whole_list_walk(__func__, zrdb::whole_list_column(mode), mode == HBUSER_ALLOCATE);
  }
  if (mode != HBUSER_CLIENT && mode != HBUSER_COMPONENT) {
    ZRDB_LOG(Warn, "User must be HBUSER_CLIENT/HBUSER_COMPONENT or HBUSER_VLINK_DAEMON(mode=%d)!\n",
             mode);
    return -2;
  }
  return zrdb::selective_walk(idList);
}

int zrdb_Init_daemon(int32_t /*arg*/) {
  if (!zrdb::index_attached(__func__)) return -1;
  if (zrdb::attach_data(__func__, false, true) != 0) return -1;
  return zrdb::whole_list_walk(__func__, zrdb::kColInitDaemon, false);
}

int zrdb_Cleanup(void) {
  zrdb::release_items(&ZRDB_ITEM_OPS::d_close);
  zrdb::free_symblinks();
  zrdb::free_app_names();
  return 0;
}

int zrdb_Remove(void) {
  zrdb::release_items(&ZRDB_ITEM_OPS::d_free);
  if (zrdbIndexHdr.sysHdr == nullptr) return -1;  // nothing attached here
  // The index is what finds the data segment again: it stays while the
  // data segment could not be removed, so that a removal can be retried.
  if (zrdbIndexHdr.dataShmId >= 0 && shmctl(zrdbIndexHdr.dataShmId, IPC_RMID, nullptr) != 0) {
    ZRDB_LOG(Warn, "Removing the data segment failed(%s); the index stays\n", std::strerror(errno));
    return -1;
  }
  zrdbIndexHdr.dataShmId = -1;
  return shmctl(zrdbIndexHdr.idxShmId, IPC_RMID, nullptr) == 0 ? 0 : -1;
}

}  // extern "C"
