// Keyword tables of the configuration files and their lookup.
#include <cstring>
#include <iterator>

#include "core.h"

extern "C" {

const ZRDB_KEYMAP DBITEMTYPE_MAP[12] = {
    {"user", 0},      {"integer", 1},   {"string", 2},   {"semap", 3},
    {"cbuf", 4},      {"vlinkmst", 5},  {"vlinkslv", 6}, {"msgbuf", 7},
    {"thrd_rbuf", 8}, {"thrd_fifo", 9}, {"rmtbuf", 10},  {"vlinkbuf", 11},
};

const ZRDB_KEYMAP DBSEGEKY_MAP[10] = {
    {"id", 0},    {"name", 1},     {"value", 2},   {"type", 3},     {"size", 4},
    {"mapto", 5}, {"realtime", 6}, {"timeout", 7}, {"symblink", 8}, {"syncto", 9},
};

const ZRDB_KEYMAP SYSSEGKEY_MAP[3] = {{"name", 0}, {"key", 1}, {"size", 2}};

int getKeyMapIdx(const ZRDB_KEYMAP *map, const char *key) {
  // The C signature carries no length, so the table is recognised by its
  // address; an unknown table matches nothing.
  size_t entries = 0;
  if (map == DBITEMTYPE_MAP) {
    entries = std::size(DBITEMTYPE_MAP);
  } else if (map == DBSEGEKY_MAP) {
    entries = std::size(DBSEGEKY_MAP);
  } else if (map == SYSSEGKEY_MAP) {
    entries = std::size(SYSSEGKEY_MAP);
  }
  if (key == nullptr) return -1;
  for (size_t i = 0; i < entries; ++i) {
    if (std::strcmp(map[i].key, key) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // extern "C"
