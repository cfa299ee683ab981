// What each link's peer may do on this database: read every item but those
// on its deny-get list, write only those on its allow-set list. A refusal
// is logged once per link, item and kind of access.
#pragma once

#include <bitset>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>

#include "config.h"
#include "log.h"
#include "zrdb.h"

namespace vlinkd {

enum class Access { Get, Set };

class AccessRules {
 public:
  // Finds the named items in the attached database; the reason a name is
  // unknown, or empty.
  std::string resolve(const Config &config);
  // True when `link` may do `access` on `itemId`; a refusal is logged.
  bool allows(int link, Access access, int32_t itemId);

 private:
  using Items = std::bitset<ZRDB_MAX_ITEMS>;
  static constexpr size_t kMaxLogged = 1024;  // then the rate limit alone

  Items denyGet_[kMaxLinkNumber + 1];
  Items allowSet_[kMaxLinkNumber + 1];
  std::set<std::tuple<int, Access, int32_t>> logged_;
  RateLimit log_;
};

}  // namespace vlinkd
