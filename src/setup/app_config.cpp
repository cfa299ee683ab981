// The application configuration file: names the items an application uses,
// gives it their ids and defines its symbolic links.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core.h"
#include "setup/config_file.h"

extern "C" {
ZRDB_SYMBLINK *glb_symblink[ZRDB_SYMBLINK_MAX];
int32_t glb_symblink_total = 0;
}

namespace zrdb {
namespace {

// A link may name at most this many pairs; more cannot be addressed usefully
// and would only exhaust memory.
constexpr int32_t kMaxLinkPairs = 65536;

enum AppKey { kAppId = 0, kAppName = 1, kAppSize = 4, kAppSymblink = 8 };

ZRDB_SYMBLINK *new_symblink(const char *name, int32_t count) {
  const size_t bytes = sizeof(ZRDB_SYMBLINK) + sizeof(ZRDB_SYMPAIR) * static_cast<size_t>(count);
  auto *link = static_cast<ZRDB_SYMBLINK *>(std::calloc(1, bytes));
  if (link == nullptr) return nullptr;
  copy_padded(link->name, name);
  link->count = count;
  link->pairSize = sizeof(ZRDB_SYMPAIR);
  for (int32_t i = 0; i < count; ++i) link->pairs[i] = {-1, -1};
  return link;
}

// The id list handed to zrdb_Init: at most ZRDB_APP_LIST_LEN - 1 ids.
struct IdList {
  int32_t *ids;
  size_t used = 0;
  bool full() const { return used >= ZRDB_APP_LIST_LEN - 1; }
  bool contains(int32_t id) const {
    for (size_t i = 0; i < used; ++i) {
      if (ids[i] == id) return true;
    }
    return false;
  }
};

void bind_parameter(ZRDB_APP_PARAM *params, const ZRDB_APP_LINE &line) {
  for (ZRDB_APP_PARAM *p = params; p != nullptr && p->pdid != nullptr; ++p) {
    if (p->name[0] != '\0' && std::strcmp(p->name, line.name) == 0) {
      *p->pdid = line.id;
      return;
    }
  }
}

void log_overflow() {
  log_message(LogLevel::Warn, "zrdb_appInit", "ZRDB Resources number overflow(>%d)!\n ",
              ZRDB_APP_LIST_LEN);
}

// Adds the items of a link's pairs, once each. Returns false when the list
// filled up.
bool add_link_items(IdList &list, const ZRDB_SYMBLINK &link) {
  for (int32_t i = 0; i < link.count; ++i) {
    const int32_t did = link.pairs[i].did;
    if (did == -1 || list.contains(did)) continue;  // unfilled, or listed already
    if (list.full()) {
      log_overflow();
      return false;
    }
    list.ids[list.used++] = did;
  }
  return true;
}

// The names the application files of this process gave (items and links),
// in file order: the first place a name is looked up (zrdb_findItem).
struct AppNames {
  ZRDB_APP_LINE *lines = nullptr;
  size_t used = 0;
  size_t capacity = 0;
};
AppNames g_appNames;

void remember_name(const ZRDB_APP_LINE &line) {
  AppNames &names = g_appNames;
  if (names.used == names.capacity) {
    const size_t capacity = names.capacity == 0 ? 64 : names.capacity * 2;
    auto *grown =
        static_cast<ZRDB_APP_LINE *>(std::realloc(names.lines, capacity * sizeof(ZRDB_APP_LINE)));
    if (grown == nullptr) {
      log_message(LogLevel::Warn, "zrdb_appInit", "no memory to keep the name %s\n", line.name);
      return;
    }
    names.lines = grown;
    names.capacity = capacity;
  }
  names.lines[names.used++] = line;
}

// True when every item the line names (its id, or its link's pairs) is
// defined in the database; otherwise logs the first that is not.
bool names_defined_items(const ZRDB_APP_LINE &line, const char *path, int lineNo) {
  // Without an index there is nothing to check against: zrdb_Init refuses.
  if (zrdbIndexHdr.sysHdr == nullptr) return true;
  int32_t missing = -1;
  if (line.id < ZRDB_SYMBLINK_BASE) {
    if (!item_defined(line.id)) missing = line.id;
  } else {
    const ZRDB_SYMBLINK &link = *glb_symblink[line.id - ZRDB_SYMBLINK_BASE];
    for (int32_t i = 0; i < link.count && missing < 0; ++i) {
      const int32_t did = link.pairs[i].did;
      if (did != -1 && !item_defined(did)) missing = did;
    }
  }
  if (missing < 0) return true;
  log_message(LogLevel::Warn, "zrdb_appInit",
              "%s line %d: %s names item %d, which the database does not define\n", path, lineNo,
              line.name, missing);
  return false;
}

}  // namespace

void free_app_names() {
  std::free(g_appNames.lines);
  g_appNames = {};
}

void free_symblinks() {
  for (int32_t i = 0; i < glb_symblink_total && i < ZRDB_SYMBLINK_MAX; ++i) {
    std::free(glb_symblink[i]);
    glb_symblink[i] = nullptr;
  }
  glb_symblink_total = 0;
}

}  // namespace zrdb

