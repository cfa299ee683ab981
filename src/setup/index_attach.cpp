// Attachment of the index segment: created and parsed by the first process,
// reused (only the private item list rebuilt) by every later one.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core.h"
#include "platform/sys_cause.h"

extern "C" {
ZRDB_INDEX_HDR zrdbIndexHdr;
int32_t glb_vLinkDid = -1;
}

namespace zrdb {

void free_item_list() {
  for (ZRDB_DIDNODE *node = zrdbIndexHdr.didHead; node != nullptr;) {
    ZRDB_DIDNODE *next = node->next;
    std::free(node);
    node = next;
  }
  zrdbIndexHdr.didHead = nullptr;
  zrdbIndexHdr.didTail = nullptr;
}

ZRDB_DIDNODE *append_item_node(int32_t did) {
  auto *node = static_cast<ZRDB_DIDNODE *>(std::calloc(1, sizeof(ZRDB_DIDNODE)));
  if (node == nullptr) return nullptr;
  node->did = did;
  if (zrdbIndexHdr.didTail != nullptr) {
    zrdbIndexHdr.didTail->next = node;
  } else {
    zrdbIndexHdr.didHead = node;
  }
  zrdbIndexHdr.didTail = node;
  return node;
}

bool item_defined(int32_t id) {
  const ZRDB_ITEM_DESC *d = descriptor(id);
  return d != nullptr && (d->flags & ZRDB_FLAG_ACTIVE) != 0;
}

int32_t item_named(const char *name) {
  const size_t length = std::strlen(name);
  for (const ZRDB_DIDNODE *n = zrdbIndexHdr.didHead; n != nullptr; n = n->next) {
    if (!item_defined(n->did)) continue;
    const ZRDB_ITEM_DESC *d = descriptor(n->did);
    // The index is shared memory: its names are read within their field.
    if (strnlen(d->name, sizeof d->name) == length && std::memcmp(d->name, name, length) == 0)
      return n->did;
  }
  return -1;
}

namespace {

// Gets (or creates) and attaches the index segment; sets `created`. The
// messages name `caller`, the public function that was called.
int attach_index(const char *caller, bool &created) {
  release_process_index();
  created = false;
  int shmId = shmget(ZRDB_INDEX_KEY, ZRDB_INDEX_SIZE, 0666);
  // Only a missing index is made here: after any other refusal (a limit,
  // permissions) the existing one would be parsed over as if new.
  if (shmId < 0 && errno == ENOENT) {
    shmId = shmget(ZRDB_INDEX_KEY, ZRDB_INDEX_SIZE, IPC_CREAT | IPC_EXCL | 0666);
    created = shmId >= 0;
    if (shmId < 0 && errno == EEXIST) shmId = shmget(ZRDB_INDEX_KEY, ZRDB_INDEX_SIZE, 0666);
  }
  if (shmId < 0) {
    const int err = errno;
    log_message(LogLevel::Warn, caller, "ZRDB Buffer Size:%d, Key=%d\n", ZRDB_INDEX_SIZE,
                ZRDB_INDEX_KEY);
    log_message(LogLevel::Warn, caller, "ZRDB Buffer get failed(%s)\n", std::strerror(err));
    log_limit(LogLevel::Warn, caller, shm_get_cause(err, ZRDB_INDEX_SIZE));
    return -1;
  }
  void *addr = shmat(shmId, nullptr, 0);
  if (addr == reinterpret_cast<void *>(-1)) {
    const int err = errno;
    log_message(LogLevel::Err, caller, "ZRDB index buffer Size:%d, Key=%d\n", ZRDB_INDEX_SIZE,
                ZRDB_INDEX_KEY);
    log_message(LogLevel::Err, caller, "ZRDB index buffer attaching failed(%s)\n",
                std::strerror(err));
    log_limit(LogLevel::Err, caller, shm_attach_cause(err));
    // An index made by this call and never parsed would pass for a
    // database that is not there.
    if (created) shmctl(shmId, IPC_RMID, nullptr);
    return -1;
  }
  zrdbIndexHdr.idxShmId = shmId;
  zrdbIndexHdr.idxSize = ZRDB_INDEX_SIZE;
  zrdbIndexHdr.sysHdr = static_cast<ZRDB_SYS_HDR *>(addr);
  return 0;
}

// A segment the kernel just created is zero already: clearing it again would
// touch every page of it, the largest fixed cost of creating a small
// database.
int parse_into_index(const char *path, bool created) {
  if (!created) std::memset(zrdbIndexHdr.sysHdr, 0, ZRDB_INDEX_SIZE);
  const int result = cfgParser(path);
  if (result == 0) zrdbIndexHdr.sysHdr->magic = ZRDB_MAGIC;
  return result;
}

}  // namespace
}  // namespace zrdb

extern "C" {

int zrdb_cfgParse(const char *path) {
  bool created = false;
  if (zrdb::attach_index(__func__, created) != 0) return -1;
  if (!created && zrdbIndexHdr.sysHdr->magic == ZRDB_MAGIC) return cfgShmParser();
  return zrdb::parse_into_index(path, created);
}

int zrdb_cfgParseFromFile(const char *path) {
  bool created = false;
  if (zrdb::attach_index(__func__, created) != 0) return -1;
  return zrdb::parse_into_index(path, created);
}

int cfgShmParser(void) {
  // maxDid comes from shared memory: keep the walk inside the id range.
  int32_t maxDid = zrdbIndexHdr.sysHdr->maxDid;
  if (maxDid >= ZRDB_MAX_ITEMS) maxDid = ZRDB_MAX_ITEMS - 1;
  for (int32_t id = 0; id <= maxDid; ++id) {
    ZRDB_ITEM_DESC *desc = zrdb::descriptor(id);
    if ((desc->flags & ZRDB_FLAG_ACTIVE) != 0) {
      if (desc->type == ZRDB_TYPE_VLINKMST && glb_vLinkDid < 0) glb_vLinkDid = id;
      if (zrdb::append_item_node(id) == nullptr) {
        ZRDB_LOG(Warn, "Fital ERROR: Can't allocate memory for Item Dynamic info!!!\n");
        return -1;
      }
    }
    zrdbIndexHdr.dit[id].desc = desc;
  }
  return 0;
}

}  // extern "C"
