#include "partner.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <new>

namespace zrdb::bench {

SharedMemory::SharedMemory(size_t bytes) : bytes_(bytes) {
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  addr_ = p == MAP_FAILED ? nullptr : p;
}

SharedMemory::~SharedMemory() {
  if (addr_ != nullptr) munmap(addr_, bytes_);
}

Partner::~Partner() {
  if (pid_ > 0) finish(0);
}

bool Partner::start(const std::function<int()> &serve) {
  if (pid_ > 0) return false;
  const pid_t parent = getpid();
  // Signals stay blocked across the fork so that none reaches the child
  // while it still carries the parent's handlers.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  // Buffered output would otherwise be written twice.
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < 32; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(99);  // the parent died before prctl
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    _exit(serve());
  }
  const int forkErrno = errno;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) {
    errno = forkErrno;
    return false;
  }
  pid_ = pid;
  return true;
}

int Partner::finish(int limitMs) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int status = 0;
  pid_t got = 0;
  while ((got = waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    usleep(1000);
  }
  if (got == 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return -1;
  }
  pid_ = -1;
  if (got < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void Backoff::pause() {
  if (++spins_ < 64) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
    return;
  }
  sched_yield();
}

bool wait_for(const std::function<bool()> &ready, int limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  Backoff backoff;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    backoff.pause();
  }
  return true;
}

Control *make_control(SharedMemory &shm) {
  return shm.get() == nullptr ? nullptr : new (shm.get()) Control{};
}

bool start_partner(benchmark::State &state, Partner &partner, Control *ctl,
                   const std::function<int()> &serve) {
  if (ctl == nullptr) {
    state.SkipWithError("mmap of the control block failed");
    return false;
  }
  if (!partner.start([&] {
        ctl->ready.store(1, std::memory_order_release);
        return serve();
      })) {
    state.SkipWithError("fork failed");
    return false;
  }
  if (!wait_for([&] { return ctl->ready.load(std::memory_order_acquire) != 0; })) {
    state.SkipWithError("the partner process did not start");
    return false;
  }
  return true;
}

void stop_partner(benchmark::State &state, Partner &partner, Control *ctl,
                  const std::function<void()> &wake, int64_t expected) {
  ctl->stop.store(1, std::memory_order_release);
  wake();
  const int status = partner.finish();
  if (status != 0) {
    state.SkipWithError("the partner process failed or had to be killed");
  } else if (ctl->errors.load() != 0) {
    state.SkipWithError("the partner process saw wrong or missing data");
  } else if (ctl->served.load() != expected) {
    state.SkipWithError("the partner process did not serve every iteration");
  }
}

}  // namespace zrdb::bench