extern "C" {

int getItemRangeFromStr(ZRDB_ITEM_RANGE *out, const char *text) {
  char copy[ZRDB_LINE_LEN];
  zrdb::copy_padded(copy, text);
  char *open = std::strchr(copy, '(');
  if (open == nullptr) return -1;
  *open = '\0';
  // 64-bit on every target: a 32-bit long would saturate an out-of-range
  // number to INT32_MAX and slip it past the check below.
  char *end = nullptr;
  const long long first = std::strtoll(open + 1, &end, 10);
  if (end == open + 1) return -1;
  long long last = first;
  if (*end == '-') {
    char *lastEnd = nullptr;
    const long long value = std::strtoll(end + 1, &lastEnd, 10);
    if (lastEnd != end + 1) last = value;
  }
  const long long did = std::strtoll(copy, nullptr, 10);
  if (did <= 0 || first < 0 || last < 0 || last < first || did > INT32_MAX || last > INT32_MAX) {
    ZRDB_LOG(Warn, "symblink string parsing error!");
    return -1;
  }
  out->did = static_cast<int32_t>(did);
  out->first = static_cast<int32_t>(first);
  out->last = static_cast<int32_t>(last);
  return 0;
}

void parseSymblinkStr(ZRDB_SYMBLINK *link, const char *ranges) {
  char copy[ZRDB_LINE_LEN];
  zrdb::copy_padded(copy, ranges);
  int32_t filled = 0;
  char *save = nullptr;
  for (char *tok = strtok_r(copy, " :r\n", &save); tok != nullptr;
       tok = strtok_r(nullptr, " :r\n", &save)) {
    ZRDB_ITEM_RANGE range{};
    if (getItemRangeFromStr(&range, tok) != 0) return;
    // Pairs beyond the link's count are dropped.
    for (int64_t i = range.first; i <= range.last && filled < link->count; ++i) {
      link->pairs[filled++] = {static_cast<int16_t>(range.did), static_cast<int16_t>(i)};
    }
  }
}

int parseAppCfgLine(const char *line, int lineNo, ZRDB_APP_LINE *out) {
  zrdb::LineTokens tokens(line);
  int32_t id = -1;
  char name[128] = {};
  ZRDB_SIZE_MAP size = {0, 1, 0, 0, 0};
  const char *ranges = nullptr;
  int key = -1;
  for (const char *tok = tokens.next(); tok != nullptr; tok = tokens.next()) {
    if (key < 0) {
      key = getKeyMapIdx(DBSEGEKY_MAP, tok);
      if (key < 0) {
        ZRDB_LOG(Warn, "Syntax ERROR: Unrecognized Item Key(%s) at line %d\n", tok, lineNo);
        return -1;
      }
      continue;
    }
    switch (key) {
      case zrdb::kAppId:
        id = zrdb::parse_decimal(tok);
        if (!zrdb::valid_id(id)) {
          ZRDB_LOG(Warn, "Syntax ERROR: Item ID wrong (%d) at line %d\n", id, lineNo);
          return -1;
        }
        break;
      case zrdb::kAppName:
        zrdb::copy_padded(name, tok);
        break;
      case zrdb::kAppSize:
        if (getSizeFromStr(tok, &size) != 0 || size.count < 0 || size.count > zrdb::kMaxLinkPairs) {
          ZRDB_LOG(Warn, "Syntax ERROR: Unrecognized item size format at line %d\n", lineNo);
          return -1;
        }
        break;
      case zrdb::kAppSymblink:
        ranges = tok;
        break;
      default:  // accepted, not used by applications
        break;
    }
    key = -1;
  }
  if (ranges != nullptr) {
    if (glb_symblink_total >= ZRDB_SYMBLINK_MAX) {
      ZRDB_LOG(Warn, "Symbolic link table full (%d links), link at line %d refused\n",
               ZRDB_SYMBLINK_MAX, lineNo);
      return -1;
    }
    ZRDB_SYMBLINK *link = zrdb::new_symblink(name, size.count);
    if (link == nullptr) {
      ZRDB_LOG(Warn, "Allocating symblinkItem failed, at line %d\n", lineNo);
      return -1;
    }
    parseSymblinkStr(link, ranges);
    id = ZRDB_SYMBLINK_BASE + glb_symblink_total;
    glb_symblink[glb_symblink_total++] = link;
  }
  if (name[0] == '\0' || id < 0) {
    ZRDB_LOG(Warn, "Syntax ERROR: Name not defined at line %d\n", lineNo);
    return -1;
  }
  std::memcpy(out->name, name, sizeof out->name);
  out->id = id;
  return 0;
}

int zrdb_appInit(const char *path, ZRDB_APP_PARAM *params, int32_t mode) {
  // On the stack: the library never throws, and a failed new would.
  zrdb::ConfigFile file(path);
  if (!file.is_open()) {
    ZRDB_LOG(Warn, "Open App configuration file (%s) failed!\n", path);
    file.log_problem(__func__);
    return -1;
  }
  std::unique_ptr<int32_t, void (*)(void *)> ids(
      static_cast<int32_t *>(std::calloc(ZRDB_APP_LIST_LEN, sizeof(int32_t))), &std::free);
  if (!ids) {
    ZRDB_LOG(Warn, "allocate did_list failed!\n");
    return -2;
  }
  zrdb::IdList list{ids.get()};
  char line[ZRDB_LINE_LEN];
  int lineNo = 0;
  bool undefined = false;
  while (file.next(line)) {
    ++lineNo;
    zrdb::LineTokens probe(line);
    const char *first = probe.next();
    if (first == nullptr || first[0] == '#') continue;
    ZRDB_APP_LINE parsed{};
    if (parseAppCfgLine(line, lineNo, &parsed) != 0) continue;
    // Every such line is reported before the attach is refused.
    if (!zrdb::names_defined_items(parsed, path, lineNo)) {
      undefined = true;
      continue;
    }
    zrdb::remember_name(parsed);
    zrdb::bind_parameter(params, parsed);
    if (parsed.id >= ZRDB_SYMBLINK_BASE) {
      zrdb::add_link_items(list, *glb_symblink[parsed.id - ZRDB_SYMBLINK_BASE]);
      continue;
    }
    // A list that links filled up takes no further id; the end marker
    // still has its place.
    if (!list.full()) list.ids[list.used++] = parsed.id;
    if (list.full()) {
      zrdb::log_overflow();
      break;
    }
  }
  list.ids[list.used] = -1;
  for (ZRDB_APP_PARAM *p = params; p != nullptr && p->pdid != nullptr; ++p) {
    if (*p->pdid < 0) {
      ZRDB_LOG(Warn, "WARNING: Param: %s  is not defined in %s!!!\n", p->name, path);
    }
  }
  file.close();  // not held while the items open
  if (undefined) {
    ZRDB_LOG(Warn, "%s names items the database does not define: not attached\n", path);
    return -2;
  }
  ZRDB_LOG(Info, "start zrdb initialization(mode=%d)!\n", mode);
  const int result = zrdb_Init(mode, list.ids);
  ZRDB_LOG(Info, "zrdb initialization done!, ret =%d\n", result);
  return result;
}

int32_t zrdb_findItem(const char *name) {
  if (name == nullptr || name[0] == '\0') return -1;
  // The latest line wins, as it does for the parameter table.
  for (size_t i = zrdb::g_appNames.used; i-- > 0;) {
    if (std::strcmp(zrdb::g_appNames.lines[i].name, name) == 0) return zrdb::g_appNames.lines[i].id;
  }
  const int32_t id = zrdb::item_named(name);
  return id >= 0 ? id : -2;
}

}  // extern "C"
