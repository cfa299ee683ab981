// Remote buffer items and the network helpers: protocol texts, unicast
// over loopback, one server owner at a time, and multicast inside a network
// namespace of the test's own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "platform/net.h"
#include "support/fixture.h"

namespace zrdb::test {

TEST(NetUtilities, Ipv4TextsAndMulticastRange) {
  for (const char *text : {"1.2.3.4", "255.255.255.255", "001.002.003.004", "1.2.3.4  "})
    EXPECT_EQ(zrdb_validate_ip4(text), 1) << text;
  const char *const invalid[] = {"256.1.1.1",     "1.2.3.4x", "1.2.3.4.5", "1234.1.1.1",
                                 "0001.2.3.4",    "1.2.3",    "",          "1.2.3.4.5.6.7.8.9",
                                 "a.b.c.d.e.f.g", "-1.2.3.4", nullptr};
  for (const char *text : invalid) EXPECT_EQ(zrdb_validate_ip4(text), 0) << (text ? text : "null");
  const std::pair<const char *, int> groups[] = {
      {"224.0.0.1", 1}, {"239.255.255.255", 1}, {"223.255.255.255", 0}, {"240.0.0.1", 0}};
  for (const auto &[text, multicast] : groups)
    EXPECT_EQ(net_ip__is_multicast_ip(inet_addr(text)), multicast) << text;

  char out[20] = "unchanged";
  EXPECT_EQ(get_ip_from_inf("lo", out, sizeof out), 0);
  EXPECT_STREQ(out, "127.0.0.1");
  EXPECT_EQ(get_ip_from_inf("no-such-if", out, sizeof out), -1);
  EXPECT_STREQ(out, "127.0.0.1");
  // The loopback device's hardware address is all zero; so is a missing
  // interface's, and a name too long for the request names none.
  for (const char *name : {"lo", "no-such-if", "a-name-longer-than-15"}) {
    EXPECT_EQ(zrdb_get_mac_addr(name, out, sizeof out), 0);
    EXPECT_STREQ(out, "0:0:0:0:0:0");
    EXPECT_EQ(zrdb_get_mac_addr_v2(name, out, 12), 0);
    EXPECT_STREQ(out, "00:00:00:00");  // cut to the room given
  }
}

TEST(RmtbufProtocol, TextsParseAsWrittenOrNotAtAll) {
  struct Row {
    const char *text;
    int rc;
    const char *ip;
    int role, port;
    const char *nic;
  };
  // clang-format off
  const Row rows[] = {
      {"server:udp://192.168.1.1:7000", 0, "192.168.1.1", 0, 7000, ""},
      {"client:udp://239.1.2.3:5000 eth0", 0, "239.1.2.3", 1, 5000, "eth0"},
      {"server-side:udp://1.2.3.4:1:if/0:x", 0, "1.2.3.4", 0, 1, "if/0:x"},
      {"client:udp://1.2.3.4:70000", 0, "1.2.3.4", 1, 4464, ""},
      {"client:udp://1.2.3.4:http", 0, "1.2.3.4", 1, 0, ""},
      {"client:udp://1.2.3.4:9 0123456789012345678901234567890123", 0, "1.2.3.4", 1, 9,
       "012345678901234567890123456789"},
      {"server:tcp://1.2.3.4:7000", -1}, {"peer:udp://1.2.3.4:7000", -1},
      {"server:udp://1.2.3:7000", -1},   {"server:udp://1.2.3.4", -1},
      {"server:udp://", -1},             {"", -1}};
  // clang-format on
  for (const Row &r : rows) {
    ZRDB_RMTBUF_INFO info{};
    std::memset(info.nic, 'x', sizeof info.nic);
    ASSERT_EQ(parseProtocolInfo(r.text, &info), r.rc) << r.text;
    EXPECT_EQ(info.nic[0] == '\0' || r.rc == 0, true) << "nic not cleared: " << r.text;
    if (r.rc != 0) continue;
    EXPECT_EQ(std::make_tuple(std::string(info.ipAddr), info.proto & 3, info.port, info.nic),
              std::make_tuple(std::string(r.ip), r.role, r.port, std::string(r.nic)))
        << r.text;
  }
}

class RmtbufTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=4921, name=srv, type=rmtbuf, value=server:udp://127.0.0.1:47001\n"
           "id=4922, name=cli, type=rmtbuf, value=client:udp://127.0.0.1:47001\n"
           "id=4923, name=msrv, type=rmtbuf, value=server:udp://239.1.2.3:47002:lo\n"
           "id=4924, name=mcli, type=vlinkbuf, value=client:udp://239.1.2.3:47002:lo\n"
           "id=4925, name=wide, type=rmtbuf, value=server:udp://127.0.0.1:70000\n"
           "id=4926, name=nick, type=rmtbuf, value=client:udp://127.0.0.1:47003:averylongname0123\n"
           "id=4927, name=int, type=integer\n";
  }
  std::vector<int32_t> lockedItems() const override { return {4921, 4923, 4925}; }
  static ZRDB_RMTBUF_INFO &info(int32_t id) { return data_of<ZRDB_RMTBUF_INFO>(id); }
  static std::string read(int32_t id, int32_t room = 64) {
    std::vector<char> buf(size_t(room) + 1);
    int32_t len = -1;
    const int rc = zrdb_rmtbufRead(id, buf.data(), room, &len);
    return rc != 0 ? std::to_string(rc) : std::string(buf.data(), size_t(len));
  }
  // Reads until `want` arrives, for at most `tries` one-second waits.
  static bool await(int32_t id, const std::string &want, int tries = 5) {
    for (int i = 0; i < tries; ++i)
      if (read(id) == want) return true;
    return false;
  }
  static int socket_of(int32_t id) {
    ZRDB_RMTBUF_PARA p{};
    return zrdbrmtbuf_ctrl(&zrdbIndexHdr.dit[id], ZRDBRMTBUF_GETFD, intptr_t(&p)) == 0
               ? int(intptr_t(p.buf))
               : -1;
  }
};

