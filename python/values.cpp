// Values of the plain items and of links to them, converted to and from
// Python: int for integer elements, str for string elements, bytes for user
// blocks; a list for an item of several elements read or written whole.
// Every value is converted and checked before anything is written.
#include <array>
#include <cstring>
#include <vector>

#include "zrdb_py.h"

namespace zrdbpy {
namespace {

using Resolved = Session::Resolved;

// The resolved value `key` names, from the session's table after the first
// time. A key object that is not a str is resolved every time.
const Resolved &resolve(Session &s, const py::handle &key) {
  s.require_open();
  Py_ssize_t n = 0;
  const char *text = PyUnicode_Check(key.ptr()) ? PyUnicode_AsUTF8AndSize(key.ptr(), &n) : nullptr;
  if (text != nullptr) {
    if (auto at = s.resolved.find(std::string_view(text, static_cast<size_t>(n)));
        at != s.resolved.end())
      return at->second;
  }
  const Key k = resolve_key(key);
  auto r = zrdb::Elements::at(k.id);
  if (!r) raise(r.error(), "'" + k.label + "' as values");
  if (r->type() == zrdb::Elements::kMixed)
    raise(-3, "link '" + k.label + "' joins elements of different types");
  if (k.index >= r->count()) raise_out_of_range("'" + k.label + "'");
  static Resolved unnamed{};
  if (text == nullptr) return unnamed = Resolved{*r, k.index};
  return s.resolved.emplace(std::string(text, static_cast<size_t>(n)), Resolved{*r, k.index})
      .first->second;
}

int32_t index_of(const Resolved &r, const py::handle &idx, const char *what) {
  if (idx.is_none()) return r.index;
  const auto i = idx.cast<int64_t>();
  if (i < 0 || i >= r.elements.count())
    raise_out_of_range(std::string(what) + " element " + std::to_string(i) + " of " +
                       std::to_string(r.elements.count()));
  return static_cast<int32_t>(i);
}

bool integer_width(int32_t w) { return w == 1 || w == 2 || w == 4 || w == 8; }

py::object decode(const zrdb::Elements &e, const std::byte *bytes) {
  const auto w = static_cast<size_t>(e.elem_size());
  const char *text = reinterpret_cast<const char *>(bytes);
  switch (e.type()) {
    case ZRDB_TYPE_INTEGER: {
      int64_t v = 0;
      if (w == 4) {
        int32_t v32 = 0;
        std::memcpy(&v32, bytes, 4);
        v = v32;
      } else if (w == 2) {
        int16_t v16 = 0;
        std::memcpy(&v16, bytes, 2);
        v = v16;
      } else if (w == 1) {
        int8_t v8 = 0;
        std::memcpy(&v8, bytes, 1);
        v = v8;
      } else if (w == 8) {
        std::memcpy(&v, bytes, 8);
      } else {
        raise(ZRDB_ERR_SIZE, "integer elements of " + std::to_string(w) + " bytes");
      }
      return py::reinterpret_steal<py::object>(PyLong_FromLongLong(v));
    }
    case ZRDB_TYPE_STRING:
      return py::reinterpret_steal<py::object>(
          PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strnlen(text, w)), "surrogateescape"));
    default:
      return py::bytes(text, w);
  }
}

// `value` as one element's bytes, NUL-padded; TypeError / ValueError when
// it is not of the element's kind or does not fit.
void encode(const zrdb::Elements &e, const py::handle &value, std::byte *out) {
  const auto w = static_cast<size_t>(e.elem_size());
  std::memset(out, 0, w);
  switch (e.type()) {
    case ZRDB_TYPE_INTEGER: {
      if (!PyLong_Check(value.ptr())) throw py::type_error("an integer item takes an int");
      if (!integer_width(e.elem_size()))
        raise(ZRDB_ERR_SIZE, "integer elements of " + std::to_string(w) + " bytes");
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
      const unsigned bits = 8 * static_cast<unsigned>(w);
      // Signed or unsigned: 0xFFFFFFFF is as good a 32-bit word as -1.
      bool fits = overflow == 0 && (bits == 64 || (v >= -(1LL << (bits - 1)) && v < (1LL << bits)));
      if (overflow > 0 && bits == 64) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(value.ptr());
        fits = !(u == static_cast<unsigned long long>(-1) && PyErr_Occurred());
        PyErr_Clear();
        v = static_cast<long long>(u);
      }
      if (!fits)
        throw py::value_error("the value does not fit an integer of " + std::to_string(w) +
                              " bytes");
      std::memcpy(out, &v, w);  // the low bytes: the machine is little-endian
      return;
    }
    case ZRDB_TYPE_STRING: {
      if (!PyUnicode_Check(value.ptr())) throw py::type_error("a string item takes a str");
      const py::bytes raw = py::reinterpret_steal<py::bytes>(
          PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape"));
      if (!raw) throw py::error_already_set();
      const std::string_view text = raw;
      if (text.find('\0') != std::string_view::npos)
        throw py::value_error("a string item holds no NUL character");
      if (text.size() > w)
        throw py::value_error("the text is " + std::to_string(text.size()) +
                              " bytes; elements hold " + std::to_string(w));
      std::memcpy(out, text.data(), text.size());
      return;
    }
    default: {
      if (!PyObject_CheckBuffer(value.ptr()) || PyUnicode_Check(value.ptr()))
        throw py::type_error("a user item takes bytes");
      const py::buffer_info b = py::reinterpret_borrow<py::buffer>(value).request();
      const auto size = static_cast<size_t>(b.size * b.itemsize);
      if (size > w)
        throw py::value_error(std::to_string(size) + " bytes; elements hold " + std::to_string(w));
      std::memcpy(out, b.ptr, size);
      return;
    }
  }
}

