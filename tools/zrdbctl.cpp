// zrdbctl: the operator's tool. Creates the database from its file, shows
// and edits item values, lists everything, and removes the database again.
//
// It uses only the public header: what it can do, an application can do.
// The only system calls of its own are read-only looks at the segments
// (so that attaching never creates an index by accident) and the removal
// of an index segment that backs no database.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zrdb.h"

namespace {

enum Exit : int {
  kOk = 0,
  kFailure = 1,  // the library or the system refused
  kUsage = 2,    // the command line or its values are wrong
};

// Prints the one-line reason on standard error and returns `status`.
[[gnu::format(printf, 2, 3)]] int fail(int status, const char *fmt, ...) {
  std::fflush(stdout);  // the library's own messages come first
  std::fputs("zrdbctl: ", stderr);
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stderr, fmt, args);
  va_end(args);
  std::fputc('\n', stderr);
  return status;
}

struct Options {
  const char *dbFile = nullptr;  // -f: parsed only when the index is not valid
};

using Args = std::span<char *const>;

// ---------------------------------------------------------------------------
// Looking at the segments without attaching through the library

struct IndexProbe {
  enum State { Absent, Valid, Invalid, Foreign, Unusable } state = Absent;
  int shmId = -1;
  int err = 0;         // errno for Unusable
  ZRDB_SYS_HDR hdr{};  // a copy, for Valid and Invalid
};

// Looks at the index segment read-only: zrdb_cfgParse would create it when
// it is missing, and parse into it when it is not valid.
IndexProbe probe_index() {
  IndexProbe probe;
  probe.shmId = shmget(ZRDB_INDEX_KEY, 0, 0);
  if (probe.shmId < 0) {
    probe.err = errno;
    probe.state = probe.err == ENOENT ? IndexProbe::Absent : IndexProbe::Unusable;
    return probe;
  }
  shmid_ds info{};
  if (shmctl(probe.shmId, IPC_STAT, &info) != 0) {
    probe.err = errno;
    probe.state = IndexProbe::Unusable;
    return probe;
  }
  if (info.shm_segsz < ZRDB_INDEX_SIZE) {
    probe.state = IndexProbe::Foreign;
    return probe;
  }
  void *addr = shmat(probe.shmId, nullptr, SHM_RDONLY);
  if (addr == reinterpret_cast<void *>(-1)) {
    probe.err = errno;
    probe.state = IndexProbe::Unusable;
    return probe;
  }
  std::memcpy(&probe.hdr, addr, sizeof probe.hdr);
  shmdt(addr);
  probe.state = probe.hdr.magic == ZRDB_MAGIC ? IndexProbe::Valid : IndexProbe::Invalid;
  return probe;
}

// Reports a segment under the index key that is there but cannot be used;
// kOk for any other state.
int probe_failure(const IndexProbe &probe) {
  switch (probe.state) {
    case IndexProbe::Unusable:
      return fail(kFailure, "cannot look at the index segment (key 0x%08x): %s", ZRDB_INDEX_KEY,
                  std::strerror(probe.err));
    case IndexProbe::Foreign:
      return fail(kFailure,
                  "the segment with key 0x%08x is smaller than a ZRDB index; not touching it",
                  ZRDB_INDEX_KEY);
    default:
      return kOk;
  }
}

// Key 0 is IPC_PRIVATE: a segment no other process can find, and a new one
// at every attach. A database must name a real key.
bool names_data_key(const ZRDB_SYS_HDR &hdr) { return hdr.key != IPC_PRIVATE; }

// Number of processes attached to the data segment, or -1 when it does not
// exist (or the header names none).
int data_segment_attached(const ZRDB_SYS_HDR &hdr) {
  if (!names_data_key(hdr)) return -1;
  const int id = shmget(hdr.key, 0, 0);
  shmid_ds info{};
  if (id < 0 || shmctl(id, IPC_STAT, &info) != 0) return -1;
  return static_cast<int>(info.shm_nattch);
}

std::string system_name(const ZRDB_SYS_HDR &hdr) {
  return {hdr.name, strnlen(hdr.name, sizeof hdr.name)};
}

