// zrdb/parameters.hpp - parameter sets: the values of the plain items
// (integer, string, user) saved to a JSON file and restored from it, so that
// calibrations, setpoints and operator edits outlive the shared memory.
// zrdbctl save, load and create --restore are built on these two functions;
// an application calls them to checkpoint itself.
//
//   auto db = zrdb::Database::open("plant.db", HBUSER_PRINT);
//   auto saved = zrdb::save_values("/var/lib/zrdb/plant.json");
//   if (saved.code != 0) fprintf(stderr, "%s\n", saved.error.c_str());
//
// Caveats
// -------
//   - Optional, header-only, and the one part of ZRDB that needs a library
//     beyond the C and C++ run time: nlohmann/json (Debian
//     nlohmann-json3-dev). libzrdb and zrdb.hpp do not include it; only a
//     program that includes this header needs it.
//   - Nothing throws (the JSON library's exceptions are caught and become
//     the report's error); unlike zrdb.hpp, these functions allocate.
//   - The process must have the data segment attached (any mode). Values are
//     copied in the items' areas as the access functions copy them, without
//     a lock; a load is not mirrored (syncto): it restores this system.
//   - A load matches saved items to the database's by name (an item saved
//     without a name by its id), and writes one only when its type, element
//     count and element size agree; every other is listed and skipped. The
//     file is read whole and checked before the first write.
#ifndef ZRDB_PARAMETERS_HPP
#define ZRDB_PARAMETERS_HPP

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "zrdb.h"
#include "zrdb/parameter_file.hpp"

