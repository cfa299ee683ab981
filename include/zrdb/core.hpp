// zrdb/core.hpp - what the handles of zrdb.hpp share: the result types, the
// resolution of names and ids, and the handle base. Included by zrdb.hpp.
#ifndef ZRDB_CORE_HPP
#define ZRDB_CORE_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "zrdb.h"

namespace zrdb {

// Codes of this layer besides the C library's (0, -1 .. -5, ZRDB_ERR_*);
// zrdb_strerror (Status::message) has a text for every one.
inline constexpr int kErrSize = ZRDB_ERR_SIZE;           // the element size is not sizeof(T)
inline constexpr int kErrAttached = ZRDB_ERR_ATTACHED;   // this process is attached already
inline constexpr int kErrTimeout = ZRDB_ERR_TIMEOUT;     // a call found no acknowledgement
inline constexpr int kErrUnbound = ZRDB_ERR_UNBOUND;     // Status::item() is not bound here
inline constexpr int kErrNoServer = ZRDB_ERR_NO_SERVER;  // nobody takes this kind of call

// A failure code, to construct a failed Result (a Result<int32_t> could not
// tell a code from a value otherwise), and the item it concerns, if any.
struct Failure {
  int code;
  int32_t item = -1;
};

// The result of a plain C call: 0 is success. item() names the item that
// failed when the code is about one (kErrUnbound: the item to list in the
// application file), else -1.
class [[nodiscard]] Status {
 public:
  constexpr explicit Status(int code = 0, int32_t item = -1) noexcept : code_(code), item_(item) {}
  constexpr Status(Failure failure) noexcept : code_(failure.code), item_(failure.item) {}
  constexpr bool ok() const noexcept { return code_ == 0; }
  constexpr explicit operator bool() const noexcept { return ok(); }
  constexpr int error() const noexcept { return code_; }  // 0 when ok()
  constexpr int32_t item() const noexcept { return item_; }
  const char *message() const noexcept { return zrdb_strerror(code_); }

 private:
  int code_;
  int32_t item_;
};

namespace detail {
// Reading the value of a failed Result is a bug in the caller, as with
// std::expected; the library never throws, so the process stops here with
// the code instead of going on with garbage.
[[noreturn, gnu::cold]] inline void bad_result_access(Status status) noexcept {
  std::fprintf(stderr, "zrdb: the value of a failed Result was read: %s (%d), item %d\n",
               status.message(), status.error(), status.item());
  std::abort();
}
}  // namespace detail

// A value, or the status of the call that could not produce it. value(),
// operator* and operator-> stop the process (detail::bad_result_access) on a
// failed Result: test ok() first, or use value_or().
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
  Result(Failure failure) noexcept : status_(failure) {}

  bool ok() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  int error() const noexcept { return status_.error(); }  // 0 when ok()
  Status status() const noexcept { return status_; }

  T &value() noexcept { return checked(); }
  const T &value() const noexcept { return checked(); }
  T value_or(T fallback) const { return ok() ? *value_ : fallback; }
  T *operator->() noexcept { return &checked(); }
  const T *operator->() const noexcept { return &checked(); }
  T &operator*() noexcept { return checked(); }
  const T &operator*() const noexcept { return checked(); }

 private:
  T &checked() noexcept {
    if (!ok()) detail::bad_result_access(status_);
    return *value_;
  }
  const T &checked() const noexcept {
    if (!ok()) detail::bad_result_access(status_);
    return *value_;
  }

  std::optional<T> value_;
  Status status_;
};

namespace detail {

template <typename T>
Result<T> result(int rc, const T &value) noexcept {
  return rc == 0 ? Result<T>(value) : Result<T>(Failure{rc});
}

// The C functions take a null address as a missing part and refuse it; an
// empty span may have none, so an empty part is given this one.
inline std::byte no_bytes[1];
inline const std::byte *bytes(std::span<const std::byte> s) noexcept {
  return s.empty() ? no_bytes : s.data();
}
inline std::byte *bytes(std::span<std::byte> s) noexcept { return s.empty() ? no_bytes : s.data(); }
// A length the C API cannot express becomes -1, which its functions refuse.
inline int32_t length(std::size_t n) noexcept {
  return n <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())
             ? static_cast<int32_t>(n)
             : -1;
}

// The id of the item or symbolic link called `name` by the library's one
// rule (zrdb_findItem: the application file's names first), or -2.
inline int32_t id_of(std::string_view name) noexcept {
  char text[128];
  if (name.empty() || name.size() >= sizeof text) return -2;
  std::memcpy(text, name.data(), name.size());
  text[name.size()] = '\0';
  const int32_t id = zrdb_findItem(text);
  return id < 0 ? -2 : id;
}

// 0 when this process bound the item, so that calls can reach it; a failure
// naming it otherwise.
inline Failure check_bound(int32_t id) noexcept { return Failure{zrdb_checkBound(id), id}; }

// 0 when the item (for a link: its first pair's item) has one of `types`,
// else the C code for the id (-1, -2) or -3 for another type, as the C
// functions answer an item of another type.
template <int32_t... kTypes>
int check_type(int32_t id) noexcept {
  const int type = zrdb_getType(id);
  if (type < 0) return type;
  return ((type == kTypes) || ...) ? 0 : -3;
}

// A handle of one of `kTypes`: Self's only way to exist besides the
// default (id -1, which every C function refuses) is at() or find().
template <typename Self, int32_t... kTypes>
class Handle {
 public:
  static Result<Self> at(int32_t id) noexcept {
    if (const int rc = check_type<kTypes...>(id); rc != 0) return Failure{rc};
    if (const Failure f = check_bound(id); f.code != 0) return f;
    return Self(id);
  }
  static Result<Self> find(std::string_view name) noexcept {
    const int32_t id = id_of(name);
    return id < 0 ? Result<Self>(Failure{id}) : at(id);
  }
  int32_t id() const noexcept { return id_; }

 protected:
  Handle() noexcept = default;
  explicit Handle(int32_t id) noexcept : id_(id) {}
  int32_t id_ = -1;
};

}  // namespace detail
}  // namespace zrdb

#endif  // ZRDB_CORE_HPP