// Removes the index segment this process attached: used where it backs no
// allocated database (a failed create, a broken index). False when there
// was none attached.
bool discard_index() {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  const bool attached = ih->sysHdr != nullptr && ih->idxShmId >= 0;
  const bool removed = attached && shmctl(ih->idxShmId, IPC_RMID, nullptr) == 0;
  zrdb_Cleanup();
  return removed;
}

// ---------------------------------------------------------------------------
// Attaching an existing database

enum class Attach { None, Index, Print, Client };

// Attaches the index (and, for Attach::Print, the data segment in the print
// mode, which binds get, set and print of integer and string items; for
// Attach::Client, as an application, which binds the buffers' operations). Never
// creates a database: a missing index is an error, and the file is parsed
// only to repair an index that is not valid.
int attach_existing(const Options &opt, Attach what) {
  const IndexProbe probe = probe_index();
  if (probe.state == IndexProbe::Absent) {
    return fail(kFailure,
                "no database: the index segment (key 0x%08x) does not exist; create one with "
                "'zrdbctl create DBFILE'",
                ZRDB_INDEX_KEY);
  }
  if (const int rc = probe_failure(probe); rc != kOk) return rc;
  if (probe.state == IndexProbe::Invalid && opt.dbFile == nullptr) {
    return fail(
        kFailure,
        "the index segment is not valid (a parse failed); give -f DBFILE to parse it again");
  }
  const int rc = zrdb_cfgParse(opt.dbFile != nullptr ? opt.dbFile : "");
  if (rc != 0) {
    zrdb_Cleanup();
    return fail(
        kFailure, "cannot attach the index: %s (%d)",
        probe.state == IndexProbe::Invalid ? "the database file did not parse" : "attach failed",
        rc);
  }
  if (zrdb_getInfoHdr()->idxShmId != probe.shmId) {
    // Removed and made again between the look and the attach: the new one
    // is this process's doing.
    discard_index();
    return fail(kFailure, "the database was removed while attaching");
  }
  if (what == Attach::Index) return kOk;
  const ZRDB_SYS_HDR &hdr = *zrdb_getInfoHdr()->sysHdr;
  if (!names_data_key(hdr)) {
    zrdb_Cleanup();
    return fail(kFailure, "the index names no data segment key");
  }
  if (zrdb_Init(what == Attach::Print ? HBUSER_PRINT : HBUSER_CLIENT, nullptr) != 0) {
    const bool missing = data_segment_attached(hdr) < 0;
    zrdb_Cleanup();
    return fail(kFailure, "cannot attach the data segment (key 0x%08x)%s",
                static_cast<unsigned>(hdr.key),
                missing ? ": it does not exist (the database is not allocated)" : "");
  }
  return kOk;
}

// ---------------------------------------------------------------------------
// Items and values

// Descriptor of an active item, or null. Reads the index through the
// process's own index header, so that no query logs about unknown ids.
const ZRDB_ITEM_DESC *active_descriptor(int32_t id) {
  if (id < 0 || id >= ZRDB_MAX_ITEMS) return nullptr;
  const ZRDB_ITEM_DESC *desc = zrdb_getInfoHdr()->dit[id].desc;
  return desc != nullptr && (desc->flags & ZRDB_FLAG_ACTIVE) != 0 ? desc : nullptr;
}

