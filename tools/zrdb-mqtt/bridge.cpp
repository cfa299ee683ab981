#include "bridge.h"

#include <mosquitto.h>
#include <syslog.h>
#include <time.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "common.h"
#include "snapshot.h"
#include "text.h"
#include "zrdb.h"

namespace zrdb_mqtt {
namespace {

constexpr size_t kMaxQueued = 1024;  // set messages waiting; more are refused
constexpr int kKeepAliveS = 30;

bool plain(int32_t type) {
  return type == ZRDB_TYPE_USER || type == ZRDB_TYPE_INTEGER || type == ZRDB_TYPE_STRING;
}

bool link_type(int32_t type) { return type == ZRDB_TYPE_VLINKMST || type == ZRDB_TYPE_VLINKSLV; }

// A name that makes one topic level: no separator, no wildcard, no control.
bool topic_level(std::string_view name) {
  return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20;
  });
}

std::string item_name(int32_t id) {
  const ZRDB_ITEM_DESC &d = *zrdb_getInfoHdr()->dit[id].desc;
  return {d.name, strnlen(d.name, sizeof d.name)};
}

// A user block has no value functions: it is written in place, as an
// application writes it, once its record is checked again and found to be
// the size the payload was checked against.
int write_block(int32_t id, const std::vector<unsigned char> &bytes) {
  ZRDB_BLK_INFO blk{};
  if (const int rc = zrdb_checkItem(id); rc != 0) return rc;
  if (const int rc = zrdb_getUserBlkInfo(id, &blk); rc != 0) return rc;
  if (blk.addr == nullptr || blk.size != static_cast<int32_t>(bytes.size())) return ZRDB_ERR_SIZE;
  std::memcpy(blk.addr, bytes.data(), bytes.size());
  return 0;
}

}  // namespace

int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

Bridge::~Bridge() {
  if (loopStarted_) mosquitto_loop_stop(mosq_, true);
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  if (attached_) zrdb_Cleanup();
}

// ---------------------------------------------------------------------------
// The database

bool Bridge::attach() {
  const zrdbctl::IndexProbe probe = zrdbctl::probe_index();
  if (probe.state != zrdbctl::IndexProbe::Valid) {
    // Unusable: a system call failed, and its error is the reason.
    syslog(LOG_ERR, "no usable database: the index segment (key 0x%08x) is %s%s", ZRDB_INDEX_KEY,
           probe.state == zrdbctl::IndexProbe::Absent ? "missing (create the database first)"
                                                      : "not valid or not readable",
           probe.state == zrdbctl::IndexProbe::Unusable
               ? (std::string(": ") + std::strerror(probe.err)).c_str()
               : "");
    return false;
  }
  if (const int rc = zrdb_cfgParse(settings_.dbFile.c_str()); rc != 0) {
    syslog(LOG_ERR, "cannot attach the index segment (%d)", rc);
    zrdb_Cleanup();
    return false;
  }
  attached_ = true;
  const std::string system = zrdbctl::system_name(*zrdb_getInfoHdr()->sysHdr);
  if (!topic_level(system)) {
    syslog(LOG_ERR, "the system name '%s' cannot be a topic level", system.c_str());
    return false;
  }
  base_ = settings_.prefix + "/" + system;
  if (settings_.clientId.empty()) settings_.clientId = std::string("zrdb-mqtt-") + system;
  return resolve_items();
}

