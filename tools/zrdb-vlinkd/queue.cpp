// The message queue of the VLINK transactions, through the library's queue
// calls, which keep the record's layout the same on every machine.
#include "queue.h"

#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vlinkd {
namespace {

// The time an answer was sent, in the word the library does not examine
// (`one`): milliseconds of the monotonic clock, which every process shares,
// so a restarted daemon reads the age of its predecessor's answers.
uint32_t stamp(RequestQueue::Clock::time_point t) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

// Answers looked at in one sweep: a queue holds a few dozen of them, and
// someone else sending answers all the while must not keep the loop busy.
constexpr int kSweepMax = 1024;

}  // namespace

bool RequestQueue::open() {
  id_ = msgget(ZRDB_VLINK_QUEUE_KEY, IPC_CREAT | 0666);
  if (id_ < 0)
    logf(Level::Error, "message queue (key %d): %s", ZRDB_VLINK_QUEUE_KEY, std::strerror(errno));
  return id_ >= 0;
}

// Waiting in msgrcv answers a request as soon as it is sent; a loop that
// looked at the queue between polls added up to its poll interval to every
// transaction. The thread takes every message but the answers: requests,
// and the stop message the daemon sends itself when it ends. Applications
// drain only requests and answers, so a stop message is never lost to
// them; one left by a daemon that died is ignored by the next.
bool RequestQueue::start_receiver() {
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0 || pthread_create(&thread_, nullptr, receive_loop, this) != 0) {
    logf(Level::Error, "starting the queue receiver: %s", std::strerror(errno));
    return false;
  }
  running_ = true;
  return true;
}

void *RequestQueue::receive_loop(void *self) {
  auto &q = *static_cast<RequestQueue *>(self);
  while (q.wait_for_room()) {
    ZRDB_VLINK_WIRE request{};
    // MSG_NOERROR: an oversize message is cut and taken, not left at the
    // head of the queue where it would block every request behind it.
    if (zrdb_vlink_msgrcv(q.id_, &request, ZRDB_VLINK_RESPONSE_TYPE, MSG_EXCEPT | MSG_NOERROR) <
        0) {
      if (q.stopping_) break;
      if (errno == EIDRM || errno == EINVAL) {
        // Someone removed the queue; the next application makes it again.
        usleep(10000);
        q.id_ = msgget(ZRDB_VLINK_QUEUE_KEY, IPC_CREAT | 0666);
      }
      continue;
    }
    if (request.mtype == kStopType) {
      if (q.stopping_) break;
      continue;
    }
    if (request.mtype != ZRDB_VLINK_REQUEST_TYPE) continue;
    {
      const std::lock_guard<std::mutex> hold(q.mutex_);
      q.received_.push_back(request);
    }
    const uint64_t one = 1;
    (void)!write(q.wake_, &one, sizeof one);
  }
  return nullptr;
}

bool RequestQueue::wait_for_room() {
  std::unique_lock<std::mutex> hold(mutex_);
  if (received_.size() >= kMaxHeld && !stopping_) {
    full_ = true;
    uint32_t held = 0;
    if (fullLog_.allow(held))
      logf(Level::Warn,
           "%zu requests wait to be served; the next wait in the message queue "
           "(%u more held back)",
           kMaxHeld, held);
    room_.wait(hold, [this] { return received_.size() < kMaxHeld || stopping_; });
    full_ = false;
  }
  return !stopping_;
}

void RequestQueue::stop_receiver() {
  if (running_) {
    bool waiting = false;
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
      waiting = full_;
    }
    room_.notify_all();
    ZRDB_VLINK_WIRE stop{};
    stop.mtype = kStopType;
    // A receiver in msgrcv needs the stop message; without room for it the
    // thread is cancelled instead: msgrcv is a cancellation point, and it
    // holds no lock while it waits.
    if (!waiting && zrdb_vlink_msgsnd(id_, &stop, IPC_NOWAIT) != 0) pthread_cancel(thread_);
    pthread_join(thread_, nullptr);
    running_ = false;
  }
  if (wake_ >= 0) close(wake_);
  wake_ = -1;
}

bool RequestQueue::take(ZRDB_VLINK_WIRE &request) {
  if (wake_ >= 0) {
    uint64_t count = 0;
    (void)!read(wake_, &count, sizeof count);
  }
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (received_.empty()) return false;
    request = received_.front();
    received_.pop_front();
  }
  room_.notify_one();
  return true;
}