const char *type_name(int32_t type) {
  return type >= 0 && type < ZRDB_TYPE_COUNT ? DBITEMTYPE_MAP[type].key : "unknown";
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A non-negative decimal number that fits 31 bits, or -1.
int32_t small_number(std::string_view text) {
  if (!all_digits(text) || text.size() > 9) return -1;
  return static_cast<int32_t>(std::strtol(std::string(text).c_str(), nullptr, 10));
}

// An item id written as digits, or a name looked up through the
// descriptors of the defined items.
const ZRDB_ITEM_DESC *find_item(std::string_view text) {
  if (all_digits(text)) return active_descriptor(small_number(text));
  if (text.empty() || text.size() >= ZRDB_ITEM_NAME_LEN) return nullptr;
  for (const ZRDB_DIDNODE *node = zrdb_getInfoHdr()->didHead; node != nullptr; node = node->next) {
    const ZRDB_ITEM_DESC *desc = active_descriptor(node->did);
    if (desc != nullptr &&
        text == std::string_view(desc->name, strnlen(desc->name, ZRDB_ITEM_NAME_LEN))) {
      return desc;
    }
  }
  return nullptr;
}

struct ItemRef {
  const ZRDB_ITEM_DESC *desc = nullptr;
  bool indexed = false;
  int32_t index = 0;
  std::string label;  // as the user wrote it, for messages

  // The elements an access covers: the one named, or all of them.
  int32_t first() const { return indexed ? index : 0; }
  int32_t last() const { return indexed ? index : desc->count - 1; }
  bool plain() const {
    return desc->type == ZRDB_TYPE_USER || desc->type == ZRDB_TYPE_INTEGER ||
           desc->type == ZRDB_TYPE_STRING;
  }
};

// ITEM or ITEM.IDX. A whole name wins over a split, so an item whose name
// holds a dot stays reachable.
int resolve_item(const char *text, ItemRef &ref) {
  ref.label = text;
  const std::string_view whole(text);
  ref.desc = find_item(whole);
  if (ref.desc != nullptr) return kOk;
  const size_t dot = whole.rfind('.');
  if (dot == std::string_view::npos) return fail(kUsage, "unknown item '%s'", text);
  const std::string_view name = whole.substr(0, dot);
  const std::string_view index = whole.substr(dot + 1);
  ref.desc = find_item(name);
  if (ref.desc == nullptr)
    return fail(kUsage, "unknown item '%.*s'", static_cast<int>(name.size()), name.data());
  ref.indexed = true;
  ref.index = small_number(index);
  if (ref.index < 0)
    return fail(kUsage, "bad element index '%.*s'", static_cast<int>(index.size()), index.data());
  // Only the plain types take element numbers; other types give the index
  // a meaning of their own (print commands).
  if (ref.plain() && ref.index >= ref.desc->count) {
    return fail(kUsage, "index %d out of range: '%.*s' has %d element(s)", ref.index,
                static_cast<int>(name.size()), name.data(), ref.desc->count);
  }
  return kOk;
}

// Bytes of one integer element that get and set move: the elements are
// 32-bit, but a narrower configured element must not spill into the next.
int32_t integer_width(const ZRDB_ITEM_DESC &desc) {
  return desc.elemSize > 0 && desc.elemSize < 4 ? desc.elemSize : 4;
}

// Decimal (a leading minus gives the 32-bit two's complement) or 0x hex.
bool parse_integer(const char *text, uint32_t &out) {
  const std::string_view s(text);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    const std::string_view digits = s.substr(2);
    if (digits.size() > 8) return false;
    for (const char c : digits) {
      const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex) return false;
    }
    out = static_cast<uint32_t>(std::strtoul(std::string(digits).c_str(), nullptr, 16));
    return true;
  }
  const bool negative = !s.empty() && s[0] == '-';
  const std::string_view digits = negative ? s.substr(1) : s;
  if (!all_digits(digits) || digits.size() > 10) return false;
  const unsigned long long magnitude = std::strtoull(std::string(digits).c_str(), nullptr, 10);
  if (negative) {
    if (magnitude > 0x80000000ULL) return false;
    out = static_cast<uint32_t>(0x100000000ULL - magnitude);
    return true;
  }
  if (magnitude > 0xFFFFFFFFULL) return false;
  out = static_cast<uint32_t>(magnitude);
  return true;
}

int check_value_type(const ItemRef &ref, const char *command) {
  const int32_t type = ref.desc->type;
  if (type == ZRDB_TYPE_INTEGER || type == ZRDB_TYPE_STRING) {
    if (ref.desc->elemSize <= 0 || ref.desc->count <= 0) {
      return fail(kUsage, "'%s' has no elements", ref.label.c_str());
    }
    return kOk;
  }
  return fail(kUsage,
              "%s: '%s' is a %s item; %s takes integer and string items (see 'zrdbctl print')",
              command, ref.label.c_str(), type_name(type), command);
}

