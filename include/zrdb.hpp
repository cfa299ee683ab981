// zrdb.hpp - the C++20 interface of ZRDB, header-only, over the C API of
// zrdb.h.
//
// Overview
// --------
// A session owns this process's attach: `Database::open` (zrdb_cfgParse +
// zrdb_Init) or `Application::open` (zrdb_cfgParse + zrdb_appInit) and
// zrdb_Cleanup when the session object goes. Handles name one item: they are
// resolved once, from a name or an id, and checked then against the item's
// type (and, for `Item<T>`, its element size), so that a call cannot reach an
// item of another kind; after that each call is one inline call of the C
// function on the stored id.
//
//   auto app = zrdb::Application::open("probe", "plant.db", "plant.app");
//   auto counter = zrdb::Item<int32_t>::find("counter");
//   if (app && counter) (void)counter->set(counter->get().value_or(0) + 1);
//
// Caveats
// -------
//   - Nothing throws and nothing allocates after set-up. Failures are values:
//     `Status` for a plain result, `Result<T>` for a value or the code. The
//     codes are those of the C function called (0, -1, -2, -3,
//     ZRDB_ERR_CORRUPT) and those of zrdb.h's ZRDB_ERR_* that this layer
//     adds (kErrSize, kErrAttached, kErrTimeout, kErrUnbound, kErrNoServer);
//     Status::message() gives the text of any of them (zrdb_strerror).
//   - Reading the value of a failed Result (value(), *, ->) is a bug: like
//     std::expected it is checked, and since nothing throws, the process
//     stops (abort) with the code on standard error. Test ok() first or use
//     value_or().
//   - A handle is made only for an item this process bound (listed in its
//     application file, or every item after a Database::open without ids):
//     otherwise kErrUnbound, with Status::item() the item to list.
//   - Names resolve by the library's one rule (zrdb_findItem): the
//     application file's names first, then the database's.
//   - The library's state is per process: one session at a time. A second
//     open while this process is attached is refused (kErrAttached): its
//     zrdb_Cleanup would detach the first.
//   - Handles keep working across sessions only as far as the C functions
//     do: once the session is gone their calls fail with the C codes.
#ifndef ZRDB_HPP
#define ZRDB_HPP

// The C++ layer uses C++20 (std::span among others). CMake's zrdb::zrdb asks for
// it; another build must pass -std=c++20. A C program includes zrdb.h.
#if !defined(__cplusplus) || __cplusplus < 202002L
#error "zrdb.hpp needs C++20 (-std=c++20, or link zrdb::zrdb in CMake); from C, include zrdb.h"
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "zrdb.h"
#include "zrdb/communication.hpp"
#include "zrdb/core.hpp"
#include "zrdb/elements.hpp"

namespace zrdb {
namespace detail {

// Owns the attach: zrdb_Cleanup once, by the object that holds it last.
class Session {
 public:
  Session(Session &&other) noexcept : owned_(std::exchange(other.owned_, false)) {}
  Session &operator=(Session &&other) noexcept {
    if (this != &other) {
      close();
      owned_ = std::exchange(other.owned_, false);
    }
    return *this;
  }
  ~Session() { close(); }
  void close() noexcept {
    if (std::exchange(owned_, false)) zrdb_Cleanup();
  }
  bool attached() const noexcept { return owned_; }

 protected:
  Session() noexcept = default;
  // A failed open may have attached the data segment or built the item
  // list before it stopped: release them, since no session will.
  template <typename S>
  static Result<S> opened(int rc) noexcept {
    if (rc != 0) {
      zrdb_Cleanup();
      return Failure{rc};
    }
    S session;
    session.owned_ = true;
    return session;
  }

 private:
  bool owned_ = false;
};

}  // namespace detail

// A database attach. mode is a HBUSER_* mode; ids, when given, binds only
// those items (modes HBUSER_CLIENT and HBUSER_COMPONENT).
class Database : public detail::Session {
 public:
  static Result<Database> open(const char *dbfile, int32_t mode,
                               std::span<const int32_t> ids = {}) noexcept {
    if (zrdb_getBaseAddr() != nullptr) return Failure{kErrAttached};
    const int rc = zrdb_cfgParse(dbfile);
    if (rc != 0 || ids.empty()) return opened<Database>(rc != 0 ? rc : zrdb_Init(mode, nullptr));
    // zrdb_Init reads the list up to a value outside 0..4999.
    const std::unique_ptr<int32_t[]> list(new (std::nothrow) int32_t[ids.size() + 1]);
    if (list != nullptr) {
      std::copy(ids.begin(), ids.end(), list.get());
      list[ids.size()] = -1;
    }
    return opened<Database>(list != nullptr ? zrdb_Init(mode, list.get()) : -1);
  }
  // Removes both segments and the items' system objects (after an open in
  // HBUSER_REMOVE mode); the session still detaches when it goes.
  Status remove() noexcept { return Status(zrdb_Remove()); }

 private:
  friend Session;
  Database() noexcept = default;
};

// An application's attach through its application file, under `name` (the
// name of its log and of the items it owns). params, when given, is the C
// table of names and the ids it receives, ended by a null pdid.
class Application : public detail::Session {
 public:
  static Result<Application> open(const char *name, const char *dbfile, const char *appfile,
                                  int32_t mode = HBUSER_CLIENT,
                                  ZRDB_APP_PARAM *params = nullptr) noexcept {
    if (zrdb_getBaseAddr() != nullptr) return Failure{kErrAttached};
    zrdbdbg_setAppName(name);
    const int rc = zrdb_cfgParse(dbfile);
    return opened<Application>(rc != 0 ? rc : zrdb_appInit(appfile, params, mode));
  }

 private:
  friend Session;
  Application() noexcept = default;
};

// Elements of a plain item (user, integer or string) or of a symbolic link
// to such items, as values of T: zrdb::Elements (zrdb/elements.hpp) with an
// element size of sizeof(T) exactly. The C functions copy the smaller of
// the two sizes, so any other size would read or write part of a T.
template <typename T>
class Item {
  static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>,
                "items hold plain bytes: T must be trivially copyable");
  static_assert(!std::is_array_v<T>, "use std::array for an element of several values");

 public:
  Item() noexcept = default;
  static Result<Item> at(int32_t id) noexcept {
    return made(Elements::at(id, static_cast<int32_t>(sizeof(T))));
  }
  static Result<Item> find(std::string_view name) noexcept {
    return made(Elements::find(name, static_cast<int32_t>(sizeof(T))));
  }

  int32_t id() const noexcept { return elements_.id(); }
  int32_t count() const noexcept { return elements_.count(); }
  Result<T> get(int32_t idx = 0) const noexcept {
    T value{};
    const Status st = elements_.get(idx, std::as_writable_bytes(std::span(&value, 1)));
    return st ? Result<T>(value) : Result<T>(Failure{st.error(), st.item()});
  }
  Status set(int32_t idx, const T &value) const noexcept {
    return elements_.set(idx, std::as_bytes(std::span(&value, 1)));
  }
  Status set(const T &value) const noexcept { return set(0, value); }

 private:
  explicit Item(Elements elements) noexcept : elements_(elements) {}
  static Result<Item> made(const Result<Elements> &r) noexcept {
    return r ? Result<Item>(Item(*r)) : Result<Item>(Failure{r.error(), r.status().item()});
  }
  Elements elements_;
};

}  // namespace zrdb

#endif  // ZRDB_HPP