py::object get(Db &db, const py::handle &key, const py::handle &idx) {
  const Resolved &r = resolve(*db.session, key);
  const zrdb::Elements &e = r.elements;
  const int32_t index = index_of(r, idx, "get");
  const auto w = static_cast<size_t>(e.elem_size());
  if (index >= 0 || (e.count() == 1 && e.type() != ZRDB_TYPE_USER)) {
    alignas(8) std::byte small[64];
    std::vector<std::byte> large(w > sizeof small ? w : 0);
    std::byte *buf = w > sizeof small ? large.data() : small;
    check(e.get(std::max(index, 0), {buf, w}), "get");
    return decode(e, buf);
  }
  std::vector<std::byte> all(w * static_cast<size_t>(e.count()));
  for (int32_t i = 0; i < e.count(); ++i)
    check(e.get(i, {all.data() + w * static_cast<size_t>(i), w}), "get");
  if (e.type() == ZRDB_TYPE_USER)
    return py::bytes(reinterpret_cast<const char *>(all.data()), all.size());
  py::list out(static_cast<size_t>(e.count()));
  for (int32_t i = 0; i < e.count(); ++i)
    out[static_cast<size_t>(i)] = decode(e, all.data() + w * static_cast<size_t>(i));
  return out;
}

void set(Db &db, const py::handle &key, const py::handle &value, const py::handle &idx) {
  const Resolved &r = resolve(*db.session, key);
  const zrdb::Elements &e = r.elements;
  const int32_t index = index_of(r, idx, "set");
  const auto w = static_cast<size_t>(e.elem_size());
  const auto count = static_cast<size_t>(e.count());
  std::vector<std::byte> all;
  if (index >= 0 || (count == 1 && e.type() != ZRDB_TYPE_USER)) {
    all.resize(w);
    encode(e, value, all.data());
    check(e.set(std::max(index, 0), all), "set");
    return;
  }
  if (e.type() == ZRDB_TYPE_USER) {
    // The whole block at once: the bytes from element 0 on, the rest zero.
    if (!PyObject_CheckBuffer(value.ptr())) throw py::type_error("a user item takes bytes");
    const py::buffer_info b = py::reinterpret_borrow<py::buffer>(value).request();
    const auto size = static_cast<size_t>(b.size * b.itemsize);
    if (size > w * count)
      throw py::value_error(std::to_string(size) + " bytes; the block holds " +
                            std::to_string(w * count));
    all.assign(w * count, std::byte{0});
    std::memcpy(all.data(), b.ptr, size);
  } else {
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
      throw py::type_error(
          "an item of several elements is set whole from a list (or give an index)");
    const py::sequence values = py::reinterpret_borrow<py::sequence>(value);
    if (values.size() != count)
      throw py::value_error(std::to_string(values.size()) + " values for " + std::to_string(count) +
                            " elements");
    all.resize(w * count);
    for (size_t i = 0; i < count; ++i) encode(e, values[i], all.data() + w * i);
  }
  for (size_t i = 0; i < count; ++i)
    check(e.set(static_cast<int32_t>(i), {all.data() + w * i, w}), "set");
}

// The value calls are a script's hot path: they take CPython's vectorcall
// convention directly rather than pybind11's dispatcher, which would cost
// several times the access itself.
using FastCall = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// Arguments by position or keyword into `out` (Py_None for those not
// given); TypeError for a missing or unknown one.
template <size_t N>
void parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
           const std::array<const char *, N> &names, size_t required,
           std::array<PyObject *, N> &out) {
  out.fill(Py_None);
  std::array<bool, N> given{};
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > static_cast<Py_ssize_t>(N)) throw py::type_error("too many arguments");
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[static_cast<size_t>(i)] = args[i];
    given[static_cast<size_t>(i)] = true;
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    const char *name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
    size_t at = N;
    for (size_t i = 0; i < N; ++i)
      if (name != nullptr && std::strcmp(name, names[i]) == 0) at = i;
    if (at == N || given[at])
      throw py::type_error(std::string("unexpected or repeated argument ") + (name ? name : "?"));
    out[at] = args[nargs + k];
    given[at] = true;
  }
  for (size_t i = 0; i < required; ++i)
    if (!given[i]) throw py::type_error(std::string("missing argument ") + names[i]);
}

