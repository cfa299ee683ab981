// Damaged records: each descriptor field of a real database is set to a
// hostile value, then every access function is run against the item in a
// child process with a time limit. A value access still reaches exactly the
// bytes it reached before (it uses the record as checked at bind); every
// other function refuses the item with ZRDB_ERR_CORRUPT, and so do the
// check and the next attach; no call may crash or hang; a damaged index
// must still be removable.
#include <sys/shm.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

class CorruptionTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=1, name=num, type=integer, size=4*4, value=7\n"
           "id=2, name=text, type=string, size=16*2, value=ab\n"
           "id=3, name=blk, type=user, size=32\n"
           "id=4, name=sem, type=semap, value=/zrdbt_cor:1\n"
           "id=5, name=cb, type=cbuf, size=32*4\n"
           "id=6, name=mb, type=msgbuf, size=76*4\n"
           "id=7, name=caller, type=integer, realtime=6*4*4\n";
  }
  std::vector<std::string> semaphores() const override { return {"/zrdbt_cor"}; }

  static unsigned char *data() { return static_cast<unsigned char *>(zrdbIndexHdr.dataBase); }
  static size_t data_size() { return zrdbIndexHdr.sysHdr->size; }
};

// The value accesses of an item: their results, then the bytes read.
std::pair<std::vector<int>, std::string> touch_values(int32_t id) {
  unsigned char pattern[256];
  for (size_t i = 0; i < sizeof pattern; ++i) pattern[i] = static_cast<unsigned char>(i * 7 + 1);
  char got[2][256] = {};
  std::vector<int> rc = {
      zrdb_setValue(id, pattern, sizeof pattern),
      zrdb_getValue(id, got[0], sizeof got[0]),
      zrdb_setiValue(id, 1, pattern + 5, 64),
      zrdb_getiValue(id, 1, got[1], 64),
  };
  return {rc, std::string(got[0], sizeof got)};
}

// Every other public function that reaches an item, with its result.
std::vector<int> touch_everything(int32_t id) {
  char buf[256] = {};
  int32_t a = 0, b = 0, c = 0;
  ZRDB_BLK_INFO blk{};
  std::vector<int> rc = {
      zrdb_printValue(id, 1),
      zrdb_printiValue(id, 1, 1),
      zrdb_getType(id),
      zrdb_item_count(id),
      zrdb_getUserBlkInfo(id, &blk),
      zrdb_cbufWrite(id, buf, 4, buf, 4),
      zrdb_cbufRead(id, buf, 64, buf, 64, &a, &b),
      zrdb_msgbufWrite(id, 1, 2, 4, buf),
      zrdb_msgbufRead(id, &a, &b, &c, buf),
      zrdb_msgbufClear(id),
      zrdb_semaPost(id, 0),
      zrdb_semaWait_timeout_us(id, 1000),
      zrdb_semaGetValue(id, &a),
      zrdb_callMsgbufWrite(id, buf, 4, 0, 1),
      zrdb_checkItem(id),
  };
  rc.push_back(zrdb_getName(id) == nullptr ? ZRDB_ERR_CORRUPT : 0);
  return rc;
}

struct Damage {
  const char *field;
  size_t offset;  // in ZRDB_ITEM_DESC
  int32_t value;
};

#define FIELD(f) #f, offsetof(ZRDB_ITEM_DESC, f)
const Damage kDamages[] = {
    {FIELD(offset), static_cast<int32_t>(0xFFFFFFF0u)},
    {FIELD(offset), 65536 - 8},
    {FIELD(offset), 2},
    {FIELD(size), -4},
    {FIELD(size), INT32_MAX - 3},
    {FIELD(elemSize), -1},
    {FIELD(elemSize), INT32_MAX},
    {FIELD(count), INT32_MAX},
    {FIELD(count), -1},
    {FIELD(type), 77},
    {FIELD(type), -1},
    {FIELD(did), 4999},
};
#undef FIELD