// A user item is an opaque block: shown as hex, sixteen bytes a line.
int show_user_block(const ItemRef &ref) {
  if (ref.indexed)
    return fail(kUsage, "'%s' is a user block; it has no elements", ref.label.c_str());
  ZRDB_BLK_INFO blk{};
  if (zrdb_getUserBlkInfo(ref.desc->did, &blk) != 0 || blk.addr == nullptr) {
    return fail(kFailure, "cannot reach the data of '%s'", ref.label.c_str());
  }
  const auto *bytes = static_cast<const unsigned char *>(blk.addr);
  for (int32_t at = 0; at < blk.size; at += 16) {
    std::printf("%04x:", static_cast<unsigned>(at));
    for (int32_t i = at; i < at + 16 && i < blk.size; ++i) std::printf(" %02x", bytes[i]);
    std::printf("\n");
  }
  return kOk;
}

// ---------------------------------------------------------------------------
// Commands

int cmd_create(const Options & /*opt*/, Args args) {
  const char *path = args[0];
  if (FILE *file = std::fopen(path, "r"); file != nullptr) {
    std::fclose(file);
  } else {
    return fail(kUsage, "cannot read %s: %s", path, std::strerror(errno));
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
    discard_index();
    return fail(kFailure, "%s did not parse (%d); the message above says where", path, rc);
  }
  const ZRDB_SYS_HDR hdr = *zrdb_getInfoHdr()->sysHdr;
  if (!names_data_key(hdr)) {
    discard_index();
    return fail(kUsage, "%s: the [system] section gives no data segment key", path);
  }
  if (zrdb_Init(HBUSER_ALLOCATE, nullptr) != 0) {
    const bool madeData = zrdb_getInfoHdr()->dataBase != nullptr;
    zrdb_Cleanup();
    // The data segment is ours when the attach got that far: release the
    // items' system objects the normal way, then both segments.
    if (madeData && zrdb_cfgParse(path) == 0 && zrdb_Init(HBUSER_REMOVE, nullptr) == 0) {
      zrdb_Remove();
    } else {
      discard_index();
    }
    return fail(kFailure, "cannot allocate the data segment (key 0x%08x, %u bytes)",
                static_cast<unsigned>(hdr.key), hdr.size);
  }
  int items = 0;
  for (const ZRDB_DIDNODE *node = zrdb_getInfoHdr()->didHead; node != nullptr; node = node->next)
    ++items;
  zrdb_Cleanup();
  std::printf("created '%s': %d items, data key 0x%08x, %u bytes\n", system_name(hdr).c_str(),
              items, static_cast<unsigned>(hdr.key), hdr.size);
  return kOk;
}

