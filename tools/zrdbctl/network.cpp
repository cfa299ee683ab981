// Remote buffer items: udp-send and udp-recv. The item arrives resolved,
// checked, of type rmtbuf or vlinkbuf and bound through an id list, which
// opens its socket as it would in a client process: a server item is then
// this process's until it exits (the item lock), a client item sends to the
// address of its text.
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "text.h"
#include "zrdb_net.h"

namespace zrdbctl {
namespace {

// The largest payload of one IPv4 UDP datagram.
constexpr size_t kMaxDatagram = 65507;
constexpr int64_t kDefaultWait = 5 * kSeconds;
constexpr int64_t kMaxWait = 3600 * kSeconds;

bool reads_as_text(const std::vector<unsigned char> &bytes) {
  for (const unsigned char c : bytes) {
    if ((c < 0x20 || c > 0x7e) && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

// As text when it reads as text, else as hex, sixteen bytes a line (the
// form of 'get' on a user block).
void show_datagram(const std::vector<unsigned char> &bytes) {
  if (reads_as_text(bytes)) {
    const OneLine line;
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (bytes.empty() || bytes.back() != '\n') std::fputc('\n', stdout);
    return;
  }
  for (size_t at = 0; at < bytes.size(); at += 16) {
    std::printf("%04zx:", at);
    for (size_t i = at; i < at + 16 && i < bytes.size(); ++i) std::printf(" %02x", bytes[i]);
    std::printf("\n");
  }
}

}  // namespace

int cmd_udp_send(Invocation &inv) {
  const ItemRef &ref = inv.item;
  const char *text = inv.args[1];
  const size_t len = std::strlen(text);
  if (len > kMaxDatagram) {
    return fail(kUsage, "the text is %zu bytes; a UDP datagram carries %zu", len, kMaxDatagram);
  }
  const int rc = zrdb_rmtbufWrite(ref.id, text, static_cast<int32_t>(len));
  // A server item fails here too: it answers whoever sent to it last, and
  // in a new process nobody has.
  if (rc == 0) return kOk;
  return fail(kFailure, "sending through '%s' failed (%d); the lines above say why",
              ref.label.c_str(), rc);
}

int cmd_udp_recv(Invocation &inv) {
  const ItemRef &ref = inv.item;
  int64_t waitUs = kDefaultWait;
  if (inv.args.size() > 1) {
    if (const int rc =
            parse_duration(inv.args[1], {"wait", kSeconds, kMilliseconds, kMaxWait}, waitUs);
        rc != kOk)
      return rc;
  }
  // The socket is waited on here: a read of the library waits up to a
  // whole second, longer than a shorter wait allows.
  ZRDB_DIT &dit = zrdb_getInfoHdr()->dit[ref.id];
  ZRDB_RMTBUF_PARA para{};
  if (dit.op == nullptr || dit.op->d_ctrl == nullptr ||
      dit.op->d_ctrl(&dit, ZRDBRMTBUF_GETFD, reinterpret_cast<intptr_t>(&para)) != 0 ||
      reinterpret_cast<intptr_t>(para.buf) < 0) {
    return fail(kFailure, "'%s' has no socket open in this process", ref.label.c_str());
  }
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(para.buf));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(waitUs);
  std::vector<unsigned char> buf(kMaxDatagram + 1);
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;  // or interrupted
    int32_t len = 0;
    // -1: the datagram was refused (not from a client's server) or the
    // receive failed, which the library has logged and counted.
    const int rc = zrdb_rmtbufRead(ref.id, buf.data(), static_cast<int32_t>(buf.size()), &len);
    if (rc == -1) continue;
    if (rc != 0)
      return fail(kFailure, "receiving on '%s' failed: %s (%d)", ref.label.c_str(),
                  zrdb_strerror(rc), rc);
    buf.resize(static_cast<size_t>(len));
    show_datagram(buf);
    return kOk;
  }
  return fail(kFailure, "nothing arrived on '%s' within %s", ref.label.c_str(),
              duration_text(waitUs).c_str());
}

}  // namespace zrdbctl
