// How the set-up cost grows with the database: databases of 100, 1000 and
// 5000 items of mixed types, each made, attached and removed whole in every
// iteration; one phase of the cycle is timed per benchmark:
//   growth_create/N  zrdb_cfgParseFromFile + zrdb_Init(HBUSER_ALLOCATE)
//   growth_attach/N  zrdb_cfgParse + zrdb_appInit naming every item (client)
//   growth_remove/N  zrdb_cfgParse + zrdb_Init(HBUSER_REMOVE) + zrdb_Remove
// The counter us_per_item is the phase's time divided by N. The database of
// the other benchmarks is removed first: there is one index key per system.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/shm.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench_db.h"
#include "zrdb.h"

namespace zrdb::bench {
namespace {

constexpr int kGrowthDataKey = 0x5A0B0002;
constexpr int kSemaphoreEvery = 50;  // one semaphore item in fifty

enum class Phase { Create, Attach, Remove };

struct Files {
  std::string dir, db, app;
  int items = 0;
};

// Integer, string, user, circular and message buffer items in turn, and
// now and then a semaphore.
bool write_database(Files &f, int items) {
  char dir[] = "/tmp/zrdb-growth-XXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  f = {dir, std::string(dir) + "/db.cfg", std::string(dir) + "/app.cfg", items};
  std::string db, app;
  long bytes = 0;
  for (int id = 0; id < items; ++id) {
    const std::string head = "id=" + std::to_string(id) + ", name=i" + std::to_string(id);
    if (id % kSemaphoreEvery == kSemaphoreEvery - 1) {
      db += head + ", type=semap, value=/zrdbg" + std::to_string(id) + ":0\n";
      bytes += 128;
    } else {
      static const char *const kTypes[] = {"type=integer, size=4*4", "type=string, size=32*2",
                                           "type=user, size=64", "type=cbuf, size=32*8",
                                           "type=msgbuf, size=76*4"};
      static const long kBytes[] = {16, 64, 64, 276, 312};
      db += head + ", " + kTypes[id % 5] + "\n";
      bytes += kBytes[id % 5];
    }
    app += "id=" + std::to_string(id) + ", name=i" + std::to_string(id) + "\n";
  }
  char system[128];
  std::snprintf(system, sizeof system, "[system]\nname=growth\nkey=%d\nsize=%ld\n[database]\n",
                kGrowthDataKey, bytes + 4096);
  std::ofstream(f.db) << system << db;
  std::ofstream(f.app) << app;
  return true;
}

void remove_files(const Files &f) {
  unlink(f.db.c_str());
  unlink(f.app.c_str());
  rmdir(f.dir.c_str());
}

// Removes what a failed cycle left: both segments and the semaphores.
void clear_leftovers(const Files &f) {
  for (const int key : {static_cast<int>(ZRDB_INDEX_KEY), kGrowthDataKey}) {
    const int id = shmget(key, 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  }
  for (int id = kSemaphoreEvery - 1; id < f.items; id += kSemaphoreEvery)
    sem_unlink(("/zrdbg" + std::to_string(id)).c_str());
}

using Clock = std::chrono::steady_clock;

// One whole cycle; returns the seconds of `timed`, or -1 on a failure.
double cycle(const Files &f, Phase timed) {
  double seconds = 0;
  const auto phase = [&](Phase p, auto &&work) {
    const auto start = Clock::now();
    const bool ok = work();
    if (p == timed) seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return ok;
  };
  const bool ok = phase(Phase::Create,
                        [&] {
                          return zrdb_cfgParseFromFile(f.db.c_str()) == 0 &&
                                 zrdb_Init(HBUSER_ALLOCATE, nullptr) == 0;
                        }) &&
                  (zrdb_Cleanup(), true) &&
                  phase(Phase::Attach,
                        [&] {
                          return zrdb_cfgParse(f.db.c_str()) == 0 &&
                                 zrdb_appInit(f.app.c_str(), nullptr, HBUSER_CLIENT) == 0;
                        }) &&
                  (zrdb_Cleanup(), true) && phase(Phase::Remove, [&] {
                    return zrdb_cfgParse(f.db.c_str()) == 0 &&
                           zrdb_Init(HBUSER_REMOVE, nullptr) == 0 && zrdb_Remove() == 0;
                  });
  zrdb_Cleanup();
  return ok ? seconds : -1;
}

void growth(benchmark::State &state, Phase timed) {
  remove_database();
  Files f;
  if (shmget(ZRDB_INDEX_KEY, 0, 0) >= 0 || shmget(kGrowthDataKey, 0, 0) >= 0) {
    state.SkipWithError("a ZRDB segment exists: run in a private IPC namespace");
    return;
  }
  if (!write_database(f, static_cast<int>(state.range(0)))) {
    state.SkipWithError("cannot write the database files");
    return;
  }
  // The library logs each attach; the figures are about the work.
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (getenv("ZRDB_GROWTH_VERBOSE") == nullptr) dup2(null, STDOUT_FILENO);
  close(null);
  double total = 0;
  for (auto _ : state) {
    const double seconds = cycle(f, timed);
    if (seconds < 0) {
      state.SkipWithError("a set-up step failed");
      break;
    }
    state.SetIterationTime(seconds);
    total += seconds;
  }
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  clear_leftovers(f);
  remove_files(f);
  if (state.iterations() > 0) {
    state.counters["us_per_item"] =
        total * 1e6 / static_cast<double>(state.iterations()) / static_cast<double>(f.items);
  }
}

[[maybe_unused]] const bool registered = [] {
  for (const auto &[name, phase] :
       {std::pair{"growth_create", Phase::Create}, std::pair{"growth_attach", Phase::Attach},
        std::pair{"growth_remove", Phase::Remove}}) {
    benchmark::RegisterBenchmark(name, growth, phase)
        ->Arg(100)
        ->Arg(1000)
        ->Arg(5000)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
}  // namespace zrdb::bench
