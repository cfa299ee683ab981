// The copy of values and record parts. They are mostly a few dozen bytes,
// for which a call into the C library's memcpy costs more than the copy.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace zrdb {

// Copies n bytes: up to 64 in at most two fixed-size moves that may
// overlap, more through memcpy.
[[gnu::always_inline]] inline void copy_part(void *to, const void *from, size_t n) {
  auto *d = static_cast<unsigned char *>(to);
  const auto *s = static_cast<const unsigned char *>(from);
  const auto two = [d, s, n](auto size) {
    std::memcpy(d, s, size);
    std::memcpy(d + n - size, s + n - size, size);
  };
  if (n > 64) {
    std::memcpy(d, s, n);
  } else if (n > 32) {
    two(std::integral_constant<size_t, 32>{});
  } else if (n > 16) {
    two(std::integral_constant<size_t, 16>{});
  } else if (n >= 8) {
    two(std::integral_constant<size_t, 8>{});
  } else if (n >= 4) {
    two(std::integral_constant<size_t, 4>{});
  } else if (n > 0) {
    d[0] = s[0];
    d[n / 2] = s[n / 2];
    d[n - 1] = s[n - 1];
  }
}

// copy_part out of line, for the value copies: inline, its branches would
// crowd the access path out of the inliner's budget.
void copy_value_part(void *to, const void *from, size_t n);

}  // namespace zrdb
