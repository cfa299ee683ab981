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
// to such items, as values of T. Resolution requires the element size to be
// sizeof(T) exactly: the C functions copy the smaller of the two, so any
// other size would read or write part of a T. Every element of a link is
// checked, every item must be bound in this process (kErrUnbound names the
// one to list in the application file), and an index outside the elements is
// refused here with -1 (the C functions ignore it and report success). A user
// item has no value functions in C: its elements are read and written in
// its block (zrdb_getUserBlkInfo), as plain bytes without a lock.
template <typename T>
class Item {
  static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>,
                "items hold plain bytes: T must be trivially copyable");
  static_assert(!std::is_array_v<T>, "use std::array for an element of several values");

 public:
  Item() noexcept = default;
  static Result<Item> at(int32_t id) noexcept {
    if (zrdb_symblink_check(id, 0, nullptr, nullptr) == 0) {
      if (const Failure f = fits(id, 0); f.code != 0) return f;
      return Item(id, zrdb_item_count(id), zrdb_getType(id) == ZRDB_TYPE_USER);
    }
    int32_t count = 0;
    bool user = false;
    for (int32_t item = 0, idx = 0; zrdb_symblink_check(id, count, &item, &idx) == 1 && item >= 0;
         ++count) {
      if (const Failure f = fits(item, idx); f.code != 0) return f;
      user = user || zrdb_getType(item) == ZRDB_TYPE_USER;
    }
    return count > 0 ? Result<Item>(Item(id, count, user)) : Result<Item>(Failure{-2});
  }
  static Result<Item> find(std::string_view name) noexcept {
    const int32_t id = detail::id_of(name);
    return id < 0 ? Result<Item>(Failure{id}) : at(id);
  }

  int32_t id() const noexcept { return id_; }
  int32_t count() const noexcept { return count_; }
  Result<T> get(int32_t idx = 0) const noexcept {
    if (!in_range(idx)) return Failure{-1};
    T value{};
    if (user_) {
      std::byte *block = user_element(idx);
      if (block == nullptr) return Failure{-3, id_};
      std::memcpy(&value, block, sizeof(T));
      return value;
    }
    return detail::result(zrdb_getiValue(id_, idx, &value, sizeof(T)), value);
  }
  Status set(int32_t idx, const T &value) const noexcept {
    if (!in_range(idx)) return Status(-1);
    if (user_) {
      std::byte *block = user_element(idx);
      if (block == nullptr) return Status(-3, id_);
      std::memcpy(block, &value, sizeof(T));
      return Status();
    }
    return Status(zrdb_setiValue(id_, idx, &value, sizeof(T)));
  }
  Status set(const T &value) const noexcept { return set(0, value); }

 private:
  Item(int32_t id, int32_t count, bool user) noexcept : id_(id), count_(count), user_(user) {}
  bool in_range(int32_t idx) const noexcept {
    return static_cast<uint32_t>(idx) < static_cast<uint32_t>(count_);
  }
  // Element idx of a user item (or the user item element a link's idx
  // stands for) in the data segment; null when this process cannot reach it
  // (detached, not a user item, outside the block).
  std::byte *user_element(int32_t idx) const noexcept {
    int32_t item = id_, element = idx;
    zrdb_symblink_check(id_, idx, &item, &element);
    ZRDB_BLK_INFO block{};
    if (zrdb_getType(item) != ZRDB_TYPE_USER || zrdb_checkBound(item) != 0 ||
        zrdb_getUserBlkInfo(item, &block) != 0 || block.addr == nullptr || element < 0 ||
        element >= zrdb_item_count(item))
      return nullptr;
    const int64_t end = (int64_t{element} + 1) * int64_t{sizeof(T)};
    if (end > block.size) return nullptr;
    return static_cast<std::byte *>(block.addr) + end - int64_t{sizeof(T)};
  }
  // Success when element idx of item id exists, holds exactly a T and is
  // bound in this process.
  static Failure fits(int32_t id, int32_t idx) noexcept {
    if (const int rc = detail::check_type<ZRDB_TYPE_USER, ZRDB_TYPE_INTEGER, ZRDB_TYPE_STRING>(id);
        rc != 0)
      return Failure{rc};
    if (zrdb_item_size(id) != static_cast<int>(sizeof(T))) return Failure{kErrSize};
    if (idx < 0 || idx >= zrdb_item_count(id)) return Failure{-1};
    return detail::check_bound(id);
  }

  int32_t id_ = -1;
  int32_t count_ = 0;
  bool user_ = false;
};

}  // namespace zrdb

#endif  // ZRDB_HPP
