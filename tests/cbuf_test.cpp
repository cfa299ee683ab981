// Circular buffers: slot geometry, the fit limits of a record, overflow and
// underflow accounting, reads into short destinations, the statistics, the
// refusal of unusable geometries, and records moved between two processes.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

enum : int32_t { kGeom = 1, kFour = 2, kFit = 3, kGuard = 4, kStress = 5, kOdd = 6, kPlain = 7 };

class CbufTest : public DatabaseTest {
 protected:
  // The guard integer sits right behind cb_fit in the data segment.
  std::string items() const override {
    return "id=1, name=cb_geom, type=cbuf, size=64*32\n"
           "id=2, name=cb_four, type=cbuf, size=16*4\n"
           "id=3, name=cb_fit, type=cbuf, size=24*4\n"
           "id=4, name=guard, type=integer, value=0x5a5a5a5a\n"
           "id=5, name=cb_stress, type=cbuf, size=40*8\n"
           "id=6, name=cb_odd, type=cbuf, size=13*3\n"
           "id=7, name=plain, type=integer, value=1\n";
  }
  void SetUp() override {
    DatabaseTest::SetUp();
    // The whole list gives d_ctrl only; the id list adds d_print.
    const int32_t list[] = {kGeom, kFour, kFit, kGuard, kStress, kOdd, -1};
    reattach(HBUSER_CLIENT, list);
  }

  static unsigned char *area(int32_t id) {
    ZRDB_BLK_INFO info{};
    EXPECT_EQ(zrdb_getUserBlkInfo(id, &info), 0);
    return static_cast<unsigned char *>(info.addr);
  }
  static ZRDB_CBUF_HDR *header(int32_t id) { return reinterpret_cast<ZRDB_CBUF_HDR *>(area(id)); }
  static ZRDB_CBUF_SLOT slot_head(int32_t id, size_t offset) {
    ZRDB_CBUF_SLOT head{};
    std::memcpy(&head, area(id) + offset, sizeof head);
    return head;
  }
  static uint32_t guard() {
    uint32_t v = 0;
    EXPECT_EQ(zrdb_getValue(kGuard, &v, 4), 0);
    return v;
  }
  static std::string print(int32_t id, int32_t mode) {
    return capture_stdout([&] { EXPECT_EQ(zrdb_printValue(id, mode), 0); });
  }
};

// A record as the tests read it back.
struct Record {
  int rc = 0;
  std::string msg;
  std::string data;
  int32_t msgLen = -7;
  int32_t dataLen = -7;
};

Record read_record(int32_t id, int32_t msgCap = 64, int32_t dataCap = 64, bool withMsg = true,
                   bool withData = true) {
  char msg[64] = {};
  char data[64] = {};
  Record r;
  r.rc = zrdb_cbufRead(id, withMsg ? msg : nullptr, msgCap, withData ? data : nullptr, dataCap,
                       &r.msgLen, &r.dataLen);
  if (r.rc == 0) {
    r.msg.assign(msg, static_cast<size_t>(r.msgLen));
    r.data.assign(data, static_cast<size_t>(r.dataLen));
  }
  return r;
}

