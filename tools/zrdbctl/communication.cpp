// Semaphores, circular buffers and message buffers. The item arrives
// resolved, checked, of the command's type and bound as a client.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "text.h"

namespace zrdbctl {

int cmd_sem_post(Invocation &inv) {
  const ItemRef &ref = inv.item;
  int64_t binary = 0;
  if (inv.args.size() > 1) {
    if (const int rc = parse_number(inv.args[1], {"binary flag", 0, 1}, binary); rc != kOk)
      return rc;
  }
  const int rc = zrdb_semaPost(ref.id, static_cast<int32_t>(binary));
  return rc == 0 ? kOk
                 : fail(kFailure, "posting '%s' failed: %s (%d)", ref.label.c_str(),
                        zrdb_strerror(rc), rc);
}

int cmd_sem_wait(Invocation &inv) {
  const ItemRef &ref = inv.item;
  int64_t timeout = 0;
  if (inv.args.size() > 1) {
    if (const int rc =
            parse_duration(inv.args[1], {"time-out", kMicroseconds, 0, UINT32_MAX}, timeout);
        rc != kOk)
      return rc;
  }
  const int rc = zrdb_semaWait_timeout_us(ref.id, static_cast<uint32_t>(timeout));
  if (rc == 0) return kOk;
  return fail(kFailure, "waiting on '%s' failed%s (%d)", ref.label.c_str(),
              timeout != 0 ? " or timed out" : "", rc);
}

int cmd_sem_value(Invocation &inv) {
  const ItemRef &ref = inv.item;
  int32_t value = 0;
  const int rc = zrdb_semaGetValue(ref.id, &value);
  if (rc != 0)
    return fail(kFailure, "reading '%s' failed: %s (%d)", ref.label.c_str(), zrdb_strerror(rc), rc);
  std::printf("%d\n", value);
  return kOk;
}

int cmd_cbuf_write(Invocation &inv) {
  const ItemRef &ref = inv.item;
  const char *msg = inv.args[1];
  const char *data = inv.args.size() > 2 ? inv.args[2] : "";
  const auto msize = static_cast<int32_t>(std::strlen(msg));
  const auto dsize = static_cast<int32_t>(std::strlen(data));
  const int32_t room = std::max(ref.desc->elemSize - 12, 0);  // a slot's head takes 12 bytes
  if (msize + dsize > room) {
    return fail(kUsage, "the record is %d bytes; a slot of '%s' carries %d", msize + dsize,
                ref.label.c_str(), room);
  }
  const int rc = zrdb_cbufWrite(ref.id, msg, msize, data, dsize);
  return rc == 0 ? kOk
                 : fail(kFailure, "writing to '%s' failed: %s (%d)", ref.label.c_str(),
                        zrdb_strerror(rc), rc);
}

int cmd_cbuf_read(Invocation &inv) {
  const ItemRef &ref = inv.item;
  const auto room = static_cast<size_t>(ref.desc->elemSize);
  std::vector<char> msg(room + 1, '\0');
  std::vector<char> data(room + 1, '\0');
  int32_t msgLen = 0;
  int32_t dataLen = 0;
  const int rc = zrdb_cbufRead(ref.id, msg.data(), static_cast<int32_t>(room), data.data(),
                               static_cast<int32_t>(room), &msgLen, &dataLen);
  if (rc == -1) return fail(kFailure, "'%s' is empty", ref.label.c_str());
  if (rc != 0)
    return fail(kFailure, "reading '%s' failed: %s (%d)", ref.label.c_str(), zrdb_strerror(rc), rc);
  {
    const OneLine line;
    std::printf("message: %.*s\n", msgLen, msg.data());
  }
  const OneLine line;
  std::printf("data: %.*s\n", dataLen, data.data());
  return kOk;
}

int cmd_msg_write(Invocation &inv) {
  const ItemRef &ref = inv.item;
  int64_t from = 0;
  int64_t arg = 0;
  if (const int rc = parse_number(inv.args[1], {"sender id", 0, INT32_MAX}, from); rc != kOk)
    return rc;
  if (const int rc = parse_number(inv.args[2], {"argument", INT32_MIN, INT32_MAX}, arg); rc != kOk)
    return rc;
  const char *text = inv.args.size() > 3 ? inv.args[3] : "";
  const size_t len = std::strlen(text);
  if (len > ZRDB_MSGBUF_PAYLOAD) {
    return fail(kUsage, "the payload is %zu bytes; a message carries %d", len, ZRDB_MSGBUF_PAYLOAD);
  }
  char payload[ZRDB_MSGBUF_PAYLOAD] = {};  // a fixed block, not a C string
  std::copy_n(text, len, payload);
  // A message always carries its payload, also an empty one.
  const int rc = zrdb_msgbufWrite(ref.id, static_cast<int32_t>(from), static_cast<int32_t>(arg),
                                  ZRDB_MSGBUF_PAYLOAD, payload);
  return rc == 0 ? kOk
                 : fail(kFailure, "writing to '%s' failed: %s (%d)", ref.label.c_str(),
                        zrdb_strerror(rc), rc);
}

int cmd_msg_read(Invocation &inv) {
  const ItemRef &ref = inv.item;
  int32_t from = 0;
  int32_t arg = 0;
  int32_t msize = 0;
  char payload[ZRDB_MSGBUF_PAYLOAD + 1] = {};
  const int rc = zrdb_msgbufRead(ref.id, &from, &arg, &msize, payload);
  if (rc == -1) return fail(kFailure, "'%s' is empty", ref.label.c_str());
  if (rc != 0)
    return fail(kFailure, "reading '%s' failed: %s (%d)", ref.label.c_str(), zrdb_strerror(rc), rc);
  std::printf("from: %d\narg: %d\nsize: %d\n", from, arg, msize);
  const OneLine line;
  std::printf("payload: %s\n", payload);
  return kOk;
}

}  // namespace zrdbctl
