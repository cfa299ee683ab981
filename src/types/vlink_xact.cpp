// The VLINK transaction step: one request to the link daemon over the
// System V message queue, one response matched by its echoed transaction
// number and fields, at most 5 seconds of waiting.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/sys_cause.h"
#include "types/vlink.h"

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace zrdb {
namespace {

static_assert(sizeof(ZRDB_VLINK_MSG) == 536);
static_assert(offsetof(ZRDB_VLINK_MSG, op) == 0);
static_assert(offsetof(ZRDB_VLINK_MSG, status) == 2);
static_assert(offsetof(ZRDB_VLINK_MSG, lid) == 4);
static_assert(offsetof(ZRDB_VLINK_MSG, itemId) == 8);
static_assert(offsetof(ZRDB_VLINK_MSG, itemIdx) == 12);
static_assert(offsetof(ZRDB_VLINK_MSG, size) == 16);
static_assert(offsetof(ZRDB_VLINK_MSG, aux) == 20);
static_assert(offsetof(ZRDB_VLINK_MSG, data) == 24);
static_assert(sizeof(ZRDB_VLINK_WIRE) == 548);
static_assert(sizeof(ZRDB_VLINK_WIRE) - sizeof(int32_t) == ZRDB_VLINK_MSG_SIZE);
static_assert(offsetof(ZRDB_VLINK_WIRE, one) == 4);
static_assert(offsetof(ZRDB_VLINK_WIRE, op) == 8);
static_assert(offsetof(ZRDB_VLINK_WIRE, lid) == 12);
static_assert(offsetof(ZRDB_VLINK_WIRE, itemId) == 16);
static_assert(offsetof(ZRDB_VLINK_WIRE, itemIdx) == 20);
static_assert(offsetof(ZRDB_VLINK_WIRE, aux) == 24);
static_assert(offsetof(ZRDB_VLINK_WIRE, result) == 28);
static_assert(offsetof(ZRDB_VLINK_WIRE, size) == 32);
static_assert(offsetof(ZRDB_VLINK_WIRE, value) == 36);

constexpr uint32_t kResultNibble = 0xF;

// Per-process state: the queue and the two messages, rebuilt for every
// transaction. Transactions are serialised by the VLINK semaphore.
int32_t vlink_msg_id = -1;
ZRDB_VLINK_WIRE zrdb2vlink_msg_buf;
ZRDB_VLINK_WIRE vlink2zrdb_msg_buf;
int32_t alarm_signal_handler_installed = 0;

void trace_message(const char *direction, const ZRDB_VLINK_WIRE &m) {
  uint32_t first = 0;
  std::memcpy(&first, m.value, sizeof first);
  std::printf("%s:LID(%d), Req(%d),Item(%d,%d),size(%d), value(0x%08x)\n", direction,
              static_cast<int>(m.lid), static_cast<int>(m.op), m.itemId, m.itemIdx,
              static_cast<int>(m.size), first);
}

// The 5-second limit of a transaction: a SIGALRM sent to the waiting thread
// alone, so that the signal ends that thread's receive and no other, and
// other users of alarm() in the process are left alone. Falls back to
// alarm() where a thread timer cannot be made.
class TransactionAlarm {
 public:
  explicit TransactionAlarm(int seconds) {
    clock_gettime(CLOCK_MONOTONIC, &deadline_);
    deadline_.tv_sec += seconds;
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = SIGALRM;
    ev.sigev_notify_thread_id = static_cast<pid_t>(syscall(SYS_gettid));
    timed_ = timer_create(CLOCK_MONOTONIC, &ev, &timer_) == 0;
    if (!timed_) {
      alarm(static_cast<unsigned>(seconds));
      return;
    }
    itimerspec when{};
    when.it_value.tv_sec = seconds;
    timer_settime(timer_, 0, &when, nullptr);
  }
  ~TransactionAlarm() {
    if (timed_) {
      timer_delete(timer_);
    } else {
      alarm(0);
    }
  }
  TransactionAlarm(const TransactionAlarm &) = delete;
  TransactionAlarm &operator=(const TransactionAlarm &) = delete;
  // Whether the limit passed: a receive interrupted before it was ended by
  // another signal, one of the application's. The deadline is taken before
  // the timer of the same clock is set, so it has passed when the timer
  // fires; alarm() counts on another clock, and its signal always ends.
  bool expired() const {
    if (!timed_) return true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline_.tv_sec ||
           (now.tv_sec == deadline_.tv_sec && now.tv_nsec >= deadline_.tv_nsec);
  }

 private:
  timespec deadline_{};
  timer_t timer_{};
  bool timed_ = false;
};

// A message as the system's queue calls take it.
struct QueueMessage {
  long mtype;
  unsigned char body[ZRDB_VLINK_MSG_SIZE];
};
constexpr size_t kBodyOffset = offsetof(ZRDB_VLINK_WIRE, one);

// The transaction number the request carries in `aux` and the daemon
// echoes. Started from the process id and the clock, so that two processes
// are unlikely to number their transactions alike.
uint32_t next_transaction() {
  static std::atomic<uint32_t> next{[] {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(now.tv_nsec);
  }()};
  return next.fetch_add(1, std::memory_order_relaxed);
}

// Removes every waiting message of `type`. MSG_NOERROR: a message larger
// than a VLINK message is cut and taken, not left at the head of the queue
// where every later receive of its type fails with E2BIG.
void drain(long type) {
  while (zrdb_vlink_msgrcv(vlink_msg_id, &vlink2zrdb_msg_buf, type, IPC_NOWAIT | MSG_NOERROR) >=
         0) {
    if (glb_ZrdbDebugLvl == kVlinkDebug) std::printf("empty old vlink response\n");
  }
}

// Waits for the answer carrying the request's transaction number; the
// answers of earlier transactions (given up after their 5 seconds) are
// dropped. The receive's result as msgrcv's; `err` its errno.
int receive_answer(const ZRDB_VLINK_WIRE &req, ZRDB_VLINK_WIRE &resp, int &err) {
  const TransactionAlarm limit(ZRDB_VLINK_TIMEOUT_S);
  for (;;) {
    const int got = zrdb_vlink_msgrcv(vlink_msg_id, &resp, ZRDB_VLINK_RESPONSE_TYPE, MSG_NOERROR);
    err = errno;
    // A queue receive is never restarted after a signal handler ran.
    if (got < 0 && err == EINTR && !limit.expired()) continue;
    if (got < 0 || resp.aux == req.aux) return got;
    if (glb_ZrdbDebugLvl == kVlinkDebug) trace_message("APP<=x==MST", resp);
  }
}

bool answers(const ZRDB_VLINK_WIRE &req, const ZRDB_VLINK_WIRE &resp) {
  return resp.lid == req.lid && resp.itemId == req.itemId && resp.itemIdx == req.itemIdx &&
         resp.op == req.op && (resp.result & kResultNibble) == 0;
}

}  // namespace

void install_alarm_handler() {
  if (alarm_signal_handler_installed != 0) return;
  struct sigaction sa {};
  sa.sa_handler = ALARMhandler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);
  alarm_signal_handler_installed = 1;
}

}  // namespace zrdb

