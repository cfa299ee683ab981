// Attach, serve, detach.
//
// One loop does all the work, waiting (wait_ready) on the ZeroMQ sockets,
// the sync source and the message queue. The queue cannot be polled, so a
// receiving thread waits in msgrcv and wakes the loop through an eventfd
// (queue.cpp). ZeroMQ's own thread does the connections, handshakes and
// heartbeats.
#include "daemon.h"

#include <fcntl.h>
#include <sys/shm.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "links.h"
#include "peers_file.h"
#include "queue.h"
#include "server.h"
#include "sync_source.h"
#include "transport.h"
#include "zrdb.h"

namespace vlinkd {
namespace {

constexpr auto kLongestWait = std::chrono::milliseconds(100);  // for the queue's clean-up
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

// Tells zrdbctl the links' peer key fingerprints (peers_file.h).
bool write_peers_file(const Config &config) {
  std::string text;
  for (const LinkConfig &link : config.links)
    text += std::to_string(link.number) + " " + fingerprint(link.key) + "\n";
  const std::string temp = std::string(kPeersFile) + "." + std::to_string(getpid());
  // /dev/shm is anyone's: a name planted there (a link, a file of another
  // user) is refused, never followed or reused. One left by a killed daemon
  // of this pid is ours to replace.
  unlink(temp.c_str());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  FILE *f = fd < 0 ? nullptr : fdopen(fd, "w");
  if (f == nullptr && fd >= 0) close(fd);
  const bool written = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if ((f == nullptr || std::fclose(f) != 0 || !written ||
       std::rename(temp.c_str(), kPeersFile) != 0)) {
    logf(Level::Warn, "%s: %s (zrdbctl shows no peer keys)", kPeersFile, std::strerror(errno));
    unlink(temp.c_str());
    return false;
  }
  return true;
}

// Ends after every socket: the daemon's members go in reverse order.
struct Context {
  void *ptr = zmq_ctx_new();
  Context() = default;
  Context(const Context &) = delete;
  Context &operator=(const Context &) = delete;
  ~Context() {
    if (ptr != nullptr) zmq_ctx_term(ptr);
  }
};

class Daemon {
 public:
  Daemon(const Config &config, const KeyPair &keys)
      : config_(config),
        keys_(keys),
        server_(config),
        sync_(config, [this](const uint8_t *d, size_t n) { return forward_sync(d, n); }) {}
  bool open_server() { return context_.ptr != nullptr && server_.open(context_.ptr, keys_); }
  // Opens the queue and starts the links of the master item `master`.
  int start(int32_t master);
  void serve(const volatile std::sig_atomic_t &stop);
  void shut_down();
  Server &server() { return server_; }
  SyncSource &sync() { return sync_; }

 private:
  void dispatch(const ZRDB_VLINK_WIRE &request, Clock::time_point now);
  bool forward_sync(const uint8_t *datagram, size_t size);