size_t RequestQueue::held() {
  const std::lock_guard<std::mutex> hold(mutex_);
  return received_.size();
}

bool RequestQueue::receiver_waiting() {
  const std::lock_guard<std::mutex> hold(mutex_);
  return full_;
}

bool RequestQueue::take_now(ZRDB_VLINK_WIRE &request) {
  std::memset(&request, 0, sizeof request);
  // MSG_NOERROR: an oversize message is cut and taken, not left at the head
  // of the queue where it would block every request behind it. A short one
  // reads as zeros past its end.
  if (zrdb_vlink_msgrcv(id_, &request, ZRDB_VLINK_REQUEST_TYPE, IPC_NOWAIT | MSG_NOERROR) < 0) {
    if (errno == EIDRM || errno == EINVAL) {
      // Someone removed the queue; the next application makes it again.
      logf(Level::Warn, "message queue removed; getting it again");
      open();
    }
    return false;
  }
  return true;
}

void RequestQueue::answer(const ZRDB_VLINK_WIRE &request, uint32_t failure, const uint8_t *value,
                          size_t len) {
  ZRDB_VLINK_WIRE resp;
  std::memset(&resp, 0, sizeof resp);
  resp.op = request.op;
  resp.lid = request.lid;
  resp.itemId = request.itemId;
  resp.itemIdx = request.itemIdx;
  resp.aux = request.aux;
  resp.result = failure & 0xF;
  resp.size = std::min<uint32_t>(request.size, ZRDB_VLINK_DATA_MAX);
  if (failure == kSuccess && value != nullptr)
    std::memcpy(resp.value, value, std::min<size_t>(len, ZRDB_VLINK_DATA_MAX));
  resp.mtype = ZRDB_VLINK_RESPONSE_TYPE;
  const Clock::time_point now = Clock::now();
  resp.one = stamp(now);
  if (!send_answer(resp)) return;
  if (!answersOut_) oldestAnswer_ = now;
  answersOut_ = true;
}

bool RequestQueue::send_answer(const ZRDB_VLINK_WIRE &resp) {
  // Never waits: a full queue means nobody collects answers, and the
  // requests behind this one must still be served in time.
  if (zrdb_vlink_msgsnd(id_, &resp, IPC_NOWAIT) == 0) return true;
  uint32_t held = 0;
  if (sendLog_.allow(held))
    logf(Level::Warn, "answer to link %u item (%d,%d) not queued: %s (%u more held back)", resp.lid,
         resp.itemId, resp.itemIdx, std::strerror(errno), held);
  return false;
}

int RequestQueue::drop_uncollected(Clock::time_point now) {
  if (!answersOut_ || now - oldestAnswer_ < kUncollected) return 0;
  const uint32_t nowStamp = stamp(now);
  const auto limit = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(kUncollected).count());
  // Each is taken from the head of the answers; the young ones are sent
  // again once all were looked at, so they keep their order. A stamp from
  // the future reads as very old: nothing can keep an answer young.
  std::vector<ZRDB_VLINK_WIRE> young;
  int dropped = 0;
  ZRDB_VLINK_WIRE m;
  for (int n = 0; n < kSweepMax && zrdb_vlink_msgrcv(id_, &m, ZRDB_VLINK_RESPONSE_TYPE,
                                                     IPC_NOWAIT | MSG_NOERROR) >= 0;
       ++n) {
    if (nowStamp - m.one >= limit) {
      ++dropped;
    } else {
      young.push_back(m);
    }
  }
  uint32_t oldestAge = 0;
  for (const ZRDB_VLINK_WIRE &answer : young) {
    oldestAge = std::max(oldestAge, nowStamp - answer.one);
    send_answer(answer);
  }
  answersOut_ = !young.empty();
  oldestAnswer_ = now - std::chrono::milliseconds(oldestAge);
  uint32_t held = 0;
  if (dropped > 0 && sendLog_.allow(held))
    logf(Level::Warn,
         "answers nobody collected in 5 s removed from the queue: %d (%u more held back)", dropped,
         held);
  return dropped;
}

int RequestQueue::drop_stale() {
  int dropped = 0;
  ZRDB_VLINK_WIRE stale;
  while (take_now(stale)) ++dropped;
  return dropped;
}

}  // namespace vlinkd
