// The accepting side: the peers' daemons connect here and send the requests
// of their applications, which are carried out on this system's database,
// and the sync messages of their applications, which are applied to it.
//
// Every connection is authenticated by its CURVE key: the ZAP handler
// admits only the public keys of configured links and tags the connection
// with the link number, whose deny-get / allow-set rules then apply to all
// it asks. The address a connection comes from plays no part.
#pragma once

#include <zmq.h>

#include <set>
#include <string>
#include <vector>

#include "access.h"
#include "config.h"
#include "keys.h"
#include "log.h"
#include "message.h"
#include "sync_message.h"

namespace vlinkd {

class Server {
 public:
  explicit Server(const Config &config) : config_(config) {}
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Starts the ZAP handler, binds the listening socket; false with a log line.
  bool open(void *context, const KeyPair &own);
  AccessRules &rules() { return rules_; }
  // The listening socket, the ZAP handler and the monitor.
  void collect(std::vector<zmq_pollitem_t> &items) const;
  void handle(const zmq_pollitem_t *items);
  void report() const;  // the sync totals, at shutdown

 private:
  void authenticate();
  bool serve_one();  // false when no message waits
  Message carry_out(int link, const Message &request);
  void apply_sync(int link, const Message &m);
  int link_of_key(const uint8_t *key, size_t size, std::string &text) const;

  const Config &config_;
  void *router_ = nullptr;
  void *zap_ = nullptr;
  void *monitor_ = nullptr;
  AccessRules rules_;
  TxidTracker txids_;
  std::set<std::string> refusedKeys_;  // each stranger's key is logged once
  static constexpr size_t kMaxRefusedKeys = 256;
  RateLimit refusedLog_;
  RateLimit handshakeLog_;
  RateLimit badLog_;
  RateLimit syncLog_;
  uint64_t applied_ = 0, reads_ = 0, refused_ = 0, bad_ = 0, gaps_ = 0, lost_ = 0;
};

}  // namespace vlinkd
