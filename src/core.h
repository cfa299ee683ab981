// Internal declarations shared by the library's modules. Nothing here is part
// of the public interface; the tests reach these names through this header.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "diag/log.h"
#include "setup/records.h"
#include "zrdb.h"

extern "C" {
// Configuration file reader and its line parsers.
int cfgParser(const char *path);
int parseSegSystem(const char *line, int lineNo);
int parseSegDatabase(const char *line, int lineNo);
// Rebuilds the private item list from a valid index segment.
int cfgShmParser(void);

// Result of parsing one application configuration line.
typedef struct ZRDB_APP_LINE {
  char name[128];
  int32_t id;
} ZRDB_APP_LINE;

// One "item(first-last)" range of a link definition.
typedef struct ZRDB_ITEM_RANGE {
  int32_t did;
  int32_t first;
  int32_t last;
} ZRDB_ITEM_RANGE;

int parseAppCfgLine(const char *line, int lineNo, ZRDB_APP_LINE *out);
void parseSymblinkStr(ZRDB_SYMBLINK *link, const char *ranges);
int getItemRangeFromStr(ZRDB_ITEM_RANGE *out, const char *text);
}

namespace zrdb {

inline constexpr const char *kTokenDelims = " =,\t\r\n";

// Copies at most `size` - 1 characters of src (all `size` when `terminate` is
// false) into dst and pads the rest of dst with NUL bytes.
inline void copy_padded(char *dst, size_t size, const char *src, bool terminate = true) {
  if (size == 0) return;
  const size_t limit = terminate ? size - 1 : size;
  const size_t n = src != nullptr ? strnlen(src, limit) : 0;
  if (n > 0) std::memcpy(dst, src, n);
  std::memset(dst + n, 0, size - n);
}
template <size_t N>
void copy_padded(char (&dst)[N], const char *src) {
  copy_padded(dst, N, src);
}

// A tokeniser over a bounded private copy of one configuration line, so that
// no tokeniser state is shared between calls.
class LineTokens {
 public:
  explicit LineTokens(const char *line) { copy_padded(copy_, line); }
  char *next(const char *delims = kTokenDelims) {
    char *tok = strtok_r(first_ ? copy_ : nullptr, delims, &save_);
    first_ = false;
    return tok;
  }

