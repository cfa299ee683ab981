// The database as a whole: create, remove, info, dump and check.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "common.h"
#include "snapshot.h"
#include "text.h"

namespace zrdbctl {
namespace {

[[gnu::format(printf, 1, 2)]] std::string format(const char *fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// "item 7 'name'", for messages about the file just parsed.
std::string item_label(const ZRDB_ITEM_DESC &desc) {
  return format("item %d '%.*s'", desc.did, static_cast<int>(strnlen(desc.name, sizeof desc.name)),
                desc.name);
}

// What the parser accepts but the items cannot work with. Checked before
// anything is allocated, so a refusal leaves only the index to discard.
int validate_items(const char *path, const ZRDB_SYS_HDR &hdr) {
  if (hdr.key == IPC_PRIVATE)
    return fail(kUsage, "%s: the [system] section gives no data segment key", path);
  if (!usable_data_key(hdr.key)) {
    return fail(kUsage, "%s: the data key 0x%08x is the index segment's own key; choose another",
                path, static_cast<unsigned>(hdr.key));
  }
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next) {
    if (!record_sound(node->did)) {
      return fail(kFailure, "the parsed index has a damaged item %d (see above)", node->did);
    }
    const ZRDB_ITEM_DESC &desc = *ih->dit[node->did].desc;
    const std::string label = item_label(desc);
    if (desc.type == ZRDB_TYPE_SEMAP) {
      char value[ZRDB_VALUE_LEN + 1] = {};
      std::memcpy(value, node->value, ZRDB_VALUE_LEN);
      char name[ZRDB_VALUE_LEN + 1] = {};
      getItemFromStr(value, 0, name, sizeof name);
      // The name is a POSIX semaphore's: '/' and one path component.
      if (value[0] == '\0' || name[0] != '/' || name[1] == '\0' ||
          std::strchr(name + 1, '/') != nullptr) {
        return fail(kUsage, "%s: a semaphore item needs value=/NAME:COUNT, not '%s'", label.c_str(),
                    value);
      }
    }
    // The least slot that carries anything: a record's head, or a whole
    // message with its payload.
    const bool cbuf = desc.type == ZRDB_TYPE_CBUF;
    if (!cbuf && desc.type != ZRDB_TYPE_MSGBUF) continue;
    const int32_t least = cbuf ? 12 : 12 + ZRDB_MSGBUF_PAYLOAD;
    const char *kind = cbuf ? "circular buffer" : "message buffer";
    if (desc.elemSize <= 0 || desc.count <= 0) {
      return fail(kUsage, "%s: a %s needs slots: give size=E*N with E at least %d", label.c_str(),
                  kind, least);
    }
    if (desc.elemSize < least) {
      return fail(kUsage, "%s: slots of %d bytes are under the %d a %s needs", label.c_str(),
                  desc.elemSize, least, kind);
    }
  }
  return kOk;
}

// Removes by key the data segment that could not be attached. Says what
// became of it; `removed` tells whether it went.
std::string remove_data_by_key(int32_t key, bool &removed) {
  const auto k = static_cast<unsigned>(key);
  removed = false;
  if (!usable_data_key(key))
    return format("the index names no usable data segment key (0x%08x)", k);
  const int id = shmget(key, 0, 0);
  if (id < 0 && errno == ENOENT) return format("the data segment (key 0x%08x) does not exist", k);
  if (id < 0 || shmctl(id, IPC_RMID, nullptr) != 0) {
    return format("the data segment (key 0x%08x) could not be attached nor removed: %s", k,
                  std::strerror(errno));
  }
  removed = true;
  return format("the data segment (key 0x%08x) could not be attached; removed it by key", k);
}

// Deletes the item lock files of the removed database's items that no
// process holds; says which stay.
void remove_lock_files(const std::vector<int32_t> &ids) {
  std::vector<int32_t> held;
  for (const int32_t id : ids) {
    if (zrdb_removeItemLock(id) < 0) held.push_back(id);
  }
  if (!held.empty()) {
    std::printf("kept the lock file(s) of id %s: in use or not removable\n", id_list(held).c_str());
  }
}

// The VLINK queue belongs to the database's master item: any process that
// opened the master made it, and nothing else removes it. It goes before
// the segments: a remove killed once they are gone would leave it where no
// later remove finds it. Needs the index (glb_vLinkDid) still parsed.
void remove_vlink_queue() {
  const int queue = glb_vLinkDid >= 0 ? msgget(ZRDB_VLINK_QUEUE_KEY, 0) : -1;
  if (queue >= 0) msgctl(queue, IPC_RMID, nullptr);
}

// Releases the system objects of every sound item of the database whose
// index this process attached, then removes both segments and the item
// lock files nobody holds. Returns what was left, or "" when everything
// went. A data segment that exists but cannot be attached goes by key only
// when `force` is set: it holds the names of the items' semaphores, which
// would then be lost for good, and the cause may pass (a limit).
std::string remove_database(bool force) {
  ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  const int32_t key = ih->sysHdr->key;
  std::vector<int32_t> ids;
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next)
    ids.push_back(node->did);
  const int rc = zrdb_Init(HBUSER_REMOVE, nullptr);
  if (ih->dataBase == nullptr) {
    const bool dataExists = usable_data_key(key) && shmget(key, 0, 0) >= 0;
    if (force || !dataExists) remove_vlink_queue();
    zrdb_Cleanup();
    if (!force && dataExists) {
      return format(
          "the data segment (key 0x%08x) could not be attached (the lines above say why); "
          "nothing removed: remove again once that is fixed, or give --force to remove the "
          "segments without releasing the items' system objects",
          static_cast<unsigned>(key));
    }
    bool removed = false;
    const std::string data = remove_data_by_key(key, removed);
    if (!discard_index()) return data + "; the index segment could not be removed";
    remove_lock_files(ids);
    return data + (removed ? " and the index segment, without releasing the items' system "
                             "objects (semaphores)"
                           : "; removed the index segment only");
  }
  // Binding failed for want of a resource (memory): removing now would
  // lose the names of the semaphores not yet bound, and the cause may pass.
  if (rc != 0 && rc != ZRDB_ERR_CORRUPT && !force) {
    zrdb_Cleanup();
    return format(
        "binding the items for their release failed (%d; the lines above say why); "
        "nothing removed: remove again once that is fixed, or give --force",
        rc);
  }
  // The walk of the removing mode binds every sound item; the others keep
  // their semaphores, which nothing else names.
  std::vector<int32_t> unbound;
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next) {
    if (ih->dit[node->did].op == nullptr) unbound.push_back(node->did);
  }
  remove_vlink_queue();
  const bool indexRemoved = zrdb_Remove() == 0;
  const int removeError = errno;
  zrdb_Cleanup();
  std::string left;
  if (rc != 0 && unbound.empty()) {
    left = format("removed the segments, but releasing the items' system objects failed (%d)", rc);
  } else if (rc != 0) {
    left = format(
        "removed the segments, but the system objects (semaphores) of %zu %s item(s) "
        "(id %s) were not released",
        unbound.size(), rc == ZRDB_ERR_CORRUPT ? "damaged" : "unbound", id_list(unbound).c_str());
  }
  if (!indexRemoved) {
    const bool dataLeft = shmget(key, 0, 0) >= 0;
    left = std::string(dataLeft ? "removing the data segment failed; the index stays, remove again"
                                : format("removing the index segment failed: %s",
                                         std::strerror(removeError))) +
           (left.empty() ? "" : "; " + left);
  } else {
    remove_lock_files(ids);
  }
  return left;
}