int cmd_remove(const Options &opt, Args args) {
  const char *file = args.empty() ? opt.dbFile : args[0];
  if (!args.empty() && opt.dbFile != nullptr && std::strcmp(opt.dbFile, args[0]) != 0) {
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
  const bool dataLeft = names_data_key(probe.hdr) && data_segment_attached(probe.hdr) >= 0;
  const char *left = dataLeft ? ", but a data segment with the key it named is left" : "";
  if (probe.state == IndexProbe::Invalid && file == nullptr) {
    if (shmctl(probe.shmId, IPC_RMID, nullptr) != 0) {
      return fail(kFailure, "cannot remove the index segment: %s", std::strerror(errno));
    }
    return fail(kFailure, "the index segment was not valid (no database file given); removed it%s",
                left);
  }
  if (zrdb_cfgParse(file != nullptr ? file : "") != 0) {
    if (!discard_index()) return fail(kFailure, "cannot attach the index segment");
    return fail(kFailure,
                "the index segment was not valid and the database file did not parse; removed it%s",
                left);
  }
  const ZRDB_SYS_HDR hdr = *zrdb_getInfoHdr()->sysHdr;
  if (!names_data_key(hdr) || zrdb_Init(HBUSER_REMOVE, nullptr) != 0) {
    zrdb_Cleanup();
    discard_index();
    return fail(
        kFailure,
        "the data segment (key 0x%08x) could not be attached; removed the index segment only",
        static_cast<unsigned>(hdr.key));
  }
  if (zrdb_Remove() != 0) {
    zrdb_Cleanup();
    return fail(kFailure, "removing the index segment failed");
  }
  zrdb_Cleanup();
  std::printf("removed '%s' (data key 0x%08x)\n", system_name(hdr).c_str(),
              static_cast<unsigned>(hdr.key));
  return kOk;
}

int cmd_dump(const Options & /*opt*/, Args /*args*/) {
  if (zrdb_dumpAll() < 0) return fail(kFailure, "writing the listing failed");
  return kOk;
}

int cmd_info(const Options & /*opt*/, Args /*args*/) {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  const ZRDB_SYS_HDR &hdr = *ih->sysHdr;
  std::array<int, ZRDB_TYPE_COUNT> perType{};
  int items = 0;
  uint64_t sum = 0;
  uint64_t end = 0;
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next) {
    const ZRDB_ITEM_DESC *desc = active_descriptor(node->did);
    if (desc == nullptr) continue;
    ++items;
    if (desc->type >= 0 && desc->type < ZRDB_TYPE_COUNT) ++perType[static_cast<size_t>(desc->type)];
    const auto size = static_cast<uint64_t>(desc->size > 0 ? desc->size : 0);
    sum += size;
    if (desc->offset + size > end) end = desc->offset + size;
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
  return kOk;
}

int cmd_get(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_item(args[0], ref); rc != kOk) return rc;
  if (ref.desc->type == ZRDB_TYPE_USER) return show_user_block(ref);
  if (const int rc = check_value_type(ref, "get"); rc != kOk) return rc;
  const int32_t id = ref.desc->did;
  if (ref.desc->type == ZRDB_TYPE_INTEGER) {
    const int32_t width = integer_width(*ref.desc);
    for (int32_t i = ref.first(); i <= ref.last(); ++i) {
      uint32_t value = 0;
      if (const int rc = zrdb_getiValue(id, i, &value, width); rc != 0) {
        return fail(kFailure, "reading '%s' element %d failed (%d)", ref.label.c_str(), i, rc);
      }
      std::printf("%u\n", value);
    }
    return kOk;
  }
  std::vector<char> text(static_cast<size_t>(ref.desc->elemSize) + 1, '\0');
  for (int32_t i = ref.first(); i <= ref.last(); ++i) {
    std::fill(text.begin(), text.end(), '\0');
    if (const int rc = zrdb_getiValue(id, i, text.data(), ref.desc->elemSize); rc != 0) {
      return fail(kFailure, "reading '%s' element %d failed (%d)", ref.label.c_str(), i, rc);
    }
    std::printf("%s\n", text.data());  // the slot is NUL-terminated by the extra byte
  }
  return kOk;
}

int cmd_set(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_item(args[0], ref); rc != kOk) return rc;
  if (const int rc = check_value_type(ref, "set"); rc != kOk) return rc;
  const char *value = args[1];
  const int32_t id = ref.desc->did;
  // Everything is checked before the first write: a bad value changes nothing.
  std::vector<char> bytes;
  int32_t len = 0;
  if (ref.desc->type == ZRDB_TYPE_INTEGER) {
    uint32_t number = 0;
    len = integer_width(*ref.desc);
    if (!parse_integer(value, number))
      return fail(kUsage, "bad number '%s' (decimal or 0x hex)", value);
    if (len < 4 && number >> (8 * len) != 0) {
      return fail(kUsage, "%s does not fit the %d-byte elements of '%s'", value, len,
                  ref.label.c_str());
    }
    bytes.resize(4);
    std::memcpy(bytes.data(), &number, 4);  // the low bytes first, as the machine stores them
  } else {
    len = ref.desc->elemSize;
    const size_t textLen = std::strlen(value);
    if (textLen > static_cast<size_t>(len)) {
      return fail(kUsage, "'%s' is %zu bytes; an element of '%s' holds %d", value, textLen,
                  ref.label.c_str(), len);
    }
    // NUL-padded to the element, so no tail of an older, longer text stays.
    bytes.assign(static_cast<size_t>(len), '\0');
    std::memcpy(bytes.data(), value, textLen);
  }
  for (int32_t i = ref.first(); i <= ref.last(); ++i) {
    if (const int rc = zrdb_setiValue(id, i, bytes.data(), len); rc != 0) {
      return fail(kFailure, "writing '%s' element %d failed (%d)", ref.label.c_str(), i, rc);
    }
  }
  return kOk;
}