bool Bridge::resolve_items() {
  // The writable items are bound as a client (with the client remote
  // buffer that mirrors them), so that a set is checked and mirrored as an
  // application's; the rest is only read.
  std::vector<int32_t> bind;
  std::vector<int32_t> writable;
  for (const std::string &name : settings_.allowSet) {
    zrdbctl::ItemRef ref;
    ref.id = zrdbctl::find_item(name);
    if (ref.id < 0 || !zrdbctl::record_sound(ref.id) ||
        !plain(zrdb_getInfoHdr()->dit[ref.id].desc->type)) {
      syslog(LOG_ERR, "allow-set: '%s' is not a sound integer, string or user item", name.c_str());
      return false;
    }
    ref.desc = zrdb_getInfoHdr()->dit[ref.id].desc;
    writable.push_back(ref.id);
    bind.push_back(ref.id);
    if (const int32_t mirror = zrdbctl::client_mirror(ref); mirror >= 0) bind.push_back(mirror);
  }
  bind.push_back(-1);
  if (const int rc = zrdb_Init(HBUSER_CLIENT, bind.data()); rc != 0) {
    syslog(LOG_ERR, "cannot attach the data segment or bind the writable items (%d)", rc);
    return false;
  }

  std::vector<int32_t> ids;
  if (settings_.publish.empty()) {
    for (const ZRDB_DIDNODE *n = zrdb_getInfoHdr()->didHead; n != nullptr; n = n->next) {
      if (!zrdbctl::record_sound(n->did)) continue;
      const int32_t type = zrdb_getInfoHdr()->dit[n->did].desc->type;
      if (plain(type))
        ids.push_back(n->did);
      else if (link_type(type))
        linkItems_.push_back(n->did);
      else if (type != ZRDB_TYPE_SEMAP)
        statisticsItems_.push_back(n->did);
    }
  }
  for (const std::string &name : settings_.publish) {
    const int32_t id = zrdbctl::find_item(name);
    if (id < 0 || !zrdbctl::record_sound(id)) {
      syslog(LOG_ERR, "publish: no sound item '%s'", name.c_str());
      return false;
    }
    const int32_t type = zrdb_getInfoHdr()->dit[id].desc->type;
    auto &list = plain(type) ? ids : link_type(type) ? linkItems_ : statisticsItems_;
    if (type != ZRDB_TYPE_SEMAP && std::find(list.begin(), list.end(), id) == list.end())
      list.push_back(id);
  }
  for (const int32_t id : ids) {
    Item item;
    item.id = id;
    item.name = item_name(id);
    if (!topic_level(item.name)) {
      syslog(LOG_WARNING, "item %d: its name cannot be a topic level; not published", id);
      continue;
    }
    // The record was checked against the attached data segment: the area
    // and its size stay inside it, whatever the index says later.
    const ZRDB_ITEM_DESC &d = *zrdb_getInfoHdr()->dit[id].desc;
    ZRDB_BLK_INFO blk{};
    if (zrdb_getUserBlkInfo(id, &blk) != 0 || blk.addr == nullptr) continue;
    item.shape = {d.type, d.elemSize, d.count, d.size};
    item.area = static_cast<const unsigned char *>(blk.addr);
    item.topic = base_ + "/" + item.name;
    item.last.assign(item.area, item.area + d.size);
    published_.push_back(std::move(item));
  }
  for (const int32_t id : writable) {
    const ZRDB_ITEM_DESC &d = *zrdb_getInfoHdr()->dit[id].desc;
    Item item;
    item.id = id;
    item.name = item_name(id);
    item.topic = base_ + "/" + item.name;
    item.shape = {d.type, d.elemSize, d.count, d.size};
    writable_.emplace(item.name, std::move(item));
  }
  return true;
}

size_t Bridge::publish_changes(bool all) {
  size_t count = 0;
  const int64_t ts = now_ms();
  for (Item &item : published_) {
    const size_t size = item.last.size();
    if (!all && !item.unsent && std::memcmp(item.area, item.last.data(), size) == 0) continue;
    std::memcpy(item.last.data(), item.area, size);
    // Encoded from the copy: a writer in the middle of a change is seen
    // whole at the next poll.
    item.unsent = !publish(item.topic, encode_value(item.shape, item.last.data(), ts));
    ++count;
  }
  return count;
}

void Bridge::publish_statistics() {
  const int64_t now = now_ms();
  const std::string ts = std::to_string(now);
  for (const int32_t id : statisticsItems_) {
    if (!zrdbctl::record_sound(id)) continue;
    const zrdbctl::Snapshot s = zrdbctl::take_snapshot(id);
    zrdbctl::Json json = zrdbctl::to_json(s);
    json["ts"] = now;
    publish(base_ + "/" + s.name + "/stats", zrdbctl::json_dump(json));
  }
  for (const int32_t id : linkItems_) {
    if (!zrdbctl::record_sound(id)) continue;
    const zrdbctl::Snapshot s = zrdbctl::take_snapshot(id);
    for (const auto &[key, states] : s.fields) {
      if (key != "links") continue;
      for (size_t n = 0; states.is_array() && n < states.size(); ++n)
        publish(base_ + "/link/" + std::to_string(n),
                zrdbctl::cat("{\"value\":", states[n].dump(), ",\"ts\":", ts, "}"));
    }
  }
}