// "remote buffer NAME(ID)" of the item a syncto record names, or what it
// names instead. The target's record is checked before its type is read.
std::string sync_target(int32_t id) {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  const ZRDB_ITEM_DESC *desc = id < ZRDB_MAX_ITEMS ? ih->dit[id].desc : nullptr;
  if (desc == nullptr || (desc->flags & ZRDB_FLAG_ACTIVE) == 0)
    return format("id %d, which is not defined", id);
  if (!record_sound(id)) return format("id %d, which is damaged", id);
  if (desc->type != ZRDB_TYPE_RMTBUF && desc->type != ZRDB_TYPE_VLINKBUF)
    return format("id %d, which is not a remote buffer", id);
  return format("remote buffer %.*s(%d)", static_cast<int>(strnlen(desc->name, sizeof desc->name)),
                desc->name, id);
}

const char *sync_mode(int32_t mode) {
  switch (mode) {
    case 0:
      return "mirrors writes";
    case 1:
      return "mirrors reads and prints";
    default:
      return "mirrors nothing";  // no access has this mode
  }
}

// The items whose accesses are mirrored to a peer (the library sends only
// for a remote buffer id and a peer id of at least 1).
void list_syncto(const std::vector<int32_t> &damaged) {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next) {
    if (std::find(damaged.begin(), damaged.end(), node->did) != damaged.end() ||
        !record_sound(node->did))
      continue;
    const ZRDB_ITEM_DESC &desc = *ih->dit[node->did].desc;
    const ZRDB_SYNCTO to = desc.syncto;
    if (to.rmtDid < 1 || to.remoteId < 1) continue;
    std::printf("syncto: %.*s(%d) -> %s, peer id %d, mode %d (%s)\n",
                static_cast<int>(strnlen(desc.name, sizeof desc.name)), desc.name, desc.did,
                sync_target(to.rmtDid).c_str(), to.remoteId, to.mode, sync_mode(to.mode));
  }
}

