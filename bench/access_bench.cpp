// Checked value access (zrdb_getiValue, zrdb_setiValue, zrdb_getValue), by
// item id and through a symbolic link, each beside the plain copy of the same
// bytes of the same shared memory: what the checks and the dispatch cost.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "bench_db.h"
#include "zrdb.h"

namespace zrdb::bench {
namespace {

constexpr int32_t kIntId = 1;    // integer item of 4 elements
constexpr int32_t kIntElem = 2;  // not 0, so the element arithmetic is paid
constexpr int32_t kStrId = 2;    // string item, one 32-byte slot
constexpr int32_t kStrLen = 32;
// The process's first link: pair 0 is the string (the whole-value forms use
// pair 0), pair 1 the integer element.
constexpr int32_t kLinkId = ZRDB_SYMBLINK_BASE;
constexpr int32_t kLinkIntPair = 1;

const DatabaseDefinition kDatabase{
    "id=1, name=bench_counter, type=integer, size=4*4, value=7\n"
    "id=2, name=bench_label, type=string, size=32*1, value=idle\n",
    "id=1, name=bench_counter\n"
    "id=2, name=bench_label\n"
    "name=bench_link, size=4*2, symblink=2(0):1(2)\n"};

// The bytes the access functions reach, found independently of them.
struct Target {
  unsigned char *intElem = nullptr;
  unsigned char *str = nullptr;
};

// Attaches the database and checks that the checked and the raw path reach
// the same bytes, by id and by link; otherwise the comparison means nothing.
// Returns an empty string or the reason.
std::string find_target(Target &t) {
  if (std::string err = use_database(kDatabase); !err.empty()) return err;
  ZRDB_BLK_INFO intBlk{};
  ZRDB_BLK_INFO strBlk{};
  if (zrdb_getUserBlkInfo(kIntId, &intBlk) != 0 || zrdb_getUserBlkInfo(kStrId, &strBlk) != 0 ||
      intBlk.addr == nullptr || strBlk.addr == nullptr) {
    return "zrdb_getUserBlkInfo failed";
  }
  t.intElem = static_cast<unsigned char *>(intBlk.addr) +
              static_cast<ptrdiff_t>(zrdb_item_size(kIntId)) * kIntElem;
  t.str = static_cast<unsigned char *>(strBlk.addr);

  for (const auto &[id, idx] : {std::pair{kIntId, kIntElem}, std::pair{kLinkId, kLinkIntPair}}) {
    const uint32_t probe = 0x5A0B0000u + static_cast<uint32_t>(id);
    uint32_t raw = 0;
    uint32_t back = 0;
    if (zrdb_setiValue(id, idx, &probe, 4) != 0) return "zrdb_setiValue failed";
    std::memcpy(&raw, t.intElem, 4);
    if (zrdb_getiValue(id, idx, &back, 4) != 0) return "zrdb_getiValue failed";
    if (raw != probe || back != probe) return "integer element: raw and checked paths differ";
  }
  char text[kStrLen] = "zrdb_bench: a 32-byte string...";
  std::memcpy(t.str, text, kStrLen);
  for (const int32_t id : {kStrId, kLinkId}) {
    char back[kStrLen] = {};
    if (zrdb_getValue(id, back, kStrLen) != 0) return "zrdb_getValue failed";
    if (std::memcmp(back, text, kStrLen) != 0) return "string: raw and checked paths differ";
  }
  return {};
}

bool prepare(benchmark::State &state, Target &t) {
  const std::string err = find_target(t);
  if (err.empty()) return true;
  state.SkipWithError(err.c_str());
  return false;
}

// Compiler barriers for the raw loops. Google Benchmark 1.7's DoNotOptimize
// ("+m,r") lets GCC 12 drop the very load it should keep (seen in the
// disassembly), so these say exactly what is meant.
// The compiler forgets the address: every iteration really loads or stores.
template <typename T>
inline void forget_address(T *&p) {
  asm volatile("" : "+r"(p));
}
// The loaded value is used.
inline void use_value(uint32_t v) { asm volatile("" : : "r"(v)); }
// Memory behind p may be read: stores to it are made.
inline void use_memory(const void *p) { asm volatile("" : : "r"(p) : "memory"); }

void get_int_zrdb(benchmark::State &state, int32_t id, int32_t idx) {
  Target t;
  if (!prepare(state, t)) return;
  uint32_t v = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zrdb_getiValue(id, idx, &v, sizeof v));
  }
}

