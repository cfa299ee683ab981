// Reader of the database configuration file: a [system] section that sizes
// the data segment and a [database] section with one item per line. It fills
// the index segment and this process's item list.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core.h"
#include "setup/config_file.h"

namespace zrdb {
namespace {

enum class Section { BeforeSystem, System, Database };

enum SysKey { kSysName = 0, kSysKey = 1, kSysSize = 2 };
enum DbKey {
  kKeyId = 0,
  kKeyName = 1,
  kKeyValue = 2,
  kKeyType = 3,
  kKeySize = 4,
  kKeyMapto = 5,
  kKeyRealtime = 6,
  kKeyTimeout = 7,
  kKeySymblink = 8,
  kKeySyncto = 9,
};

// Everything one [database] line gives, collected before the item is entered.
struct ItemLine {
  int32_t id = 0;
  int32_t type = ZRDB_TYPE_INTEGER;
  char name[ZRDB_ITEM_NAME_LEN] = {};
  char value[ZRDB_VALUE_LEN] = {};
  ZRDB_SIZE_MAP sizeMap = {};
  ZRDB_RT_CTRL rt = {};
  ZRDB_SYNCTO syncto = {-1, -1, 0};
};

int64_t round_up4(int64_t x) { return ((x - 1) / 4 + 1) * 4; }

// Enters a collected line into the index (the last steps of a line). Its
// messages carry `caller`, the line parser, as their function name.
int enter_item(ItemLine &item, int lineNo, const char *caller) {
  ZRDB_ITEM_DESC *desc = descriptor(item.id);
  if ((desc->flags & ZRDB_FLAG_ACTIVE) != 0) {
    log_message(LogLevel::Warn, caller, "Syntax ERROR: Repeated or badItem ID at line %d\n",
                lineNo);
    return -1;
  }
  // A second item of one name could never be found by it: a lookup by name
  // always gives the first. Unnamed items are allowed in any number.
  const int32_t namesake = item.name[0] != '\0' ? item_named(item.name) : -1;
  if (namesake >= 0) {
    log_message(LogLevel::Warn, caller,
                "Syntax ERROR: Item name (%s) at line %d is already the name of item %d;"
                " expected a name no other item has\n",
                item.name, lineNo, namesake);
    return -1;
  }
  desc->did = item.id;
  desc->flags |= ZRDB_FLAG_ACTIVE;
  copy_padded(desc->name, item.name);
  desc->type = item.type;

  int32_t elemSize = item.sizeMap.elemSize;
  int32_t count = item.sizeMap.count;
  const int64_t size = item_size_for(item.type, elemSize, count);
  if (size < 0) {
    log_message(LogLevel::Warn, caller, "Syntax ERROR: Unrecognized item size format at line %d\n",
                lineNo);
    return -1;
  }
  desc->elemSize = elemSize;
  desc->count = count;
  desc->mapB = item.sizeMap.mapB;
  desc->mapC = item.sizeMap.mapC;
  desc->mapA = item.sizeMap.mapA;
  desc->rt = item.rt;
  desc->syncto = item.syncto;

  ZRDB_SYS_HDR *hdr = zrdbIndexHdr.sysHdr;
  const int64_t end = static_cast<int64_t>(zrdbIndexHdr.nextOffset) + size;
  if (static_cast<int64_t>(hdr->size) < end) {
    log_message(LogLevel::Warn, caller,
                "Fital ERROR: System Share Memory size is too small (%d): the items up to line %d"
                " need %lld bytes\n",
                static_cast<int>(hdr->size), lineNo, static_cast<long long>(end));
    return -1;
  }
  desc->size = static_cast<int32_t>(size);
  desc->offset = zrdbIndexHdr.nextOffset;
  zrdbIndexHdr.nextOffset = static_cast<uint32_t>(end);

  ZRDB_DIDNODE *node = append_item_node(item.id);
  if (node == nullptr) {
    log_message(LogLevel::Warn, caller, "Fital ERROR: Can't allocate memory for Item!!!\n");
    return -1;
  }
  std::memcpy(node->value, item.value, sizeof node->value);

  if (item.id > hdr->maxDid) hdr->maxDid = item.id;
  if (item.type == ZRDB_TYPE_VLINKMST) glb_vLinkDid = item.id;
  zrdbIndexHdr.dit[item.id].desc = desc;
  return 0;
}

// Bytes the item of a [database] line takes, from its type and size keys
// alone; 0 for a comment or an empty line, -1 when they cannot be read.
int64_t line_bytes(const char *line) {
  LineTokens tokens(line);
  int32_t type = ZRDB_TYPE_INTEGER;
  ZRDB_SIZE_MAP size = {};
  const char *key = tokens.next();
  if (key == nullptr || key[0] == '#') return 0;
  for (; key != nullptr; key = tokens.next()) {
    const char *value = tokens.next();
    if (value == nullptr) break;
    if (std::strcmp(key, "type") == 0) type = getKeyMapIdx(DBITEMTYPE_MAP, value);
    if (std::strcmp(key, "size") == 0 && getSizeFromStr(value, &size) != 0) return -1;
  }
  return type < 0 ? -1 : item_size_for(type, size.elemSize, size.count);
}

// After a line that the data segment could not hold: the bytes the whole
// file needs, so that one change of the size is enough. Lines that say no
// size count nothing.
void report_file_need(ConfigFile &file, const char *failed) {
  const int64_t bytes = line_bytes(failed);
  int64_t need = static_cast<int64_t>(zrdbIndexHdr.nextOffset) + bytes;
  if (bytes <= 0 || need <= static_cast<int64_t>(zrdbIndexHdr.sysHdr->size)) return;
  char line[ZRDB_LINE_LEN];
  while (file.next(line)) need += std::max<int64_t>(line_bytes(line), 0);
  log_message(LogLevel::Warn, "cfgParser",
              "Fital ERROR: the items of the whole file need at least %lld bytes; expected"
              " size=%lld or more in [system]\n",
              static_cast<long long>(need), static_cast<long long>(need));
}

// Refuses an id that a realtime or syncto value names when the file
// defines no item of that id: the call or the mirror would fail at run
// time, far from the line that caused it.
bool names_defined(const ZRDB_ITEM_DESC *desc, const char *key, const char *what, int32_t id) {
  if (item_defined(id)) return true;
  log_message(LogLevel::Warn, "cfgParser",
              "Syntax ERROR: %s of item %d (%s) names item %d, which is not defined;"
              " expected the id of %s defined in [database]\n",
              key, desc->did, desc->name, id, what);
  return false;
}

// Checks the ids that the items' realtime and syncto values name, once the
// whole file is read (an item may name one defined further down).
int check_named_items() {
  for (const ZRDB_DIDNODE *n = zrdbIndexHdr.didHead; n != nullptr; n = n->next) {
    const ZRDB_ITEM_DESC *d = descriptor(n->did);
    if (d == nullptr) continue;
    for (uint32_t i = 0; i < d->rt.rtCount && i < ZRDB_RT_MAX; ++i) {
      if (!names_defined(d, "realtime", "a message buffer", d->rt.rtA[i]) ||
          !names_defined(d, "realtime", "a request semaphore", d->rt.rtB[i]) ||
          (d->rt.rtC[i] != 0 &&
           !names_defined(d, "realtime", "an acknowledge semaphore (or 0)", d->rt.rtC[i])))
        return -1;
    }
    // An id below 1 sends nothing: syncto=0:... is a switched-off mirror.
    if (d->syncto.rmtDid >= 1 && !names_defined(d, "syncto", "a remote buffer", d->syncto.rmtDid))
      return -1;
  }
  return 0;
}

}  // namespace

namespace {
int64_t bytes_by_type(int32_t type, int32_t &elemSize, int32_t &count) {
  const bool given = elemSize != 0 || count != 0;
  if (elemSize < 0 || count < 0) return -1;
  const int64_t product = static_cast<int64_t>(elemSize) * count;
  // Element sizes of user, integer, string and semap items without a size key.
  static constexpr int32_t kPlainDefaults[] = {128, 4, 32, 128};
  switch (type) {
    case ZRDB_TYPE_USER:
    case ZRDB_TYPE_INTEGER:
    case ZRDB_TYPE_STRING:
    case ZRDB_TYPE_SEMAP:
      if (!given) {
        elemSize = kPlainDefaults[type];
        count = 1;
      }
      return round_up4(static_cast<int64_t>(elemSize) * count);
    case ZRDB_TYPE_CBUF:
      return round_up4(product + 20);
    case ZRDB_TYPE_VLINKMST:
      count = 1;
      return 256;
    case ZRDB_TYPE_VLINKSLV:
      count = 1;
      return 132;
    case ZRDB_TYPE_MSGBUF:
      return round_up4(product + 8);
    case ZRDB_TYPE_THRD_RBUF:
      return round_up4(product + 64);
    case ZRDB_TYPE_THRD_FIFO:
      return round_up4(static_cast<int64_t>(count) * 20 + 64);
    case ZRDB_TYPE_RMTBUF:
    case ZRDB_TYPE_VLINKBUF:
      return 412;
    default:
      return -1;
  }
}
}  // namespace

int64_t item_size_for(int32_t type, int32_t &elemSize, int32_t &count) {
  // The descriptor's size field is a signed 32-bit word.
  const int64_t bytes = bytes_by_type(type, elemSize, count);
  return bytes > INT32_MAX ? -1 : bytes;
}

}  // namespace zrdb