// The listing of zrdb_dumpAll, with each item's print line a line of its
// own: a newline in a value shows as \n instead of starting a line.
bool list_items() {
  static const std::string stars(69, '*');
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  const ZRDB_SYS_HDR hdr = *ih->sysHdr;
  std::printf("\n%s\n", stars.c_str());
  {
    const OneLine line;
    std::printf("ZRDB ----- %s ----- Key:%d, Size:%d\n", system_name(hdr).c_str(), hdr.key,
                static_cast<int>(hdr.size));
  }
  std::printf("%s\n", stars.c_str());
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next) {
    const OneLine line;
    zrdb_printValue(node->did, 1);
  }
  const bool written = std::printf("\n%s\n\n", stars.c_str()) > 0;
  return std::fflush(stdout) == 0 && written;
}

// Each VLINK master as zrdbctl watch shows it: the link states and the
// fingerprints of the peers' keys, which the library's listing lacks.
void list_vlink_masters() {
  for (const ZRDB_DIDNODE *node = zrdb_getInfoHdr()->didHead; node != nullptr; node = node->next) {
    if (zrdb_getType(node->did) == ZRDB_TYPE_VLINKMST && zrdb_checkItem(node->did) == 0)
      std::printf("%s\n", to_line(take_snapshot(node->did)).c_str());
  }
}

}  // namespace

