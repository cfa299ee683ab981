// Attach, serve, detach.
//
// One poll loop does all the work. The message queue cannot be polled, so
// a receiving thread waits in msgrcv and wakes the loop through an eventfd
// (queue.cpp); the loop also turns every 10 ms for the links' timers.
#include "daemon.h"

#include <sys/shm.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "links.h"
#include "queue.h"
#include "server.h"
#include "sync_source.h"
#include "zrdb.h"

namespace vlinkd {
namespace {

constexpr int kQueueIntervalMs = 10;
constexpr int kRequestsPerTurn = 64;

int32_t find_master() {
  if (glb_vLinkDid >= 0 && zrdb_getType(glb_vLinkDid) == ZRDB_TYPE_VLINKMST) return glb_vLinkDid;
  for (const ZRDB_DIDNODE *n = zrdb_getInfoHdr()->didHead; n != nullptr; n = n->next) {
    if (zrdb_getType(n->did) == ZRDB_TYPE_VLINKMST) return n->did;
  }
  return -1;
}

// Links the master item does not count cannot be used by the applications.
void check_link_count(const Config &config, int32_t master) {
  char text[ZRDB_VALUE_LEN + 1] = {};
  if (zrdb_getValue(master, text, ZRDB_VALUE_LEN) != 0) return;
  const char *digits = text + std::strspn(text, ":\t\r\n");
  const long nlink = std::strtol(digits, nullptr, 10);
  for (const LinkConfig &link : config.links) {
    if (link.number >= nlink)
      logf(Level::Warn, "link %d: the master item '%s' has %ld links; applications cannot use it",
           link.number, zrdb_getName(master), nlink);
  }
}

class Daemon {
 public:
  explicit Daemon(const Config &config) : config_(config), server_(config), sync_(config) {}
  // Opens the queue and starts the links of the master item `master`.
  int start(int32_t master);
  void serve(const volatile std::sig_atomic_t &stop);
  void shut_down();
  Server &server() { return server_; }
  SyncSource &sync() { return sync_; }

 private:
  void dispatch(const ZRDB_VLINK_WIRE &request, Clock::time_point now);

  const Config &config_;
  int32_t master_ = -1;
  RequestQueue queue_;
  Server server_;
  SyncSource sync_;
  std::vector<std::unique_ptr<Link>> links_;
  RateLimit badLog_;
};

int Daemon::start(int32_t master) {
  master_ = master;
  if (!queue_.open()) return kFailure;
  if (const int stale = queue_.drop_stale(); stale > 0)
    logf(Level::Warn, "%d requests older than this daemon dropped unanswered", stale);
  if (!queue_.start_receiver()) return kFailure;
  for (const LinkConfig &link : config_.links)
    links_.push_back(std::make_unique<Link>(link, queue_, master_));
  return kOk;
}

void Daemon::serve(const volatile std::sig_atomic_t &stop) {
  std::vector<pollfd> fds;
  std::vector<size_t> linkEntries(links_.size());
  while (stop == 0) {
    fds.clear();
    for (size_t i = 0; i < links_.size(); ++i) linkEntries[i] = links_[i]->collect(fds);
    const size_t serverAt = fds.size();
    server_.collect(fds);
    const size_t syncAt = fds.size();
    const size_t syncEntries = sync_.collect(fds);
    fds.push_back({queue_.wake_fd(), POLLIN, 0});
    if (poll(fds.data(), fds.size(), kQueueIntervalMs) < 0 && errno != EINTR) {
      logf(Level::Error, "poll: %s", std::strerror(errno));
      return;
    }
    const Clock::time_point now = Clock::now();
    for (size_t i = 0, at = 0; i < links_.size(); at += linkEntries[i], ++i) {
      if (linkEntries[i] != 0) links_[i]->handle(fds[at], now);
    }
    server_.handle(&fds[serverAt], now);
    if (syncEntries != 0) sync_.handle(fds[syncAt]);
    ZRDB_VLINK_WIRE request;
    for (int n = 0; n < kRequestsPerTurn && queue_.take(request); ++n) dispatch(request, now);
    for (const auto &link : links_) link->tick(now);
    server_.tick(now);
    queue_.drop_uncollected(now);
  }
}

void Daemon::dispatch(const ZRDB_VLINK_WIRE &request, Clock::time_point now) {
  uint32_t held = 0;
  const bool valueOp = request.op == ZRDBVLINKOP_GETVALUE || request.op == ZRDBVLINKOP_SETVALUE;
  if (!valueOp || request.size > ZRDB_VLINK_DATA_MAX) {
    if (badLog_.allow(held))
      logf(Level::Warn, "bad request (op %u, size %u) refused (%u more held back)", request.op,
           request.size, held);
    return queue_.answer(request, kBadRequest);
  }
  for (const auto &link : links_) {
    if (static_cast<uint32_t>(link->number()) == request.lid) return link->submit(request, now);
  }
  if (badLog_.allow(held))
    logf(Level::Warn, "request for link %u, which is not configured (%u more held back)",
         request.lid, held);
  queue_.answer(request, kLinkDown);
}

void Daemon::shut_down() {
  queue_.stop_receiver();
  for (const auto &link : links_) link->shut_down();
  links_.clear();
  sync_.report();
}

// The daemon never makes a database: without an index segment,
// zrdb_cfgParse would create one and parse the file into it.
bool database_exists() { return shmget(ZRDB_INDEX_KEY, 0, 0) >= 0; }

}  // namespace

int run_daemon(const Config &config, const char *dbFile, const std::function<void(int)> &ready,
               const volatile std::sig_atomic_t &stop) {
  Daemon daemon(config);
  if (!daemon.server().open() || (config.syncPort != 0 && !daemon.sync().open_port())) {
    ready(kFailure);
    return kFailure;
  }
  if (!database_exists()) {
    logf(Level::Error, "no database on this system (no index segment 0x%08x): create it first",
         ZRDB_INDEX_KEY);
    ready(kFailure);
    return kFailure;
  }
  if (const int rc = zrdb_cfgParse(dbFile); rc != 0) {
    logf(Level::Error, "%s: attaching the index failed (%d)", dbFile, rc);
    ready(kFailure);
    return kFailure;
  }
  if (const int rc = zrdb_Init(HBUSER_VLINK_DAEMON, nullptr); rc != 0) {
    logf(Level::Error, "attaching the database in the link daemon's mode failed (%d)", rc);
    zrdb_Cleanup();
    ready(kFailure);
    return kFailure;
  }
  int status = kOk;
  const int32_t master = find_master();
  if (master < 0) {
    logf(Level::Error, "the database has no item of type vlinkmst");
    status = kFailure;
  } else if (!config.syncItem.empty()) {
    if (const std::string why = daemon.sync().open_item(); !why.empty()) {
      logf(Level::Error, "%s", why.c_str());
      status = kUsage;
    }
  }
  if (status == kOk) {
    check_link_count(config, master);
    status = daemon.start(master);
  }
  ready(status);
  if (status == kOk) {
    logf(Level::Info, "serving %zu links on %s:%u (master item %d)", config.links.size(),
         config.listenHost.c_str(), config.listenPort, master);
    daemon.serve(stop);
    daemon.shut_down();
    logf(Level::Info, "stopped");
  }
  zrdb_Cleanup();
  return status;
}

}  // namespace vlinkd
