// The trust boundary: an item's descriptor comes from a segment that any
// process may scribble on, and a crash can leave it half written. Before an
// offset, size or count of it is used, it is checked here, once per use,
// against what the configuration parser would have written and against the
// real size of the attached data segment.

#include "core.h"

namespace zrdb {

uint64_t g_dataSegmentSize = 0;

namespace {

// Why a descriptor cannot be used, or null when it can.
const char *record_fault(int32_t id, const ZRDB_ITEM_DESC &d, uint64_t limit) {
  if ((d.flags & ZRDB_FLAG_ACTIVE) == 0) {
    // An undefined id has an all-zero descriptor and no data area.
    return d.size == 0 ? nullptr : "undefined item with a data area";
  }
  if (d.did != id) return "descriptor of another id";
  if (d.type < 0 || d.type >= ZRDB_TYPE_COUNT) return "unknown type";
  if (d.elemSize < 0 || d.count < 0) return "negative element size or count";
  int32_t elemSize = d.elemSize;
  int32_t count = d.count;
  // The parser derives size from type, E and N: anything else was not
  // written by it, and a smaller size would let E*N reach past the area.
  if (item_size_for(d.type, elemSize, count) != d.size || elemSize != d.elemSize ||
      count != d.count)
    return "size does not match type, element size and count";
  if (d.offset % 4 != 0) return "misaligned offset";
  if (static_cast<uint64_t>(d.offset) + static_cast<uint64_t>(d.size) > limit)
    return "data area past the end of the data segment";
  return nullptr;
}

// The data area of a bound item's record in the segment attached now.
unsigned char *data_area(const CheckedRecord &rec) {
  if (zrdbIndexHdr.dataBase == nullptr || rec.limit == 0 || rec.limit != g_dataSegmentSize)
    return nullptr;
  return static_cast<unsigned char *>(zrdbIndexHdr.dataBase) + rec.offset;
}

}  // namespace

void set_data_segment(uint64_t size) {
  g_dataSegmentSize = size;
  for (ZRDB_DIT &dit : zrdbIndexHdr.dit) {
    if (dit.op != nullptr) bound_item(dit.op).data = data_area(bound_item(dit.op).checked);
  }
}

namespace {
// Without a data segment the header's own size is the best bound there is.
uint64_t record_limit() {
  return zrdbIndexHdr.dataBase != nullptr ? g_dataSegmentSize
         : zrdbIndexHdr.sysHdr != nullptr ? zrdbIndexHdr.sysHdr->size
                                          : 0;
}
}  // namespace

void remember_record(BoundItem &bound, const ZRDB_ITEM_DESC &desc) {
  CheckedRecord &rec = bound.checked;
  std::memcpy(rec.head, reinterpret_cast<const unsigned char *>(&desc) + kCheckedHeadOffset,
              sizeof rec.head);
  rec.offset = desc.offset;
  rec.limit = zrdbIndexHdr.dataBase != nullptr ? g_dataSegmentSize : 0;
  bound.data = data_area(rec);
  const int32_t mode = desc.syncto.mode;
  bound.syncMode = (mode == 0 || mode == 1) && sync_wanted(&desc, mode) ? mode : -1;
}

bool report_not_bound(const ZRDB_DIT *dit, const char *func) {
  log_message(LogLevel::Warn, func, "ZRDBDID[%d]:not bound in this process\n",
              dit->desc != nullptr ? dit->desc->did : -1);
  return false;
}

int check_record_full(const char *caller, int32_t id, const ZRDB_ITEM_DESC *desc) {
  const char *fault = desc != nullptr ? record_fault(id, *desc, record_limit()) : "no descriptor";
  if (fault == nullptr) return 0;
  log_message(LogLevel::Err, caller, "ZRDID(%d) record is damaged: %s\n", id, fault);
  return ZRDB_ERR_CORRUPT;
}

}  // namespace zrdb

extern "C" int zrdb_checkItem(int32_t id) {
  if (!zrdb::valid_id(id)) return -1;
  const ZRDB_ITEM_DESC *desc = zrdb::descriptor(id);
  if (desc == nullptr || (desc->flags & ZRDB_FLAG_ACTIVE) == 0) return -2;
  return zrdb::check_record_full(__func__, id, desc);
}