int cmd_create(Invocation &inv) {
  const char *path = nullptr;
  const char *restore = nullptr;  // --restore FILE
  for (size_t i = 0; i < inv.args.size(); ++i) {
    if (std::strcmp(inv.args[i], "--restore") == 0 && restore == nullptr) {
      if (i + 1 == inv.args.size()) return fail(kUsage, "--restore needs a parameter set file");
      restore = inv.args[++i];
    } else if (path == nullptr) {
      path = inv.args[i];
    } else {
      return fail(kUsage, "create takes one database file (and --restore FILE), not '%s'",
                  inv.args[i]);
    }
  }
  if (path == nullptr) return fail(kUsage, "create needs a database file");
  // Checked before the index is touched: a FIFO or a device there would
  // block the parse or feed it forever.
  if (const int fd = zrdb_openRegularFile(path, ZRDB_FILE_MAX); fd >= 0) {
    close(fd);
  } else {
    return fail(kUsage, "cannot read %s: %s", path, zrdb_fileProblem(errno));
  }
  const IndexProbe probe = probe_index();
  if (const int rc = probe_failure(probe); rc != kOk) return rc;
  // A parse rewrites the index under any process attached to it: never
  // while a database is allocated.
  if (probe.state == IndexProbe::Valid && data_segment_attached(probe.hdr) >= 0) {
    return fail(kFailure,
                "a database is allocated already (system '%s', data key 0x%08x); remove it first",
                system_name(probe.hdr).c_str(), static_cast<unsigned>(probe.hdr.key));
  }
  // From here on the index backs no allocated database, so a failure
  // removes it rather than leave a stray segment behind.
  if (const int rc = zrdb_cfgParseFromFile(path); rc != 0) {
    if (zrdb_getInfoHdr()->sysHdr == nullptr) {
      zrdb_Cleanup();
      return fail(kFailure, "cannot attach the index segment (%d); the lines above say why", rc);
    }
    discard_index();
    return fail(kUsage, "%s did not parse (%d); the message above says where", path, rc);
  }
  const ZRDB_SYS_HDR hdr = *zrdb_getInfoHdr()->sysHdr;
  int valid = kFailure;
  try {
    valid = validate_items(path, hdr);
  } catch (const std::bad_alloc &) {
    discard_index();  // out of memory ends the command, not with a stray index
    throw;
  }
  if (valid != kOk) {
    discard_index();
    return valid;
  }
  if (zrdb_Init(HBUSER_ALLOCATE, nullptr) != 0) {
    const bool madeData = zrdb_getInfoHdr()->dataBase != nullptr;
    zrdb_Cleanup();
    // The data segment is ours when the attach got that far: release the
    // items' system objects the normal way, then both segments.
    std::string left;
    if (!madeData) {
      if (!discard_index()) left = "the index segment could not be removed";
    } else if (zrdb_cfgParse(path) != 0) {
      discard_index();
      left = "the data segment could not be reached again";
    } else {
      left = remove_database(true);  // the data segment is this command's
    }
    return fail(kFailure, "cannot allocate the database (data key 0x%08x, %u bytes)%s%s",
                static_cast<unsigned>(hdr.key), hdr.size,
                left.empty() ? "" : "; cleaning up: ", left.c_str());
  }
  int items = 0;
  for (const ZRDB_DIDNODE *node = zrdb_getInfoHdr()->didHead; node != nullptr; node = node->next)
    ++items;
  std::printf("created '%s': %d items, data key 0x%08x, %u bytes\n", system_name(hdr).c_str(),
              items, static_cast<unsigned>(hdr.key), hdr.size);
  // The database stays when the restore fails: its file's values are a
  // working start, and the status says what became of the saved ones.
  const int rc = restore != nullptr ? restore_values(restore, false) : kOk;
  zrdb_Cleanup();
  return rc;
}

int cmd_remove(Invocation &inv) {
  const char *file = inv.args.empty() ? inv.opt.dbFile : inv.args[0];
  if (!inv.args.empty() && inv.opt.dbFile != nullptr && std::strcmp(inv.opt.dbFile, file) != 0) {
    return fail(kUsage, "remove: two different database files given");
  }
  const IndexProbe probe = probe_index();
  if (probe.state == IndexProbe::Absent) {
    return fail(kFailure, "no database to remove: the index segment (key 0x%08x) does not exist",
                ZRDB_INDEX_KEY);
  }
  if (const int rc = probe_failure(probe); rc != kOk) return rc;
  // An index that is not valid and cannot be repaired from a file backs
  // nothing usable: it goes, and the reason says so.
  const bool dataLeft = data_segment_attached(probe.hdr) >= 0;
  const char *left = dataLeft ? ", but a data segment with the key it named is left" : "";
  if (probe.state == IndexProbe::Invalid && file == nullptr) {
    if (shmctl(probe.shmId, IPC_RMID, nullptr) != 0) {
      return fail(kFailure, "cannot remove the index segment: %s", std::strerror(errno));
    }
    return fail(kFailure, "the index segment was not valid (no database file given); removed it%s",
                left);
  }
  if (const int rc = zrdb_cfgParse(file != nullptr ? file : ""); rc != 0) {
    // A valid index that could not be read (out of memory, a limit) still
    // finds the data segment and the items' semaphores: it stays.
    if (probe.state == IndexProbe::Valid) {
      zrdb_Cleanup();
      return fail(kFailure,
                  "cannot read the index segment (%d); the lines above say why; nothing "
                  "removed",
                  rc);
    }
    if (!discard_index()) return fail(kFailure, "cannot attach the index segment");
    return fail(kFailure,
                "the index segment was not valid and the database file did not parse; removed it%s",
                left);
  }
  const ZRDB_SYS_HDR hdr = *zrdb_getInfoHdr()->sysHdr;
  // A process still attached would go on with segments that no longer
  // have a key: its writes reach nobody, and a new database is not its.
  if (const int attached = data_segment_attached(hdr); attached > 0 && !inv.opt.force) {
    zrdb_Cleanup();
    return fail(kFailure,
                "%d process(es) are attached to the database ('zrdbctl info' shows them); stop "
                "them first, or give --force",
                attached);
  }
  if (const std::string what = remove_database(inv.opt.force); !what.empty()) {
    return fail(kFailure, "%s", what.c_str());
  }
  std::printf("removed '%s' (data key 0x%08x)\n", system_name(hdr).c_str(),
              static_cast<unsigned>(hdr.key));
  return kOk;
}

