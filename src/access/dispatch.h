// The one lookup and dispatch path of every public function that reaches an
// item: link translation, range, active and record checks, handler check,
// print prefix, sync hook, then one handler call. Each public function states
// its differences as a Request.
#pragma once

#include <type_traits>

#include "core.h"

namespace zrdb {

// Message for an item that is not active; Unchecked skips the active test.
enum class Inactive { NotActived, NotInList, Silent, Unchecked };
// Extra lines logged for a missing handler; Resource is the spelling of
// the thread FIFO functions.
enum class Unbound { Plain, IgetDetail, IprintDetail, Resource };

struct Request {
  const char *caller;  // the public function, named in the log
  int32_t id;
  int32_t idx = 0;       // element index before translation
  bool indexed = false;  // whole-value members use pair 0 and no index
  Inactive inactive = Inactive::NotActived;
  Unbound unbound = Unbound::Plain;
  int32_t syncMode = -1;  // -1: no sync hook call
  bool syncIdx = true;    // the hook gets the translated index, else 0
  const void *syncBuf = nullptr;
  int32_t syncLen = 0;
  bool prefix = false;  // print "%04d: %-10s: " first
  // The item type whose d_ctrl parameter block the caller passes; any other
  // type's handler would read it as something else. -1: any type.
  int32_t type = -1;
  int32_t altType = -1;        // a second type whose handler takes the same block
  bool translate = true;       // false: the id is taken as an item id
  int32_t unboundResult = -3;  // result for a missing handler or wrong type
};

struct Target {
  int32_t id;
  int32_t idx;
  ZRDB_ITEM_DESC *desc;
};

// The logging slow paths, out of line so that the checks around them inline
// into each public function with its Request folded to constants.
void translate_link(const Request &rq, Target &out);
int report_inactive(const Request &rq, const Target &t);  // -2
bool report_wrong_type(const Request &rq, const Target &t);  // false
void report_unbound(const Request &rq, int32_t id, const ZRDB_ITEM_OPS *op, const void *slot);
void print_prefix(const Target &t);

// Translation, range (-1), active (-2; callers that skip it get their unbound
// result without an index) and record (ZRDB_ERR_CORRUPT) checks.
inline int resolve(const Request &rq, Target &out) {
  out.id = rq.id;
  out.idx = rq.indexed ? rq.idx : 0;
  if (rq.translate && rq.id >= ZRDB_SYMBLINK_BASE) translate_link(rq, out);
  if (!valid_id(out.id)) return -1;
  out.desc = descriptor(out.id);
  if (out.desc == nullptr && rq.inactive == Inactive::Unchecked) {
    // No index attached: nothing is bound, and that is what is reported.
    report_unbound(rq, out.id, nullptr, nullptr);
    return rq.unboundResult;
  }
  const bool active = out.desc != nullptr && (out.desc->flags & ZRDB_FLAG_ACTIVE) != 0;
  if (!active && rq.inactive != Inactive::Unchecked) return report_inactive(rq, out);
  return check_record(rq.caller, out.id, out.desc, zrdbIndexHdr.dit[out.id].op);
}

// The type check of a bound item (false after logging why; the caller
// returns -3).
inline bool type_ok(const Request &rq, const Target &t) {
  if (rq.type < 0 || t.desc->type == rq.type || t.desc->type == rq.altType) return true;
  return report_wrong_type(rq, t);
}

// Print prefix and sync hook.
inline void before_handler(const Request &rq, const Target &t) {
  if (rq.prefix) print_prefix(t);
  if (rq.syncMode >= 0 && sync_wanted(t.desc, rq.syncMode)) {
    zrdb_callSynctoMessageInternal(t.id, rq.syncIdx ? t.idx : 0, rq.syncBuf, rq.syncLen,
                                   rq.syncMode);
  }
}

// The handler of `slot` that this process bound to the resolved item, or
// null after logging why (the caller returns -3).
template <typename Fn>
Fn bound_handler(const Request &rq, const Target &t, Fn ZRDB_ITEM_OPS::*slot) {
  const ZRDB_ITEM_OPS *op = zrdbIndexHdr.dit[t.id].op;
  // Without a data segment (after clean-up) the handlers have nothing to reach.
  Fn fn = (op != nullptr && zrdbIndexHdr.dataBase != nullptr) ? op->*slot : nullptr;
  if (fn == nullptr) {
    report_unbound(rq, t.id, op,
                   op != nullptr ? reinterpret_cast<const void *>(op->*slot) : nullptr);
  }
  return fn;
}

// The generic copy of a value slot (types/plain_copy.h), which reads
// nothing of the shared descriptor. Every table holds it in the value
// slots it fills; the other slots have none.
inline auto generic_copy_of(decltype(ZRDB_ITEM_OPS::d_get)) { return &zrdbgeneric_get; }
inline auto generic_copy_of(decltype(ZRDB_ITEM_OPS::d_set)) { return &zrdbgeneric_set; }
inline auto generic_copy_of(decltype(ZRDB_ITEM_OPS::d_iget)) { return &zrdbgeneric_iget; }
inline auto generic_copy_of(decltype(ZRDB_ITEM_OPS::d_iset)) { return &zrdbgeneric_iset; }
template <typename Fn>
inline constexpr bool kValueSlot = requires(Fn fn) { generic_copy_of(fn); };
static_assert(kValueSlot<decltype(ZRDB_ITEM_OPS::d_iget)> &&
              !kValueSlot<decltype(ZRDB_ITEM_OPS::d_ctrl)>);

template <typename Fn>
struct Bound {
  Fn fn = nullptr;  // null: take the checked path
  ZRDB_DIT *dit = nullptr;
  int32_t idx = 0;
  BoundGeometry geometry{};
};

// Calls `call` with the handler, the item and the element, and with the
// geometry from bind (null on the checked path) when it takes one.
template <typename Call, typename Fn>
int call_handler(Call &call, Fn fn, ZRDB_DIT *dit, int32_t idx, const BoundGeometry *g) {
  if constexpr (std::is_invocable_v<Call &, Fn, ZRDB_DIT *, int32_t, const BoundGeometry *>) {
    return call(fn, dit, idx, g);
  } else {
    return call(fn, dit, idx);
  }
}

// The usual access, answered without a single call: an active item this
// process bound, against the data segment attached now, its handler
// present, of the right type, nothing to print first and no sync message
// to send. All of that comes from the process's own copy of the record
// checked at bind, which the generic copies take their geometry from too:
// for a value access no word of the shared descriptor is read. Any other
// handler reads the descriptor, so it is taken only while the descriptor
// still holds the words checked at bind. Any other case gets a null
// handler and goes the checked path, which decides and logs it: this one
// only recognises the case where every check passes, so it can never
// accept what that path refuses.
template <typename Fn>
inline Bound<Fn> usual_case(const Request &rq, Fn ZRDB_ITEM_OPS::*slot) {
  int32_t id = rq.id;
  int32_t idx = rq.indexed ? rq.idx : 0;
  if (rq.translate && id >= ZRDB_SYMBLINK_BASE) {
    if (id >= ZRDB_SYMBLINK_BASE + ZRDB_SYMBLINK_MAX) return {};
    const ZRDB_SYMPAIR pair = link_pair(id, idx);
    id = pair.did;
    if (rq.indexed) idx = pair.idx;
  }
  if (!valid_id(id) || rq.prefix) return {};
  ZRDB_DIT *dit = &zrdbIndexHdr.dit[id];
  if (dit->op == nullptr) return {};
  const BoundItem &bound = bound_item(dit->op);
  BoundGeometry g{};
  if (!bound_geometry(bound, g) || (g.flags & ZRDB_FLAG_ACTIVE) == 0) return {};
  if (rq.type >= 0 && g.type != rq.type && g.type != rq.altType) return {};
  if (rq.syncMode >= 0 && bound.syncMode == rq.syncMode) return {};
  const Fn fn = bound.ops.*slot;
  if constexpr (kValueSlot<Fn>) {
    if (fn != generic_copy_of(fn)) return {};
  } else if (fn == nullptr || !record_unchanged(dit->op, descriptor(id))) {
    return {};
  }
  return {fn, dit, idx, g};
}

// Every check in order, logging what fails. Out of line, and it builds the
// Request itself from `make`: so the usual case above keeps the Request and
// the caller's arguments in registers and needs no stack frame. The lambdas
// capture by value for the same reason.
template <typename Make, typename Fn, typename Call>
[[gnu::noinline, gnu::cold]] int dispatch_checked(Make make, Fn ZRDB_ITEM_OPS::*slot, Call call) {
  const Request rq = make();
  Target t{};
  if (const int rc = resolve(rq, t); rc != 0) return rc;
  Fn fn = bound_handler(rq, t, slot);
  if (fn == nullptr || !type_ok(rq, t)) return rq.unboundResult;
  before_handler(rq, t);
  return call_handler(call, fn, &zrdbIndexHdr.dit[t.id], t.idx, nullptr);
}

// `make` returns the caller's Request; `call` calls the handler it gets with
// the item and the element.
template <typename Make, typename Fn, typename Call>
  requires std::is_invocable_r_v<Request, Make>
int dispatch(Make make, Fn ZRDB_ITEM_OPS::*slot, Call call) {
  if (const Bound<Fn> b = usual_case(make(), slot); b.fn != nullptr)
    return call_handler(call, b.fn, b.dit, b.idx, &b.geometry);
  return dispatch_checked(make, slot, call);
}

template <typename Fn, typename Call>
int dispatch(const Request &rq, Fn ZRDB_ITEM_OPS::*slot, Call call) {
  return dispatch([&rq] { return rq; }, slot, call);
}

// d_ctrl through dispatch, for the communication-object functions.
// `make` returns the caller's Request, as for dispatch: a hot caller passes
// one so that the usual case keeps it in registers.
template <typename Make>
  requires std::is_invocable_r_v<Request, Make>
int call_ctrl(Make make, int32_t op, intptr_t para) {
  return dispatch(make, &ZRDB_ITEM_OPS::d_ctrl,
                  [=](auto fn, ZRDB_DIT *dit, int32_t) { return fn(dit, op, para); });
}

inline int call_ctrl(const Request &rq, int32_t op, intptr_t para) {
  return call_ctrl([&rq] { return rq; }, op, para);
}

}  // namespace zrdb