  const Config &config_;
  const KeyPair &keys_;
  Context context_;
  RequestQueue queue_;
  Server server_;
  SyncSource sync_;
  std::vector<std::unique_ptr<Link>> links_;
  RateLimit badLog_;
  bool peersFile_ = false;
};

int Daemon::start(int32_t master) {
  if (!queue_.open()) return kFailure;
  if (const int stale = queue_.drop_stale(); stale > 0)
    logf(Level::Warn, "%d requests older than this daemon dropped unanswered", stale);
  if (!queue_.start_receiver()) return kFailure;
  for (const LinkConfig &link : config_.links) {
    links_.push_back(std::make_unique<Link>(link, queue_, master));
    if (!links_.back()->open(context_.ptr, keys_)) return kFailure;
  }
  peersFile_ = write_peers_file(config_);
  return kOk;
}

void Daemon::serve(const volatile std::sig_atomic_t &stop) {
  std::vector<zmq_pollitem_t> items;
  server_.collect(items);
  const size_t linksAt = items.size();
  for (const auto &link : links_) link->collect(items);
  const size_t queueAt = items.size();
  items.push_back({nullptr, queue_.wake_fd(), ZMQ_POLLIN, 0});
  if (sync_.fd() >= 0) items.push_back({nullptr, sync_.fd(), ZMQ_POLLIN, 0});
  // Every socket is asked at the first turn; then those read or sent on.
  std::unique_ptr<bool[]> recheck(new bool[items.size()]);
  std::fill_n(recheck.get(), items.size(), true);
  Clock::time_point next = Clock::now();
  while (stop == 0) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::clamp<Clock::duration>(next - Clock::now(), Clock::duration::zero(), kLongestWait));
    const int waitMs = static_cast<int>(wait.count()) + 1;
    if (wait_ready(items.data(), recheck.get(), items.size(), waitMs) < 0) {
      logf(Level::Error, "waiting for the sockets: %s", zmq_strerror(zmq_errno()));
      return;
    }
    const Clock::time_point now = Clock::now();
    server_.handle(items.data());
    for (size_t i = 0; i < links_.size(); ++i) links_[i]->handle(&items[linksAt + 2 * i], now);
    ZRDB_VLINK_WIRE request;
    for (int n = 0; n < kRequestsPerTurn && queue_.take(request); ++n) dispatch(request, now);
    if (items.size() > queueAt + 1 && (items[queueAt + 1].revents & ZMQ_POLLIN) != 0)
      sync_.handle();
    next = now + kLongestWait;
    for (const auto &link : links_) next = std::min(next, link->tick(now));
    queue_.drop_uncollected(now);
    for (size_t i = 0; i < items.size(); ++i) recheck[i] = items[i].revents != 0;
    for (size_t i = 0; i < links_.size(); ++i)
      recheck[linksAt + 2 * i] = links_[i]->take_sent() || recheck[linksAt + 2 * i];
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

bool Daemon::forward_sync(const uint8_t *datagram, size_t size) {
  for (const auto &link : links_)
    if (link->number() == config_.syncLink) return link->forward_sync(datagram, size);
  return false;
}

void Daemon::shut_down() {
  queue_.stop_receiver();
  for (const auto &link : links_) link->shut_down();
  links_.clear();
  sync_.report();
  server_.report();
  if (peersFile_) unlink(kPeersFile);
}

// The daemon never makes a database: without an index segment,
// zrdb_cfgParse would create one and parse the file into it.
bool database_exists() { return shmget(ZRDB_INDEX_KEY, 0, 0) >= 0; }

}  // namespace

int run_daemon(const Config &config, const KeyPair &keys, const char *dbFile,
               const std::function<void(int)> &ready, const volatile std::sig_atomic_t &stop) {
  Daemon daemon(config, keys);
  if (!daemon.open_server() || (config.syncPort != 0 && !daemon.sync().open_port())) {
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
  std::string why;
  if (master < 0) {
    logf(Level::Error, "the database has no item of type vlinkmst");
    status = kFailure;
  } else {
    // A sync item that is not one, or an item list naming no item: bad settings.
    if (!config.syncItem.empty()) why = daemon.sync().open_item();
    if (why.empty()) why = daemon.server().rules().resolve(config);
    if (!why.empty()) status = kUsage;
  }
  if (!why.empty()) logf(Level::Error, "%s", why.c_str());
  // An allocation that fails while starting or serving stops the daemon
  // the way a signal does: the link states go to 0, the peers file goes.
  bool serving = false;
  try {
    if (status == kOk) {
      check_link_count(config, master);
      status = daemon.start(master);
    }
    // Ready: the database is attached, the peers' port listens and the links dial.
    ready(status);
    if (status == kOk) {
      logf(Level::Info, "serving %zu links on %s:%u (master item %d, own key %s)",
           config.links.size(), config.listenHost.c_str(), config.listenPort, master,
           fingerprint(keys.publicKey).c_str());
      serving = true;
      daemon.serve(stop);
    }
  } catch (const std::bad_alloc &) {
    logf(Level::Error, "out of memory: stopping");
    if (!serving) ready(kFailure);
    status = kFailure;
  }
  daemon.shut_down();
  if (status == kOk) logf(Level::Info, "stopped");
  zrdb_Cleanup();
  return status;
}

}  // namespace vlinkd
