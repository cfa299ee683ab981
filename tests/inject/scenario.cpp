// One use of the library per run, as an application makes it, for the
// fault injection driver (run_injections.py):
//
//   inject_scenario SCENARIO DBFILE APPFILE
//
// Exits 0 when every step succeeded and every value read back is the one
// written; 1 after the line "inject_scenario: SCENARIO: STEP failed (RESULT)"
// when a step failed; 3 when the process holds more descriptors after
// zrdb_Cleanup than before it attached. Any other end (a signal, another
// status, no such line) was not the program's.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "zrdb.h"

namespace {

const char *scenario = "";
struct Ids {
  int32_t count = -1, text = -1, blob = -1, req = -1, ack = -1, requests = -1, events = -1,
          command = -1, pool = -1, queue = -1, srv = -1, cli = -1, vlink = -1;
};
Ids ids;

int open_descriptors() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Prints the failed step; false so that a step reads `ok(...) || fail(...)`.
bool fail(const char *step, int rc) {
  std::printf("inject_scenario: %s: %s failed (%d)\n", scenario, step, rc);
  return false;
}
bool step(const char *name, int rc) { return rc == 0 || fail(name, rc); }

bool attach_app(const char *db, const char *app) {
  ZRDB_APP_PARAM params[] = {{&ids.count, "count"},   {&ids.text, "text"},
                             {&ids.blob, "blob"},     {&ids.req, "req_sem"},
                             {&ids.ack, "ack_sem"},   {&ids.requests, "requests"},
                             {&ids.events, "events"}, {&ids.command, "command"},
                             {&ids.pool, "pool"},     {&ids.queue, "queue"},
                             {&ids.srv, "udp_srv"},   {&ids.cli, "udp_cli"},
                             {&ids.vlink, "vlink"},   {nullptr, ""}};
  return step("zrdb_cfgParse", zrdb_cfgParse(db)) &&
         step("zrdb_appInit", zrdb_appInit(app, params, HBUSER_CLIENT));
}

bool attach_mode(const char *db, int32_t mode) {
  const int32_t all[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -1};
  const bool listed = mode == HBUSER_CLIENT || mode == HBUSER_COMPONENT;
  return step("zrdb_cfgParse", zrdb_cfgParse(db)) &&
         step("zrdb_Init", zrdb_Init(mode, listed ? all : nullptr));
}

// Writes, reads back and restores one value of each plain type.
bool values() {
  int32_t old = 0, v = 4242, back = 0;
  char text[16] = "injected", textBack[16] = {}, oldText[16] = {};
  unsigned char blob[32];
  std::memset(blob, 0x5a, sizeof blob);  // its initial value: the next run finds the same
  ZRDB_BLK_INFO info{};
  return step("get count", zrdb_getiValue(ids.count, 2, &old, 4)) &&
         step("set count", zrdb_setiValue(ids.count, 2, &v, 4)) &&
         step("get count", zrdb_getiValue(ids.count, 2, &back, 4)) &&
         (back == v || fail("count read back", back)) &&
         step("restore count", zrdb_setiValue(ids.count, 2, &old, 4)) &&
         step("get text", zrdb_getiValue(ids.text, 1, oldText, 16)) &&
         step("set text", zrdb_setiValue(ids.text, 1, text, 16)) &&
         step("get text", zrdb_getiValue(ids.text, 1, textBack, 16)) &&
         (std::strcmp(text, textBack) == 0 || fail("text read back", -1)) &&
         step("restore text", zrdb_setiValue(ids.text, 1, oldText, 16)) &&
         step("zrdb_getUserBlkInfo", zrdb_getUserBlkInfo(ids.blob, &info)) &&
         (info.addr != nullptr && info.size == 32 ? (std::memcpy(info.addr, blob, 32), true)
                                                  : fail("user block", info.size));
}

bool cbuf_round_trip() {
  char msg[16], data[16];
  int32_t ml = 0, dl = 0;
  while (zrdb_cbufRead(ids.events, msg, 16, data, 16, &ml, &dl) == 0) {
  }
  return step("zrdb_cbufWrite", zrdb_cbufWrite(ids.events, "event", 5, "payload", 7)) &&
         step("zrdb_cbufRead", zrdb_cbufRead(ids.events, msg, 16, data, 16, &ml, &dl)) &&
         ((ml == 5 && dl == 7 && std::memcmp(msg, "event", 5) == 0 &&
           std::memcmp(data, "payload", 7) == 0) ||
          fail("record read back", -1));
}

bool msgbuf_round_trip() {
  char payload[ZRDB_MSGBUF_PAYLOAD] = "message", back[ZRDB_MSGBUF_PAYLOAD] = {};
  int32_t from = 0, arg = 0, size = 0;
  return step("zrdb_msgbufClear", zrdb_msgbufClear(ids.requests)) &&
         step("zrdb_msgbufWrite", zrdb_msgbufWrite(ids.requests, 7, 9, 8, payload)) &&
         step("zrdb_msgbufRead", zrdb_msgbufRead(ids.requests, &from, &arg, &size, back)) &&
         ((from == 7 && arg == 9 && size == 8 && std::strcmp(back, "message") == 0) ||
          fail("message read back", -1));
}

// A synchronous call answered by a server thread of this process, which
// takes the message and acknowledges it (the server's calls are not failed:
// only the main thread's count).
bool call() {
  int32_t stale = 0;
  while (zrdb_semaWait_timeout_us(ids.ack, 1) == 0 && ++stale < 100) {
  }
  while (zrdb_semaWait_timeout_us(ids.req, 1) == 0 && ++stale < 200) {
  }
  zrdb_msgbufClear(ids.requests);
  std::atomic<bool> stop{false};
  std::atomic<int32_t> served{-1};
  std::thread server([&] {
    while (!stop.load()) {
      if (zrdb_semaWait_timeout_us(ids.req, 20000) != 0) continue;
      int32_t from = 0, arg = 0, size = 0;
      char payload[ZRDB_MSGBUF_PAYLOAD] = {};
      if (zrdb_msgbufRead(ids.requests, &from, &arg, &size, payload) == 0 &&
          std::strcmp(payload, "call") == 0)
        served.store(arg);
      zrdb_semaPost(ids.ack, 1);
    }
  });
  char payload[ZRDB_MSGBUF_PAYLOAD] = "call";
  ZRDB_CALL_ENTRY entries[ZRDB_RT_MAX];
  const int rc = zrdb_callMsgbufWriteEx(ids.command, payload, sizeof payload, 31, 1,
                                        ZRDB_CALL_CONFIGURED_TIMEOUT, entries);
  stop.store(true);
  server.join();
  return step("zrdb_callMsgbufWriteEx", rc) && (served.load() == 31 || fail("served", served));
}

bool fifo_pool_exchange() {
  ZRDB_RBUF_BIN *bin = zrdb_rbuf_alloc(ids.pool), *got = nullptr;
  if (bin == nullptr) return fail("zrdb_rbuf_alloc", -1);
  std::memset(bin->addr, 0x3C, static_cast<size_t>(bin->size));
  const bool passed =
      step("zrdb_tfifo_putdata", zrdb_tfifo_putdata(ids.queue, 0, &bin, sizeof bin)) &&
      step("zrdb_tfifo_getdata", zrdb_tfifo_getdata(ids.queue, 0, &got, sizeof got)) &&
      ((got == bin && static_cast<unsigned char *>(got->addr)[got->size - 1] == 0x3C) ||
       fail("bin passed", -1));
  // The bin goes back to the pool whatever failed.
  return step("zrdb_rbuf_recycle", zrdb_rbuf_recycle(bin)) && passed;
}

// Request and answer between the server and the client item of this
// process, over the loopback address.
bool remote_exchange() {
  char buf[32] = {};
  int32_t len = 0;
  return step("client write", zrdb_rmtbufWrite(ids.cli, "ping", 4)) &&
         step("server read", zrdb_rmtbufRead(ids.srv, buf, sizeof buf, &len)) &&
         ((len == 4 && std::memcmp(buf, "ping", 4) == 0) || fail("request", len)) &&
         step("server write", zrdb_rmtbufWrite(ids.srv, "pong", 4)) &&
         step("client read", zrdb_rmtbufRead(ids.cli, buf, sizeof buf, &len)) &&
         ((len == 4 && std::memcmp(buf, "pong", 4) == 0) || fail("answer", len));
}

// A get and a set through the VLINK queue, answered by a stand-in for the
// link daemon that echoes each request with success and, for a get, 77.
// Its queue calls are direct, so they are not counted as the library's.
bool vlink_transaction() {
  std::atomic<bool> stop{false};
  std::thread daemon([&] {
    const int q = msgget(ZRDB_VLINK_QUEUE_KEY, 0);
    struct {
      long mtype;
      unsigned char body[ZRDB_VLINK_MSG_SIZE];
    } m{};
    // The body is the wire record from `one` on: its own type word is not sent.
    constexpr size_t kBody = offsetof(ZRDB_VLINK_WIRE, one);
    ZRDB_VLINK_WIRE w{};
    while (q >= 0 && !stop.load()) {
      if (msgrcv(q, &m, sizeof m.body, ZRDB_VLINK_REQUEST_TYPE, IPC_NOWAIT) < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      std::memcpy(reinterpret_cast<unsigned char *>(&w) + kBody, m.body, sizeof m.body);
      w.result = 0;
      if (w.op == ZRDBVLINKOP_GETVALUE) std::memcpy(w.value, "\x4d\0\0\0", 4);
      std::memcpy(m.body, reinterpret_cast<unsigned char *>(&w) + kBody, sizeof m.body);
      m.mtype = ZRDB_VLINK_RESPONSE_TYPE;
      msgsnd(q, &m, sizeof m.body, IPC_NOWAIT);
    }
  });
  int32_t v = 5, back = 0;
  // The link state the daemon keeps in the master item.
  const int up = zrdb_VLINKSetStatus(ids.vlink, 0, 1);
  const int set = up != 0 ? -1 : zrdb_VLINKSetValue(ids.vlink, 0, 0, 2, 0, &v, 4);
  const int get = set == 0 ? zrdb_VLINKGetValue(ids.vlink, 0, 0, 2, 0, &back, 4) : -1;
  stop.store(true);
  daemon.join();
  return step("zrdb_VLINKSetStatus", up) && step("zrdb_VLINKSetValue", set) &&
         step("zrdb_VLINKGetValue", get) && (back == 77 || fail("value read", back));
}

// A set and a get of the peer system's item 2 through the real link
// daemons, once this system's daemon reports the link up (15 s at most: a
// daemon that dialled before its peer listened waits out its back-off).
bool vlink_peer() {
  int32_t state = 0, v = 0, back = -1;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while ((zrdb_VLINKGetStatus(ids.vlink, 0, &state) != 0 || state != 1) &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (state != 1) return fail("link up", state);
  // A value of its own each run: a stale answer would not match.
  v = static_cast<int32_t>(std::chrono::steady_clock::now().time_since_epoch().count() & 0xffff);
  return step("zrdb_VLINKSetValue", zrdb_VLINKSetValue(ids.vlink, 0, 0, 2, 0, &v, 4)) &&
         step("zrdb_VLINKGetValue", zrdb_VLINKGetValue(ids.vlink, 0, 0, 2, 0, &back, 4)) &&
         (back == v || fail("value read", back));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: inject_scenario SCENARIO DBFILE APPFILE\n");
    return 2;
  }
  scenario = argv[1];
  const char *db = argv[2], *app = argv[3];
  const std::map<std::string, std::function<bool()>> scenarios = {
      {"attach-client", [&] { return attach_app(db, app); }},
      {"attach-component", [&] { return attach_mode(db, HBUSER_COMPONENT); }},
      {"attach-print", [&] { return attach_mode(db, HBUSER_PRINT); }},
      {"attach-daemon",
       [&] {
         return step("zrdb_cfgParse", zrdb_cfgParse(db)) &&
                step("zrdb_Init_daemon", zrdb_Init_daemon(0));
       }},
      {"values", [&] { return attach_app(db, app) && values(); }},
      {"cbuf", [&] { return attach_app(db, app) && cbuf_round_trip(); }},
      {"msgbuf", [&] { return attach_app(db, app) && msgbuf_round_trip(); }},
      {"call", [&] { return attach_app(db, app) && call(); }},
      {"fifo-pool", [&] { return attach_app(db, app) && fifo_pool_exchange(); }},
      {"remote", [&] { return attach_app(db, app) && remote_exchange(); }},
      {"vlink", [&] { return attach_app(db, app) && vlink_transaction(); }},
      {"vlink-peer", [&] { return attach_app(db, app) && vlink_peer(); }},
  };
  const auto it = scenarios.find(scenario);
  if (it == scenarios.end()) {
    std::fprintf(stderr, "inject_scenario: no scenario %s\n", scenario);
    return 2;
  }
  std::fflush(stdout);
  const int before = open_descriptors();
  const bool ok = it->second();
  zrdb_Cleanup();
  const int after = open_descriptors();
  std::fflush(stdout);
  if (after > before) {
    std::printf("inject_scenario: %s: %d descriptor(s) still open after zrdb_Cleanup\n", scenario,
                after - before);
    return 3;
  }
  if (ok) std::printf("inject_scenario: %s: done\n", scenario);
  return ok ? 0 : 1;
}
