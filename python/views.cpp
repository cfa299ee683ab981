// Views: memoryviews straight onto an item's bytes in shared memory.
//
// A view points into the session's own second attach of the data segment
// (Mapping), not into the library's: the library detaches its attach at
// zrdb_Cleanup, and a view may outlive that. A detach releases every view
// it handed out (any later use raises ValueError); a view that cannot be
// released, because an array made from it (numpy.frombuffer) still holds
// it, keeps that second attach until the last such array is gone. No view
// ever points at memory that is no longer mapped.
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

#include "zrdb_py.h"

namespace zrdbpy {
namespace {

// The buffer a view exports: where and what, and the attach it keeps.
struct ViewSource {
  std::shared_ptr<Mapping> mapping;
  std::byte *data;
  int32_t count;
  int32_t elemSize;
  bool integers;
};

// The session's second attach of the data segment, made at the first view.
std::shared_ptr<Mapping> mapping_of(Session &s) {
  if (s.mapping) return s.mapping;
  const int shmId = zrdb_getInfoHdr()->dataShmId;
  shmid_ds ds{};
  if (shmId < 0 || shmctl(shmId, IPC_STAT, &ds) != 0) raise(-1, "the data segment's size");
  void *base = shmat(shmId, nullptr, 0);
  if (base == reinterpret_cast<void *>(-1))
    raise(-1, std::string("attaching the data segment for views: ") + std::strerror(errno));
  s.mapping = std::make_shared<Mapping>(base, ds.shm_segsz);
  return s.mapping;
}

py::memoryview view(Db &db, const py::object &key) {
  Session &s = *db.session;
  s.require_open();
  const Key k = resolve_key(key);
  if (k.index >= 0 || zrdb_symblink_check(k.id, 0, nullptr, nullptr) != 0)
    raise(-3, "'" + k.label + "': a view is of a whole item, not of a link or an element");
  const int type = zrdb_getType(k.id);
  if (type != ZRDB_TYPE_INTEGER && type != ZRDB_TYPE_STRING && type != ZRDB_TYPE_USER)
    raise(-3, "'" + k.label + "': only integer, string and user items have views");
  if (const int rc = zrdb_checkItem(k.id); rc != 0) raise(rc, "'" + k.label + "'");
  if (const int rc = zrdb_checkBound(k.id); rc != 0) raise(rc, "'" + k.label + "'");
  ZRDB_BLK_INFO block{};
  if (const int rc = zrdb_getUserBlkInfo(k.id, &block); rc != 0 || block.addr == nullptr)
    raise(rc != 0 ? rc : -1, "'" + k.label + "'");
  const std::shared_ptr<Mapping> mapping = mapping_of(s);
  const auto offset = static_cast<const std::byte *>(block.addr) -
                      static_cast<const std::byte *>(zrdb_getBaseAddr());
  if (offset < 0 || block.size < 0 ||
      static_cast<uint64_t>(offset) + static_cast<uint64_t>(block.size) > mapping->size)
    raise(ZRDB_ERR_CORRUPT, "'" + k.label + "' lies outside the data segment");
  const int32_t elemSize = zrdb_item_size(k.id);
  const int32_t count = zrdb_item_count(k.id);
  const bool integers =
      type == ZRDB_TYPE_INTEGER && elemSize == 4 && int64_t{count} * 4 <= block.size;
  auto source = std::make_unique<ViewSource>(
      ViewSource{mapping, static_cast<std::byte *>(mapping->base) + offset,
                 integers ? count : block.size, integers ? 4 : 1, integers});
  const py::object exporter = py::cast(std::move(source));
  py::memoryview v = py::reinterpret_steal<py::memoryview>(PyMemoryView_FromObject(exporter.ptr()));
  if (!v) throw py::error_already_set();
  std::erase_if(db.views, [](const py::object &ref) { return ref().is_none(); });
  db.views.push_back(py::reinterpret_steal<py::object>(PyWeakref_NewRef(v.ptr(), nullptr)));
  return v;
}

}  // namespace

void register_views(py::module_ &m, DbClass &db) {
  py::class_<ViewSource>(m, "_ViewSource", py::buffer_protocol()).def_buffer([](ViewSource &v) {
    return py::buffer_info(v.data, v.elemSize, v.integers ? "i" : "B", 1, {v.count}, {v.elemSize},
                           false);
  });
  db.def("view", &view, py::arg("key"),
         "A writable memoryview onto the item's bytes in shared memory, without a copy: format "
         "'i' (one per element) for an integer item of 4-byte elements, else 'B'. Detaching "
         "releases it (later use raises ValueError); an array made from it (numpy.frombuffer) "
         "keeps it, and the memory it maps, valid until the array is gone.");
}

}  // namespace zrdbpy