 private:
  char copy_[ZRDB_LINE_LEN] = {};
  char *save_ = nullptr;
  bool first_ = true;
};

inline bool valid_id(int32_t id) { return id >= 0 && id < ZRDB_MAX_ITEMS; }

// The descriptor of `id` in the attached index segment, or null when the id
// is out of range or no index is attached.
inline ZRDB_ITEM_DESC *descriptor(int32_t id) {
  if (!valid_id(id) || zrdbIndexHdr.sysHdr == nullptr) return nullptr;
  auto *base = reinterpret_cast<unsigned char *>(zrdbIndexHdr.sysHdr);
  return reinterpret_cast<ZRDB_ITEM_DESC *>(base + ZRDB_SYS_HDR_SIZE +
                                            static_cast<size_t>(id) * ZRDB_ITEM_DESC_SIZE);
}

// The item and element that element `idx` of link `id` (a link id) stands
// for; (-1, -1) for an undefined link or an element beyond its pairs. The
// links live in this process's own memory, not in a segment.
inline ZRDB_SYMPAIR link_pair(int32_t id, int32_t idx) {
  const int32_t k = id - ZRDB_SYMBLINK_BASE;
  const ZRDB_SYMBLINK *link = k < glb_symblink_total ? glb_symblink[k] : nullptr;
  if (link != nullptr && idx >= 0 && idx < link->count) return link->pairs[idx];
  return {-1, -1};
}

// True when an access in `mode` would send a sync message for the item. The
// access path calls the hook only then: otherwise the hook has no effect.
inline bool sync_wanted(const ZRDB_ITEM_DESC *desc, int32_t mode) {
  return desc->syncto.mode == mode && desc->syncto.rmtDid >= 1 && desc->syncto.remoteId >= 1;
}

// Address of an item's data area in this process.
inline unsigned char *item_data(const ZRDB_DIT *dit) {
  return static_cast<unsigned char *>(zrdbIndexHdr.dataBase) + dit->desc->offset;
}

// The configuration text at the head of an item's data area (semaphores,
// VLINK items, remote buffers): at most 128 bytes and never past the item,
// NUL-terminated, so that no parser reads beyond what the item holds.
struct ItemText {
  char text[ZRDB_VALUE_LEN + 1];
};
inline ItemText item_text(const ZRDB_DIT *dit) {
  ItemText t{};
  const size_t size = dit->desc->size > 0 ? static_cast<size_t>(dit->desc->size) : 0;
  std::memcpy(t.text, item_data(dit), size < ZRDB_VALUE_LEN ? size : ZRDB_VALUE_LEN);
  return t;
}

// An address as the 32-bit hexadecimal word the log lines show.
inline unsigned address_word(const void *p) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

// Reads a base-0 integer literal (decimal, 0x hex, 0 octal) like a 32-bit
// strtol: out-of-range values saturate; an empty or non-numeric text reads
// as 0.
int32_t parse_int(const char *text);
// Reads leading decimal digits like atoi, saturating instead of overflowing.
int32_t parse_decimal(const char *text);

// Bytes an item of `type` occupies for the size key E*N (0, 0 when absent);
// adjusts E and N where the type fixes them. Negative when E*N is unusable:
// negative E or N cannot describe a data area, and the size must fit the
// descriptor's signed 32-bit field.
int64_t item_size_for(int32_t type, int32_t &elemSize, int32_t &count);

// Appends a zeroed node for `did` to the item list; null when out of memory.
ZRDB_DIDNODE *append_item_node(int32_t did);
// Whether the index defines item `id` (its descriptor is active).
bool item_defined(int32_t id);
// The id of the defined item in this process's item list whose name is
// exactly `name` (read within the descriptor's field), or -1.
int32_t item_named(const char *name);
// Frees the item list nodes (not the handler tables).
void free_item_list();
// Lets go of this process's index the way zrdb_Cleanup does (closing every
// bound item), then frees the handler tables and detaches the index; the
// next attach starts from nothing.
void release_process_index();
// Frees every symbolic link of this process.
void free_symblinks();
// Forgets the names the application files gave (zrdb_findItem).
void free_app_names();

// Notes the real size of the data segment just attached (or none, 0):
// the bound of every record check. Points each bound item at its data area
// in it when its record was checked against a segment of that size, else
// at none.
void set_data_segment(uint64_t size);
// The descriptor words a record check covers, as they were when the check
// last passed for a bound item, and the data segment size it passed against.
struct CheckedRecord {
  uint64_t head[4];  // did, flags, size, elemSize, count, map, type
  uint32_t offset;
  uint64_t limit;  // 0: never checked
};
// What bind allocates per bound item: the handler table (first, so that
// the table's address is the block's), the record as last checked, the
// process that bound it, and the access mode (0 write, 1 read) whose
// accesses send a sync message, -1 for none: the usual access asks these,
// never the shared descriptor.
struct BoundItem {
  ZRDB_ITEM_OPS ops;
  CheckedRecord checked;
  pid_t opener;
  int32_t syncMode;
  // The item's data area in the data segment attached now, kept by
  // set_data_segment; null when none is attached or the record was checked
  // against another segment. One load tells the usual access both.
  unsigned char *data;
};
// Whether this process bound and opened the item, rather than inheriting it
// through fork. A release handler called in another process only drops the
// per-process state it inherited (closes its copies of the descriptors,
// frees its memory) and touches nothing shared: the flags, status bits and
// locks stay the opener's.
bool opened_here(const ZRDB_DIT &dit);
inline constexpr size_t kCheckedHeadOffset = 32;
static_assert(offsetof(ZRDB_ITEM_DESC, type) + 4 - kCheckedHeadOffset ==
              sizeof(CheckedRecord{}.head));

// Real size of the data segment attached in this process; 0 when none.
// Set only by set_data_segment.
extern uint64_t g_dataSegmentSize;

// The block bind allocated for the handler table `op` of a bound item.
inline const BoundItem &bound_item(const ZRDB_ITEM_OPS *op) {
  return *reinterpret_cast<const BoundItem *>(op);
}
inline BoundItem &bound_item(ZRDB_ITEM_OPS *op) { return *reinterpret_cast<BoundItem *>(op); }

// An item's geometry as it passed the full record check when this process
// bound it, read from the process's own copy of that record: a descriptor
// scribbled on after the check can neither redirect nor widen an access,
// and no descriptor word is read again per access.
struct BoundGeometry {
  int32_t did;
  uint32_t flags;
  int32_t size;
  int32_t elemSize;
  int32_t count;
  int32_t type;
  unsigned char *data;  // the data area
};

// One 32-bit field of the descriptor as the copy holds it.
template <size_t Field>
inline int32_t checked_field(const CheckedRecord &rec) {
  static_assert(Field >= kCheckedHeadOffset &&
                Field + 4 <= kCheckedHeadOffset + sizeof(CheckedRecord{}.head));
  int32_t value = 0;
  std::memcpy(&value,
              reinterpret_cast<const unsigned char *>(rec.head) + Field - kCheckedHeadOffset,
              sizeof value);
  return value;
}

// False when the item is not bound here or its copy was checked against
// another data segment than the one attached now.
inline bool bound_geometry(const BoundItem &bound, BoundGeometry &g) {
  if (bound.data == nullptr) return false;
  const CheckedRecord &rec = bound.checked;
  g = {checked_field<offsetof(ZRDB_ITEM_DESC, did)>(rec),
       static_cast<uint32_t>(checked_field<offsetof(ZRDB_ITEM_DESC, flags)>(rec)),
       checked_field<offsetof(ZRDB_ITEM_DESC, size)>(rec),
       checked_field<offsetof(ZRDB_ITEM_DESC, elemSize)>(rec),
       checked_field<offsetof(ZRDB_ITEM_DESC, count)>(rec),
       checked_field<offsetof(ZRDB_ITEM_DESC, type)>(rec),
       bound.data};
  return true;
}
inline bool bound_geometry(const ZRDB_DIT *dit, BoundGeometry &g) {
  return dit->op != nullptr && bound_geometry(bound_item(dit->op), g);
}

// Logs that a handler was called for an item this process did not bind
// against the data segment attached now; false.
bool report_not_bound(const ZRDB_DIT *dit, const char *func);
// bound_geometry for a handler, which logs as `func` when it fails.
inline bool bound_geometry_or_log(const ZRDB_DIT *dit, BoundGeometry &g, const char *func) {
  if (bound_geometry(dit, g)) [[likely]]
    return true;
  return report_not_bound(dit, func);
}

// Whether the 32 bytes at `record` equal `words`, compared a word at a
// time: memcmp would be a library call on the access path, and copying
// both sides into arrays first makes the compiler go through the stack.
inline bool same_words(const uint64_t (&words)[4], const unsigned char *record) {
  uint64_t diff = 0;
  for (size_t i = 0; i < 4; ++i) {
    uint64_t w = 0;
    std::memcpy(&w, record + 8 * i, sizeof w);
    diff |= w ^ words[i];
  }
  return diff == 0;
}

// Whether the record of an item this process bound (`op` from its ZRDB_DIT,
// null for none) still holds the words that passed the full check at bind,
// against the same data segment.
inline bool record_unchanged(const ZRDB_ITEM_OPS *op, const ZRDB_ITEM_DESC *desc) {
  if (op == nullptr || desc == nullptr) return false;
  const CheckedRecord &bound = bound_item(op).checked;
  return bound.limit == g_dataSegmentSize && bound.offset == desc->offset &&
         same_words(bound.head, reinterpret_cast<const unsigned char *>(desc) + kCheckedHeadOffset);
}

// The full check of check_record.
int check_record_full(const char *caller, int32_t id, const ZRDB_ITEM_DESC *desc);
// Notes a record that just passed the full check, for the quick compare of
// check_record and for the usual access. Only the attach writes it, before
// the process's threads use the item: the access path only reads it, so
// threads never race on it.
void remember_record(BoundItem &bound, const ZRDB_ITEM_DESC &desc);

// Checks the descriptor of `id` before any of its offsets, sizes or counts
// is used: 0, or ZRDB_ERR_CORRUPT with an ERR line naming the item and the
// fault, logged as `caller`. For an item this process bound (`op` from its
// ZRDB_DIT), a record unchanged since it passed at bind is not checked again:
// comparing the words costs less than re-deriving the geometry.
inline int check_record(const char *caller, int32_t id, const ZRDB_ITEM_DESC *desc,
                        const ZRDB_ITEM_OPS *op = nullptr) {
  if (record_unchanged(op, desc)) return 0;
  return check_record_full(caller, id, desc);
}

// Waits on semaphore item `id` (looked up like zrdb_semaWait) with a
// deadline on the monotonic clock: 0 when taken, -1 on time-out or error.
int semaphore_item_wait_monotonic(int32_t id, uint64_t microseconds);

// The file name of a source path, for messages that name their source file.
constexpr const char *base_name(const char *path) {
  const char *name = path;
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '/') name = p + 1;
  }
  return name;
}

// Whether a remote buffer item's protocol text names the client role.
bool rmtbuf_client_role(const ZRDB_DIT &dit);

// Calls the d_ctrl handler of an item through the one dispatch path: link
// translation (element 0), range check (-1), record check, handler check
// (-3, logged), then the handler's result. No active check, no sync hook.
// An item not of `type` is refused with -3: its handler would read the
// parameter as another type's. `caller` names the public function.
int call_ctrl(const char *caller, int32_t id, int32_t type, int32_t op, intptr_t para);

}  // namespace zrdb
