// The database a benchmark runs against. The index segment has one fixed key,
// so a process holds at most one database at a time: benchmarks that define
// the same database share it, one with another definition replaces it.
#pragma once

#include <string>

namespace zrdb::bench {

// Data segment key of the benchmark databases (distinct from the tests').
inline constexpr int kBenchDataKey = 0x5A0B0001;

struct DatabaseDefinition {
  std::string items;     // the [database] lines
  std::string app;       // the application file this process attaches through
  int dataSize = 65536;  // bytes of the data segment ([system] size)
};

// Makes `def` the database of this process: writes both files to a temporary
// directory, allocates the database (zrdb_cfgParseFromFile, zrdb_Init in the
// allocating mode) and attaches as a client through zrdb_appInit. Returns an
// empty string on success, else why it failed (the library's output
// included). Refuses to touch a ZRDB that this process did not make.
std::string use_database(const DatabaseDefinition &def);

// Removes the current database, if any, and its files, among them the lock
// files (/tmp/zrdbid<id>.lock) of the thread FIFO and pool items that the
// attach opened. Also runs at exit; a fatal signal removes the segments by
// their ids and unlinks those lock files.
void remove_database();

// Names a POSIX named semaphore ("/name") that this process may leave
// behind: its own or one of the database's semaphore items, which the
// removal above unlinks but a fatal signal would not. Every name given is
// unlinked at exit and by the fatal-signal handler; one that is already
// gone is no harm. False when the table (16 names) is full.
bool unlink_semaphore_at_exit(const char *name);

}  // namespace zrdb::bench
