// Per-link access rules.
#include "access.h"

namespace vlinkd {
namespace {

std::string fill(const ItemList &list, std::bitset<ZRDB_MAX_ITEMS> &items, const char *setting,
                 int link) {
  for (const auto &[first, last] : list.ranges)
    for (int32_t id = first; id <= last; ++id) items.set(static_cast<size_t>(id));
  for (const std::string &name : list.names) {
    const int32_t id = zrdb_findItem(name.c_str());
    if (id < 0 || id >= ZRDB_MAX_ITEMS)
      return std::string(setting) + " " + std::to_string(link) + ": no item named '" + name +
             "' in the database";
    items.set(static_cast<size_t>(id));
  }
  return {};
}

}  // namespace

std::string AccessRules::resolve(const Config &config) {
  for (int link = 0; link <= kMaxLinkNumber; ++link) {
    if (std::string why = fill(config.denyGet[link], denyGet_[link], "deny-get", link);
        !why.empty())
      return why;
    if (std::string why = fill(config.allowSet[link], allowSet_[link], "allow-set", link);
        !why.empty())
      return why;
  }
  return {};
}

bool AccessRules::allows(int link, Access access, int32_t itemId) {
  const bool known = link >= 0 && link <= kMaxLinkNumber;
  const bool inRange = itemId >= 0 && itemId < ZRDB_MAX_ITEMS;
  const auto bit = static_cast<size_t>(inRange ? itemId : 0);
  // An id outside the database is the library's to refuse on a read.
  const bool allowed = known && (access == Access::Get ? !inRange || !denyGet_[link][bit]
                                                       : inRange && allowSet_[link][bit]);
  if (allowed) return true;
  const auto key = std::make_tuple(link, access, itemId);
  const bool first = logged_.size() < kMaxLogged && logged_.insert(key).second;
  uint32_t held = 0;
  if ((first || logged_.size() >= kMaxLogged) && log_.allow(held))
    logf(Level::Warn, "link %d: %s of item %d refused by this daemon's settings (%s)%s", link,
         access == Access::Get ? "read" : "write", itemId,
         access == Access::Get ? "deny-get" : "not on allow-set",
         held != 0 ? (" (" + std::to_string(held) + " more held back)").c_str() : "");
  return false;
}

}  // namespace vlinkd
