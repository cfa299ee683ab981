#include "common.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "text.h"
#include "zrdb_net.h"

namespace zrdbctl {

int fail(int status, const char *fmt, ...) {
  std::fflush(stdout);  // the library's own messages come first
  const OneLine line(stderr);
  std::fputs("zrdbctl: ", stderr);
  va_list args;
  va_start(args, fmt);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  std::vfprintf(stderr, fmt, args);
  va_end(args);
  std::fputc('\n', stderr);
  return status;
}

// ---------------------------------------------------------------------------
// The segments

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

bool usable_data_key(int32_t key) { return key != IPC_PRIVATE && key != ZRDB_INDEX_KEY; }

int data_segment_attached(const ZRDB_SYS_HDR &hdr) {
  if (!usable_data_key(hdr.key)) return -1;
  const int id = shmget(hdr.key, 0, 0);
  shmid_ds info{};
  if (id < 0 || shmctl(id, IPC_STAT, &info) != 0) return -1;
  return static_cast<int>(info.shm_nattch);
}

std::string system_name(const ZRDB_SYS_HDR &hdr) {
  return {hdr.name, strnlen(hdr.name, sizeof hdr.name)};
}

bool discard_index() {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  const bool attached = ih->sysHdr != nullptr && ih->idxShmId >= 0;
  const bool removed = attached && shmctl(ih->idxShmId, IPC_RMID, nullptr) == 0;
  zrdb_Cleanup();
  return removed;
}

// ---------------------------------------------------------------------------
// Items

bool record_sound(int32_t id) { return zrdb_checkItem(id) == 0; }

std::vector<int32_t> damaged_items() {
  std::vector<int32_t> ids;
  for (const ZRDB_DIDNODE *node = zrdb_getInfoHdr()->didHead; node != nullptr; node = node->next) {
    if (!record_sound(node->did)) ids.push_back(node->did);
  }
  return ids;
}

std::string id_list(const std::vector<int32_t> &ids) {
  constexpr size_t kShown = 10;
  std::string text;
  for (size_t i = 0; i < ids.size() && i < kShown; ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(ids[i]);
  }
  if (ids.size() > kShown) text += ", ...";
  return text;
}

namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

// The id of an active item written as digits, or of the item of that name;
// -1 when there is none. Reads only the flags and the names, which any
// value of theirs leaves safe to read.
int32_t find_item(std::string_view text) {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  const auto active = [ih](int32_t id) {
    const ZRDB_ITEM_DESC *desc = ih->dit[id].desc;
    return desc != nullptr && (desc->flags & ZRDB_FLAG_ACTIVE) != 0;
  };
  if (all_digits(text)) {
    if (text.size() > 4) return -1;
    int32_t id = 0;
    std::from_chars(text.data(), text.data() + text.size(), id);
    return id < ZRDB_MAX_ITEMS && active(id) ? id : -1;
  }
  // Names resolve by the library's rule, as in every program of the system.
  const std::string name(text);
  const int32_t id = zrdb_findItem(name.c_str());
  return id >= 0 && id < ZRDB_MAX_ITEMS ? id : -1;
}

namespace {

bool plain_type(int32_t type) {
  return type == ZRDB_TYPE_USER || type == ZRDB_TYPE_INTEGER || type == ZRDB_TYPE_STRING;
}

}  // namespace

// ITEM or ITEM.IDX, of `type` unless kAnyType. A whole name wins over a
// split, so an item whose name holds a dot stays reachable. The item's
// record is checked before anything but its name is read.
int resolve_item(const char *text, int32_t type, ItemRef &ref) {
  ref.label = text;
  const std::string_view whole(text);
  std::string_view name = whole;
  ref.id = find_item(whole);
  const size_t dot = whole.rfind('.');
  if (ref.id < 0 && dot != std::string_view::npos) {
    name = whole.substr(0, dot);
    ref.id = find_item(name);
    ref.indexed = true;
  }
  if (ref.id < 0) {
    return fail(kUsage, "unknown item '%.*s'", static_cast<int>(name.size()), name.data());
  }
  if (const int rc = zrdb_checkItem(ref.id); rc != 0) {
    return fail(kFailure,
                rc == ZRDB_ERR_CORRUPT
                    ? "'%.*s' (id %d) is damaged: the line above says how; 'zrdbctl check' "
                      "lists every damaged item"
                    : "'%.*s' (id %d) is no longer defined",
                static_cast<int>(name.size()), name.data(), ref.id);
  }
  ref.desc = zrdb_getInfoHdr()->dit[ref.id].desc;
  const bool remote = type == ZRDB_TYPE_RMTBUF;
  if (type != kAnyType && ref.desc->type != type &&
      !(remote && ref.desc->type == ZRDB_TYPE_VLINKBUF)) {
    return fail(kUsage, "'%s' is of type %s, not %s%s", text, DBITEMTYPE_MAP[ref.desc->type].key,
                DBITEMTYPE_MAP[type].key, remote ? " or vlinkbuf" : "");
  }
  if (!ref.indexed) return kOk;
  int64_t index = 0;
  const std::string digits(whole.substr(dot + 1));
  if (const int rc = parse_number(digits.c_str(), {"element index", 0, INT32_MAX}, index);
      rc != kOk)
    return rc;
  ref.index = static_cast<int32_t>(index);
  // Only the plain types take element numbers; other types give the index
  // a meaning of their own (print commands).
  if (plain_type(ref.desc->type) && ref.index >= ref.desc->count) {
    return fail(kUsage, "index %d out of range: '%.*s' has %d element(s)", ref.index,
                static_cast<int>(name.size()), name.data(), ref.desc->count);
  }
  return kOk;
}

// The remote buffer that mirrors `ref`'s accesses, when there is one and
// it is a client: opening a server would take its lock and restart its
// statistics, which belong to the process that serves it.
int32_t client_mirror(const ItemRef &ref) {
  const ZRDB_SYNCTO &to = ref.desc->syncto;
  if (to.rmtDid < 1 || to.remoteId < 1 || to.rmtDid >= ZRDB_MAX_ITEMS || to.rmtDid == ref.id ||
      !record_sound(to.rmtDid))
    return -1;
  const ZRDB_ITEM_DESC &link = *zrdb_getInfoHdr()->dit[to.rmtDid].desc;
  ZRDB_BLK_INFO blk{};
  ZRDB_RMTBUF_INFO parsed{};
  if ((link.type != ZRDB_TYPE_RMTBUF && link.type != ZRDB_TYPE_VLINKBUF) ||
      zrdb_getUserBlkInfo(to.rmtDid, &blk) != 0 || blk.addr == nullptr ||
      blk.size < static_cast<int32_t>(sizeof parsed.text))
    return -1;
  std::memcpy(parsed.text, blk.addr, sizeof parsed.text);  // inside the checked record's area
  parsed.text[sizeof parsed.text - 1] = '\0';
  constexpr uint8_t kRoleBits = 0x3;  // of proto
  const bool client = parseProtocolInfo(parsed.text, &parsed) == 0 &&
                      (parsed.proto & kRoleBits) == ZRDB_RMTBUF_ROLE_CLIENT;
  return client ? to.rmtDid : -1;
}

namespace {

// ---------------------------------------------------------------------------
// Attaching

// The index segment. Never creates a database: a missing index is an
// error, and the file is parsed only to repair an index that is not valid.
int attach_index(const Options &opt) {
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
  return kOk;
}

// The data segment, binding nothing (a client's empty id list): the record
// checks then measure every item against the real segment.
int attach_data() {
  const ZRDB_SYS_HDR hdr = *zrdb_getInfoHdr()->sysHdr;
  if (!usable_data_key(hdr.key)) {
    return fail(kFailure, "the index names no usable data segment key (0x%08x)",
                static_cast<unsigned>(hdr.key));
  }
  static const int32_t kNoItems[] = {-1};
  zrdb_Init(HBUSER_CLIENT, kNoItems);
  if (zrdb_getInfoHdr()->dataBase != nullptr) return kOk;
  return fail(
      kFailure, "cannot attach the data segment (key 0x%08x)%s", static_cast<unsigned>(hdr.key),
      data_segment_attached(hdr) < 0 ? ": it does not exist (the database is not allocated)" : "");
}

int bind(Attach attach, Invocation &inv) {
  int rc = 0;
  if (attach == Attach::Value)
    attach = plain_type(inv.item.desc->type) ? Attach::Item : Attach::Print;
  if (attach == Attach::Item) {
    // A mirrored item's remote buffer is bound too, so that the access is
    // mirrored as in an application; when it cannot be opened here the item
    // is bound alone.
    const int32_t mirror = client_mirror(inv.item);
    const int32_t withLink[] = {inv.item.id, mirror, -1};
    if (mirror >= 0 && zrdb_Init(HBUSER_CLIENT, withLink) == 0) return kOk;
    const int32_t list[] = {inv.item.id, -1};
    rc = zrdb_Init(HBUSER_CLIENT, list);
    if (rc == 0) return kOk;
    return fail(kFailure, "cannot bind '%s' (%d); the lines above say why", inv.item.label.c_str(),
                rc);
  }
  // The print mode binds every sound item and reports damaged ones.
  rc = zrdb_Init(HBUSER_PRINT, nullptr);
  if (rc == ZRDB_ERR_CORRUPT) {
    inv.damaged = damaged_items();
    return kOk;
  }
  if (rc == 0) return kOk;
  return fail(kFailure, "cannot bind the items for printing (%d); the lines above say why", rc);
}

}  // namespace

int attach_existing(Attach attach, int32_t itemType, Invocation &inv) {
  if (attach == Attach::None) return kOk;
  int rc = attach_index(inv.opt);
  if (rc != kOk) return rc;
  if (attach != Attach::Index) rc = attach_data();
  if (rc == kOk && itemType != kNoItem) rc = resolve_item(inv.args[0], itemType, inv.item);
  if (rc == kOk && attach != Attach::Index && attach != Attach::Data) rc = bind(attach, inv);
  if (rc != kOk) zrdb_Cleanup();
  return rc;
}

// ---------------------------------------------------------------------------
// Numbers

namespace {

// Decimal or 0x hex: the whole text, or false.
bool read_number(std::string_view s, int64_t &out) {
  const char *end = s.data() + s.size();
  std::from_chars_result parsed{};
  int64_t value = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    uint64_t magnitude = 0;  // unsigned: no sign after the prefix
    parsed = std::from_chars(s.data() + 2, end, magnitude, 16);
    value = static_cast<int64_t>(magnitude);
    if (magnitude > INT64_MAX) parsed.ec = std::errc::result_out_of_range;
  } else {
    parsed = std::from_chars(s.data(), end, value, 10);
  }
  if (s.empty() || parsed.ec != std::errc() || parsed.ptr != end) return false;
  out = value;
  return true;
}

}  // namespace

