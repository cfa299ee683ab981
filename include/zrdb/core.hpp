// zrdb/core.hpp - what the handles of zrdb.hpp share: the result types, the
// resolution of names and ids, and the handle base. Included by zrdb.hpp.
#ifndef ZRDB_CORE_HPP
#define ZRDB_CORE_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "zrdb.h"

namespace zrdb {

// Codes of this layer; the C library's are 0 and -1 .. -3, ZRDB_ERR_CORRUPT.
inline constexpr int kErrSize = -10;      // the element size is not sizeof(T)
inline constexpr int kErrAttached = -11;  // this process is attached already

// A failure code, to construct a failed Result (a Result<int32_t> could not
// tell a code from a value otherwise).
struct Failure {
  int code;
};

// The result of a plain C call: 0 is success.
class [[nodiscard]] Status {
 public:
  constexpr explicit Status(int code = 0) noexcept : code_(code) {}
  constexpr bool ok() const noexcept { return code_ == 0; }
  constexpr explicit operator bool() const noexcept { return ok(); }
  constexpr int error() const noexcept { return code_; }  // 0 when ok()

 private:
  int code_;
};

// A value, or the code of the call that could not produce it. value(),
// operator* and operator-> require ok().
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
  Result(Failure failure) noexcept : code_(failure.code) {}

  bool ok() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  int error() const noexcept { return code_; }  // 0 when ok()

  T &value() noexcept { return *value_; }
  const T &value() const noexcept { return *value_; }
  T value_or(T fallback) const { return ok() ? *value_ : fallback; }
  T *operator->() noexcept { return &*value_; }
  const T *operator->() const noexcept { return &*value_; }
  T &operator*() noexcept { return *value_; }
  const T &operator*() const noexcept { return *value_; }

 private:
  std::optional<T> value_;
  int code_ = 0;
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

// The id of the item or symbolic link called `name`, or -2 (not defined).
inline int32_t id_of(std::string_view name) noexcept {
  for (const ZRDB_DIDNODE *node = zrdb_getInfoHdr()->didHead; node != nullptr; node = node->next) {
    const char *item = zrdb_getName(node->did);
    // The index is shared memory: its names are read within their field.
    if (item != nullptr && name == std::string_view(item, strnlen(item, ZRDB_ITEM_NAME_LEN)))
      return node->did;
  }
  for (int32_t k = 0; k < glb_symblink_total && k < ZRDB_SYMBLINK_MAX; ++k) {
    const ZRDB_SYMBLINK *link = glb_symblink[k];
    if (link != nullptr &&
        name == std::string_view(link->name, strnlen(link->name, sizeof link->name)))
      return ZRDB_SYMBLINK_BASE + k;
  }
  return -2;
}

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
    const int rc = check_type<kTypes...>(id);
    return rc == 0 ? Result<Self>(Self(id)) : Result<Self>(Failure{rc});
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
