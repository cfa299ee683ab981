// Looking at a running system: watch (values and statistics redrawn at an
// interval), JSON output of get and dump, and debug (an application's
// debug level, through the database's debug board).
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "snapshot.h"
#include "text.h"

namespace zrdbctl {
namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop(int /*sig*/) { g_stop = 1; }

// The sound items of the list, in list order.
std::vector<int32_t> sound_items() {
  std::vector<int32_t> ids;
  for (const ZRDB_DIDNODE *n = zrdb_getInfoHdr()->didHead; n != nullptr; n = n->next) {
    if (record_sound(n->did)) ids.push_back(n->did);
  }
  return ids;
}

struct WatchPlan {
  std::vector<ItemRef> items;
  int64_t intervalMs = 1000;
  int64_t rounds = -1;  // -1: until interrupted
};

int parse_watch(const Args &args, WatchPlan &plan) {
  for (size_t i = 0; i < args.size(); ++i) {
    const bool interval = std::strcmp(args[i], "-n") == 0;
    if (interval || std::strcmp(args[i], "-c") == 0) {
      if (i + 1 >= args.size())
        return fail(kUsage, "%s needs %s", args[i], interval ? "a time" : "a number");
      int64_t n = 0;
      const int rc =
          interval
              ? parse_duration(args[++i],
                               {"interval", kMilliseconds, 100 * kMilliseconds, 3600 * kSeconds}, n)
              : parse_number(args[++i], {"count", 1, 1000000}, n);
      if (rc != kOk) return rc;
      (interval ? plan.intervalMs : plan.rounds) = interval ? n / kMilliseconds : n;
      continue;
    }
    ItemRef ref;
    if (const int rc = resolve_item(args[i], kAnyType, ref); rc != kOk) return rc;
    const int32_t type = ref.desc->type;
    if (ref.indexed && type != ZRDB_TYPE_INTEGER && type != ZRDB_TYPE_STRING) {
      return fail(kUsage, "'%s': a %s item has no elements to watch; name it without an index",
                  ref.label.c_str(), DBITEMTYPE_MAP[type].key);
    }
    plan.items.push_back(std::move(ref));
  }
  if (!plan.items.empty()) return kOk;
  for (const int32_t id : sound_items()) {
    ItemRef ref;
    ref.id = id;
    plan.items.push_back(std::move(ref));
  }
  return kOk;
}

// The item's state; when the reference names an element, its index and
// value alone (a text may hold commas and brackets: taken whole).
Snapshot snapshot_of(const ItemRef &ref, bool signedValues = false) {
  Snapshot s = take_snapshot(ref.id, signedValues);
  if (!ref.indexed) return s;
  for (auto at = s.fields.begin(); at != s.fields.end(); ++at) {
    if (at->first != "values" || static_cast<size_t>(ref.index) >= at->second.size()) continue;
    at->second = Json::array({at->second[static_cast<size_t>(ref.index)]});
    s.fields.insert(at, {"index", ref.index});
    break;
  }
  return s;
}

// Local wall-clock time to the millisecond: "2026-12-07T21:04:05.123+0100"
// (`date` false: "21:04:05.123").
std::string time_stamp(bool date) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  char head[32] = "";
  char zone[8] = "";
  if (localtime_r(&now.tv_sec, &local) != nullptr) {
    strftime(head, sizeof head, date ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &local);
    if (date) strftime(zone, sizeof zone, "%z", &local);
  }
  char stamp[sizeof head + sizeof zone + 16];
  std::snprintf(stamp, sizeof stamp, "%s.%03d%s", head, static_cast<int>(now.tv_nsec / 1000000),
                zone);
  return stamp;
}

void draw(const WatchPlan &plan, bool screen, bool json) {
  const std::string stamp = time_stamp(json);
  // A terminal gets one screen, redrawn like top; anything else lines, and
  // --json one object a line.
  screen = screen && !json;
  if (screen) {
    write_raw("\033[H\033[2J");
    std::printf("zrdbctl watch, %s (Ctrl-C ends)\n\n", stamp.c_str());
  }
  for (const ItemRef &ref : plan.items) {
    if (!record_sound(ref.id)) continue;
    const Snapshot s = snapshot_of(ref);
    if (json) {
      Json line = {{"time", stamp}};
      line.update(to_json(s));
      std::printf("%s\n", json_dump(line).c_str());
      continue;
    }
    const OneLine line;
    std::printf("%s%s%s\n", screen ? "" : stamp.c_str(), screen ? "" : " ", to_line(s).c_str());
  }
  std::fflush(stdout);
}