TEST_F(CbufTest, SlotsFollowTheTwentyByteHeaderEBytesApart) {
  ZRDB_BLK_INFO info{};
  ASSERT_EQ(zrdb_getUserBlkInfo(kGeom, &info), 0);
  EXPECT_EQ(info.size, 2068);
  // Move both indices to 1 so that 31 writes use slots 1..31, the last one
  // at byte 2004.
  ASSERT_EQ(zrdb_cbufWrite(kGeom, "x", 1, "", 0), 0);
  ASSERT_EQ(read_record(kGeom).rc, 0);
  std::vector<std::string> data;
  for (uint32_t i = 1; i <= 31; ++i) {
    const std::string d(i, static_cast<char>('a' + i % 26));
    ASSERT_EQ(zrdb_cbufWrite(kGeom, &i, 4, d.data(), static_cast<int32_t>(d.size())), 0) << i;
    data.push_back(d);
  }
  for (uint32_t i = 1; i <= 31; ++i) {
    const size_t offset = 20 + 64 * i;
    const ZRDB_CBUF_SLOT head = slot_head(kGeom, offset);
    EXPECT_EQ(head.msgLen, 4u) << i;
    EXPECT_EQ(head.dataLen, i) << i;
    uint32_t seq = 0;
    std::memcpy(&seq, area(kGeom) + offset + 8, 4);
    EXPECT_EQ(seq, i);
    EXPECT_EQ(std::memcmp(area(kGeom) + offset + 12, data[i - 1].data(), i), 0) << i;
  }
  EXPECT_EQ(header(kGeom)->wr, 0);
  EXPECT_EQ(header(kGeom)->rd, 1);
  for (uint32_t i = 1; i <= 31; ++i) {
    const Record r = read_record(kGeom);
    ASSERT_EQ(r.rc, 0) << i;
    EXPECT_EQ(r.msg, std::string(reinterpret_cast<const char *>(&i), 4)) << i;
    EXPECT_EQ(r.data, data[i - 1]) << i;
  }
  // The two parts of one record carry at most E - 12 = 52 bytes together.
  const std::string big(53, 'q');
  EXPECT_EQ(zrdb_cbufWrite(kGeom, big.data(), 52, "", 0), 0);
  EXPECT_EQ(zrdb_cbufWrite(kGeom, big.data(), 40, big.data(), 12), 0);
  capture_stdout([&] {
    EXPECT_EQ(zrdb_cbufWrite(kGeom, big.data(), 40, big.data(), 13), -1);
    EXPECT_EQ(zrdb_cbufWrite(kGeom, big.data(), 53, big.data(), 0), -1);
  });
  EXPECT_EQ(read_record(kGeom).msg, big.substr(0, 52));
  const Record r = read_record(kGeom);
  EXPECT_EQ(r.msg, big.substr(0, 40));
  EXPECT_EQ(r.data, big.substr(0, 12));
  EXPECT_EQ(read_record(kGeom).rc, -1);
}

TEST_F(CbufTest, RecordsFitWhenBothPartsTogetherLeaveTheLastFourBytes) {
  // E = 24: a record carries at most 12 bytes.
  const char bytes[32] = "abcdefghijklmnopqrstuvwxyz01234";
  struct Case {
    const char *msg;
    int32_t msize;
    const char *data;
    int32_t dsize;
    const char *warning;  // null: accepted
  };
  const Case cases[] = {
      {bytes, 12, bytes, 0, nullptr},
      {bytes, 0, bytes, 12, nullptr},
      {bytes, 5, bytes, 7, nullptr},
      {bytes, 0, bytes, 0, nullptr},
      {bytes, 13, bytes, 0, "Null buffer or msize is too big(13)"},
      {bytes, -1, bytes, 0, "Null buffer or msize is too big(-1)"},
      {nullptr, 0, bytes, 0, "Null buffer or msize is too big(0)"},
      {bytes, 5, bytes, 8, "Null buffer or dsize is too big(8)"},
      {bytes, 0, bytes, -1, "Null buffer or dsize is too big(-1)"},
      {bytes, 0, nullptr, 0, "Null buffer or dsize is too big(0)"},
      {bytes, 4, nullptr, 2, "Null buffer or dsize is too big(2)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.msize) + "/" + std::to_string(c.dsize));
    const int32_t wrBefore = header(kFit)->wr;
    int rc = 0;
    const std::string out =
        capture_stdout([&] { rc = zrdb_cbufWrite(kFit, c.msg, c.msize, c.data, c.dsize); });
    if (c.warning == nullptr) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(out, "");
      const Record r = read_record(kFit);
      ASSERT_EQ(r.rc, 0);
      EXPECT_EQ(r.msg, std::string(bytes, static_cast<size_t>(c.msize)));
      EXPECT_EQ(r.data, std::string(bytes, static_cast<size_t>(c.dsize)));
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(out, std::string("|WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[3]:") + c.warning + "\n");
      EXPECT_EQ(header(kFit)->wr, wrBefore);  // nothing published
      EXPECT_EQ(read_record(kFit).rc, -1);
      // The refused part's length is cleared in the unpublished slot.
      const ZRDB_CBUF_SLOT head = slot_head(kFit, 20 + 24 * static_cast<size_t>(wrBefore));
      if (std::strstr(c.warning, "msize") != nullptr) {
        EXPECT_EQ(head.msgLen, 0u);
      } else {
        EXPECT_EQ(head.msgLen, static_cast<uint32_t>(c.msize));
        EXPECT_EQ(head.dataLen, 0u);
      }
    }
    EXPECT_EQ(guard(), 0x5a5a5a5au);
  }
}

