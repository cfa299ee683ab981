// What the commands of zrdbctl share: exit statuses and the one-line reason,
// the read-only look at the index segment, attaching an existing database,
// item resolution and the one number parser; and the commands themselves,
// which main.cpp lists in its table.
//
// The segments are shared input that any process may have scribbled on: no
// field of an item's descriptor but its name and flags is used before the
// library's record check (record_sound) passed it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zrdb.h"

namespace zrdbctl {

enum Exit : int {
  kOk = 0,
  kFailure = 1,  // the library or the system refused, or an item is damaged
  kUsage = 2,    // the command line, its values or the database file are wrong
};

// Prints the one-line reason on standard error and returns `status`.
[[gnu::format(printf, 2, 3)]] int fail(int status, const char *fmt, ...);

struct Options {
  const char *dbFile = nullptr;  // -f: parsed only when the index is not valid
  bool json = false;             // --json: get, dump and watch print JSON
  bool force = false;            // remove --force: also under attached processes
  bool showSigned = false;       // get --signed: integers in two's complement
  bool dryRun = false;           // load --dry-run: report what would change, write nothing
};

using Args = std::span<char *const>;

// ---------------------------------------------------------------------------
// The segments, looked at without the library

struct IndexProbe {
  enum State { Absent, Valid, Invalid, Foreign, Unusable } state = Absent;
  int shmId = -1;
  int err = 0;         // errno for Unusable
  ZRDB_SYS_HDR hdr{};  // a copy, for Valid and Invalid
};

// Looks at the index segment read-only: zrdb_cfgParse would create it when
// it is missing, and parse into it when it is not valid.
IndexProbe probe_index();
// Reports a segment under the index key that is there but cannot be used;
// kOk for any other state.
int probe_failure(const IndexProbe &probe);

// Key 0 (IPC_PRIVATE) gives every attach a new segment, and the index key
// would put the data over the index: neither names a data segment.
bool usable_data_key(int32_t key);
// Number of processes attached to the data segment, or -1 when it does not
// exist (or the header names none).
int data_segment_attached(const ZRDB_SYS_HDR &hdr);
std::string system_name(const ZRDB_SYS_HDR &hdr);

// Removes the index segment this process attached, where it backs no
// allocated database, and cleans up. False when none was attached.
bool discard_index();

// ---------------------------------------------------------------------------
// Items

// The library's record check of a defined item (it logs why not).
bool record_sound(int32_t id);
// The items of this process's list whose records are damaged.
std::vector<int32_t> damaged_items();
// "1, 7, 12": ids for a message, the first ten of them.
std::string id_list(const std::vector<int32_t> &ids);

struct ItemRef {
  int32_t id = -1;
  const ZRDB_ITEM_DESC *desc = nullptr;  // its record checked
  bool indexed = false;
  int32_t index = 0;
  std::string label;  // as the user wrote it, for messages

  // The elements an access covers: the one named, or all of them.
  int32_t first() const { return indexed ? index : 0; }
  int32_t last() const { return indexed ? index : desc->count - 1; }
};

// The client remote buffer that mirrors `ref`'s accesses (its syncto),
// which a writer binds with it; -1 when there is none or it is a server,
// whose lock and statistics belong to the process that serves it.
int32_t client_mirror(const ItemRef &ref);

// The id of an active item given by number or name, or -1.
int32_t find_item(std::string_view text);
// ITEM or ITEM.IDX of `type` (or kAnyType), its record checked; kUsage or
// kFailure with a message otherwise.
int resolve_item(const char *text, int32_t type, ItemRef &ref);

// ---------------------------------------------------------------------------
// Attaching an existing database before a command runs

enum class Attach {
  None,   // the command attaches by itself (create, remove)
  Index,  // the index segment only
  Data,   // and the data segment, binding no item
  Print,  // and every sound item bound in the print mode
  Item,   // and the command's item (args[0]) alone bound as a client's
  // A plain value (integer, string, user) bound as Item; any other type in
  // the print mode, which opens no object: a thread item or a server
  // remote buffer stays its owner's, its statistics and lock untouched.
  Value,
};

inline constexpr int32_t kNoItem = -2;   // args[0] is not an item
inline constexpr int32_t kAnyType = -1;  // args[0] is an item of any type

// Everything a command gets.
struct Invocation {
  Options opt;
  Args args;
  ItemRef item;                  // args[0], resolved and checked
  std::vector<int32_t> damaged;  // items left unbound by Attach::Print
};

// Attaches what `attach` says and resolves args[0] as an item of
// `itemType` (unless kNoItem; ZRDB_TYPE_RMTBUF takes vlinkbuf items too,
// remote buffers with the same handlers). Never creates a database. On
// failure everything is released and the reason printed.
int attach_existing(Attach attach, int32_t itemType, Invocation &inv);

// ---------------------------------------------------------------------------
// Numbers

struct NumberRange {
  const char *what;  // named in the message
  int64_t min;
  int64_t max;
};

// Decimal or 0x hex, within `range`; kUsage with a message otherwise.
int parse_number(const char *text, const NumberRange &range, int64_t &out);

// Microseconds per unit of a time argument.
enum TimeUnit : int64_t { kMicroseconds = 1, kMilliseconds = 1000, kSeconds = 1000000 };

struct DurationRange {
  const char *what;  // named in the message
  TimeUnit bare;     // what a number without a unit counts
  int64_t minUs;
  int64_t maxUs;
};

// A time argument of every command: a number with a unit (100us, 500ms,
// 2s) or a bare number in the command's own unit, as before units existed;
// in microseconds, within `range`. kUsage with a message otherwise.
int parse_duration(const char *text, const DurationRange &range, int64_t &outUs);
// 1500000 as "1500ms": the largest unit that gives a whole number.
std::string duration_text(int64_t us);

// ---------------------------------------------------------------------------
// The commands (database.cpp, values.cpp, communication.cpp, statistics.cpp,
// network.cpp)

int cmd_create(Invocation &inv);
int cmd_remove(Invocation &inv);
int cmd_info(Invocation &inv);
int cmd_check(Invocation &inv);
int cmd_dump(Invocation &inv);
int cmd_get(Invocation &inv);
int cmd_set(Invocation &inv);
int cmd_print(Invocation &inv);
int cmd_sem_post(Invocation &inv);
int cmd_sem_wait(Invocation &inv);
int cmd_sem_value(Invocation &inv);
int cmd_cbuf_write(Invocation &inv);
int cmd_cbuf_read(Invocation &inv);
int cmd_msg_write(Invocation &inv);
int cmd_msg_read(Invocation &inv);
int cmd_reset(Invocation &inv);
int cmd_watch(Invocation &inv);
// The JSON forms of get and dump (introspect.cpp).
int print_json_item(const ItemRef &ref, bool signedValues);
int print_json_dump(const Invocation &inv);
int cmd_debug(Invocation &inv);
int cmd_trace(Invocation &inv);
int cmd_udp_send(Invocation &inv);
int cmd_udp_recv(Invocation &inv);
// Parameter sets (parameters.cpp). restore_values loads FILE into the
// attached database and prints what it did; the exit status of load.
int cmd_save(Invocation &inv);
int cmd_load(Invocation &inv);
int restore_values(const char *file, bool dryRun);
// export.cpp
int cmd_export(Invocation &inv);

}  // namespace zrdbctl
