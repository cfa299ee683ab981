// The exceptions: zrdb.Error carries the library's result (.code) and its
// text; a subclass per kind of failure a script may want to catch alone.
#include <string>

#include "zrdb_py.h"

namespace zrdbpy {
namespace {

struct Classes {
  py::object error, notFound, typeMismatch, outOfRange, corrupt, timeout;
};
Classes &classes() {
  static Classes *c = new Classes();  // lives as long as the interpreter needs it
  return *c;
}

const py::object &class_of(int code) {
  const Classes &c = classes();
  switch (code) {
    case -2:
    case ZRDB_ERR_UNBOUND:
      return c.notFound;
    case -3:
    case ZRDB_ERR_SIZE:
      return c.typeMismatch;
    case ZRDB_ERR_CORRUPT:
      return c.corrupt;
    case ZRDB_ERR_TIMEOUT:
      return c.timeout;
    default:
      return c.error;
  }
}

[[noreturn]] void raise_text(const py::object &cls, int code, const std::string &text) {
  py::object e = cls(text);
  e.attr("code") = code;
  PyErr_SetObject(cls.ptr(), e.ptr());
  throw py::error_already_set();
}

py::object make_class(py::module_ &m, const char *name, const py::object &base, const char *doc) {
  py::object cls = py::reinterpret_steal<py::object>(
      PyErr_NewExceptionWithDoc((std::string("zrdb.") + name).c_str(), doc, base.ptr(), nullptr));
  if (!cls) throw py::error_already_set();
  m.attr(name) = cls;
  return cls;
}

[[noreturn]] void raise_as(const py::object &cls, int code, std::string_view what) {
  std::string text(what);
  text.append(": ").append(zrdb_strerror(code)).append(" (").append(std::to_string(code)) += ")";
  raise_text(cls, code, text);
}

}  // namespace

void raise_message(int code, const std::string &text) { raise_text(class_of(code), code, text); }
void raise(int code, std::string_view what) { raise_as(class_of(code), code, what); }
void raise_out_of_range(std::string_view what) { raise_as(classes().outOfRange, -1, what); }

void register_errors(py::module_ &m) {
  Classes &c = classes();
  c.error = make_class(m, "Error", py::reinterpret_borrow<py::object>(PyExc_Exception),
                       "A failure of the library; .code is its result (0 > code).");
  c.error.attr("code") = 0;
  c.notFound = make_class(m, "NotFound", c.error,
                          "No item has that name or id, or this process has not bound it.");
  c.typeMismatch =
      make_class(m, "TypeMismatch", c.error, "The item is not of the kind the call needs.");
  c.outOfRange = make_class(m, "OutOfRange", c.error, "An element index outside the item.");
  c.corrupt = make_class(m, "Corrupt", c.error, "The item's record in shared memory is damaged.");
  c.timeout = make_class(m, "Timeout", c.error, "No acknowledgement or answer in time.");
}

}  // namespace zrdbpy
