// export --prometheus: the statistics of the communication items, the VLINK
// link states and, with --items, the values of the integer items, in the
// Prometheus text format, for node_exporter's textfile collector. The
// values come from the same snapshots as get --json and watch.
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "common.h"
#include "snapshot.h"
#include "text.h"

namespace zrdbctl {
namespace {

struct Metric {
  const char *name;
  const char *kind;  // counter or gauge
  const char *help;
  const char *field;     // of the snapshot
  const char *subfield;  // of each element of an array of objects, or null
  int32_t types[2];      // the item types that have it (-1: none)
};

constexpr Metric kMetrics[] = {
    {"zrdb_cbuf_overflows_total",
     "counter",
     "Records a full circular buffer refused (OF).",
     "of",
     nullptr,
     {ZRDB_TYPE_CBUF, -1}},
    {"zrdb_cbuf_underflows_total",
     "counter",
     "Reads of an empty circular buffer (UF).",
     "uf",
     nullptr,
     {ZRDB_TYPE_CBUF, -1}},
    {"zrdb_cbuf_max_level",
     "gauge",
     "Most records a circular buffer held (MBL).",
     "mbl",
     nullptr,
     {ZRDB_TYPE_CBUF, -1}},
    {"zrdb_buffer_level",
     "gauge",
     "Records waiting in a circular or message buffer.",
     "level",
     nullptr,
     {ZRDB_TYPE_CBUF, ZRDB_TYPE_MSGBUF}},
    {"zrdb_fifo_max_bytes_pending",
     "gauge",
     "Most bytes pending in a thread FIFO (MBC; tracked at trace level 2).",
     "fifos",
     "mbc",
     {ZRDB_TYPE_THRD_FIFO, -1}},
    {"zrdb_pool_free_buffers",
     "gauge",
     "Free buffers of a ring-buffer pool (FB).",
     "fb",
     nullptr,
     {ZRDB_TYPE_THRD_RBUF, -1}},
    {"zrdb_pool_buffers_in_use",
     "gauge",
     "Buffers of a pool in use (UC).",
     "uc",
     nullptr,
     {ZRDB_TYPE_THRD_RBUF, -1}},
    {"zrdb_pool_max_buffers_in_use",
     "gauge",
     "Most buffers of a pool in use at once (MUC).",
     "muc",
     nullptr,
     {ZRDB_TYPE_THRD_RBUF, -1}},
    {"zrdb_pool_allocation_failures_total",
     "counter",
     "Pool allocations that failed (AFC).",
     "afc",
     nullptr,
     {ZRDB_TYPE_THRD_RBUF, -1}},
    {"zrdb_remote_sent_total",
     "counter",
     "Datagrams a remote buffer sent.",
     "tx",
     nullptr,
     {ZRDB_TYPE_RMTBUF, ZRDB_TYPE_VLINKBUF}},
    {"zrdb_remote_received_total",
     "counter",
     "Datagrams a remote buffer received.",
     "rx",
     nullptr,
     {ZRDB_TYPE_RMTBUF, ZRDB_TYPE_VLINKBUF}},
    {"zrdb_remote_send_errors_total",
     "counter",
     "Sends of a remote buffer that failed.",
     "txErr",
     nullptr,
     {ZRDB_TYPE_RMTBUF, ZRDB_TYPE_VLINKBUF}},
    {"zrdb_remote_receive_errors_total",
     "counter",
     "Receives of a remote buffer that failed.",
     "rxErr",
     nullptr,
     {ZRDB_TYPE_RMTBUF, ZRDB_TYPE_VLINKBUF}},
    {"zrdb_vlink_link_state",
     "gauge",
     "State of a VLINK link, by link number.",
     "links",
     nullptr,
     {ZRDB_TYPE_VLINKMST, ZRDB_TYPE_VLINKSLV}},
};

constexpr Metric kItemValue = {"zrdb_item_value", "gauge", "Value of an integer item element.",
                               "values",          nullptr, {ZRDB_TYPE_INTEGER, -1}};

// A label value: backslash, quote and newline escaped; a byte that is not
// part of a printable UTF-8 character shown as \xNN.
std::string label(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    uint32_t cp = 0;
    const size_t n = utf8_char(text, cp);
    if (n > 0 && printable(cp)) {
      if (cp == '\\' || cp == '"') out += '\\';
      out.append(text.substr(0, n));
      text.remove_prefix(n);
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\\\x%02x", static_cast<unsigned char>(text[0]));
    out += hex;
    text.remove_prefix(1);
  }
  return out;
}

void sample(std::string &out, const Metric &m, const std::string &labels, const Json &v,
            const char *index) {
  const Json &value =
      m.subfield != nullptr && v.is_object() && v.contains(m.subfield) ? v[m.subfield] : v;
  if (!value.is_number()) return;  // null: a level read out of range
  out += cat(m.name, "{", labels, index != nullptr ? ",index=\"" : "",
             index != nullptr ? index : "", index != nullptr ? "\"" : "", "} ", value.dump(), "\n");
}

// The samples of metric `m` over the items.
std::string samples(const Metric &m, const std::vector<Snapshot> &items,
                    const std::string &system) {
  std::string out;
  for (const Snapshot &s : items) {
    const int32_t type = zrdb_getType(s.id);
    if (type != m.types[0] && type != m.types[1]) continue;
    const std::string labels = cat("system=\"", label(system), "\",item=\"", label(s.name),
                                   "\",id=\"", std::to_string(s.id), "\"");
    for (const auto &[key, v] : s.fields) {
      if (key != m.field) continue;
      if (!v.is_array()) sample(out, m, labels, v, nullptr);
      for (size_t i = 0; v.is_array() && i < v.size(); ++i)
        sample(out, m, labels, v[i], std::to_string(i).c_str());
    }
  }
  return out;
}

}  // namespace

int cmd_export(Invocation &inv) {
  bool prometheus = false;
  bool items = false;
  for (const char *arg : inv.args) {
    if (std::strcmp(arg, "--prometheus") == 0)
      prometheus = true;
    else if (std::strcmp(arg, "--items") == 0)
      items = true;
    else
      return fail(kUsage, "export takes --prometheus and --items, not '%s'", arg);
  }
  if (!prometheus) return fail(kUsage, "export needs a format: --prometheus");
  const std::string system = system_name(*zrdb_getInfoHdr()->sysHdr);
  std::vector<Snapshot> snapshots;
  for (const ZRDB_DIDNODE *n = zrdb_getInfoHdr()->didHead; n != nullptr; n = n->next) {
    if (record_sound(n->did)) snapshots.push_back(take_snapshot(n->did));
  }
  std::string out;
  // A family's samples follow its HELP and TYPE lines, all together.
  const auto family = [&](const Metric &m) {
    const std::string body = samples(m, snapshots, system);
    if (!body.empty())
      out += cat("# HELP ", m.name, " ", m.help, "\n# TYPE ", m.name, " ", m.kind, "\n", body);
  };
  for (const Metric &m : kMetrics) family(m);
  if (items) family(kItemValue);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return inv.damaged.empty() ? kOk : kFailure;
}

}  // namespace zrdbctl