void get_int_raw(benchmark::State &state) {
  Target t;
  if (!prepare(state, t)) return;
  const unsigned char *src = t.intElem;
  for (auto _ : state) {
    forget_address(src);
    uint32_t v;
    std::memcpy(&v, src, sizeof v);
    use_value(v);
  }
}

// The floor: the same copy as an out-of-line call into the library, with
// the same arguments an accessor works from (base, offset, length) and no
// check.
size_t offset_of(const unsigned char *p) {
  return static_cast<size_t>(p - static_cast<const unsigned char *>(zrdb_getBaseAddr()));
}

void get_int_floor(benchmark::State &state) {
  Target t;
  if (!prepare(state, t)) return;
  const void *base = zrdb_getBaseAddr();
  const size_t offset = offset_of(t.intElem);
  uint32_t v = 0;
  for (auto _ : state) {
    zrdb_floorGet(base, offset, &v, sizeof v);
    use_value(v);
  }
}

void set_int_floor(benchmark::State &state) {
  Target t;
  if (!prepare(state, t)) return;
  void *base = zrdb_getBaseAddr();
  const size_t offset = offset_of(t.intElem);
  const uint32_t v = 42;
  for (auto _ : state) zrdb_floorSet(base, offset, &v, sizeof v);
}

void get_str_floor(benchmark::State &state) {
  Target t;
  if (!prepare(state, t)) return;
  const void *base = zrdb_getBaseAddr();
  const size_t offset = offset_of(t.str);
  char buf[kStrLen] = {};
  for (auto _ : state) {
    zrdb_floorGet(base, offset, buf, kStrLen);
    use_memory(buf);
  }
}

void set_int_zrdb(benchmark::State &state, int32_t id, int32_t idx) {
  Target t;
  if (!prepare(state, t)) return;
  const uint32_t v = 42;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zrdb_setiValue(id, idx, &v, sizeof v));
  }
}

void set_int_raw(benchmark::State &state) {
  Target t;
  if (!prepare(state, t)) return;
  unsigned char *dst = t.intElem;
  const uint32_t v = 42;
  for (auto _ : state) {
    forget_address(dst);
    std::memcpy(dst, &v, sizeof v);
    use_memory(dst);
  }
}

void get_str_zrdb(benchmark::State &state, int32_t id) {
  Target t;
  if (!prepare(state, t)) return;
  char buf[kStrLen] = {};
  for (auto _ : state) {
    benchmark::DoNotOptimize(zrdb_getValue(id, buf, kStrLen));
  }
}

void get_str_raw(benchmark::State &state) {
  Target t;
  if (!prepare(state, t)) return;
  const unsigned char *src = t.str;
  char buf[kStrLen] = {};
  for (auto _ : state) {
    forget_address(src);
    std::memcpy(buf, src, kStrLen);
    use_memory(buf);
  }
}

// Each checked operation runs right beside its raw twin (the inlined load or
// store) and its floor (the out-of-line copy), so all see much the same
// machine load; the summary pairs them by name.
[[maybe_unused]] const bool registered = [] {
  using Bench = void (*)(benchmark::State &);
  auto each = [](const std::string &name, auto zrdb, Bench raw, Bench floor) {
    benchmark::RegisterBenchmark((name + "/zrdb").c_str(), zrdb);
    benchmark::RegisterBenchmark((name + "/raw").c_str(), raw);
    benchmark::RegisterBenchmark((name + "/floor").c_str(), floor);
  };
  for (const auto &[prefix, id, pair] :
       {std::tuple{"", kIntId, kIntElem}, std::tuple{"link_", kLinkId, kLinkIntPair}}) {
    const std::string p = prefix;
    each(p + "getiValue_int", [id, pair](benchmark::State &s) { get_int_zrdb(s, id, pair); },
         get_int_raw, get_int_floor);
    each(p + "setiValue_int", [id, pair](benchmark::State &s) { set_int_zrdb(s, id, pair); },
         set_int_raw, set_int_floor);
    each(p + "getValue_str32", [id](benchmark::State &s) { get_str_zrdb(s, id); }, get_str_raw,
         get_str_floor);
  }
  return true;
}();

}  // namespace
}  // namespace zrdb::bench
