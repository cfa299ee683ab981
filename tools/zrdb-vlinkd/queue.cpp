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

namespace vlinkd {

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
  for (;;) {
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

void RequestQueue::stop_receiver() {
  if (running_) {
    stopping_ = true;
    ZRDB_VLINK_WIRE stop{};
    stop.mtype = kStopType;
    // Without room for the stop message the thread is cancelled instead:
    // msgrcv is a cancellation point, and it holds no lock while it waits.
    if (zrdb_vlink_msgsnd(id_, &stop, IPC_NOWAIT) != 0) pthread_cancel(thread_);
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
  const std::lock_guard<std::mutex> hold(mutex_);
  if (received_.empty()) return false;
  request = received_.front();
  received_.pop_front();
  return true;
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
  // Never waits: a full queue means nobody collects answers, and the
  // requests behind this one must still be served in time.
  if (zrdb_vlink_msgsnd(id_, &resp, IPC_NOWAIT) != 0) {
    uint32_t held = 0;
    if (sendLog_.allow(held))
      logf(Level::Warn, "answer to link %u item (%d,%d) not queued: %s (%u more held back)",
           request.lid, request.itemId, request.itemIdx, std::strerror(errno), held);
  }
}

int RequestQueue::drop_stale() {
  int dropped = 0;
  ZRDB_VLINK_WIRE stale;
  while (take_now(stale)) ++dropped;
  return dropped;
}

}  // namespace vlinkd