namespace zrdb {

// What save_values or load_values did; `code` is zrdbctl's exit status.
struct ParameterReport {
  enum Code : int { kMatched = 0, kFailed = 1, kBadFile = 2, kSkipped = 3 };
  int code = kMatched;
  std::string error;                 // kFailed, kBadFile: why, one line
  std::vector<std::string> skipped;  // "NAME: why", per saved item a load left alone
  std::vector<std::string> changes;  // "NAME[I]: OLD -> NEW", per element a load changed
  size_t items = 0;                  // items saved, or restored
};

namespace parameters {

inline ParameterReport failure(int code, std::string why) {
  ParameterReport r;
  r.code = code;
  r.error = std::move(why);
  return r;
}

// The area of item `id`, count * size bytes, after the library's record
// check; null when it is damaged or not reachable.
inline unsigned char *item_area(int32_t id, const ZRDB_ITEM_DESC &desc) {
  ZRDB_BLK_INFO blk{};
  if (zrdb_checkItem(id) != 0 || zrdb_getUserBlkInfo(id, &blk) != 0 || blk.addr == nullptr ||
      int64_t{desc.count} * desc.elemSize > blk.size)
    return nullptr;
  return static_cast<unsigned char *>(blk.addr);
}

inline const ZRDB_ITEM_DESC *descriptor(int32_t id) {
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  if (id < 0 || id >= ZRDB_MAX_ITEMS || ih == nullptr) return nullptr;
  const ZRDB_ITEM_DESC *d = ih->dit[id].desc;
  return d != nullptr && (d->flags & ZRDB_FLAG_ACTIVE) != 0 ? d : nullptr;
}

inline std::string name_of(const ZRDB_ITEM_DESC &d) {
  return {d.name, strnlen(d.name, sizeof d.name)};
}

// Item `id` as saved, or an error.
inline std::string take_item(int32_t id, SavedItem &item) {
  const ZRDB_ITEM_DESC *d = descriptor(id);
  if (d == nullptr) return "item " + std::to_string(id) + " is not defined";
  const unsigned char *area = item_area(id, *d);  // its record checked before its type is read
  if (area == nullptr) return "item " + std::to_string(id) + " is damaged or not attached";
  if (plain_type_name(d->type) == nullptr)
    return "item " + std::to_string(id) + " is a " + DBITEMTYPE_MAP[d->type].key +
           " item; only integer, string and user items hold values to save";
  item = {name_of(*d), id, d->type, d->count, d->elemSize, d->type == ZRDB_TYPE_USER, {}};
  item.bytes.assign(area, area + size_t(d->count) * size_t(d->elemSize));
  if (!utf8_text(item.name)) return "the name of item " + std::to_string(id) + " is not UTF-8";
  for (int32_t i = 0; item.type == ZRDB_TYPE_STRING && i < item.count; ++i)
    item.base64 = item.base64 || !utf8_text(text_at(&item.bytes[size_t(i) * size_t(item.size)],
                                                    size_t(item.size)));
  return "";
}

// Why `saved` cannot be written to the database's item `d`, or "".
inline std::string mismatch(const SavedItem &saved, const ZRDB_ITEM_DESC &d) {
  if (d.type != saved.type)
    return std::string("is a ") + DBITEMTYPE_MAP[d.type].key + " item here, saved as " +
           plain_type_name(saved.type);
  if (d.count != saved.count || d.elemSize != saved.size)
    return "has " + std::to_string(d.count) + " element(s) of " + std::to_string(d.elemSize) +
           " bytes here, saved with " + std::to_string(saved.count) + " of " +
           std::to_string(saved.size);
  return "";
}

// The database item a saved one belongs to: by name, or by id for an item
// saved without a name. -1 with `why` when there is none.
inline int32_t target_of(const SavedItem &saved, std::string &why) {
  const int32_t id = saved.name.empty() ? saved.id : zrdb_findItem(saved.name.c_str());
  const ZRDB_ITEM_DESC *d = descriptor(id);
  if (d != nullptr && name_of(*d) == saved.name) return id;
  const ZRDB_ITEM_DESC *then = descriptor(saved.id);
  why = "not in the database";
  if (then != nullptr)
    why += " (id " + std::to_string(saved.id) + " is '" + name_of(*then) + "' now)";
  return -1;
}

// What writing `saved` over `area` changes, one line per element (a block:
// one line).
inline void list_changes(const SavedItem &saved, const unsigned char *area,
                         std::vector<std::string> &out) {
  const std::string label = saved.name.empty() ? "#" + std::to_string(saved.id) : saved.name;
  const auto size = static_cast<size_t>(saved.size);
  if (saved.base64) {
    size_t differ = 0;
    for (size_t i = 0; i < saved.bytes.size(); ++i) differ += area[i] != saved.bytes[i] ? 1 : 0;
    if (differ > 0)
      out.push_back(label + ": " + std::to_string(differ) + " of " +
                    std::to_string(saved.bytes.size()) + " bytes");
    return;
  }
  for (size_t i = 0; i < size_t(saved.count); ++i) {
    const unsigned char *now = area + i * size;
    const unsigned char *next = saved.bytes.data() + i * size;
    std::string from, to;
    if (saved.type == ZRDB_TYPE_STRING) {
      from = Json(std::string(text_at(now, size)))
                 .dump(-1, ' ', false, Json::error_handler_t::replace);
      to = Json(std::string(text_at(next, size))).dump();
    } else {
      from = std::to_string(integer_at(now, integer_width(saved.size)));
      to = std::to_string(integer_at(next, integer_width(saved.size)));
    }
    if (from != to)
      out.push_back(label + "[" + std::to_string(i) + "]: " + from.append(" -> ").append(to));
  }
}

inline void write_item(const SavedItem &saved, unsigned char *area) {
  const auto size = static_cast<size_t>(saved.size);
  // An integer's number only: a wider element keeps the rest of its bytes.
  const size_t width = saved.type == ZRDB_TYPE_INTEGER ? integer_width(saved.size) : size;
  for (size_t at = 0; at < saved.bytes.size(); at += size)
    std::memcpy(area + at, saved.bytes.data() + at, width);
}

}  // namespace parameters

// Saves the values of the plain items `ids` (every plain item of this
// process's list when empty) to `path`, replacing it atomically. kFailed
// when an item is not plain, damaged or unreachable, or the file cannot be
// written; the old file is then left as it was.
inline ParameterReport save_values(const char *path, std::span<const int32_t> ids = {}) noexcept {
  using namespace parameters;
  try {
    const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
    if (path == nullptr || ih == nullptr || ih->sysHdr == nullptr || zrdb_getBaseAddr() == nullptr)
      return failure(ParameterReport::kFailed, "no database attached (or no file given)");
    std::vector<int32_t> list(ids.begin(), ids.end());
    for (const ZRDB_DIDNODE *n = ids.empty() ? ih->didHead : nullptr; n != nullptr; n = n->next) {
      const ZRDB_ITEM_DESC *d = descriptor(n->did);
      if (d == nullptr || plain_type_name(d->type) != nullptr || zrdb_checkItem(n->did) != 0)
        list.push_back(n->did);  // a damaged record's type says nothing: it fails below
    }
    ParameterSet set;
    set.system.assign(ih->sysHdr->name, strnlen(ih->sysHdr->name, sizeof ih->sysHdr->name));
    if (!utf8_text(set.system))
      return failure(ParameterReport::kFailed, "the system name is not UTF-8");
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    for (const int32_t id : list) {
      SavedItem item;
      if (std::string e = take_item(id, item); !e.empty())
        return failure(ParameterReport::kFailed, e + "; nothing saved");
      set.items.push_back(std::move(item));
    }
    if (std::string e = replace_file(path, format_parameter_set(set)); !e.empty())
      return failure(ParameterReport::kFailed, e);
    ParameterReport r;
    r.items = set.items.size();
    return r;
  } catch (const std::exception &e) {
    return failure(ParameterReport::kFailed, e.what());
  }
}

// Restores the values saved in `path` to the items that match (see the
// caveats); with `dryRun` writes nothing and reports what would change.
// kBadFile when the file cannot be read or is not a parameter set (nothing
// is written), kSkipped when a saved item was skipped (or the file comes
// from a system of another name), kFailed when no database is attached.
inline ParameterReport load_values(const char *path, bool dryRun = false) noexcept {
  using namespace parameters;
  try {
    const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
    if (path == nullptr || ih == nullptr || ih->sysHdr == nullptr || zrdb_getBaseAddr() == nullptr)
      return failure(ParameterReport::kFailed, "no database attached (or no file given)");
    std::string text, error;
    ParameterSet set;
    if (!read_file(path, text, error)) return failure(ParameterReport::kBadFile, error);
    if (!parse_parameter_set(text, set, error))
      return failure(ParameterReport::kBadFile, std::string(path) + ": " + error);
    ParameterReport r;
    const std::string system(ih->sysHdr->name, strnlen(ih->sysHdr->name, sizeof ih->sysHdr->name));
    if (set.system != system)
      r.skipped.push_back("system: saved from '" + set.system + "', this database is '" + system +
                          "'");
    // Every report line is made before the first write: running out of
    // memory then still writes nothing.
    std::vector<std::pair<const SavedItem *, unsigned char *>> writes;
    writes.reserve(set.items.size());
    for (const SavedItem &saved : set.items) {
      std::string why;
      const int32_t id = target_of(saved, why);
      const ZRDB_ITEM_DESC *d = descriptor(id);
      unsigned char *area = d != nullptr ? item_area(id, *d) : nullptr;
      if (d != nullptr && area == nullptr) why = "is damaged or not attached";
      if (area != nullptr) why = mismatch(saved, *d);
      if (!why.empty()) {
        r.skipped.push_back((saved.name.empty() ? "#" + std::to_string(saved.id) : saved.name) +
                            ": " + why);
        continue;
      }
      list_changes(saved, area, r.changes);
      writes.emplace_back(&saved, area);
    }
    for (const auto &[saved, area] : writes) {
      if (!dryRun) write_item(*saved, area);
    }
    r.items = writes.size();
    r.code = r.skipped.empty() ? ParameterReport::kMatched : ParameterReport::kSkipped;
    return r;
  } catch (const std::exception &e) {
    return failure(ParameterReport::kFailed, e.what());
  }
}

}  // namespace zrdb

#endif  // ZRDB_PARAMETERS_HPP