std::string duration_text(int64_t us) {
  if (us % kSeconds == 0) return std::to_string(us / kSeconds) + "s";
  if (us % kMilliseconds == 0) return std::to_string(us / kMilliseconds) + "ms";
  return std::to_string(us) + "us";
}

int parse_number(const char *text, const NumberRange &range, int64_t &out) {
  int64_t value = 0;
  if (!read_number(text, value) || value < range.min || value > range.max) {
    return fail(kUsage, "bad %s '%s': give a number from %lld to %lld (decimal or 0x hex)",
                range.what, text, static_cast<long long>(range.min),
                static_cast<long long>(range.max));
  }
  out = value;
  return kOk;
}

int parse_duration(const char *text, const DurationRange &range, int64_t &outUs) {
  static constexpr std::pair<std::string_view, TimeUnit> kUnits[] = {
      {"us", kMicroseconds}, {"ms", kMilliseconds}, {"s", kSeconds}};
  std::string_view number(text);
  TimeUnit unit = range.bare;
  for (const auto &[suffix, perUnit] : kUnits) {
    if (number.size() > suffix.size() && number.ends_with(suffix)) {
      number.remove_suffix(suffix.size());
      unit = perUnit;
      break;
    }
  }
  int64_t value = 0;
  if (!read_number(number, value) || value < 0 || value > range.maxUs / unit ||
      value * unit < range.minUs) {
    return fail(kUsage,
                "bad %s '%s': give a time from %s to %s, such as 100us, 500ms or 2s (a bare "
                "number counts %s)",
                range.what, text, duration_text(range.minUs).c_str(),
                duration_text(range.maxUs).c_str(),
                range.bare == kSeconds        ? "seconds"
                : range.bare == kMilliseconds ? "ms"
                                              : "us");
  }
  outUs = value * unit;
  return kOk;
}

}  // namespace zrdbctl
