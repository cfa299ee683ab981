// Fuzz target of the database configuration reader (cfgParser and its line
// and value parsers). The index segment is a heap block instead of System V
// shared memory, so runs are fast and leave nothing behind; the input
// reaches the reader as a file through a memfd. After each parse, whatever
// its result, the checks below must hold; a violation traps.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core.h"
#include "input_file.h"

namespace {

unsigned char *g_segment = nullptr;
zrdb::fuzz::InputFile g_input;
using zrdb::fuzz::require;

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
  if (g_segment == nullptr) std::abort();
  g_input.open("zrdb-config");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *path = g_input.hold(data, size);

  // What the attach hands the parser: a zeroed index and a zeroed process index.
  std::memset(g_segment, 0, ZRDB_INDEX_SIZE);
  std::memset(&zrdbIndexHdr, 0, sizeof zrdbIndexHdr);
  zrdbIndexHdr.idxSize = ZRDB_INDEX_SIZE;
  zrdbIndexHdr.sysHdr = reinterpret_cast<ZRDB_SYS_HDR *>(g_segment);
  glb_vLinkDid = -1;

  const int result = cfgParser(path);
  require(result <= 0);
  check_index(result);

  zrdb::free_item_list();
  std::memset(&zrdbIndexHdr, 0, sizeof zrdbIndexHdr);
  glb_vLinkDid = -1;
  return 0;
}