using zrdb::vlink2zrdb_msg_buf;
using zrdb::vlink_msg_id;
using zrdb::zrdb2vlink_msg_buf;

extern "C" {

int zrdb_vlink_msgsnd(int queue, const ZRDB_VLINK_WIRE *msg, int flags) {
  zrdb::QueueMessage m{msg->mtype, {}};
  std::memcpy(m.body, reinterpret_cast<const unsigned char *>(msg) + zrdb::kBodyOffset,
              sizeof m.body);
  return msgsnd(queue, &m, sizeof m.body, flags);
}

int zrdb_vlink_msgrcv(int queue, ZRDB_VLINK_WIRE *msg, long type, int flags) {
  zrdb::QueueMessage m{};
  const ssize_t n = msgrcv(queue, &m, sizeof m.body, type, flags);
  if (n < 0) return -1;
  msg->mtype = static_cast<int32_t>(m.mtype);
  std::memcpy(reinterpret_cast<unsigned char *>(msg) + zrdb::kBodyOffset, m.body, sizeof m.body);
  return static_cast<int>(n);
}

void ALARMhandler(int /*sig*/) { ZRDB_LOG(Info, "Alarm signal captured!\n"); }

namespace {
// No queue ends the process. A caller holding the VLINK semaphore (`held`)
// hands it on first: every other process of the system would wait for it.
int queue_or_exit(void *held) {
  const int id = msgget(ZRDB_VLINK_QUEUE_KEY, IPC_CREAT | 0666);
  if (id < 0) {
    std::perror("msgget error");
    if (held != nullptr) hbdb_sem_Post(held);
    std::exit(-1);
  }
  return id;
}
}  // namespace

int GetVlinkMsgQ(void) { return queue_or_exit(nullptr); }

// Both callers hold the context's semaphore.
int ipc_init(void *ctx) {
  vlink_msg_id = queue_or_exit(ctx == nullptr ? nullptr : static_cast<ZRDB_VLINK_CTX *>(ctx)->sem);
  if (glb_ZrdbDebugLvl == zrdb::kVlinkDebug) {
    std::printf("Open vlink msg queue(key:%d, msgid=%d) successfully!\n", ZRDB_VLINK_QUEUE_KEY,
                vlink_msg_id);
  }
  // Requests no daemon took, then answers nobody collected.
  zrdb::drain(ZRDB_VLINK_REQUEST_TYPE);
  zrdb::drain(ZRDB_VLINK_RESPONSE_TYPE);
  return 0;
}

int ipc_do_xact(void * /*ctx*/, ZRDB_VLINK_MSG *msg) {
  if (vlink_msg_id < 0) {
    ZRDB_LOG(Warn, "There no valid mesage queue!\n");
    return -1;
  }
  // Answers of transactions given up earlier: they would fill the queue
  // and make the send fail.
  zrdb::drain(ZRDB_VLINK_RESPONSE_TYPE);
  ZRDB_VLINK_WIRE &req = zrdb2vlink_msg_buf;
  ZRDB_VLINK_WIRE &resp = vlink2zrdb_msg_buf;
  std::memset(&req, 0, sizeof req);
  std::memset(&resp, 0, sizeof resp);
  req.mtype = ZRDB_VLINK_REQUEST_TYPE;
  req.one = 1;
  req.op = msg->op;
  req.lid = msg->lid;
  req.itemId = msg->itemId;
  req.itemIdx = msg->itemIdx;
  req.aux = zrdb::next_transaction();
  req.result = zrdb::kResultNibble;
  req.size = std::min<uint32_t>(msg->size, ZRDB_VLINK_DATA_MAX);
  if (msg->op == ZRDBVLINKOP_SETVALUE) std::memcpy(req.value, msg->data, req.size);
  if (zrdb_vlink_msgsnd(vlink_msg_id, &req, IPC_NOWAIT) != 0) {
    const int err = errno;
    ZRDB_LOG(Warn, "Unable to send to vlink message queue.error = %s\n", std::strerror(err));
    zrdb::log_limit(zrdb::LogLevel::Warn, __func__, zrdb::queue_send_cause(err, vlink_msg_id));
    return -2;
  }
  if (glb_ZrdbDebugLvl == zrdb::kVlinkDebug) zrdb::trace_message("APP====>MST", req);
  zrdb::install_alarm_handler();
  int err = 0;
  const int got = zrdb::receive_answer(req, resp, err);
  // Any failed receive is reported: a zeroed buffer taken for an answer
  // would match a get of item (0, 0) on link 0.
  if (got < 0) {
    ZRDB_LOG(Warn, "Unable to receive vlink message queue.error = %s\n", std::strerror(err));
    return -2;
  }
  resp.size = req.size;
  if (glb_ZrdbDebugLvl == zrdb::kVlinkDebug) zrdb::trace_message("APP<====MST", resp);
  if (zrdb::answers(req, resp)) {
    msg->status = 0;
    if (msg->op == ZRDBVLINKOP_GETVALUE)
      std::memcpy(msg->data, resp.value, std::min<uint32_t>(req.size, msg->size));
  }
  return 0;
}

int ipc_close(void * /*ctx*/) {
  if (glb_ZrdbDebugLvl == zrdb::kVlinkDebug) std::printf("Closing VLINK local connection\n");
  return 0;
}

}  // extern "C"
