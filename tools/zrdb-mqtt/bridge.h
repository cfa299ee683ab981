// The bridge between one attached database and one broker connection.
//
// One thread (the caller of run) touches the database: it polls the
// published items against private copies, publishes what changed, the
// statistics and the link states, and carries out the set messages, which
// libmosquitto's network thread only queues. The network thread keeps the
// connection: it reconnects with back-off, and after every connect the
// bridge publishes every item again, so a broker that lost its retained
// messages gets the current values.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "payload.h"
#include "settings.h"

struct mosquitto;
struct mosquitto_message;

namespace zrdb_mqtt {

struct Item {
  int32_t id = -1;
  std::string name;
  std::string topic;  // PREFIX/SYSTEM/NAME
  ItemShape shape;
  const unsigned char *area = nullptr;  // inside the data segment (checked record)
  std::vector<unsigned char> last;      // the bytes last published
  bool unsent = false;                  // `last` could not be published: again at the next poll
};

struct SetMessage {
  std::string topic;
  std::string payload;
  bool retained = false;  // kept by the broker from before: never applied
};

class Bridge {
 public:
  explicit Bridge(Settings settings) : settings_(std::move(settings)) {}
  ~Bridge();
  Bridge(const Bridge &) = delete;
  Bridge &operator=(const Bridge &) = delete;

  // Attaches the database and resolves the items; false with a logged
  // reason. Never creates a database.
  bool attach();
  // Sets up the connection and starts the network thread.
  bool connect();
  // Polls and serves until `stop` is set; says offline and disconnects.
  void run(const std::atomic<bool> &stop);

  // One poll: publishes every item whose bytes changed (all of them when
  // `all`). Returns the number published.
  size_t publish_changes(bool all);
  const std::vector<Item> &items() const { return published_; }
  const std::string &base() const { return base_; }
  bool connected() const { return connected_; }

 private:
  static void on_connect(mosquitto *, void *self, int rc);
  static void on_disconnect(mosquitto *, void *self, int rc);
  static void on_message(mosquitto *, void *self, const mosquitto_message *msg);

  bool resolve_items();
  // False when the client refused the message (not for a lost connection,
  // after which everything is published again).
  bool publish(const std::string &topic, const std::string &payload, bool retain = true);
  void publish_statistics();
  void handle_set(const SetMessage &msg);
  void answer_error(const std::string &itemTopic, const std::string &reason);

  Settings settings_;
  std::string base_;  // PREFIX/SYSTEM
  std::vector<Item> published_;
  std::map<std::string, Item, std::less<>> writable_;  // by name
  std::vector<int32_t> statisticsItems_;
  std::vector<int32_t> linkItems_;
  bool attached_ = false;

  mosquitto *mosq_ = nullptr;
  bool loopStarted_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<SetMessage> queue_;  // guarded by mutex_
  std::atomic<bool> republish_{false};
  std::atomic<bool> connected_{false};
};

// Milliseconds since the epoch.
int64_t now_ms();

}  // namespace zrdb_mqtt
