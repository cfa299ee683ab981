// Remote buffer items: udp-send and udp-recv. The item arrives resolved,
// checked, of type rmtbuf or vlinkbuf and bound through an id list, which
// opens its socket as it would in a client process: a server item is then
// this process's until it exits (the item lock), a client item sends to the
// address of its text.
#include <cstdio>
#include <cstring>
#include <vector>

#include "common.h"
#include "text.h"

namespace zrdbctl {
namespace {

// The largest payload of one IPv4 UDP datagram.
constexpr size_t kMaxDatagram = 65507;
constexpr int64_t kDefaultWaitSeconds = 5;
constexpr int64_t kMaxWaitSeconds = 3600;

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
  int64_t seconds = kDefaultWaitSeconds;
  if (inv.args.size() > 1) {
    if (const int rc = parse_number(inv.args[1], {"seconds", 1, kMaxWaitSeconds}, seconds);
        rc != kOk)
      return rc;
  }
  std::vector<unsigned char> buf(kMaxDatagram + 1);
  // Each read waits up to a second; -1 is that wait running out (or a failed
  // receive, which the library has logged and counted).
  for (int64_t waited = 0; waited < seconds; ++waited) {
    int32_t len = 0;
    const int rc = zrdb_rmtbufRead(ref.id, buf.data(), static_cast<int32_t>(buf.size()), &len);
    if (rc == -1) continue;
    if (rc != 0) return fail(kFailure, "receiving on '%s' failed (%d)", ref.label.c_str(), rc);
    buf.resize(static_cast<size_t>(len));
    show_datagram(buf);
    return kOk;
  }
  return fail(kFailure, "nothing arrived on '%s' within %lld s", ref.label.c_str(),
              static_cast<long long>(seconds));
}

}  // namespace zrdbctl