// Runs `call`, turning a C++ exception into the Python one it stands for.
template <typename Call>
PyObject *guarded(Call &&call) noexcept {
  try {
    return call();
  } catch (py::error_already_set &e) {
    e.restore();
  } catch (py::builtin_exception &e) {
    e.set_error();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

PyObject *fast_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return guarded([&] {
    std::array<PyObject *, 2> a{};
    parse<2>(args, nargs, kwnames, {"key", "idx"}, 1, a);
    return get(py::handle(self).cast<Db &>(), a[0], a[1]).release().ptr();
  });
}

PyObject *fast_set(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return guarded([&] {
    std::array<PyObject *, 3> a{};
    parse<3>(args, nargs, kwnames, {"key", "value", "idx"}, 2, a);
    set(py::handle(self).cast<Db &>(), a[0], a[1], a[2]);
    return py::none().release().ptr();
  });
}

void add_fast(DbClass &db, const char *name, FastCall f, const char *doc) {
  auto *def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
                              METH_FASTCALL | METH_KEYWORDS, doc};  // lives with the module
  py::object method = py::reinterpret_steal<py::object>(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(db.ptr()), def));
  if (!method) throw py::error_already_set();
  db.attr(name) = method;
}

struct ItemInfo {
  int32_t id;
  std::string name;
  std::string type;
  int32_t count;
  int32_t elem_size;
  int32_t size;
};

std::vector<ItemInfo> items(Db &db) {
  db.session->require_open();
  std::vector<ItemInfo> out;
  const ZRDB_INDEX_HDR *ih = zrdb_getInfoHdr();
  for (const ZRDB_DIDNODE *node = ih->didHead; node != nullptr; node = node->next) {
    if (zrdb_checkItem(node->did) != 0) continue;  // damaged: logged, left out
    const ZRDB_ITEM_DESC &d = *ih->dit[node->did].desc;
    out.push_back({node->did, std::string(d.name, strnlen(d.name, sizeof d.name)),
                   DBITEMTYPE_MAP[d.type].key, d.count, d.elemSize, d.size});
  }
  return out;
}

}  // namespace

void register_values(py::module_ &m, DbClass &db) {
  py::class_<ItemInfo>(m, "ItemInfo", "One item of the database.")
      .def_readonly("id", &ItemInfo::id)
      .def_readonly("name", &ItemInfo::name)
      .def_readonly("type", &ItemInfo::type, "integer, string, user, semap, cbuf, ...")
      .def_readonly("count", &ItemInfo::count, "elements")
      .def_readonly("elem_size", &ItemInfo::elem_size, "bytes of one element")
      .def_readonly("size", &ItemInfo::size, "bytes in shared memory")
      .def("__repr__", [](const ItemInfo &i) {
        return "ItemInfo(id=" + std::to_string(i.id) + ", name='" + i.name + "', type='" + i.type +
               "', count=" + std::to_string(i.count) +
               ", elem_size=" + std::to_string(i.elem_size) + ", size=" + std::to_string(i.size) +
               ")";
      });
  add_fast(db, "get", &fast_get,
           "get(self, key: Union[str, int], idx: Optional[int] = None) -> Any\n\n"
           "The value of an integer, string or user item, or of a link: int / str for one "
           "element, a list for several, bytes for a user block. idx (or an 'ITEM.IDX' key) "
           "names one element.");
  add_fast(db, "set", &fast_set,
           "set(self, key: Union[str, int], value: Any, idx: Optional[int] = None) -> None\n\n"
           "Writes one element (idx, or an 'ITEM.IDX' key, or an item of one element), a whole "
           "item from a list of its elements, or a user block from bytes. Checked whole before "
           "it is written: TypeError for a value of another kind, ValueError for one that does "
           "not fit.");
  add_fast(db, "__getitem__", &fast_get,
           "__getitem__(self, key: Union[str, int]) -> Any\n\nAs get(key).");
  add_fast(db, "__setitem__", &fast_set,
           "__setitem__(self, key: Union[str, int], value: Any) -> None\n\nAs set(key, value).");
  db.def("items", &items, "The database's items, damaged ones left out.");
}

}  // namespace zrdbpy
