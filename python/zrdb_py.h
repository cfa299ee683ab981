// What the parts of the Python module share: the session, the exceptions,
// and the way a blocking call lets other threads and Ctrl-C through.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zrdb.hpp"

namespace zrdbpy {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Exceptions (errors.cpp)

// Raises the exception class of `code` (zrdb.Error or a subclass), with
// .code and the library's text for it, about `what`.
[[noreturn]] void raise(int code, std::string_view what);
// As raise, with `text` alone for the message.
[[noreturn]] void raise_message(int code, const std::string &text);
// Raises zrdb.OutOfRange (code -1).
[[noreturn]] void raise_out_of_range(std::string_view what);
// Raises when `status` failed.
inline void check(const zrdb::Status &status, std::string_view what) {
  if (!status) raise(status.error(), what);
}
template <typename T>
T checked(zrdb::Result<T> result, std::string_view what) {
  if (!result) raise(result.error(), what);
  return std::move(*result);
}
void register_errors(py::module_ &m);

// ---------------------------------------------------------------------------
// The session

// Another attach of the data segment, for the views: it stays mapped while
// a view (or an array made from one) exists, whatever became of the session.
struct Mapping {
  Mapping(void *base, uint64_t size) : base(base), size(size) {}
  ~Mapping();
  Mapping(const Mapping &) = delete;
  Mapping &operator=(const Mapping &) = delete;
  void *base;
  uint64_t size;  // as the kernel has it, not as the header says
};

// This process's one attach, without anything of Python's, so that a call
// running on a thread of its own may hold it. Handles keep it alive and ask
// it before each call whether it is still attached; calls that release the
// GIL count themselves in, so that a detach waits for them before the
// library lets go.
struct Session {
  Session() = default;
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ~Session() { close(); }

  std::optional<zrdb::Database> database;
  std::optional<zrdb::Application> application;
  std::atomic<bool> open{false};
  // Values resolved by the key a script gave, looked up without a copy of it.
  struct Resolved {
    zrdb::Elements elements;
    int32_t index;  // of an "ITEM.IDX" key, else -1
  };
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
  };
  std::unordered_map<std::string, Resolved, KeyHash, std::equal_to<>> resolved;
  std::shared_ptr<Mapping> mapping;

  std::mutex mutex;
  std::condition_variable idle;
  int running = 0;  // calls without the GIL

  // Raises unless attached.
  void require_open() const;
  // Waits for the running calls (without the GIL), then detaches.
  void close();
};

// The Python object of an attach: the session and the views handed out,
// which a detach releases.
struct Db {
  std::shared_ptr<Session> session = std::make_shared<Session>();
  std::vector<py::object> views;  // weak references
  ~Db() { detach(); }
  void detach();
};
using DbClass = py::class_<Db, std::shared_ptr<Db>>;

// Counts a call without the GIL in and out of its session.
class Running {
 public:
  explicit Running(std::shared_ptr<Session> session);
  ~Running();
  Running(const Running &) = delete;
  Running &operator=(const Running &) = delete;

 private:
  std::shared_ptr<Session> session_;
};

// The id of the item, link or id number `key` names, with the element index
// of an "ITEM.IDX" name (-1 without one); raises NotFound.
struct Key {
  int32_t id = -1;
  int32_t index = -1;
  std::string label;
};
Key resolve_key(const py::handle &key);

// Waits for `ready` in slices of at most 50 ms without the GIL, checking
// between them for signals (Ctrl-C raises KeyboardInterrupt) and for a
// detach. `ready` gets the longest it may block, in microseconds, and
// returns true when done. Returns false when `timeout` (seconds; negative:
// none) passed first.
bool wait_in_slices(const std::shared_ptr<Session> &session, double timeout,
                    const std::function<bool(uint32_t)> &ready);
// Runs `call` (which must end by itself within its own time-out) on a thread
// of its own while this one waits without the GIL, so that Ctrl-C is
// answered at once; the call, abandoned then, runs to its end before a
// detach goes on. Returns its result.
int run_abandonable(const std::shared_ptr<Session> &session, std::function<int()> call);

// Defines a method whose doc begins with its signature as the stub shows
// it: for a value whose Python type pybind11 cannot name (py::object).
template <typename C, typename F, typename... Extra>
void def_typed(C &cls, const char *name, F &&f, const char *doc, const Extra &...extra) {
  py::options options;
  options.disable_function_signatures();
  cls.def(name, std::forward<F>(f), extra..., doc);
}

// Parts of the module, each registering its names (values.cpp, views.cpp,
// communication.cpp, tool.cpp).
void register_values(py::module_ &m, DbClass &db);
void register_views(py::module_ &m, DbClass &db);
void register_communication(py::module_ &m, DbClass &db);
void register_tool(py::module_ &m);

}  // namespace zrdbpy