int cmd_dump(Invocation &inv) {
  if (inv.opt.json) return print_json_dump(inv);
  if (!list_items()) return fail(kFailure, "writing the listing failed");
  list_syncto(inv.damaged);
  list_vlink_masters();
  if (!inv.damaged.empty()) {
    return fail(kFailure,
                "%zu damaged item(s) could not be listed (id %s); the lines above say why",
                inv.damaged.size(), id_list(inv.damaged).c_str());
  }
  return kOk;
}

int cmd_info(Invocation & /*inv*/) {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  const ZRDB_SYS_HDR hdr = *ih->sysHdr;
  std::array<int, ZRDB_TYPE_COUNT> perType{};
  std::vector<int32_t> damaged;
  int items = 0;
  uint64_t sum = 0;
  uint64_t end = 0;
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next) {
    ++items;
    if (!record_sound(node->did)) {
      damaged.push_back(node->did);
      continue;
    }
    const ZRDB_ITEM_DESC &desc = *ih->dit[node->did].desc;
    ++perType[static_cast<size_t>(desc.type)];
    const auto size = static_cast<uint64_t>(desc.size);
    sum += size;
    if (desc.offset + size > end) end = desc.offset + size;
  }
  const int attached = data_segment_attached(hdr);
  std::printf("system      %s\n", system_name(hdr).c_str());
  std::printf("index key   0x%08x (shmid %d)\n", ZRDB_INDEX_KEY, ih->idxShmId);
  std::printf("data key    0x%08x (%d)\n", static_cast<unsigned>(hdr.key), hdr.key);
  std::printf("data size   %u bytes\n", hdr.size);
  std::printf("data used   %llu bytes (%.1f%%), items end at byte %llu\n",
              static_cast<unsigned long long>(sum),
              hdr.size > 0 ? 100.0 * static_cast<double>(sum) / hdr.size : 0.0,
              static_cast<unsigned long long>(end));
  std::printf("items       %d (highest id %d)\n", items, hdr.maxDid);
  std::printf("by type    ");
  for (size_t t = 0; t < perType.size(); ++t) {
    if (perType[t] > 0) std::printf(" %s %d", DBITEMTYPE_MAP[t].key, perType[t]);
  }
  std::printf("\n");
  if (attached >= 0) {
    std::printf("allocated   yes, %d process(es) attached\n", attached);
  } else {
    std::printf("allocated   no\n");
  }
  if (damaged.empty()) return kOk;
  std::printf("damaged     %zu (id %s), left out above\n", damaged.size(),
              id_list(damaged).c_str());
  return fail(kFailure, "%zu damaged item(s); 'zrdbctl check' lists them", damaged.size());
}

int cmd_check(Invocation & /*inv*/) {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  int items = 0;
  int damaged = 0;
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next) {
    ++items;
    if (record_sound(node->did)) continue;
    ++damaged;
    const char *name = ih->dit[node->did].desc->name;
    std::printf("damaged: item %d '%.*s'\n", node->did,
                static_cast<int>(strnlen(name, ZRDB_ITEM_NAME_LEN)), name);
  }
  std::printf("checked %d item(s): %d damaged\n", items, damaged);
  if (damaged == 0) return kOk;
  return fail(kFailure, "%d of %d item(s) are damaged", damaged, items);
}

}  // namespace zrdbctl
