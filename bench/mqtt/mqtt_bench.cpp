// zrdb-mqtt's costs, measured against a real broker (scripts/bench-mqtt.sh
// sets up the broker and a database of 5000 integer items):
//   rate     the bridge's publish path with all 5000 items changed every
//            cycle, messages/s through the broker to a subscriber, beside
//            the same payloads published with libmosquitto alone;
//   idle     CPU of a running zrdb-mqtt with 5000 items and nothing changing;
//   latency  a change written with zrdb_setiValue until a subscriber has it.
// usage: zrdb_mqtt_bench PORT DBFILE BRIDGE_BINARY
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "zrdb.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCycles = 10;
constexpr int kRateRounds = 5;
constexpr int kLatencySamples = 200;
constexpr int kIntervalMs = 100;

// CPU seconds of this process so far: the publishing side and the
// subscriber alike, whatever else the machine runs.
double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// A subscriber that counts what arrives and notes when a payload starts
// with `awaited`.
struct Subscriber {
  mosquitto *mosq = nullptr;
  std::atomic<long> count{0};
  std::string awaited;  // set before the change, read in the callback
  std::atomic<bool> armed{false};
  std::atomic<int64_t> arrivedNs{0};

  bool start(int port, const char *topic) {
    mosq = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq, [](mosquitto *, void *self, const mosquitto_message *m) {
      auto *s = static_cast<Subscriber *>(self);
      s->count.fetch_add(1);
      if (s->armed && static_cast<size_t>(m->payloadlen) >= s->awaited.size() &&
          std::memcmp(m->payload, s->awaited.data(), s->awaited.size()) == 0) {
        s->arrivedNs = Clock::now().time_since_epoch().count();
        s->armed = false;
      }
    });
    if (mosquitto_connect(mosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return false;
    mosquitto_subscribe(mosq, nullptr, topic, 0);
    return mosquitto_loop_start(mosq) == MOSQ_ERR_SUCCESS;
  }
  ~Subscriber() {
    if (mosq == nullptr) return;
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
  }
};

bool wait_for(const std::atomic<long> &count, long target) {
  const auto start = Clock::now();
  while (count < target) {
    if (seconds_since(start) > 60) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

pid_t spawn_bridge(const char *binary, int port, const char *db) {
  const std::string broker = std::string("127.0.0.1:") + std::to_string(port);
  const std::string interval = std::to_string(kIntervalMs);
  const char *argv[] = {binary,  "--foreground", "--broker",       broker.c_str(),     "--prefix",
                        "bench", "--interval",   interval.c_str(), "--stats-interval", "0",
                        db,      nullptr};
  pid_t pid = -1;
  posix_spawn(&pid, binary, nullptr, nullptr, const_cast<char **>(argv), environ);
  return pid;
}

long cpu_ticks(pid_t pid) {
  std::ifstream stat(std::string("/proc/") + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < text.size() && fields.size() < 15) {
    const size_t end = std::min(text.find(' ', at), text.size());
    fields.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return fields.size() < 15 ? -1 : std::stol(fields[11]) + std::stol(fields[12]);  // utime + stime
}

void stop(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

int idle(int port, const char *db, const char *binary) {
  Subscriber sub;
  if (!sub.start(port, "bench/#")) return 1;
  const pid_t pid = spawn_bridge(binary, port, db);
  if (!wait_for(sub.count, 5000)) return 1;  // every item once: it is running
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long before = cpu_ticks(pid);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(20));
  const long used = cpu_ticks(pid) - before;
  const double wall = seconds_since(start);
  stop(pid);
  std::printf(
      "idle: 5000 items, interval %d ms, nothing changing: %.2f %% of a core (%ld ticks in %.1f "
      "s)\n",
      kIntervalMs,
      100.0 * static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)) / wall, used,
      wall);
  return 0;
}

int latency(int port, const char *db, const char *binary) {
  Subscriber sub;
  if (!sub.start(port, "bench/+/item0")) return 1;
  const pid_t pid = spawn_bridge(binary, port, db);
  const int32_t list[] = {0, -1};
  if (zrdb_cfgParse(db) != 0 || zrdb_Init(HBUSER_CLIENT, list) != 0) return 1;
  std::mt19937 random(42);
  std::vector<double> ms;
  for (int i = 1; i <= kLatencySamples + 1; ++i) {
    // A random phase against the bridge's polls.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (kIntervalMs * 1000)));
    const uint32_t value = 1000000 + static_cast<uint32_t>(i);
    sub.awaited = std::string("{\"value\":") + std::to_string(value) + ",";
    sub.arrivedNs = 0;
    sub.armed = true;
    const int64_t sent = Clock::now().time_since_epoch().count();
    zrdb_setiValue(0, 0, &value, 4);
    const auto start = Clock::now();
    while (sub.arrivedNs == 0 && seconds_since(start) < 5)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (sub.arrivedNs == 0) return 1;
    if (i > 1) ms.push_back(static_cast<double>(sub.arrivedNs - sent) / 1e6);  // the first connects
  }
  stop(pid);
  zrdb_Cleanup();
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) {
    return ms[static_cast<size_t>(q * static_cast<double>(ms.size() - 1))];
  };
  std::printf(
      "latency: change to subscriber, interval %d ms, %zu samples: p50 %.1f ms, p99 %.1f ms, max "
      "%.1f ms\n",
      kIntervalMs, ms.size(), at(0.5), at(0.99), ms.back());
  return 0;
}

int rate(int port, const char *db) {
  zrdb_mqtt::Settings settings;
  settings.port = port;
  settings.prefix = "bench";
  settings.dbFile = db;
  zrdb_mqtt::Bridge bridge(settings);
  Subscriber sub;
  if (!bridge.attach() || !bridge.connect() || !sub.start(port, "bench/#")) return 1;
  while (!bridge.connected()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto &items = bridge.items();
  const long n = static_cast<long>(items.size());
  mosquitto *raw = mosquitto_new(nullptr, true, nullptr);
  if (mosquitto_connect(raw, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(raw) != MOSQ_ERR_SUCCESS)
    return 1;
  // Rounds of each, taken in turn, so that a busy moment of the machine
  // does not fall on one side only; the medians are compared.
  std::vector<double> bridgeRates;
  std::vector<double> rawRates;
  double bridgeCpu = 0;
  double rawCpu = 0;
  long expected = sub.count;
  for (int round = 0; round < kRateRounds; ++round) {
    // Every cycle changes every item, then one poll publishes them.
    auto start = Clock::now();
    double cpu = cpu_seconds();
    for (int c = 0; c < kCycles; ++c) {
      for (const zrdb_mqtt::Item &item : items)
        ++*reinterpret_cast<uint32_t *>(const_cast<unsigned char *>(item.area));
      bridge.publish_changes(false);
    }
    expected += n * kCycles;
    if (!wait_for(sub.count, expected)) return 1;
    bridgeRates.push_back(static_cast<double>(n * kCycles) / seconds_since(start));
    bridgeCpu += cpu_seconds() - cpu;
    // The same payloads, encoded beforehand, through libmosquitto alone.
    std::vector<std::string> payloads;
    for (const zrdb_mqtt::Item &item : items)
      payloads.push_back(zrdb_mqtt::encode_value(item.shape, item.area, zrdb_mqtt::now_ms()));
    start = Clock::now();
    cpu = cpu_seconds();
    for (int c = 0; c < kCycles; ++c) {
      for (size_t i = 0; i < items.size(); ++i)
        mosquitto_publish(raw, nullptr, items[i].topic.c_str(),
                          static_cast<int>(payloads[i].size()), payloads[i].data(), 0, true);
    }
    expected += n * kCycles;
    if (!wait_for(sub.count, expected)) return 1;
    rawRates.push_back(static_cast<double>(n * kCycles) / seconds_since(start));
    rawCpu += cpu_seconds() - cpu;
  }
  mosquitto_disconnect(raw);
  mosquitto_loop_stop(raw, false);
  mosquitto_destroy(raw);
  std::sort(bridgeRates.begin(), bridgeRates.end());
  std::sort(rawRates.begin(), rawRates.end());
  const double bridgeRate = bridgeRates[kRateRounds / 2];
  const double rawRate = rawRates[kRateRounds / 2];
  std::printf(
      "rate: %ld items x %d cycles, all changed, median of %d rounds: bridge %.0f msg/s, raw "
      "libmosquitto %.0f msg/s, ratio %.2f\n",
      n, kCycles, kRateRounds, bridgeRate, rawRate, bridgeRate / rawRate);
  const double messages = static_cast<double>(n * kCycles * kRateRounds);
  std::printf(
      "rate: CPU of this process (publisher and subscriber) per message: bridge %.2f us, "
      "raw %.2f us, ratio raw/bridge %.2f\n",
      1e6 * bridgeCpu / messages, 1e6 * rawCpu / messages, rawCpu / bridgeCpu);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: zrdb_mqtt_bench PORT DBFILE BRIDGE_BINARY\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  mosquitto_lib_init();
  openlog("zrdb_mqtt_bench", LOG_PID, LOG_USER);
  int rc = idle(port, argv[2], argv[3]);
  if (rc == 0) rc = latency(port, argv[2], argv[3]);
  if (rc == 0) rc = rate(port, argv[2]);
  if (rc != 0) std::fprintf(stderr, "zrdb_mqtt_bench: a step failed or timed out\n");
  return rc;
}