int cmd_print(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_item(args[0], ref); rc != kOk) return rc;
  int32_t mode = 1;
  if (args.size() > 1) {
    uint32_t parsed = 0;
    if (!parse_integer(args[1], parsed)) return fail(kUsage, "bad print mode '%s'", args[1]);
    mode = static_cast<int32_t>(parsed);
  }
  const int rc = ref.indexed ? zrdb_printiValue(ref.desc->did, ref.index, mode)
                             : zrdb_printValue(ref.desc->did, mode);
  std::fflush(stdout);
  if (rc != 0) {
    return fail(kFailure, "printing '%s' failed (%d)%s", ref.label.c_str(), rc,
                rc == -3 ? ": its type has no print handler for this" : "");
  }
  return kOk;
}

// ---------------------------------------------------------------------------
// Semaphores, circular buffers and message buffers

// Resolves ITEM and checks that it is of `type`.
int resolve_typed(const char *text, int32_t type, ItemRef &ref) {
  if (const int rc = resolve_item(text, ref); rc != kOk) return rc;
  if (ref.desc->type != type) {
    return fail(kUsage, "'%s' is of type %s, not %s", text, DBITEMTYPE_MAP[ref.desc->type].key,
                DBITEMTYPE_MAP[type].key);
  }
  return kOk;
}

int parse_number_arg(const char *text, const char *what, uint32_t &out) {
  return parse_integer(text, out) ? kOk : fail(kUsage, "bad %s '%s'", what, text);
}

int cmd_sem_post(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_typed(args[0], ZRDB_TYPE_SEMAP, ref); rc != kOk) return rc;
  uint32_t binary = 0;
  if (args.size() > 1) {
    if (const int rc = parse_number_arg(args[1], "binary flag", binary); rc != kOk) return rc;
  }
  const int rc = zrdb_semaPost(ref.desc->did, static_cast<int32_t>(binary));
  return rc == 0 ? kOk : fail(kFailure, "posting '%s' failed (%d)", ref.label.c_str(), rc);
}

int cmd_sem_wait(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_typed(args[0], ZRDB_TYPE_SEMAP, ref); rc != kOk) return rc;
  uint32_t timeout = 0;
  if (args.size() > 1) {
    if (const int rc = parse_number_arg(args[1], "time-out", timeout); rc != kOk) return rc;
  }
  const int rc = zrdb_semaWait_timeout_us(ref.desc->did, timeout);
  if (rc == 0) return kOk;
  return fail(kFailure, "waiting on '%s' failed%s (%d)", ref.label.c_str(),
              timeout != 0 ? " or timed out" : "", rc);
}

int cmd_sem_value(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_typed(args[0], ZRDB_TYPE_SEMAP, ref); rc != kOk) return rc;
  int32_t value = 0;
  const int rc = zrdb_semaGetValue(ref.desc->did, &value);
  if (rc != 0) return fail(kFailure, "reading '%s' failed (%d)", ref.label.c_str(), rc);
  std::printf("%d\n", value);
  return kOk;
}

int cmd_cbuf_write(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_typed(args[0], ZRDB_TYPE_CBUF, ref); rc != kOk) return rc;
  const char *data = args.size() > 2 ? args[2] : "";
  const auto msize = static_cast<int32_t>(std::strlen(args[1]));
  const auto dsize = static_cast<int32_t>(std::strlen(data));
  const int32_t room = ref.desc->elemSize - 12;
  if (msize + dsize > room) {
    return fail(kUsage, "the record is %d bytes; a slot of '%s' carries %d", msize + dsize,
                ref.label.c_str(), room);
  }
  const int rc = zrdb_cbufWrite(ref.desc->did, args[1], msize, data, dsize);
  return rc == 0 ? kOk : fail(kFailure, "writing to '%s' failed (%d)", ref.label.c_str(), rc);
}

