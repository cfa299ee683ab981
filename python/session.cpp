// The module zrdb: attaching and detaching, name resolution, and the two
// ways a blocking call keeps other threads and Ctrl-C going.
#include <sys/shm.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "zrdb_py.h"

namespace zrdbpy {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSlice{50};  // Ctrl-C is answered within two

// A time-out in seconds as a duration; negative (or NaN) means none.
std::optional<Clock::duration> duration_of(double seconds) {
  if (!(seconds >= 0)) return std::nullopt;
  const double capped = std::min(seconds, 1e9);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped));
}

void raise_detached() { raise(-1, "this database session is detached"); }

std::shared_ptr<Db> attach(const std::string &dbfile, const std::optional<std::string> &app,
                           const std::optional<std::string> &links) {
  // zrdb_cfgParse makes the index segment, and parses the file into it,
  // when there is none: an attach makes nothing.
  if (shmget(ZRDB_INDEX_KEY, 0, 0) < 0)
    raise_message(-2, "no database to attach: create it first (zrdb.create or zrdbctl create)");
  auto db = std::make_shared<Db>();
  Session &s = *db->session;
  const std::string name = app.value_or("python");
  if (links) {
    auto r = zrdb::Application::open(name.c_str(), dbfile.c_str(), links->c_str());
    s.application.emplace(checked(std::move(r), "attaching " + dbfile + " with " + *links));
  } else {
    if (app) zrdbdbg_setAppName(name.c_str());
    auto r = zrdb::Database::open(dbfile.c_str(), HBUSER_CLIENT);
    s.database.emplace(checked(std::move(r), "attaching " + dbfile));
  }
  s.open = true;
  return db;
}

}  // namespace

Mapping::~Mapping() { shmdt(base); }

void Session::require_open() const {
  if (!open) raise_detached();
}

void Session::close() {
  open = false;
  {
    std::unique_lock<std::mutex> lock(mutex);
    idle.wait(lock, [this] { return running == 0; });
  }
  resolved.clear();
  mapping.reset();  // the views keep theirs
  database.reset();
  application.reset();
}

void Db::detach() {
  // A view with an export (a numpy array made from it) cannot be released:
  // it keeps its own attach of the segment until the export is gone.
  for (const py::object &ref : views) {
    const py::object view = ref();
    if (view.is_none()) continue;
    try {
      view.attr("release")();
    } catch (const py::error_already_set &) {
    }
  }
  views.clear();
  py::gil_scoped_release unlocked;
  session->close();
}

Running::Running(std::shared_ptr<Session> session) : session_(std::move(session)) {
  const std::lock_guard<std::mutex> lock(session_->mutex);
  ++session_->running;
}

Running::~Running() {
  {
    const std::lock_guard<std::mutex> lock(session_->mutex);
    --session_->running;
  }
  session_->idle.notify_all();
}

Key resolve_key(const py::handle &key) {
  Key k;
  if (py::isinstance<py::int_>(key)) {
    k.id = key.cast<int32_t>();
    k.label = std::to_string(k.id);
    if (zrdb_getType(k.id) < 0) raise(zrdb_getType(k.id), "item " + k.label);
    return k;
  }
  if (!py::isinstance<py::str>(key)) throw py::type_error("an item is named by a str or an int id");
  k.label = key.cast<std::string>();
  k.id = zrdb_findItem(k.label.c_str());
  const size_t dot = k.label.rfind('.');
  if (k.id < 0 && dot != std::string::npos && dot + 1 < k.label.size() &&
      k.label.find_first_not_of("0123456789", dot + 1) == std::string::npos &&
      k.label.size() - dot <= 10) {
    k.id = zrdb_findItem(k.label.substr(0, dot).c_str());
    k.index = static_cast<int32_t>(std::stol(k.label.substr(dot + 1)));
  }
  if (k.id < 0) raise(-2, "item '" + k.label + "'");
  return k;
}

bool wait_in_slices(const std::shared_ptr<Session> &session, double timeout,
                    const std::function<bool(uint32_t)> &ready) {
  session->require_open();
  const std::optional<Clock::duration> limit = duration_of(timeout);
  const Clock::time_point deadline = Clock::now() + limit.value_or(Clock::duration::zero());
  const Running running(session);
  for (;;) {
    Clock::duration slice = kSlice;
    if (limit) slice = std::clamp<Clock::duration>(deadline - Clock::now(), {}, kSlice);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(slice).count();
    bool done = false;
    {
      py::gil_scoped_release unlocked;
      done = ready(static_cast<uint32_t>(std::max<int64_t>(us, 1)));
    }
    if (done) return true;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (!session->open) raise_detached();
    if (limit && Clock::now() >= deadline) return false;
  }
}

int run_abandonable(const std::shared_ptr<Session> &session, std::function<int()> call) {
  session->require_open();
  struct Outcome {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int rc = 0;
  };
  auto outcome = std::make_shared<Outcome>();
  auto running = std::make_shared<Running>(session);
  std::thread([outcome, running, call = std::move(call)]() mutable {
    const int rc = call();
    {
      const std::lock_guard<std::mutex> lock(outcome->mutex);
      outcome->rc = rc;
      outcome->done = true;
    }
    outcome->ended.notify_all();
    running.reset();
  }).detach();
  for (;;) {
    {
      py::gil_scoped_release unlocked;
      std::unique_lock<std::mutex> lock(outcome->mutex);
      if (outcome->ended.wait_for(lock, kSlice, [&] { return outcome->done; })) return outcome->rc;
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

}  // namespace zrdbpy

using namespace zrdbpy;

PYBIND11_MODULE(zrdb, m) {
  m.doc() = "ZRDB, the shared-memory database, from Python.";
  register_errors(m);
  DbClass db(m, "Database", "An attach of this process to a database (zrdb.attach).");
  db.def("detach", &Db::detach,
         "Detaches; views handed out are released (see view). Also at the end of a with block.")
      .def_property_readonly(
          "attached", [](const Db &d) { return d.session->open.load(); }, "Still attached.")
      .def(
          "__exit__",
          [](Db &d, const py::object &, const py::object &, const py::object &) { d.detach(); },
          py::arg("exc_type"), py::arg("exc"), py::arg("traceback"));
  def_typed(
      db, "__enter__", [](py::object self) { return self; },
      "__enter__(self) -> Database\n\nThe session itself.");
  m.def("attach", &attach, py::arg("dbfile"), py::arg("app") = py::none(),
        py::arg("links") = py::none(),
        "Attaches to the database of dbfile as application `app`. Without `links` (an "
        "application file) every item a client may use is bound; remote buffers and thread "
        "items need one.");
  register_values(m, db);
  register_views(m, db);
  register_communication(m, db);
  register_tool(m);
}
