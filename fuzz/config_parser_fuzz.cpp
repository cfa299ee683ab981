// Fuzz target of the database configuration reader (cfgParser and its line
// and value parsers). The index segment is a heap block instead of System V
// shared memory, so runs are fast and leave nothing behind; the input
// reaches the reader as a file through a memfd. After each parse, whatever
// its result, the checks below must hold; a violation traps.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core.h"

// Every diagnostic goes to the system log as well; a fuzzer produces
// millions of them, so this program's syslog drops them.
extern "C" void syslog(int /*priority*/, const char * /*format*/, ...) {}

namespace {

unsigned char *g_segment = nullptr;
int g_input = -1;
std::string g_path;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

bool all_zero(const void *data, size_t size) {
  static const unsigned char zeros[sizeof(ZRDB_ITEM_DESC)] = {};
  return size <= sizeof zeros && std::memcmp(data, zeros, size) == 0;
}

void check_index(int result) {
  const ZRDB_SYS_HDR *hdr = zrdbIndexHdr.sysHdr;
  require(hdr->magic == 0);  // only the attach sets it
  require(hdr->maxDid >= 0 && hdr->maxDid < ZRDB_MAX_ITEMS);

  // The item list: data areas in list (file) order, without gaps, ending
  // where the next item would start.
  uint64_t nextOffset = 0;
  int listed = 0;
  const ZRDB_DIDNODE *last = nullptr;
  for (const ZRDB_DIDNODE *node = zrdbIndexHdr.didHead; node != nullptr; node = node->next) {
    require(++listed <= ZRDB_MAX_ITEMS);
    require(zrdb::valid_id(node->did));
    const ZRDB_ITEM_DESC *desc = zrdb::descriptor(node->did);
    require((desc->flags & ZRDB_FLAG_ACTIVE) != 0);
    require(zrdbIndexHdr.dit[node->did].desc == desc);
    require(desc->offset == nextOffset);
    nextOffset += static_cast<uint32_t>(desc->size);
    require(std::memchr(node->value, 0, sizeof node->value) != nullptr);
    last = node;
  }
  require(zrdbIndexHdr.didTail == last);
  require(zrdbIndexHdr.nextOffset == nextOffset);

  int active = 0;
  for (int32_t id = 0; id < ZRDB_MAX_ITEMS; ++id) {
    const ZRDB_ITEM_DESC *desc = zrdb::descriptor(id);
    if ((desc->flags & ZRDB_FLAG_ACTIVE) == 0) {
      require(all_zero(desc, sizeof *desc));
      require(zrdbIndexHdr.dit[id].desc == nullptr);
      continue;
    }
    ++active;
    require(id <= hdr->maxDid || zrdbIndexHdr.dit[id].desc == nullptr);
    require(desc->flags == ZRDB_FLAG_ACTIVE);
    require(desc->did == id);
    require(std::memchr(desc->name, 0, sizeof desc->name) != nullptr);
    require(desc->type >= 0 && desc->type < ZRDB_TYPE_COUNT);
    require(all_zero(desc->reserved, sizeof desc->reserved));
    require(desc->rt.rtCount <= ZRDB_RT_MAX);
    require(desc->size >= 0 && desc->size % 4 == 0);
    require(static_cast<uint64_t>(desc->offset) + static_cast<uint32_t>(desc->size) <= hdr->size);
    // Whatever the parser accepts, the record check of every later access
    // must accept too (without a data segment it bounds by the header).
    require(result != 0 || zrdb::check_record("fuzz", id, desc) == 0);
  }
  // A failed line may leave its own descriptor active, but no other.
  require(active == listed || (result != 0 && active == listed + 1));

  if (glb_vLinkDid >= 0) {
    require(zrdb::valid_id(glb_vLinkDid));
    const ZRDB_ITEM_DESC *desc = zrdb::descriptor(glb_vLinkDid);
    require((desc->flags & ZRDB_FLAG_ACTIVE) != 0 && desc->type == ZRDB_TYPE_VLINKMST);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  g_segment = static_cast<unsigned char *>(std::malloc(ZRDB_INDEX_SIZE));
  g_input = memfd_create("zrdb-config", 0);
  if (g_segment == nullptr || g_input < 0) std::abort();
  g_path = "/proc/self/fd/" + std::to_string(g_input);
  // The parser's messages are expected by the thousand; keep the terminal
  // for libFuzzer's own reports (on standard error).
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (ftruncate(g_input, 0) != 0) std::abort();
  if (size > 0 && pwrite(g_input, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  // What the attach hands the parser: a zeroed index and a zeroed process index.
  std::memset(g_segment, 0, ZRDB_INDEX_SIZE);
  std::memset(&zrdbIndexHdr, 0, sizeof zrdbIndexHdr);
  zrdbIndexHdr.idxSize = ZRDB_INDEX_SIZE;
  zrdbIndexHdr.sysHdr = reinterpret_cast<ZRDB_SYS_HDR *>(g_segment);
  glb_vLinkDid = -1;

  const int result = cfgParser(g_path.c_str());
  require(result <= 0);
  check_index(result);

  zrdb::free_item_list();
  std::memset(&zrdbIndexHdr, 0, sizeof zrdbIndexHdr);
  glb_vLinkDid = -1;
  return 0;
}