int cmd_cbuf_read(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_typed(args[0], ZRDB_TYPE_CBUF, ref); rc != kOk) return rc;
  const auto room = static_cast<size_t>(std::max(ref.desc->elemSize, 0));
  std::vector<char> msg(room + 1, '\0');
  std::vector<char> data(room + 1, '\0');
  int32_t msgLen = 0;
  int32_t dataLen = 0;
  const int rc = zrdb_cbufRead(ref.desc->did, msg.data(), static_cast<int32_t>(room), data.data(),
                               static_cast<int32_t>(room), &msgLen, &dataLen);
  if (rc == -1) return fail(kFailure, "'%s' is empty", ref.label.c_str());
  if (rc != 0) return fail(kFailure, "reading '%s' failed (%d)", ref.label.c_str(), rc);
  std::printf("message: %.*s\ndata: %.*s\n", msgLen, msg.data(), dataLen, data.data());
  return kOk;
}

int cmd_msg_write(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_typed(args[0], ZRDB_TYPE_MSGBUF, ref); rc != kOk) return rc;
  uint32_t from = 0;
  uint32_t arg = 0;
  if (const int rc = parse_number_arg(args[1], "sender id", from); rc != kOk) return rc;
  if (const int rc = parse_number_arg(args[2], "argument", arg); rc != kOk) return rc;
  const char *text = args.size() > 3 ? args[3] : "";
  const size_t len = std::strlen(text);
  if (len > ZRDB_MSGBUF_PAYLOAD) {
    return fail(kUsage, "the payload is %zu bytes; a message carries %d", len, ZRDB_MSGBUF_PAYLOAD);
  }
  char payload[ZRDB_MSGBUF_PAYLOAD] = {};
  std::memcpy(payload, text, len);
  // A message always carries its payload, also an empty one.
  const int rc = zrdb_msgbufWrite(ref.desc->did, static_cast<int32_t>(from),
                                  static_cast<int32_t>(arg), ZRDB_MSGBUF_PAYLOAD, payload);
  return rc == 0 ? kOk : fail(kFailure, "writing to '%s' failed (%d)", ref.label.c_str(), rc);
}

int cmd_msg_read(const Options & /*opt*/, Args args) {
  ItemRef ref;
  if (const int rc = resolve_typed(args[0], ZRDB_TYPE_MSGBUF, ref); rc != kOk) return rc;
  int32_t from = 0;
  int32_t arg = 0;
  int32_t msize = 0;
  char payload[ZRDB_MSGBUF_PAYLOAD + 1] = {};
  const int rc = zrdb_msgbufRead(ref.desc->did, &from, &arg, &msize, payload);
  if (rc == -1) return fail(kFailure, "'%s' is empty", ref.label.c_str());
  if (rc != 0) return fail(kFailure, "reading '%s' failed (%d)", ref.label.c_str(), rc);
  std::printf("from: %d\narg: %d\nsize: %d\npayload: %s\n", from, arg, msize, payload);
  return kOk;
}

// ---------------------------------------------------------------------------
// The command table: a new command is one handler and one row.

struct Command {
  const char *name;
  const char *args;     // usage after the name
  const char *summary;  // one line of --help
  size_t minArgs;
  size_t maxArgs;
  Attach attach;  // what is attached before the handler runs
  int (*run)(const Options &, Args);
};

constexpr Command kCommands[] = {
    {"create", "DBFILE", "parse DBFILE and allocate the database", 1, 1, Attach::None, cmd_create},
    {"remove", "[DBFILE]", "release the items' system objects and remove both segments", 0, 1,
     Attach::None, cmd_remove},
    {"info", "", "system header, data segment use and item count", 0, 0, Attach::Index, cmd_info},
    {"dump", "", "list the header and every item with its value", 0, 0, Attach::Print, cmd_dump},
    {"get", "ITEM[.IDX]", "show a value (unsigned decimal, text, or hex for user blocks)", 1, 1,
     Attach::Print, cmd_get},
    {"set", "ITEM[.IDX] VALUE", "write a value (decimal or 0x hex; text of at most one element)", 2,
     2, Attach::Print, cmd_set},
    {"print", "ITEM[.IDX] [MODE]", "print through the item's own print handler (MODE 1 by default)",
     1, 2, Attach::Print, cmd_print},
    {"sem-post", "ITEM [BINARY]", "post a semaphore item (BINARY 1: only up to a count of 2)", 1, 2,
     Attach::Client, cmd_sem_post},
    {"sem-wait", "ITEM [TIMEOUT_US]", "wait on a semaphore item (0 or none: without limit)", 1, 2,
     Attach::Client, cmd_sem_wait},
    {"sem-value", "ITEM", "show the count of a semaphore item", 1, 1, Attach::Client,
     cmd_sem_value},
    {"cbuf-write", "ITEM MSG [DATA]", "write one record to a circular buffer", 2, 3, Attach::Client,
     cmd_cbuf_write},
    {"cbuf-read", "ITEM", "read one record of a circular buffer", 1, 1, Attach::Client,
     cmd_cbuf_read},
    {"msg-write", "ITEM FROM ARG [TEXT]", "queue a message in a message buffer", 3, 4,
     Attach::Client, cmd_msg_write},
    {"msg-read", "ITEM", "take one message of a message buffer", 1, 1, Attach::Client,
     cmd_msg_read},
};

