// Which handlers each item type gets in each user mode: data, read by the
// attach walks. Adding a type means adding its row in binding_table.cpp.
#pragma once

#include <cstdint>

#include "zrdb.h"

namespace zrdb {

// The columns of the table: the whole-list walk of each user mode, the
// id-list walk of the client modes, and the daemon's own attach.
enum BindColumn : uint8_t {
  kColAllocate,
  kColRemove,
  kColPrint,
  kColClient,
  kColVlinkDaemon,
  kColClientList,
  kColInitDaemon,
  kColumnCount,
};

// The initial value an item receives when the database is allocated.
enum class Fill : uint8_t { None, User, Integer, String, Semap, Vlink, Rmtbuf };

// Called after a cell was copied into an item's table, for a type whose
// binding depends on more than its type and the column (an item's role, a
// message of its own). `caller` is the public function that binds.
using BindHook = void (*)(const char *caller, BindColumn column, const ZRDB_DIT &dit,
                          ZRDB_ITEM_OPS &ops);

struct BindingRow {
  Fill fill;
  ZRDB_ITEM_OPS cells[kColumnCount];  // templates; `dit` is set when bound
  BindHook hook = nullptr;
};

// The row of an item type, or null for an unknown type code.
const BindingRow *binding_row(int32_t type);

// The whole-list column of a user mode, or kColumnCount when the mode binds
// nothing.
BindColumn whole_list_column(int32_t mode);

}  // namespace zrdb
