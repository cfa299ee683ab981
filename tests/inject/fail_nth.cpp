// LD_PRELOAD library that makes the Nth call of one function fail.
//
//   ZRDB_INJECT=FUNCTION:N:ERRNO   e.g. shmget:3:28
//   ZRDB_INJECT_MARK=PATH          written when the failure is injected
//   ZRDB_INJECT_MAIN=1             count the main program's calls too
//   ZRDB_INJECT_COUNT=PATH         at exit, how many calls were counted
//
// Only calls made by libzrdb (and, with ZRDB_INJECT_MAIN, by the program:
// the tools) count, so the C library's own use of write or malloc and the
// test program's checks are never hit; and only on the main thread, so that
// which call is the Nth does not depend on how threads were scheduled.
// Some names stand for a family of calls the code uses in their place:
// malloc for every allocation (operator new throws std::bad_alloc, as a
// real failure would), pipe for pipe2, sem_timedwait for sem_clockwait and
// sem_wait, sendto for send, recvfrom for recv, open for open64.
//
// Built with ZRDB_INJECT_NO_ALLOC it fails no allocation, for programs
// whose allocator a sanitizer provides.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
}

namespace {

struct Plan {
  char function[32]{};
  long nth = 0;
  int err = 0;
  const char *mark = nullptr;   // the environment's strings: they stay
  const char *count = nullptr;  // for the life of the process
  uintptr_t ranges[16][2]{};    // the counted callers' code: [lo, hi)
  int nranges = 0;
  std::atomic<long> calls{0};
  std::atomic<bool> ready{false};
};
Plan plan;

int collect(dl_phdr_info *info, size_t, void *data) {
  const bool main_program = *static_cast<bool *>(data) && info->dlpi_name[0] == '\0';
  if (!main_program && std::strstr(info->dlpi_name, "libzrdb") == nullptr) return 0;
  for (int i = 0; i < info->dlpi_phnum && plan.nranges < 16; ++i) {
    const ElfW(Phdr) &ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
    const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
    plan.ranges[plan.nranges][0] = lo;
    plan.ranges[plan.nranges++][1] = lo + ph.p_memsz;
  }
  return 0;
}

// Runs once the program and its libraries are loaded, before main.
[[gnu::constructor]] void setup() {
  const char *wanted = std::getenv("ZRDB_INJECT");
  if (wanted == nullptr) return;
  if (std::sscanf(wanted, "%31[^:]:%ld:%d", plan.function, &plan.nth, &plan.err) != 3) return;
  plan.mark = std::getenv("ZRDB_INJECT_MARK");
  plan.count = std::getenv("ZRDB_INJECT_COUNT");
  bool with_main = std::getenv("ZRDB_INJECT_MAIN") != nullptr;
  dl_iterate_phdr(collect, &with_main);
  plan.ready.store(true);
}

bool counted_caller(const void *caller) {
  const auto at = reinterpret_cast<uintptr_t>(caller);
  for (int i = 0; i < plan.nranges; ++i)
    if (at >= plan.ranges[i][0] && at < plan.ranges[i][1]) return true;
  return false;
}

// Writes one line with raw system calls: open and write may be the very
// functions being failed.
void write_line(const char *path, const char *function, long n) {
  if (path == nullptr) return;
  const long fd =
      syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char line[96];
  const int len = std::snprintf(line, sizeof line, "%s %ld %d\n", function, n, plan.err);
  syscall(SYS_write, fd, line, len);
  syscall(SYS_close, fd);
}

// How many calls a run made (the driver chooses which to fail from it).
[[gnu::destructor]] void report_count() {
  if (plan.ready.load()) write_line(plan.count, plan.function, plan.calls.load());
}

// True when this call is the one to fail; errno is then set.
bool fail_now(const char *family, const void *caller) {
  if (!plan.ready.load(std::memory_order_relaxed) || std::strcmp(family, plan.function) != 0 ||
      !counted_caller(caller) || syscall(SYS_gettid) != getpid())
    return false;
  if (plan.calls.fetch_add(1) + 1 != plan.nth) return false;
  write_line(plan.mark, family, plan.nth);
  errno = plan.err;
  return true;
}

template <typename F>
F real(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define CALLER __builtin_return_address(0)
// A function that fails by returning `failed` with errno set.
#define INTERPOSE(family, ret, name, params, args, failed) \
  extern "C" ret name params {                             \
    static const auto next = real<ret(*) params>(#name);   \
    if (fail_now(family, CALLER)) return failed;           \
    return next args;                                      \
  }

INTERPOSE("shmget", int, shmget, (key_t k, size_t s, int f), (k, s, f), -1)
INTERPOSE("shmat", void *, shmat, (int id, const void *a, int f), (id, a, f),
          reinterpret_cast<void *>(-1))
INTERPOSE("shmctl", int, shmctl, (int id, int c, shmid_ds *b), (id, c, b), -1)
INTERPOSE("msgget", int, msgget, (key_t k, int f), (k, f), -1)
INTERPOSE("msgsnd", int, msgsnd, (int q, const void *m, size_t s, int f), (q, m, s, f), -1)
INTERPOSE("msgrcv", ssize_t, msgrcv, (int q, void *m, size_t s, long t, int f), (q, m, s, t, f), -1)
INTERPOSE("sem_timedwait", int, sem_timedwait, (sem_t * s, const timespec *t), (s, t), -1)
INTERPOSE("sem_timedwait", int, sem_clockwait, (sem_t * s, clockid_t c, const timespec *t),
          (s, c, t), -1)
INTERPOSE("sem_timedwait", int, sem_wait, (sem_t * s), (s), -1)
INTERPOSE("socket", int, socket, (int d, int t, int p), (d, t, p), -1)
INTERPOSE("bind", int, bind, (int s, const sockaddr *a, socklen_t l), (s, a, l), -1)
INTERPOSE("setsockopt", int, setsockopt, (int s, int l, int n, const void *v, socklen_t z),
          (s, l, n, v, z), -1)
INTERPOSE("sendto", ssize_t, sendto,
          (int s, const void *b, size_t n, int f, const sockaddr *a, socklen_t l),
          (s, b, n, f, a, l), -1)
INTERPOSE("sendto", ssize_t, send, (int s, const void *b, size_t n, int f), (s, b, n, f), -1)
INTERPOSE("recvfrom", ssize_t, recvfrom,
          (int s, void *b, size_t n, int f, sockaddr *a, socklen_t *l), (s, b, n, f, a, l), -1)
INTERPOSE("recvfrom", ssize_t, recv, (int s, void *b, size_t n, int f), (s, b, n, f), -1)
INTERPOSE("flock", int, flock, (int fd, int op), (fd, op), -1)
INTERPOSE("pipe", int, pipe, (int *fds), (fds), -1)
INTERPOSE("pipe", int, pipe2, (int *fds, int f), (fds, f), -1)
INTERPOSE("write", ssize_t, write, (int fd, const void *b, size_t n), (fd, b, n), -1)
INTERPOSE("fsync", int, fsync, (int fd), (fd), -1)
INTERPOSE("rename", int, rename, (const char *a, const char *b), (a, b), -1)

// The daemons' library calls: ZeroMQ's return -1 or NULL with errno set
// (zmq_errno reads errno); libmosquitto's return MOSQ_ERR_NOMEM (1), the
// failure they have before taking any setting (errno ENOMEM).
INTERPOSE("zmq_socket", void *, zmq_socket, (void *c, int t), (c, t), nullptr)
INTERPOSE("zmq_bind", int, zmq_bind, (void *s, const char *e), (s, e), -1)
INTERPOSE("zmq_bind", int, zmq_connect, (void *s, const char *e), (s, e), -1)
INTERPOSE("zmq_setsockopt", int, zmq_setsockopt, (void *s, int o, const void *v, size_t n),
          (s, o, v, n), -1)
constexpr int kMosqErrNomem = 1;
INTERPOSE("mosquitto_connect", int, mosquitto_connect_async, (void *m, const char *h, int p, int k),
          (m, h, p, k), kMosqErrNomem)
INTERPOSE("mosquitto_publish", int, mosquitto_publish,
          (void *m, int *id, const char *t, int n, const void *b, int q, bool r),
          (m, id, t, n, b, q, r), kMosqErrNomem)

// sem_open and open take a variable argument list: the mode and the initial
// value exist only with O_CREAT.
extern "C" sem_t *sem_open(const char *name, int flags, ...) {
  static const auto next = real<sem_t *(*)(const char *, int, ...)>("sem_open");
  if (fail_now("sem_open", CALLER)) return SEM_FAILED;
  if ((flags & O_CREAT) == 0) return next(name, flags);
  va_list args;
  va_start(args, flags);
  const mode_t mode = va_arg(args, mode_t);
  const unsigned value = va_arg(args, unsigned);
  va_end(args);
  return next(name, flags, mode, value);
}

#define INTERPOSE_OPEN(name)                                               \
  extern "C" int name(const char *path, int flags, ...) {                  \
    static const auto next = real<int (*)(const char *, int, ...)>(#name); \
    if (fail_now("open", CALLER)) return -1;                               \
    if ((flags & (O_CREAT | O_TMPFILE)) == 0) return next(path, flags);    \
    va_list args;                                                          \
    va_start(args, flags);                                                 \
    const mode_t mode = va_arg(args, mode_t);                              \
    va_end(args);                                                          \
    return next(path, flags, mode);                                        \
  }
INTERPOSE_OPEN(open)
INTERPOSE_OPEN(open64)

#ifndef ZRDB_INJECT_NO_ALLOC
// Allocations go straight to the C library's allocator, which needs no
// look-up (dlsym itself allocates).
#define INTERPOSE_ALLOC(name, params, allocate) \
  extern "C" void *name params { return fail_now("malloc", CALLER) ? nullptr : allocate; }
INTERPOSE_ALLOC(malloc, (size_t n), __libc_malloc(n))
INTERPOSE_ALLOC(calloc, (size_t k, size_t n), __libc_calloc(k, n))
INTERPOSE_ALLOC(realloc, (void *p, size_t n), __libc_realloc(p, n))
INTERPOSE_ALLOC(aligned_alloc, (size_t a, size_t n), __libc_memalign(a, n))
#define INTERPOSE_NEW(name)                                                         \
  void *name(size_t n) {                                                            \
    void *p = fail_now("malloc", CALLER) ? nullptr : __libc_malloc(n == 0 ? 1 : n); \
    if (p == nullptr) throw std::bad_alloc();                                       \
    return p;                                                                       \
  }
INTERPOSE_NEW(operator new)
INTERPOSE_NEW(operator new[])
#endif