TEST_F(CbufTest, FourSlotsHoldThreeRecordsAndAFourthWriteDropsThem) {
  ZRDB_CBUF_HDR *hdr = header(kFour);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(zrdb_cbufWrite(kFour, "m", 1, "d", 1), 0);
  EXPECT_EQ(hdr->wr, 3);
  EXPECT_EQ(hdr->rd, 0);
  EXPECT_EQ(hdr->mbl, 3u);
  EXPECT_EQ(hdr->of, 1u);
  EXPECT_EQ(print(kFour, 0),
            "cb_four                         = Circular Buffer, size(16*4 Bytes), "
            "OF(1),UF(0),MBL(3)\n");
  // The fourth write moves wr onto rd: the buffer reads as empty.
  ASSERT_EQ(zrdb_cbufWrite(kFour, "m", 1, "d", 1), 0);
  EXPECT_EQ(hdr->wr, 0);
  EXPECT_EQ(read_record(kFour).rc, -1);
  EXPECT_EQ(hdr->uf, 1u);
  EXPECT_EQ(print(kFour, 1),
            "0002: cbuf      : cb_four                         = Circular Buffer, size(16*4 "
            "Bytes), OF(1),UF(1),MBL(3)\n");
}

TEST_F(CbufTest, ShortOrMissingDestinationSkipsThatPartButConsumesTheRecord) {
  struct Case {
    int32_t msgCap;
    int32_t dataCap;
    bool withMsg;
    bool withData;
    std::string msg;   // delivered
    std::string data;  // delivered
    std::string out;
  };
  const std::string tag = "|WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[1]:";
  const Case cases[] = {
      {3, 5, true, true, "abc", "defgh", ""},  // exact capacities
      {2, 5, true, true, "", "defgh", tag + "Null buffer or msize is too small(2)\n"},
      {3, 4, true, true, "abc", "", tag + "Null buffer or or dsize is too small(4)\n"},
      {3, 5, false, true, "", "defgh", tag + "Null buffer or msize is too small(3)\n"},
      {3, 5, true, false, "abc", "", tag + "Null buffer or or dsize is too small(5)\n"},
      {0, 0, false, false, "", "",
       tag + "Null buffer or msize is too small(0)\n" + tag +
           "Null buffer or or dsize is too small(0)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.out);
    ASSERT_EQ(zrdb_cbufWrite(kGeom, "abc", 3, "defgh", 5), 0);
    Record r;
    const std::string out =
        capture_stdout([&] { r = read_record(kGeom, c.msgCap, c.dataCap, c.withMsg, c.withData); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(r.msgLen, static_cast<int32_t>(c.msg.size()));
    EXPECT_EQ(r.dataLen, static_cast<int32_t>(c.data.size()));
    EXPECT_EQ(r.msg, c.msg);
    EXPECT_EQ(r.data, c.data);
    EXPECT_EQ(read_record(kGeom).rc, -1);  // consumed
  }
}

TEST_F(CbufTest, EmptyReadCountsAnUnderflowAndLeavesTheOutputs) {
  for (uint32_t n = 1; n <= 3; ++n) {
    int32_t msgLen = 99;
    int32_t dataLen = 98;
    char buf[8];
    std::string out = capture_stdout(
        [&] { EXPECT_EQ(zrdb_cbufRead(kFour, buf, 8, buf, 8, &msgLen, &dataLen), -1); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(msgLen, 99);
    EXPECT_EQ(dataLen, 98);
    EXPECT_EQ(header(kFour)->uf, n);
  }
}

TEST_F(CbufTest, ModeTwoResetsTheStatisticsButKeepsTheRecords) {
  for (char c = '1'; c <= '3'; ++c) ASSERT_EQ(zrdb_cbufWrite(kFour, &c, 1, "", 0), 0);
  EXPECT_EQ(read_record(kGeom).rc, -1);  // another buffer's statistics stay apart
  EXPECT_EQ(print(kFour, 2), "");
  const ZRDB_CBUF_HDR *hdr = header(kFour);
  EXPECT_EQ(hdr->of, 0u);
  EXPECT_EQ(hdr->uf, 0u);
  EXPECT_EQ(hdr->mbl, 0u);
  EXPECT_EQ(hdr->wr, 3);
  EXPECT_EQ(header(kGeom)->uf, 1u);
  for (const char *expected : {"1", "2", "3"}) EXPECT_EQ(read_record(kFour).msg, expected);
  EXPECT_EQ(print(kFour, 0),
            "cb_four                         = Circular Buffer, size(16*4 Bytes), "
            "OF(0),UF(0),MBL(0)\n");
}

TEST_F(CbufTest, SlotsOfAnOddSizeAreUnalignedAndStillWork) {
  // E = 13 puts slot heads at 20, 33, 46; a record carries one byte.
  for (char c = 'a'; c <= 'k'; ++c) {
    ASSERT_EQ(zrdb_cbufWrite(kOdd, &c, 1, "", 0), 0) << c;
    const Record r = read_record(kOdd);
    ASSERT_EQ(r.rc, 0) << c;
    EXPECT_EQ(r.msg, std::string(1, c));
  }
  const char d = 'z';
  ASSERT_EQ(zrdb_cbufWrite(kOdd, "", 0, &d, 1), 0);
  EXPECT_EQ(read_record(kOdd).data, "z");
}

TEST_F(CbufTest, SymbolicLinkReachesTheLinkedBuffer) {
  zrdb_Cleanup();
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  const std::string app = dir_.write("app.cfg", "name = chan, size = 4*2, symblink = 1(0):3(0)\n");
  ASSERT_EQ(zrdb_appInit(app.c_str(), nullptr, HBUSER_CLIENT), 0);
  ASSERT_EQ(zrdb_cbufWrite(10000, "via", 3, "link", 4), 0);
  const Record r = read_record(kGeom);
  EXPECT_EQ(r.msg, "via");
  EXPECT_EQ(r.data, "link");
  ASSERT_EQ(zrdb_cbufWrite(kGeom, "back", 4, "", 0), 0);
  EXPECT_EQ(read_record(10000).msg, "back");
  // A link this process did not define resolves to no item.
  EXPECT_EQ(zrdb_cbufWrite(10001, "x", 1, "", 0), -1);
  EXPECT_EQ(read_record(10001).rc, -1);
}

TEST_F(CbufTest, UnboundOrOutOfRangeIdIsRefused) {
  const int32_t list[] = {kGuard, -1};
  reattach(HBUSER_CLIENT, list);
  int32_t msgLen = 99;
  int32_t dataLen = 98;
  char buf[8];
  std::string out = capture_stdout([&] {
    EXPECT_EQ(zrdb_cbufWrite(kFour, "m", 1, "d", 1), -3);
    EXPECT_EQ(zrdb_cbufRead(kFour, buf, 8, buf, 8, &msgLen, &dataLen), -3);
  });
  EXPECT_EQ(out,
            "|WARN|NONAME|zrdb_cbufWrite| ZRDID(2) is not in resurce list!\n"
            "|WARN|NONAME|zrdb_cbufRead| ZRDID(2) is not in resurce list!\n");
  EXPECT_EQ(msgLen, 99);
  EXPECT_EQ(dataLen, 98);
  out = capture_stdout([&] {
    for (const int32_t id : {-1, 5000, 10100}) {
      EXPECT_EQ(zrdb_cbufWrite(id, "m", 1, "d", 1), -1) << id;
      EXPECT_EQ(zrdb_cbufRead(id, buf, 8, buf, 8, &msgLen, &dataLen), -1) << id;
    }
  });
  EXPECT_EQ(out, "");
}

TEST_F(CbufTest, UnknownOperationIsRefused) {
  ZRDB_DIT *dit = &zrdbIndexHdr.dit[kFour];
  ZRDB_CBUF_PARA p{};
  int rc = 0;
  const std::string out =
      capture_stdout([&] { rc = dit->op->d_ctrl(dit, 5, reinterpret_cast<intptr_t>(&p)); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "|WARN|NONAME|zrdbcbuf_ctrl| CBUF_CTRL: invalid operation(5)\n");
}

TEST_F(CbufTest, IndexOutsideTheBufferIsRefusedInsteadOfFollowed) {
  ZRDB_CBUF_HDR *hdr = header(kFit);
  hdr->wr = 4;
  std::string out = capture_stdout([] { EXPECT_EQ(zrdb_cbufWrite(kFit, "m", 1, "d", 1), -1); });
  EXPECT_EQ(out, "|WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[3]:corrupt buffer index(4)\n");
  hdr->wr = 1;
  hdr->rd = -3;
  out = capture_stdout([] { EXPECT_EQ(read_record(kFit).rc, -1); });
  EXPECT_EQ(out, "|WARN|NONAME|zrdbcbuf_ctrl| ZRDBDID[3]:corrupt buffer index(-3)\n");
  EXPECT_EQ(guard(), 0x5a5a5a5au);
}

// ---------------------------------------------------------------------------
// Many records through a small buffer, writer and reader in two processes.

// Record seq: a message of 4 + seq % 5 bytes starting with seq, and a data
// part of seq % 21 bytes; together at most 28 = E - 12 bytes.
struct StressRecord {
  unsigned char msg[8];
  int32_t msize;
  unsigned char data[20];
  int32_t dsize;
};

StressRecord stress_record(uint32_t seq) {
  StressRecord r{};
  r.msize = static_cast<int32_t>(4 + seq % 5);
  std::memcpy(r.msg, &seq, 4);
  for (int32_t j = 4; j < r.msize; ++j) r.msg[j] = static_cast<unsigned char>(seq >> (j * 3));
  r.dsize = static_cast<int32_t>(seq % 21);
  for (int32_t j = 0; j < r.dsize; ++j) r.data[j] = static_cast<unsigned char>(seq * 31 + j);
  return r;
}

TEST_F(CbufTest, WriterAndReaderProcessesMoveEveryRecordInOrder) {
  constexpr uint32_t kRecords = 100000;
  constexpr int32_t kSlots = 8;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const auto late = [&] { return std::chrono::steady_clock::now() > deadline; };
  ZRDB_CBUF_HDR *hdr = header(kStress);

  std::fflush(stdout);  // the child must not print the parent's buffer again
  const pid_t writer = fork();
  if (writer == 0) {
    // The buffer overwrites by design: never write while it holds N - 1.
    for (uint32_t seq = 0; seq < kRecords; ++seq) {
      for (;;) {
        const int32_t rd = std::atomic_ref<int32_t>(hdr->rd).load(std::memory_order_acquire);
        const int32_t wr = std::atomic_ref<int32_t>(hdr->wr).load(std::memory_order_relaxed);
        if ((wr + kSlots - rd) % kSlots < kSlots - 1) break;
        if (late()) _exit(2);
        sched_yield();
      }
      const StressRecord r = stress_record(seq);
      if (zrdb_cbufWrite(kStress, r.msg, r.msize, r.data, r.dsize) != 0) _exit(1);
    }
    _exit(0);
  }
  ASSERT_GT(writer, 0);

  uint32_t seq = 0;
  uint32_t mismatches = 0;
  while (seq < kRecords && !late()) {
    unsigned char msg[16];
    unsigned char data[32];
    int32_t msgLen = -1;
    int32_t dataLen = -1;
    if (zrdb_cbufRead(kStress, msg, sizeof msg, data, sizeof data, &msgLen, &dataLen) != 0) {
      sched_yield();
      continue;
    }
    const StressRecord want = stress_record(seq);
    const bool same = msgLen == want.msize && dataLen == want.dsize &&
                      std::memcmp(msg, want.msg, static_cast<size_t>(msgLen)) == 0 &&
                      std::memcmp(data, want.data, static_cast<size_t>(dataLen)) == 0;
    if (!same && ++mismatches <= 5) {
      uint32_t got = 0;
      std::memcpy(&got, msg, 4);
      ADD_FAILURE() << "record " << seq << ": got seq " << got << ", lengths " << msgLen << "/"
                    << dataLen;
    }
    ++seq;
  }
  EXPECT_EQ(seq, kRecords) << "reader gave up";
  EXPECT_EQ(mismatches, 0u);
  if (seq < kRecords) kill(writer, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(read_record(kStress).rc, -1);
  EXPECT_EQ(hdr->mbl, static_cast<uint32_t>(kSlots - 1));
}

// ---------------------------------------------------------------------------
// Geometries that cannot hold a record.

TEST(CbufGeometryTest, SlotsBelowTwelveBytesAreRefusedAtCreationAndUse) {
  struct Case {
    const char *line;
    const char *size;
  };
  const Case cases[] = {
      {"id=2, name=tiny, type=cbuf, size=8*4\n", "8*4"},
      {"id=2, name=tiny, type=cbuf, size=11*1\n", "11*1"},
      {"id=2, name=tiny, type=cbuf\n", "0*0"},  // the bare header
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.size);
    remove_ipc(kTestDataKey);
    TempDir dir;
    // The guard is filled before the buffer fails the allocation.
    const std::string path =
        dir.write("db.cfg", system_section() + "id=1, name=guard, type=integer, value=7\n" +
                                c.line + "id=3, name=after, type=integer\n");
    ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
    int rc = 0;
    std::string out = capture_stdout([&] { rc = zrdb_Init(HBUSER_ALLOCATE, nullptr); });
    EXPECT_EQ(rc, -1);
    const std::string refused = std::string("ZRDBDID[2]:circular buffer size(") + c.size +
                                ") refused, slots need at least 12 bytes\n";
    EXPECT_EQ(out, "|WARN|NONAME|zrdbcbuf_create| " + refused);

    // Another process may still attach the segment and bind the buffer.
    zrdb_Cleanup();
    ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
    ASSERT_EQ(zrdb_Init(HBUSER_CLIENT, nullptr), 0);
    const std::string big(100, '\xab');
    char buf[128];
    int32_t msgLen = 99;
    int32_t dataLen = 99;
    out = capture_stdout([&] {
      EXPECT_EQ(zrdb_cbufWrite(2, big.data(), 100, big.data(), 20), -1);
      EXPECT_EQ(zrdb_cbufRead(2, buf, 128, buf, 128, &msgLen, &dataLen), -1);
    });
    EXPECT_EQ(out,
              "|WARN|NONAME|zrdbcbuf_ctrl| " + refused + "|WARN|NONAME|zrdbcbuf_ctrl| " + refused);
    EXPECT_EQ(msgLen, 99);
    uint32_t v = 1;
    EXPECT_EQ(zrdb_getValue(3, &v, 4), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(zrdb_getValue(1, &v, 4), 0);
    EXPECT_EQ(v, 7u);
    zrdb_Cleanup();
    remove_ipc(kTestDataKey);
  }
}

}  // namespace
}  // namespace zrdb::test
