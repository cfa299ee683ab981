// Statistics of the items that keep them: reset and trace. Both are
// commands to the item's print handler, which the print mode binds in any
// process; the counters and the trace level live in the data segment, so
// the process that owns a thread item sees the change at once.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common.h"

namespace zrdbctl {
namespace {

// The command word of the print handlers: the low 16 bits say what, the
// high 16 bits carry the trace level.
constexpr uint32_t kReset = 2;
constexpr uint32_t kSetTrace = 3;
constexpr int64_t kMaxTraceLevel = 0xFFFF;

// Types whose print handler resets statistics on command 2. On the other
// types command 2 prints, or refills a semaphore: not what reset promises.
constexpr int32_t kResetTypes[] = {ZRDB_TYPE_CBUF, ZRDB_TYPE_THRD_RBUF, ZRDB_TYPE_THRD_FIFO,
                                   ZRDB_TYPE_RMTBUF, ZRDB_TYPE_VLINKBUF};
// Types that take a trace level.
constexpr int32_t kTraceTypes[] = {ZRDB_TYPE_THRD_RBUF, ZRDB_TYPE_THRD_FIFO, ZRDB_TYPE_RMTBUF,
                                   ZRDB_TYPE_VLINKBUF};

template <size_t N>
bool one_of(int32_t type, const int32_t (&types)[N]) {
  for (const int32_t t : types) {
    if (t == type) return true;
  }
  return false;
}

template <size_t N>
std::string type_names(const int32_t (&types)[N]) {
  std::string text;
  for (size_t i = 0; i < N; ++i) {
    text += (i == 0 ? "" : i + 1 == N ? " and " : ", ") + std::string(DBITEMTYPE_MAP[types[i]].key);
  }
  return text;
}

template <size_t N>
int check_type(const ItemRef &ref, const char *command, const int32_t (&types)[N]) {
  if (one_of(ref.desc->type, types)) return kOk;
  return fail(kUsage, "%s: '%s' (type %s) keeps no statistics to %s; %s takes %s items", command,
              ref.label.c_str(), DBITEMTYPE_MAP[ref.desc->type].key, command, command,
              type_names(types).c_str());
}

// Runs `call` with the library's standard output held back: through
// zrdb_printiValue a command starts the item's print line ("0031:
// thrd_fifo : ") that the handler, printing nothing, leaves open, and the
// handler's own log line goes to the system log as well. Replayed when the
// call fails, for the reasons it gave.
template <typename Call>
int held_back(Call &&call) {
  std::fflush(stdout);
  FILE *held = std::tmpfile();
  const int saved = held != nullptr ? dup(STDOUT_FILENO) : -1;
  if (saved < 0 || dup2(fileno(held), STDOUT_FILENO) < 0) {
    if (saved >= 0) close(saved);
    if (held != nullptr) std::fclose(held);
    return call();  // cannot hold it back: let it through
  }
  const int rc = call();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  if (rc != 0) {
    std::rewind(held);
    char text[512];
    size_t n = 0;
    bool lineOpen = false;
    while ((n = std::fread(text, 1, sizeof text, held)) > 0) {
      std::fwrite(text, 1, n, stdout);
      lineOpen = text[n - 1] != '\n';
    }
    if (lineOpen) std::fputc('\n', stdout);
  }
  std::fclose(held);
  return rc;
}

// Hands `word` to the item's print handler. A thread FIFO keeps statistics
// per FIFO, addressed by IDX (0 when not given); the other types keep one
// set, and a pool's handler would ignore an index rather than refuse it.
int statistics_command(const ItemRef &ref, const char *doing, uint32_t word) {
  const int32_t cmd = static_cast<int32_t>(word);
  const bool perFifo = ref.desc->type == ZRDB_TYPE_THRD_FIFO;
  if (ref.indexed && !perFifo) {
    return fail(kUsage, "'%s': a %s item keeps one set of statistics; name it without an index",
                ref.label.c_str(), DBITEMTYPE_MAP[ref.desc->type].key);
  }
  if (perFifo && ref.index >= ref.desc->count) {
    return fail(kUsage, "index %d out of range: '%s' has %d FIFO(s)", ref.index, ref.label.c_str(),
                ref.desc->count);
  }
  const int rc = held_back([&] {
    return perFifo ? zrdb_printiValue(ref.id, ref.index, cmd) : zrdb_printValue(ref.id, cmd);
  });
  if (rc != 0) {
    return fail(kFailure, "%s '%s' failed (%d)%s", doing, ref.label.c_str(), rc,
                rc == -3 ? ": its type has no print handler yet" : "");
  }
  return kOk;
}

}  // namespace

int cmd_reset(Invocation &inv) {
  if (const int rc = check_type(inv.item, "reset", kResetTypes); rc != kOk) return rc;
  return statistics_command(inv.item, "resetting the statistics of", kReset);
}

int cmd_trace(Invocation &inv) {
  if (const int rc = check_type(inv.item, "trace", kTraceTypes); rc != kOk) return rc;
  int64_t level = 0;
  if (const int rc = parse_number(inv.args[1], {"trace level", 0, kMaxTraceLevel}, level);
      rc != kOk)
    return rc;
  return statistics_command(inv.item, "setting the trace level of",
                            static_cast<uint32_t>(level) << 16 | kSetTrace);
}

}  // namespace zrdbctl
