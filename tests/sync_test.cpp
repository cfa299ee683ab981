// Sync messages: what a mirrored access sends, byte for byte, as a peer
// listening on the loopback address receives it.
#include <arpa/inet.h>
#include <sys/socket.h>

#include "support/fixture.h"

namespace zrdb::test {

class SyncTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=4931, name=link, type=vlinkbuf, value=client:udp://127.0.0.1:47010\n"
           "id=4932, name=pushed, type=integer, size=4*8, syncto=4931:40\n"
           "id=4933, name=watched, type=integer, size=4*2, syncto=4931:41:1\n"
           "id=4934, name=plain, type=integer\n"
           "id=4935, name=lost, type=integer, syncto=4936:42\n"
           "id=4936, name=nowhere, type=rmtbuf, value=client:udp://127.0.0.1:47011\n";
  }
  void SetUp() override {
    DatabaseTest::SetUp();
    peer_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{AF_INET, htons(47010), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(peer_, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    const timeval wait{2, 0};
    setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ASSERT_EQ(attach({4931, 4932, 4933, 4934, 4935}), 0);  // 4936 stays closed
  }
  void TearDown() override {
    close(peer_);
    DatabaseTest::TearDown();
  }
  // The next datagram as hex bytes, or "none".
  std::string received() {
    unsigned char b[512];
    const ssize_t n = recv(peer_, b, sizeof b, MSG_DONTWAIT);
    std::string hex;
    for (ssize_t i = 0; i < n; ++i) {
      char two[4];
      snprintf(two, sizeof two, "%s%02x", i % 4 == 0 && i > 0 ? " " : "", b[i]);
      hex += two;
    }
    return n < 0 ? "none" : hex;
  }
  int peer_ = -1;
};

TEST_F(SyncTest, MirroredAccessesSendTheirMessagesByteForByte) {
  const uint32_t eight[2] = {0x11223344, 0x55667788};
  ASSERT_EQ(zrdb_setiValue(4932, 3, eight, 8), 0);
  //            txid     mode     remoteId idx      len      cs       payload
  EXPECT_EQ(received(), "00000000 00000000 00000028 00000003 00000008 00000000 44332211 88776655");
  uint32_t got[2] = {0xAABBCCDD, 0};
  ASSERT_EQ(zrdb_getValue(4933, got, 8), 0);  // a read sends the buffer as it was
  EXPECT_EQ(received(), "00000001 00000001 00000029 00000000 00000008 05000000 ddccbbaa 00000000");
  ASSERT_EQ(zrdb_setiValue(4933, 1, eight, 4), 0);  // mode 1 mirrors reads only
  ASSERT_EQ(zrdb_getiValue(4932, 1, got, 4), 0);    // mode 0 writes only
  EXPECT_EQ(received(), "none");

  // Without a record: the write mode matches, the read mode does not.
  EXPECT_EQ(zrdb_callSynctoMessageInternal(4934, 0, eight, 4, 0), 0);
  EXPECT_EQ(zrdb_callSynctoMessageInternal(4934, 0, eight, 4, 1), -1);
  // An access longer than a message holds is not mirrored, and spends no txid.
  EXPECT_EQ(run([&] { return zrdb_callSynctoMessageInternal(4932, 0, eight, 257, 0); }),
            "0: |WARN|NONAME|zrdb_callSynctoMessageInternal| Sync ZRDB Item (4932, 0) to remote "
            "(40) failed: length 257 is not 0..256!\n");
  EXPECT_EQ(received(), "none");
  // A failed send is logged; the access goes on, and the peer sees a gap.
  EXPECT_EQ(run([&] { return zrdb_setValue(4935, eight, 4); }),
            "0: |WARN|NONAME|zrdb_rmtbufWrite| ZRDID(4936) is not in resurce list!\n"
            "|WARN|NONAME|zrdb_callSynctoMessageInternal| Sync ZRDB Item (4935, 0) to remote "
            "(42) failed!\n");
  int32_t value = 0;
  EXPECT_EQ(zrdb_getValue(4935, &value, 4), 0);
  EXPECT_EQ(value, 0x11223344);
  ASSERT_EQ(zrdb_setiValue(4932, 0, eight, 0), 0);
  EXPECT_EQ(received().substr(0, 8), "00000003");

  // A print has no buffer: its 4 bytes are the previous message's. A
  // printing process opens a vlinkbuf client to send it.
  reattach(HBUSER_PRINT);
  got[0] = 0xAABBCCDD;
  ASSERT_EQ(zrdb_getiValue(4933, 0, got, 4), 0);
  EXPECT_EQ(received(), "00000004 00000001 00000029 00000000 00000004 14000000 ddccbbaa");
  capture_stdout([] { zrdb_printValue(4933, 0); });
  EXPECT_EQ(received(), "00000005 00000001 00000029 00000000 00000004 19000000 ddccbbaa");
}

}  // namespace zrdb::test
