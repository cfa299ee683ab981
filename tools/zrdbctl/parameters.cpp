// Parameter sets: save, load, and the restore of create --restore, on the
// functions of zrdb/parameters.hpp, which an application can call too.
#include "zrdb/parameters.hpp"

#include <cstdio>
#include <cstring>
#include <vector>

#include "common.h"
#include "text.h"

namespace zrdbctl {

int restore_values(const char *file, bool dryRun) {
  const zrdb::ParameterReport r = zrdb::load_values(file, dryRun);
  if (r.code == zrdb::ParameterReport::kFailed || r.code == zrdb::ParameterReport::kBadFile)
    return fail(r.code, "%s%s", r.error.c_str(), dryRun ? "" : "; nothing was written");
  for (const std::string &change : r.changes) {
    const OneLine line;
    std::printf("%s%s\n", dryRun ? "would change " : "changed ", change.c_str());
  }
  for (const std::string &skip : r.skipped) {
    const OneLine line;
    std::printf("skipped %s\n", skip.c_str());
  }
  std::printf("%s %zu item(s) from %s (%zu value(s) changed)\n",
              dryRun ? "would restore" : "restored", r.items, file, r.changes.size());
  if (r.code == zrdb::ParameterReport::kSkipped)
    return fail(r.code, "%zu saved entr%s did not match; the lines above say why", r.skipped.size(),
                r.skipped.size() == 1 ? "y" : "ies");
  return kOk;
}

int cmd_save(Invocation &inv) {
  std::vector<int32_t> ids;
  for (size_t i = 1; i < inv.args.size(); ++i) {
    ItemRef ref;
    if (const int rc = resolve_item(inv.args[i], kAnyType, ref); rc != kOk) return rc;
    if (ref.indexed) return fail(kUsage, "'%s': save takes whole items", ref.label.c_str());
    if (zrdb::parameters::plain_type_name(ref.desc->type) == nullptr)
      return fail(kUsage, "'%s' is a %s item; save takes integer, string and user items",
                  ref.label.c_str(), DBITEMTYPE_MAP[ref.desc->type].key);
    ids.push_back(ref.id);
  }
  const zrdb::ParameterReport r = zrdb::save_values(inv.args[0], ids);
  if (r.code != zrdb::ParameterReport::kMatched)
    return fail(kFailure, "%s", r.error.c_str());
  std::printf("saved %zu item(s) to %s\n", r.items, inv.args[0]);
  return kOk;
}

int cmd_load(Invocation &inv) { return restore_values(inv.args[0], inv.opt.dryRun); }

}  // namespace zrdbctl