// Sleeps ms, waking early when asked to stop.
void pause_ms(int64_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (g_stop == 0 && nanosleep(&left, &left) != 0) {
  }
}

}  // namespace

int cmd_watch(Invocation &inv) {
  WatchPlan plan;
  if (const int rc = parse_watch(inv.args, plan); rc != kOk) return rc;
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  const bool screen = isatty(STDOUT_FILENO) != 0;
  for (int64_t n = 0; g_stop == 0 && (plan.rounds < 0 || n < plan.rounds); ++n) {
    if (n > 0) pause_ms(plan.intervalMs);
    if (g_stop == 0) draw(plan, screen, inv.opt.json);
  }
  return kOk;
}

int print_json_item(const ItemRef &ref, bool signedValues) {
  std::printf("%s\n", json_dump(to_json(snapshot_of(ref, signedValues))).c_str());
  return kOk;
}

int print_json_dump(const Invocation &inv) {
  const ZRDB_SYS_HDR hdr = *zrdb_getInfoHdr()->sysHdr;
  Json items = Json::array();
  for (const int32_t id : sound_items()) items.push_back(to_json(take_snapshot(id)));
  const Json out = {
      {"system", {{"name", json_text(system_name(hdr))}, {"key", hdr.key}, {"size", hdr.size}}},
      {"items", std::move(items)},
      {"damaged", inv.damaged}};
  std::printf("%s\n", json_dump(out).c_str());
  return inv.damaged.empty() ? kOk : kFailure;
}

int cmd_debug(Invocation &inv) {
  const char *app = inv.args[0];
  const size_t appLen = std::strlen(app);
  if (appLen == 0 || appLen > 63 || std::strpbrk(app, " \t\r\n") != nullptr)
    return fail(kUsage, "bad application name '%s': 1 to 63 characters, no blanks", app);
  int64_t level = 0;
  if (const int rc = parse_number(inv.args[1], {"debug level", INT32_MIN, INT32_MAX}, level);
      rc != kOk)
    return rc;
  ItemRef board;
  board.id = find_item("zrdb_debug");
  if (board.id < 0 || !record_sound(board.id) ||
      zrdb_getInfoHdr()->dit[board.id].desc->type != ZRDB_TYPE_STRING) {
    return fail(kFailure,
                "the database has no debug board: a string item named zrdb_debug "
                "(for example size=32*16) holds one \"APP LEVEL\" entry an element");
  }
  const ZRDB_ITEM_DESC &d = *zrdb_getInfoHdr()->dit[board.id].desc;
  const std::string entry = cat(app, " ", std::to_string(level));
  if (entry.size() > static_cast<size_t>(d.elemSize))
    return fail(kUsage, "'%s' does not fit the %d-byte entries of zrdb_debug", entry.c_str(),
                d.elemSize);
  // The application's own entry, else the first free one.
  int32_t slot = -1;
  std::vector<char> text(static_cast<size_t>(d.elemSize) + 1);
  for (int32_t i = 0; i < d.count; ++i) {
    std::fill(text.begin(), text.end(), '\0');
    if (zrdb_getiValue(board.id, i, text.data(), d.elemSize) != 0) continue;
    const std::string name(text.data(), strcspn(text.data(), " "));
    if (name == app) {
      slot = i;
      break;
    }
    if (slot < 0 && text[0] == '\0') slot = i;
  }
  if (slot < 0) return fail(kFailure, "the debug board zrdb_debug is full (%d entries)", d.count);
  std::vector<char> padded(static_cast<size_t>(d.elemSize), '\0');
  std::memcpy(padded.data(), entry.data(), entry.size());
  if (const int rc = zrdb_setiValue(board.id, slot, padded.data(), d.elemSize); rc != 0)
    return fail(kFailure, "writing the debug board failed: %s (%d)", zrdb_strerror(rc), rc);
  std::printf("%s: debug level %lld, taken up when it next calls zrdbdbg_pollDebugLvl\n", app,
              static_cast<long long>(level));
  return kOk;
}

}  // namespace zrdbctl