// ---------------------------------------------------------------------------
// Set messages

void Bridge::answer_error(const std::string &itemTopic, const std::string &reason) {
  syslog(LOG_NOTICE, "%s: refused: %s", itemTopic.c_str(), reason.c_str());
  publish(itemTopic + "/error",
          zrdbctl::cat("{\"error\":", zrdbctl::json_dump(zrdbctl::json_text(reason)),
                       ",\"ts\":", std::to_string(now_ms()), "}"),
          false);
}

void Bridge::handle_set(const SetMessage &msg) {
  // PREFIX/SYSTEM/ITEM/set or PREFIX/SYSTEM/ITEM/INDEX/set (the
  // subscriptions let no other topic through).
  std::string_view rest(msg.topic);
  if (rest.size() < base_.size() + 5 || !rest.starts_with(base_) || rest[base_.size()] != '/' ||
      !rest.ends_with("/set"))
    return;  // not what the bridge subscribed to: a broker's mistake
  rest.remove_prefix(base_.size() + 1);
  rest.remove_suffix(4);
  const size_t slash = rest.find('/');
  const std::string_view name = rest.substr(0, slash);
  const std::string itemTopic = base_ + "/" + std::string(name);
  int32_t index = kWholeItem;
  if (slash != std::string_view::npos) {
    const std::string_view digits = rest.substr(slash + 1);
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || index < 0)
      return answer_error(
          itemTopic, std::string("bad element index '") + std::string(digits.substr(0, 16)) + "'");
  }
  // A retained set would be applied again at every reconnect, over newer
  // values.
  if (msg.retained) return answer_error(itemTopic, "a retained set message is not applied");
  const auto at = writable_.find(name);
  if (at == writable_.end())
    return answer_error(itemTopic, "not writable: not on the allow-set list");
  const Item &item = at->second;
  std::vector<Write> writes;
  if (std::string why = parse_set(msg.payload, item.shape, index, writes); !why.empty())
    return answer_error(itemTopic, why);
  for (const Write &w : writes) {
    const auto len = static_cast<int32_t>(w.bytes.size());
    const int rc = item.shape.type == ZRDB_TYPE_USER
                       ? write_block(item.id, w.bytes)
                       : zrdb_setiValue(item.id, w.index, w.bytes.data(), len);
    if (rc != 0)
      return answer_error(itemTopic, zrdbctl::cat("writing failed: ", zrdb_strerror(rc)));
  }
}

// ---------------------------------------------------------------------------
// The connection

bool Bridge::publish(const std::string &topic, const std::string &payload, bool retain) {
  // Offline nothing is queued (libmosquitto would keep QoS 1 messages
  // without bound): every value is published again after the next connect.
  if (!connected_) return true;
  const int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), settings_.qos, retain);
  // Without a connection the values are published again after the next
  // connect; anything else is worth a line.
  if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) return true;
  syslog(LOG_WARNING, "publishing %s failed: %s", topic.c_str(), mosquitto_strerror(rc));
  return false;
}

void Bridge::on_connect(mosquitto *mosq, void *self, int rc) {
  auto *b = static_cast<Bridge *>(self);
  if (rc != 0) {
    syslog(LOG_WARNING, "broker refused the connection: %s", mosquitto_connack_string(rc));
    return;
  }
  syslog(LOG_INFO, "connected to %s:%d", b->settings_.host.c_str(), b->settings_.port);
  mosquitto_publish(mosq, nullptr, (b->base_ + "/status").c_str(), 6, "online", 1, true);
  const std::string one = b->base_ + "/+/set";
  const std::string element = b->base_ + "/+/+/set";
  mosquitto_subscribe(mosq, nullptr, one.c_str(), b->settings_.qos);
  mosquitto_subscribe(mosq, nullptr, element.c_str(), b->settings_.qos);
  b->connected_ = true;  // before the republish that relies on it
  b->republish_ = true;
  b->wake_.notify_one();
}

