// zrdb/elements.hpp - elements of a plain item (user, integer, string) or of
// a symbolic link to such items, as bytes whose size is known at run time:
// what zrdb::Item<T> is built on, and what a binding to another language
// uses when it learns the element size from the database. Included by
// zrdb.hpp.
#ifndef ZRDB_ELEMENTS_HPP
#define ZRDB_ELEMENTS_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "core.hpp"

namespace zrdb {

// Resolution requires one element size for every element (the item's, or
// for a link every pair's item's): kErrSize otherwise, or when it is not
// `elemSize` (when given). Every item must be bound in this process
// (kErrUnbound names the one to list), and an index outside the elements
// is refused with -1 (the C functions ignore it and report success). A user
// item has no value functions in C: its elements are read and written in
// its block (zrdb_getUserBlkInfo), as plain bytes without a lock.
class Elements {
 public:
  Elements() noexcept = default;
  static Result<Elements> at(int32_t id, int32_t elemSize = -1) noexcept {
    if (zrdb_symblink_check(id, 0, nullptr, nullptr) == 0) {
      if (elemSize < 0) elemSize = zrdb_item_size(id);
      if (const Failure f = fits(id, 0, elemSize); f.code != 0) return f;
      const int32_t type = zrdb_getType(id);
      return Elements(id, zrdb_item_count(id), elemSize, type, type == ZRDB_TYPE_USER);
    }
    int32_t count = 0, type = -1;
    bool user = false;
    for (int32_t item = 0, idx = 0; zrdb_symblink_check(id, count, &item, &idx) == 1 && item >= 0;
         ++count) {
      if (elemSize < 0) elemSize = zrdb_item_size(item);
      if (const Failure f = fits(item, idx, elemSize); f.code != 0) return f;
      const int32_t t = zrdb_getType(item);
      type = count == 0 || t == type ? t : kMixed;
      user = user || t == ZRDB_TYPE_USER;
    }
    if (count == 0) return Failure{-2};
    return Elements(id, count, elemSize, type, user);
  }
  static Result<Elements> find(std::string_view name, int32_t elemSize = -1) noexcept {
    const int32_t id = detail::id_of(name);
    return id < 0 ? Result<Elements>(Failure{id}) : at(id, elemSize);
  }

  // The type every element has (ZRDB_TYPE_*), or kMixed for a link whose
  // pairs name items of different types.
  static constexpr int32_t kMixed = -1;
  int32_t id() const noexcept { return id_; }
  int32_t count() const noexcept { return count_; }
  int32_t elem_size() const noexcept { return elemSize_; }
  int32_t type() const noexcept { return type_; }

  // Element idx into / from `bytes`, which holds exactly elem_size() bytes
  // (kErrSize otherwise).
  Status get(int32_t idx, std::span<std::byte> bytes) const noexcept {
    if (const Status st = usable(idx, bytes.size()); !st) return st;
    if (user_) {
      const std::byte *block = user_element(idx);
      if (block == nullptr) return Status(-3, id_);
      std::memcpy(bytes.data(), block, bytes.size());
      return Status();
    }
    return Status(zrdb_getiValue(id_, idx, bytes.data(), elemSize_));
  }
  Status set(int32_t idx, std::span<const std::byte> bytes) const noexcept {
    if (const Status st = usable(idx, bytes.size()); !st) return st;
    if (user_) {
      std::byte *block = user_element(idx);
      if (block == nullptr) return Status(-3, id_);
      std::memcpy(block, bytes.data(), bytes.size());
      return Status();
    }
    return Status(zrdb_setiValue(id_, idx, bytes.data(), elemSize_));
  }

 private:
  Elements(int32_t id, int32_t count, int32_t elemSize, int32_t type, bool user) noexcept
      : id_(id), count_(count), elemSize_(elemSize), type_(type), user_(user) {}
  Status usable(int32_t idx, std::size_t size) const noexcept {
    if (static_cast<uint32_t>(idx) >= static_cast<uint32_t>(count_)) return Status(-1);
    return Status(size == static_cast<std::size_t>(elemSize_) ? 0 : kErrSize);
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
    const int64_t end = (int64_t{element} + 1) * int64_t{elemSize_};
    if (end > block.size) return nullptr;
    return static_cast<std::byte *>(block.addr) + end - int64_t{elemSize_};
  }
  // Success when element idx of item id exists, is elemSize bytes and is
  // bound in this process.
  static Failure fits(int32_t id, int32_t idx, int32_t elemSize) noexcept {
    if (const int rc = detail::check_type<ZRDB_TYPE_USER, ZRDB_TYPE_INTEGER, ZRDB_TYPE_STRING>(id);
        rc != 0)
      return Failure{rc};
    if (elemSize <= 0 || zrdb_item_size(id) != elemSize) return Failure{kErrSize};
    if (idx < 0 || idx >= zrdb_item_count(id)) return Failure{-1};
    return detail::check_bound(id);
  }

  int32_t id_ = -1;
  int32_t count_ = 0;
  int32_t elemSize_ = 0;
  int32_t type_ = kMixed;
  bool user_ = false;
};

}  // namespace zrdb

#endif  // ZRDB_ELEMENTS_HPP