using zrdb::LineTokens;

extern "C" {

int parseSegSystem(const char *line, int lineNo) {
  LineTokens tokens(line);
  const char *key = tokens.next();
  if (key == nullptr) {
    std::printf("Syntax ERROR: at line %d\n", lineNo);
    return -1;
  }
  ZRDB_SYS_HDR *hdr = zrdbIndexHdr.sysHdr;
  switch (getKeyMapIdx(SYSSEGKEY_MAP, key)) {
    case zrdb::kSysName: {
      // The name runs to the end of the line and may hold blanks.
      const char *value = tokens.next("=,\t\r\n");
      if (value == nullptr) {
        ZRDB_LOG(Warn, "Syntax ERROR: Can get name of system at line %d\n", lineNo);
        return -2;
      }
      // At most 32 bytes, without a terminator when the name fills the field.
      zrdb::copy_padded(hdr->name, sizeof hdr->name, value, false);
      return 0;
    }
    case zrdb::kSysKey: {
      const char *value = tokens.next();
      if (value == nullptr) {
        ZRDB_LOG(Warn, "Syntax ERROR: Can get SHMKEY of system at line %d\n", lineNo);
        return -2;
      }
      hdr->key = zrdb::parse_int(value);
      return 0;
    }
    case zrdb::kSysSize: {
      const char *value = tokens.next("=");
      if (value == nullptr) {
        ZRDB_LOG(Warn, "Syntax ERROR: Can get SIZE of system at line %d\n", lineNo);
        return -3;
      }
      // At most 2^31 - 1 read, so whole pages of it fit the 32-bit field.
      const int64_t page = sysconf(_SC_PAGESIZE);
      const int64_t v = zrdb::parse_int(value);
      const int64_t pages = v <= 1 ? 1 : (v - 1) / page + 1;
      hdr->size = static_cast<uint32_t>(page * pages);
      return 0;
    }
    default:
      ZRDB_LOG(Warn, "Syntax ERROR: Wrong system Key string(%s) at line %d\n", key, lineNo);
      return -4;
  }
}

int parseSegDatabase(const char *line, int lineNo) {
  zrdb::ItemLine item;
  LineTokens tokens(line);
  int key = -1;
  int previousKey = -1;
  uint32_t rtPosition = ZRDB_RT_MAX;
  for (const char *tok = tokens.next(); tok != nullptr; tok = tokens.next()) {
    if (key < 0) {
      const int found = getKeyMapIdx(DBSEGEKY_MAP, tok);
      if (found < 0) {
        ZRDB_LOG(Warn, "Syntax ERROR: Unrecognized Item Key(%s) at line %d\n", tok, lineNo);
        return -1;
      }
      key = found;
      continue;
    }
    switch (key) {
      case zrdb::kKeyId:
        item.id = zrdb::parse_decimal(tok);
        if (!zrdb::valid_id(item.id)) {
          ZRDB_LOG(Warn, "Syntax ERROR: Item ID wrong (%d) at line %d\n", item.id, lineNo);
          return -1;
        }
        break;
      case zrdb::kKeyName:
        zrdb::copy_padded(item.name, tok);
        break;
      case zrdb::kKeyValue:
        zrdb::copy_padded(item.value, tok);
        break;
      case zrdb::kKeyType:
        item.type = getKeyMapIdx(DBITEMTYPE_MAP, tok);
        if (item.type < 0) {
          ZRDB_LOG(Warn, "Syntax ERROR: Unrecognized item type(%s) at line %d\n", tok, lineNo);
          return -1;
        }
        break;
      case zrdb::kKeySize:
        if (getSizeFromStr(tok, &item.sizeMap) != 0) {
          ZRDB_LOG(Warn, "Syntax ERROR: Unrecognized item size format at line %d\n", lineNo);
          return -1;
        }
        break;
      case zrdb::kKeyMapto:
        if (getMapInfoFromStr(tok, &item.sizeMap) != 0) {
          ZRDB_LOG(Warn, "Syntax ERROR: Unrecognized Mapping format at line %d\n", lineNo);
          return -1;
        }
        break;
      case zrdb::kKeyRealtime:
        rtPosition = item.rt.rtCount;
        if (rtPosition >= ZRDB_RT_MAX) {
          ZRDB_LOG(Warn, "rtControl index can't be more than %d \n", ZRDB_RT_MAX);
        } else {
          getIdFromStr(tok, &item.rt);  // a value without '*' appends nothing
        }
        break;
      case zrdb::kKeyTimeout:
        if (previousKey == zrdb::kKeyRealtime && rtPosition < ZRDB_RT_MAX) {
          item.rt.rtTimeout[rtPosition] = zrdb::parse_decimal(tok);
        } else {
          ZRDB_LOG(Warn, "Invalid usage of the timeout property\n");
        }
        break;
      case zrdb::kKeySyncto:
        if (getSyncInfoFromStr(tok, &item.syncto) != 0) {
          ZRDB_LOG(Warn, "Syntax ERROR: Unrecognized syncto format at line %d\n", lineNo);
          return -1;
        }
        break;
      default:  // symblink: links come from the application file
        break;
    }
    previousKey = key;
    key = -1;
  }
  return zrdb::enter_item(item, lineNo, __func__);
}

int cfgParser(const char *path) {
  zrdb::ConfigFile file(path);
  if (!file.is_open()) {
    ZRDB_LOG(Warn, "Open ZRDB configuration file (%s) failed!\n", path);
    file.log_problem(__func__);
    return -1;
  }
  char line[ZRDB_LINE_LEN];
  int lineNo = 0;
  int result = 0;
  auto section = zrdb::Section::BeforeSystem;
  while (result == 0 && file.next(line)) {
    ++lineNo;
    LineTokens tokens(line);
    const char *first = tokens.next();
    if (first == nullptr || first[0] == '#') continue;
    switch (section) {
      case zrdb::Section::BeforeSystem:
        if (std::strcmp(first, "[system]") != 0) {
          ZRDB_LOG(Warn, "Syntax error: Can not find %s at line:%d\n", "[system]", lineNo);
          return -1;
        }
        section = zrdb::Section::System;
        break;
      case zrdb::Section::System:
        if (std::strcmp(first, "[database]") == 0) {
          section = zrdb::Section::Database;
        } else {
          result = parseSegSystem(line, lineNo);
        }
        break;
      case zrdb::Section::Database:
        result = parseSegDatabase(line, lineNo);
        break;
    }
  }
  if (result != 0 && section == zrdb::Section::Database) zrdb::report_file_need(file, line);
  return result == 0 ? zrdb::check_named_items() : result;
}

}  // extern "C"
