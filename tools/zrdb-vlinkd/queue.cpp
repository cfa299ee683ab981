// The message queue of the VLINK transactions, through the library's queue
// calls, which keep the record's layout the same on every machine.
#include "queue.h"

#include <sys/ipc.h>
#include <sys/msg.h>

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

bool RequestQueue::take(ZRDB_VLINK_WIRE &request) {
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
  while (take(stale)) ++dropped;
  return dropped;
}

}  // namespace vlinkd