void Bridge::on_disconnect(mosquitto * /*mosq*/, void *self, int rc) {
  auto *b = static_cast<Bridge *>(self);
  b->connected_ = false;
  if (rc != 0)
    syslog(LOG_WARNING, "lost the broker %s:%d; reconnecting", b->settings_.host.c_str(),
           b->settings_.port);
}

void Bridge::on_message(mosquitto * /*mosq*/, void *self, const mosquitto_message *msg) {
  auto *b = static_cast<Bridge *>(self);
  const auto *payload = static_cast<const char *>(msg->payload);
  SetMessage m{msg->topic,
               payload != nullptr && msg->payloadlen > 0
                   ? std::string(payload, static_cast<size_t>(msg->payloadlen))
                   : std::string(),
               msg->retain};
  bool queued = false;
  {
    const std::lock_guard lock(b->mutex_);
    if (b->queue_.size() < kMaxQueued) {
      b->queue_.push_back(m);
      queued = true;
    }
  }
  if (queued) {
    b->wake_.notify_one();
  } else {
    syslog(LOG_WARNING, "%s: dropped, %zu set messages are waiting", m.topic.c_str(), kMaxQueued);
  }
}

bool Bridge::connect() {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
  if (mosq_ == nullptr) {
    syslog(LOG_ERR, "cannot make the MQTT client: %s", std::strerror(errno));
    return false;
  }
  const std::string status = base_ + "/status";
  int rc = mosquitto_will_set(mosq_, status.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty())
    rc = mosquitto_username_pw_set(
        mosq_, settings_.username.c_str(),
        settings_.password.empty() ? nullptr : settings_.password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && !settings_.cafile.empty())
    rc =
        mosquitto_tls_set(mosq_, settings_.cafile.c_str(), nullptr,
                          settings_.certfile.empty() ? nullptr : settings_.certfile.c_str(),
                          settings_.keyfile.empty() ? nullptr : settings_.keyfile.c_str(), nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    syslog(LOG_ERR, "cannot set up the MQTT client: %s", mosquitto_strerror(rc));
    return false;
  }
  // A change is one small message: sent at once, not held back to fill a
  // segment (Nagle) behind the last one's acknowledgement.
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_disconnect_callback_set(mosq_, on_disconnect);
  mosquitto_message_callback_set(mosq_, on_message);
  // A broker that is not up yet is retried by the network thread; a client
  // that could not even take the broker's address has nothing to retry.
  rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, kKeepAliveS);
  if (rc == MOSQ_ERR_NOMEM || rc == MOSQ_ERR_INVAL) {
    syslog(LOG_ERR, "cannot connect to broker %s:%d: %s", settings_.host.c_str(), settings_.port,
           mosquitto_strerror(rc));
    return false;
  }
  if (rc != MOSQ_ERR_SUCCESS)
    syslog(LOG_WARNING, "broker %s:%d: %s; retrying", settings_.host.c_str(), settings_.port,
           rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
  rc = mosquitto_loop_start(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) {
    syslog(LOG_ERR, "cannot start the MQTT network thread: %s", mosquitto_strerror(rc));
    return false;
  }
  loopStarted_ = true;
  return true;
}

void Bridge::run(const std::atomic<bool> &stop) {
  using Clock = std::chrono::steady_clock;
  const auto interval = std::chrono::milliseconds(settings_.intervalMs);
  const auto statsEvery = std::chrono::seconds(settings_.statsIntervalS);
  auto nextPoll = Clock::now();
  auto nextStats = Clock::now();
  std::deque<SetMessage> work;
  while (!stop) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, nextPoll, [&] { return !queue_.empty() || republish_ || stop; });
      work.swap(queue_);
    }
    for (const SetMessage &msg : work) handle_set(msg);
    work.clear();
    const auto now = Clock::now();
    const bool all = republish_.exchange(false);
    if (all || now >= nextPoll) {
      publish_changes(all);
      nextPoll += interval;
      if (nextPoll <= now) nextPoll = now + interval;  // behind: no burst of polls
    }
    if (settings_.statsIntervalS > 0 && (all || now >= nextStats)) {
      publish_statistics();
      nextStats = now + statsEvery;
    }
  }
  mosquitto_publish(mosq_, nullptr, (base_ + "/status").c_str(), 7, "offline", 1, true);
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  loopStarted_ = false;
}

}  // namespace zrdb_mqtt