void usage_line(FILE *out, const Command &cmd) {
  std::fprintf(out, "usage: zrdbctl [-f DBFILE] %s%s%s\n", cmd.name, cmd.args[0] != '\0' ? " " : "",
               cmd.args);
}

void print_help() {
  std::printf(
      "usage: zrdbctl [-f DBFILE] COMMAND [ARGS]\n\n"
      "Creates, shows, edits and removes the ZRDB database of this machine.\n\n"
      "commands:\n");
  for (const Command &cmd : kCommands) {
    const std::string head = std::string(cmd.name) + " " + cmd.args;
    std::printf("  %-26s %s\n", head.c_str(), cmd.summary);
  }
  std::printf(
      "\n"
      "ITEM is an item id (0..4999) or an item name, IDX an element index; without\n"
      "IDX, get and set act on every element of the item. 'print ITEM 2' resets the\n"
      "statistics of a circular buffer and refills a semaphore to its initial count.\n"
      "\n"
      "Every command but create attaches the existing database and never creates\n"
      "one: without an index segment (key 0x%08x) it fails and leaves nothing\n"
      "behind. The database file is read only when the index is not valid (a parse\n"
      "failed): give it with -f DBFILE, or as the argument of remove. create refuses\n"
      "while a database is allocated, and a failed create removes the segments it\n"
      "made.\n"
      "\n"
      "Exit status: 0 success; 1 the library or the system reported a failure;\n"
      "2 usage error or bad input (unknown item, bad number, index out of range).\n"
      "Failures give a one-line reason on standard error.\n",
      ZRDB_INDEX_KEY);
}

bool is_help(const char *arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  int at = 1;
  for (; at < argc && argv[at][0] == '-'; ++at) {
    if (is_help(argv[at])) {
      print_help();
      return kOk;
    }
    if (std::strcmp(argv[at], "-f") == 0) {
      if (at + 1 >= argc) return fail(kUsage, "-f needs a database file");
      opt.dbFile = argv[++at];
      continue;
    }
    return fail(kUsage, "unknown option '%s' (see zrdbctl --help)", argv[at]);
  }
  if (at >= argc) return fail(kUsage, "no command given (see zrdbctl --help)");
  const std::string_view name(argv[at]);
  const Command *cmd = nullptr;
  for (const Command &c : kCommands) {
    if (name == c.name) cmd = &c;
  }
  if (cmd == nullptr) return fail(kUsage, "unknown command '%s' (see zrdbctl --help)", argv[at]);
  const Args args(argv + at + 1, static_cast<size_t>(argc - at - 1));
  if (!args.empty() && is_help(args[0])) {
    usage_line(stdout, *cmd);
    return kOk;
  }
  if (args.size() < cmd->minArgs || args.size() > cmd->maxArgs) {
    std::fputs("zrdbctl: wrong number of arguments; ", stderr);
    usage_line(stderr, *cmd);
    return kUsage;
  }
  if (cmd->attach == Attach::None) return cmd->run(opt, args);
  if (const int rc = attach_existing(opt, cmd->attach); rc != kOk) return rc;
  const int rc = cmd->run(opt, args);
  std::fflush(stdout);
  zrdb_Cleanup();
  return rc;
}