TEST_F(CorruptionTest, DamagedDescriptorCannotRedirectAnAccessAndIsRefusedElsewhere) {
  for (const int32_t mode : {HBUSER_PRINT, HBUSER_CLIENT}) {
    reattach(mode);
    for (int32_t id = 1; id <= 6; ++id) {
      for (const Damage &d : kDamages) {
        SCOPED_TRACE("item " + std::to_string(id) + " " + d.field + "=" + std::to_string(d.value) +
                     " mode " + std::to_string(mode));
        ZRDB_ITEM_DESC *desc = zrdbIndexHdr.dit[id].desc;
        const ZRDB_ITEM_DESC saved = *desc;
        const std::vector<unsigned char> area(data() + saved.offset,
                                              data() + saved.offset + saved.size);
        zrdb_getType(id);  // a sound use first: the damage must not hide behind it
        auto sound = touch_values(id);
        // What the process did not bind it cannot take as it was.
        for (int &rc : sound.first) rc = rc == 0 ? 0 : ZRDB_ERR_CORRUPT;
        const std::vector<unsigned char> before(data(), data() + data_size());
        std::memcpy(reinterpret_cast<char *>(desc) + d.offset, &d.value, sizeof d.value);
        const int status = run_in_child([&] {
          alarm(10);  // a hang fails the case
          std::freopen("/dev/null", "w", stdout);
          int bad = touch_values(id) != sound;
          for (const int rc : touch_everything(id)) bad += rc != ZRDB_ERR_CORRUPT;
          // A process that attaches now is refused at the damaged item;
          // the removing mode goes on past it.
          for (const int32_t again : {mode, int32_t{HBUSER_REMOVE}}) {
            zrdb_Cleanup();
            bad += zrdb_cfgParse("") != 0;
            bad += zrdb_Init(again, nullptr) != ZRDB_ERR_CORRUPT;
          }
          zrdb_Cleanup();
          return bad;
        });
        *desc = saved;
        // The same values written to the same bytes: the segment is as it was.
        const auto changed = std::mismatch(before.begin(), before.end(), data()).first;
        ASSERT_EQ(changed, before.end()) << "byte " << changed - before.begin() << " changed";
        std::memcpy(data() + saved.offset, area.data(), area.size());
        EXPECT_EQ(status, 0);
      }
    }
  }
}

TEST_F(CorruptionTest, HostileBufferIndicesAndRealtimeBlockAreRefused) {
  reattach(HBUSER_CLIENT);
  auto *cb = reinterpret_cast<ZRDB_CBUF_HDR *>(data() + zrdbIndexHdr.dit[5].desc->offset);
  auto *mb = reinterpret_cast<ZRDB_MSGBUF_HDR *>(data() + zrdbIndexHdr.dit[6].desc->offset);
  char buf[76] = {};
  int32_t a = 0;
  for (const int32_t bad : {-1, 4, INT32_MAX, INT32_MIN}) {
    *cb = {bad, 1, 0, 0, 0};
    EXPECT_EQ(zrdb_cbufRead(5, buf, 64, buf, 64, &a, &a), ZRDB_ERR_CORRUPT) << bad;
    *cb = {0, bad, 0, 0, 0};
    EXPECT_EQ(zrdb_cbufWrite(5, buf, 4, buf, 4), ZRDB_ERR_CORRUPT) << bad;
    *cb = {bad, 0, 0, 0, 0};  // a damaged rd only skews the statistics
    EXPECT_EQ(zrdb_cbufWrite(5, buf, 4, buf, 4), 0) << bad;
    *mb = {bad, 1};
    EXPECT_EQ(zrdb_msgbufRead(6, &a, &a, &a, buf), ZRDB_ERR_CORRUPT) << bad;
    *mb = {0, bad};
    EXPECT_EQ(zrdb_msgbufWrite(6, 1, 1, 4, buf), ZRDB_ERR_CORRUPT) << bad;
  }
  // Another type's d_ctrl would read the parameter block as its own.
  for (const int rc :
       {zrdb_semaPost(5, 1), zrdb_semaGetValue(6, &a), zrdb_cbufWrite(4, buf, 1, buf, 1),
        zrdb_msgbufWrite(5, 1, 1, 4, buf), zrdb_msgbufClear(4)})
    EXPECT_EQ(rc, -3);
  // Ids of the realtime block are looked up like any other id.
  ZRDB_RT_CTRL &rt = zrdbIndexHdr.dit[7].desc->rt;
  rt = {{-5, 99999, 6, 0, 0}, {4, 4, 4, 0, 0}, {-7, 70000, 0, 0, 0}, {1, 1, 1, 0, 0}, UINT_MAX};
  const int status = run_in_child([] {
    alarm(10);
    return zrdb_callMsgbufWrite(7, "x", 1, 0, 1);
  });
  EXPECT_EQ(status, 0);
}

TEST_F(CorruptionTest, DamagedHeaderStillAttachesByRealSizeAndRemoves) {
  ZRDB_SYS_HDR *hdr = zrdbIndexHdr.sysHdr;
  hdr->size = 0x7FFFF000;  // larger than the segment: a sized get would fail
  hdr->maxDid = INT32_MAX;
  zrdb_Cleanup();
  ASSERT_EQ(zrdb_cfgParse(""), 0);
  EXPECT_EQ(zrdb_Init(HBUSER_REMOVE, nullptr), 0);
  EXPECT_EQ(zrdb_Remove(), 0);
  EXPECT_LT(shmget(kTestDataKey, 0, 0), 0);
  EXPECT_LT(shmget(ZRDB_INDEX_KEY, 0, 0), 0);
}

}  // namespace
}  // namespace zrdb::test
