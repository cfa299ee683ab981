// Remote buffers beside bare UDP sockets, in the same run:
//   rmtbuf_rtt   one round trip over the loopback address: a client item
//                sends a datagram (zrdb_rmtbufWrite), the server item
//                receives it (zrdb_rmtbufRead) and answers the sender, the
//                client receives the answer; against two bare UDP sockets
//                doing the same sendto / recvfrom. 64-byte and 1 KiB
//                datagrams; one thread, so CPU time is the whole cost.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_db.h"
#include "zrdb.h"

namespace zrdb::bench {
namespace {

// Ids and ports of their own: opening the server takes /tmp/zrdbid<id>.lock,
// and /tmp and the network are not private to the benchmark's namespace.
constexpr int32_t kServerId = 4985;
constexpr int32_t kClientId = 4986;
constexpr int kRawPort = 47602;

const DatabaseDefinition kDatabase{
    "id=4985, name=bench_rsrv, type=rmtbuf, value=server:udp://127.0.0.1:47600\n"
    "id=4986, name=bench_rcli, type=rmtbuf, value=client:udp://127.0.0.1:47600\n",
    // Only an attach through an id list opens them.
    "id=4985, name=bench_rsrv\n"
    "id=4986, name=bench_rcli\n"};

bool round_trip_zrdb(std::vector<char> &out, std::vector<char> &in) {
  const auto n = static_cast<int32_t>(out.size());
  int32_t len = 0;
  return zrdb_rmtbufWrite(kClientId, out.data(), n) == 0 &&
         zrdb_rmtbufRead(kServerId, in.data(), n, &len) == 0 && len == n &&
         zrdb_rmtbufWrite(kServerId, in.data(), n) == 0 &&
         zrdb_rmtbufRead(kClientId, in.data(), n, &len) == 0 && len == n;
}

void rmtbuf_rtt_zrdb(benchmark::State &state) {
  if (std::string err = use_database(kDatabase); !err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  std::vector<char> out(static_cast<size_t>(state.range(0)), 'z'), in(out.size());
  if (!round_trip_zrdb(out, in) || in != out) {
    state.SkipWithError("the remote buffers did not carry the datagram back");
    return;
  }
  for (auto _ : state) {
    if (!round_trip_zrdb(out, in)) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

// Two bare sockets: the client connected to nothing, sending to the server's
// port; the server answering whoever sent.
struct RawPair {
  int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  RawPair() {
    to.sin_family = AF_INET;
    to.sin_port = htons(kRawPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~RawPair() {
    close(server);
    close(client);
  }
  bool ready() const {
    return server >= 0 && client >= 0 &&
           bind(server, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
  }
  bool round_trip(std::vector<char> &out, std::vector<char> &in) const {
    const size_t n = out.size();
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    return sendto(client, out.data(), n, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) ==
               ssize_t(n) &&
           recvfrom(server, in.data(), n, 0, reinterpret_cast<sockaddr *>(&from), &fromLen) ==
               ssize_t(n) &&
           sendto(server, in.data(), n, 0, reinterpret_cast<const sockaddr *>(&from), fromLen) ==
               ssize_t(n) &&
           recvfrom(client, in.data(), n, 0, nullptr, nullptr) == ssize_t(n);
  }
};

void rmtbuf_rtt_raw(benchmark::State &state) {
  RawPair raw;
  std::vector<char> out(static_cast<size_t>(state.range(0)), 'r'), in(out.size());
  if (!raw.ready() || !raw.round_trip(out, in) || in != out) {
    state.SkipWithError("bare UDP sockets on the loopback address failed");
    return;
  }
  for (auto _ : state) {
    if (!raw.round_trip(out, in)) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

[[maybe_unused]] const bool kRegistered = [] {
  for (const int size : {64, 1024}) {
    benchmark::RegisterBenchmark("rmtbuf_rtt/zrdb", rmtbuf_rtt_zrdb)->Arg(size);
    benchmark::RegisterBenchmark("rmtbuf_rtt/raw", rmtbuf_rtt_raw)->Arg(size);
  }
  return true;
}();

}  // namespace
}  // namespace zrdb::bench
