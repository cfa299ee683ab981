// Creation of the benchmark database and its removal on every way out: normal
// return, exit() (Google Benchmark exits on bad flags), and fatal signals.
#include "bench_db.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "zrdb.h"

namespace zrdb::bench {
namespace {

struct Current {
  bool live = false;  // segments of ours may exist
  DatabaseDefinition def;
  std::string dir;
  std::string dbPath;
  std::string appPath;
};
Current current;

// What the signal handler may use: segment ids and fixed path buffers.
volatile sig_atomic_t signalIndexShm = -1;
volatile sig_atomic_t signalDataShm = -1;
char signalPaths[3][512];  // database file, application file, directory

// Named semaphores to unlink on the way out. The handler unlinks the files
// that glibc keeps them in (/dev/shm/sem.<name>), since sem_unlink is not
// async-signal-safe; at exit sem_unlink is used.
constexpr int kMaxSemaphores = 16;
char semNames[kMaxSemaphores][256];
char semPaths[kMaxSemaphores][300];
volatile sig_atomic_t semCount = 0;

// Lock files of the thread FIFO, pool and server remote buffer items this
// process opened: the library takes an flock on them and leaves them on disk.
constexpr int kMaxLocks = 16;
char lockPaths[kMaxLocks][64];
volatile sig_atomic_t lockCount = 0;

void unlink_semaphores() {
  for (int i = 0; i < semCount; ++i) sem_unlink(semNames[i]);
}

void on_fatal_signal(int sig) {
  // shmctl, unlink and rmdir are plain system calls, safe here; the
  // library's own removal is not.
  if (signalDataShm >= 0) shmctl(signalDataShm, IPC_RMID, nullptr);
  if (signalIndexShm >= 0) shmctl(signalIndexShm, IPC_RMID, nullptr);
  unlink(signalPaths[0]);
  unlink(signalPaths[1]);
  rmdir(signalPaths[2]);
  for (int i = 0; i < semCount; ++i) unlink(semPaths[i]);
  for (int i = 0; i < lockCount; ++i) unlink(lockPaths[i]);
  raise(sig);  // SA_RESETHAND restored the default action
}

void install_guards() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit([] {
    remove_database();
    unlink_semaphores();
  });
  struct sigaction sa {};
  sa.sa_handler = on_fatal_signal;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (const int sig :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    sigaction(sig, &sa, nullptr);
  }
}

void set_signal_paths(const std::string &db, const std::string &app, const std::string &dir) {
  const std::string *paths[] = {&db, &app, &dir};
  for (int i = 0; i < 3; ++i) {
    std::snprintf(signalPaths[i], sizeof signalPaths[i], "%s", paths[i]->c_str());
  }
}

// Runs fn with standard output diverted, so the library's set-up messages
// do not break up the benchmark table; returns what it printed.
template <typename Fn>
std::string quietly(Fn &&fn) {
  std::fflush(stdout);
  FILE *sink = std::tmpfile();
  const int saved = dup(STDOUT_FILENO);
  if (sink == nullptr || saved < 0 || dup2(fileno(sink), STDOUT_FILENO) < 0) {
    if (sink != nullptr) std::fclose(sink);
    if (saved >= 0) close(saved);
    fn();
    return {};
  }
  fn();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  std::rewind(sink);
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, sink)) > 0;) text.append(chunk, n);
  std::fclose(sink);
  return text;
}

bool segment_exists(int key) { return shmget(key, 0, 0) >= 0; }

// Item types whose open may take a lock file (remote buffers: as servers).
bool takes_lock_file(int32_t id) {
  const int type = zrdb_getType(id);
  return type == ZRDB_TYPE_THRD_FIFO || type == ZRDB_TYPE_THRD_RBUF || type == ZRDB_TYPE_RMTBUF ||
         type == ZRDB_TYPE_VLINKBUF;
}

// Whether an open file holds the flock on `path`. Probing takes the lock for
// a moment when it is free.
bool lock_held(const char *path) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

// The lock files of the database's thread items that nobody holds before
// the attach: one that another process holds is not ours to delete.
void find_free_locks(char (*paths)[64], int &count) {
  count = 0;
  for (const ZRDB_DIDNODE *n = zrdb_getInfoHdr()->didHead; n != nullptr; n = n->next) {
    if (!takes_lock_file(n->did) || count == kMaxLocks) continue;
    std::snprintf(paths[count], sizeof paths[count], "/tmp/zrdbid%d.lock", n->did);
    if (!lock_held(paths[count])) ++count;
  }
}

// Records those of `paths` that the attach locked, for every way out; one
// still free was not opened here.
void record_own_locks(const char (*paths)[64], int count) {
  for (int i = 0; i < count; ++i) {
    if (lockCount == kMaxLocks || !lock_held(paths[i])) continue;
    const int k = lockCount;
    std::memcpy(lockPaths[k], paths[i], sizeof lockPaths[k]);
    lockCount = k + 1;  // the handler sees the entry only once it is complete
  }
}