// The server answers the last sender. Anyone may send to a client's port:
// it must neither take that datagram nor start sending to its sender.
TEST_F(RmtbufTest, ClientAndServerTalkAndTheClientHearsOnlyItsServer) {
  ASSERT_EQ(attach({4921, 4922, 4927}), 0);
  EXPECT_EQ(run([] { return zrdb_rmtbufWrite(4921, "early", 5); }),
            "-1: |WARN|NONAME|zrdbrmtbuf_ctrl| ZRDB(4921): no destination to send to yet!\n");
  ASSERT_EQ(zrdb_rmtbufWrite(4922, "ping", 4), 0);
  EXPECT_EQ(read(4921), "ping");
  sockaddr_in client{};
  socklen_t size = sizeof client;
  ASSERT_EQ(getsockname(socket_of(4922), reinterpret_cast<sockaddr *>(&client), &size), 0);
  const int stranger = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(sendto(stranger, "spoof", 5, 0, reinterpret_cast<sockaddr *>(&client), size), 5);
  ASSERT_EQ(zrdb_rmtbufWrite(4921, "pong", 4), 0);
  EXPECT_EQ(read(4922), "pong");
  EXPECT_EQ(read(4922), "-1");  // nothing more: after the one-second wait
  EXPECT_EQ(std::make_tuple(info(4921).rxCount, info(4921).txCount, info(4921).txErr),
            std::make_tuple(1u, 1u, 1u));
  EXPECT_EQ(info(4922).status & 0xF, 1);

  const std::string line = std::string("srv") + std::string(29, ' ') +
                           "=Remote Buffer\nUser  =  NONAME \nProtocol string   = "
                           "server:udp://127.0.0.1:47001\nStatus: 1\n         1         1\n";
  EXPECT_EQ(run([] { return zrdbrmtbuf_print(&zrdbIndexHdr.dit[4921], 0); }), "0: " + line);
  zrdbrmtbuf_iprint(&zrdbIndexHdr.dit[4921], 0, (7 << 16) | 3);
  zrdbrmtbuf_iprint(&zrdbIndexHdr.dit[4921], 0, 2);  // counts cleared, trace kept
  EXPECT_EQ(info(4921).txCount + info(4921).rxCount + info(4921).txErr, 0u);
  EXPECT_EQ(info(4921).trace, 7);
  ASSERT_EQ(zrdb_rmtbufWrite(4922, "again", 5), 0);
  EXPECT_EQ(read(4921), "again");
  char byte;
  EXPECT_LT(recv(stranger, &byte, 1, MSG_DONTWAIT), 0);
  close(stranger);

  EXPECT_TRUE(fcntl(socket_of(4922), F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(zrdb_rmtbufRead(4922, nullptr, 4, nullptr), -1);
  EXPECT_EQ(zrdb_rmtbufWrite(4927, "x", 1), -3);  // not a remote buffer
}

TEST_F(RmtbufTest, OneServerOwnerAndAKilledOneIsReplaced) {
  Child owner([&] { return attach({4921}) == 0; }, [] { return pause(), 0; });
  ASSERT_TRUE(owner.ready());
  // The statistics are the running owner's: neither a refused server nor
  // another client's open starts them anew.
  for (const int32_t id : {4921, 4922}) {
    info(id).txCount = 5;
    info(id).rxErr = 6;
    info(id).trace = 7;
  }
  EXPECT_EQ(run([&] { return attach({4921}); }),
            "-1: |ERR |NONAME|zrdbrmtbuf_open| ZRDB(4921): Get lock failed!\n"
            "|ERR |NONAME|zrdbrmtbuf_open| ZRDB(4921): /tmp/zrdbid4921.lock: held by another "
            "process\n");
  EXPECT_EQ(run_in_child([&] { return attach({4922}); }), 0);  // clients take no lock
  EXPECT_EQ(info(4921).status & 1, 1) << "the owner's open bit";
  for (const int32_t id : {4921, 4922})
    EXPECT_EQ(std::make_tuple(info(id).txCount, info(id).rxErr, info(id).trace),
              std::make_tuple(5u, 6u, 7))
        << id;
  kill(owner.pid(), SIGKILL);
  owner.wait();
  EXPECT_EQ(attach({4921}), 0);
}

TEST_F(RmtbufTest, TextsThatWouldBindOrSendElsewhereAreRefusedAtOpen) {
  const std::string refused =
      "-1: |ERR |NONAME|zrdbrmtbuf_open| ZRDB(%d): Remote buffer needs a port of 1..65535 and an "
      "interface name of at most 15 characters!\n";
  for (const int32_t id : {4925, 4926}) {
    std::string expected = refused;
    expected.replace(expected.find("%d"), 2, std::to_string(id));
    EXPECT_EQ(run([&] { return attach({id}); }), expected);
    EXPECT_EQ(info(id).status & 0xF, 0);
  }
  EXPECT_EQ(info(4925).port, 4464);  // as parsed at creation
}

// A daemon that closed its standard descriptors: the client's socket must
// not land on one of them, where it would pass for uninitialised (0) or
// carry stray output (1, 2) to the server.
TEST_F(RmtbufTest, AClientWorksInAProcessWithoutStandardDescriptors) {
  ASSERT_EQ(attach({4921}), 0);
  Child client([&] {
    close(0), close(1), close(2);
    if (attach({4922}) != 0) return 1;
    if (socket_of(4922) <= 2) return 2;
    if (zrdb_rmtbufWrite(4922, "ping", 4) != 0) return 3;
    return await(4922, "pong") ? 0 : 4;
  });
  EXPECT_TRUE(await(4921, "ping"));
  EXPECT_EQ(zrdb_rmtbufWrite(4921, "pong", 4), 0);
  EXPECT_EQ(client.wait(), 0);
}

// A datagram that finds no server comes back refused. That refusal is not
// about the next transfer: a read still waits for an answer, and the next
// datagram, sent once the server is up, goes out.
TEST_F(RmtbufTest, AClientCarriesOnAfterItsServerWasAway) {
  ASSERT_EQ(attach({4922}), 0);
  ASSERT_EQ(zrdb_rmtbufWrite(4922, "lost", 4), 0);
  EXPECT_EQ(run([] { return zrdb_rmtbufRead(4922, nullptr, 0, nullptr); }), "-1: ");
  EXPECT_EQ(info(4922).rxErr, 0u);
  ASSERT_EQ(zrdb_rmtbufWrite(4922, "lost", 4), 0);
  Child server([&] { return attach({4921}) == 0; }, [] { return await(4921, "found") ? 0 : 2; });
  ASSERT_TRUE(server.ready());
  EXPECT_EQ(zrdb_rmtbufWrite(4922, "found", 5), 0);
  EXPECT_EQ(server.wait(), 0);
}

TEST_F(RmtbufTest, ADatagramLongerThanTheBufferIsReportedNotCut) {
  ASSERT_EQ(attach({4921, 4922}), 0);
  const std::string fits(40, 'f'), longer(41, 'l');
  ASSERT_EQ(zrdb_rmtbufWrite(4922, fits.data(), 40), 0);
  EXPECT_EQ(read(4921, 40), fits);
  ASSERT_EQ(zrdb_rmtbufWrite(4922, longer.data(), 41), 0);
  EXPECT_EQ(run([] { return read(4921, 40) == "-1"; }),
            "1: |WARN|NONAME|zrdbrmtbuf_ctrl| ZRDB(4921): a datagram of 41 bytes did not fit the "
            "40 bytes given: truncated!\n");
  EXPECT_EQ(std::make_pair(info(4921).rxCount, info(4921).rxErr), std::make_pair(1u, 1u));
}

// Brings up the loopback device (of a new network namespace) with multicast.
bool loopback_up() {
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq req{};
  std::strcpy(req.ifr_name, "lo");
  req.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_MULTICAST;
  const bool up = sock >= 0 && ioctl(sock, SIOCSIFFLAGS, &req) == 0;
  close(sock);
  return up;
}

// A multicast client's open sets IP_MULTICAST_IF (and ends the process when
// it cannot); qemu-arm 7.2 does not emulate that option.
bool multicast_interface_emulated() {
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  const in_addr any{};
  const bool refused =
      setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &any, sizeof any) != 0 && errno == ENOPROTOOPT;
  close(sock);
  return !refused;
}

// In a network of the test's own: a client opened while the network is
// down reaches its server once it is up, and a multicast group.
TEST_F(RmtbufTest, PrivateNetworks) {
  if (geteuid() != 0) GTEST_SKIP() << "a network namespace needs root";
  expect_in_child([&] {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);  // its loopback device is down
    ASSERT_EQ(attach({4921, 4922}), 0);
    EXPECT_EQ(zrdb_rmtbufWrite(4922, "early", 5), -1);
    EXPECT_EQ(info(4922).txErr, 1u);
    ASSERT_TRUE(loopback_up());
    ASSERT_EQ(zrdb_rmtbufWrite(4922, "later", 5), 0);
    EXPECT_EQ(read(4921), "later");
  });
  if (under_qemu() && !multicast_interface_emulated())
    GTEST_SKIP() << "under qemu-arm: setsockopt(IP_MULTICAST_IF) is not emulated (ENOPROTOOPT)";
  expect_in_child([&] {
    ASSERT_TRUE(unshare(CLONE_NEWNET) == 0 && loopback_up());
    ASSERT_EQ(attach({4923, 4924}), 0);
    ASSERT_EQ(zrdb_rmtbufWrite(4924, "to-group", 8), 0);
    EXPECT_EQ(read(4923), "to-group");
  });
}

}  // namespace zrdb::test