std::string system_section(int dataSize) {
  char text[160];
  std::snprintf(text, sizeof text, "[system]\nname=zrdb_bench\nkey=0x%X\nsize=%d\n[database]\n",
                static_cast<unsigned>(kBenchDataKey), dataSize);
  return text;
}

bool write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

std::string use_database(const DatabaseDefinition &def) {
  if (current.live && current.def.items == def.items && current.def.app == def.app &&
      current.def.dataSize == def.dataSize) {
    return {};
  }
  remove_database();
  // The keys are fixed: a segment that exists now belongs to someone else
  // (another program or test run), and parsing over it would break them.
  if (segment_exists(ZRDB_INDEX_KEY) || segment_exists(kBenchDataKey)) {
    return "a ZRDB segment (index key 0x20150427 or data key 0x5A0B0001) already exists; run "
           "zrdb_bench in a private IPC namespace (see bench/README.md), or remove a stale one "
           "with ipcrm -M";
  }
  char dir[] = "/tmp/zrdb-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return std::string("mkdtemp: ") + std::strerror(errno);
  install_guards();
  current.dir = dir;
  current.dbPath = current.dir + "/db.cfg";
  current.appPath = current.dir + "/app.cfg";
  current.def = def;
  current.live = true;
  set_signal_paths(current.dbPath, current.appPath, current.dir);
  if (!write_file(current.dbPath, system_section(def.dataSize) + def.items) ||
      !write_file(current.appPath, def.app)) {
    remove_database();
    return "cannot write the configuration files in " + std::string(dir);
  }

  std::string failed;
  const std::string output = quietly([&] {
    // Neither key existed before, so what they name now is ours.
    const int parsed = zrdb_cfgParseFromFile(current.dbPath.c_str());
    signalIndexShm = shmget(ZRDB_INDEX_KEY, 0, 0);
    if (parsed != 0) {
      failed = "zrdb_cfgParseFromFile";
      return;
    }
    const int allocated = zrdb_Init(HBUSER_ALLOCATE, nullptr);
    signalDataShm = shmget(kBenchDataKey, 0, 0);
    if (allocated != 0) {
      failed = "zrdb_Init(HBUSER_ALLOCATE)";
      return;
    }
    // Measure what an application sees: a client attach with its links.
    zrdb_Cleanup();
    if (zrdb_cfgParse(current.dbPath.c_str()) != 0) {
      failed = "zrdb_cfgParse";
      return;
    }
    char locks[kMaxLocks][64];
    int lockCandidates = 0;
    find_free_locks(locks, lockCandidates);
    const int attached = zrdb_appInit(current.appPath.c_str(), nullptr, HBUSER_CLIENT);
    record_own_locks(locks, lockCandidates);  // also when the attach failed half-way
    if (attached != 0) failed = "zrdb_appInit(HBUSER_CLIENT)";
  });
  if (failed.empty()) return {};
  remove_database();
  return failed + " failed:\n" + output;
}

void remove_database() {
  if (!current.live) return;
  current.live = false;
  int removed = -1;
  quietly([&] {
    zrdb_Cleanup();
    if (zrdb_cfgParse(current.dbPath.c_str()) == 0 && zrdb_Init(HBUSER_REMOVE, nullptr) == 0) {
      removed = zrdb_Remove();
    }
    zrdb_Cleanup();
  });
  if (removed != 0) {
    // The library could not remove them; the ids we recorded can.
    if (signalDataShm >= 0) shmctl(signalDataShm, IPC_RMID, nullptr);
    if (signalIndexShm >= 0) shmctl(signalIndexShm, IPC_RMID, nullptr);
  }
  signalDataShm = -1;
  signalIndexShm = -1;
  // zrdb_Cleanup closed the items and so released the locks.
  for (int n = lockCount; n > 0; --n) {
    lockCount = n - 1;
    unlink(lockPaths[n - 1]);
  }
  unlink(current.dbPath.c_str());
  unlink(current.appPath.c_str());
  rmdir(current.dir.c_str());
  current = Current{};
}

bool unlink_semaphore_at_exit(const char *name) {
  if (name == nullptr || name[0] != '/') return false;
  for (int i = 0; i < semCount; ++i) {
    if (std::strcmp(semNames[i], name) == 0) return true;
  }
  if (semCount == kMaxSemaphores || std::strlen(name) >= sizeof semNames[0]) return false;
  install_guards();
  const int i = semCount;
  std::snprintf(semNames[i], sizeof semNames[i], "%s", name);
  std::snprintf(semPaths[i], sizeof semPaths[i], "/dev/shm/sem.%s", name + 1);
  semCount = i + 1;  // the handler sees the entry only once it is complete
  return true;
}

}  // namespace zrdb::bench
