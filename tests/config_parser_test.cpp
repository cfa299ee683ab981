// The database configuration file reader: what it writes into the index
// segment (read back at the record's byte offsets), the item list it builds,
// and its diagnostics, compared exactly.
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

// Byte offsets of the shared records. The tests read the segment at these
// literal offsets, so a layout change cannot hide behind the structs.
constexpr size_t kHdrMagic = 0, kHdrName = 4, kHdrSize = 36, kHdrMaxDid = 40, kHdrKey = 44;
constexpr size_t kFirstDesc = 48, kDescSize = 292;
constexpr size_t kName = 0, kDid = 32, kFlags = 36, kSize = 40, kElemSize = 44, kCount = 48,
                 kMapB = 52, kMapC = 54, kMapA = 56, kType = 60, kReserved = 64, kOffset = 192,
                 kRtA = 196, kRtB = 216, kRtC = 236, kRtTimeout = 256, kRtCount = 276,
                 kSyncRmtDid = 280, kSyncRemoteId = 284, kSyncMode = 288;
constexpr uint32_t kMagic = 0x32AC230;

// One line of standard output: "|LEVL|app|function| message".
struct LogLine {
  std::string level, app, func, message;
};

std::vector<LogLine> split_log(const std::string &out) {
  std::vector<LogLine> lines;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    end = end == std::string::npos ? out.size() : end + 1;
    const std::string line = out.substr(pos, end - pos);
    pos = end;
    LogLine entry;
    const size_t app = 6;
    const size_t appEnd = line.size() > app ? line.find('|', app) : std::string::npos;
    const size_t funcEnd = appEnd != std::string::npos ? line.find("| ", appEnd + 1) : appEnd;
    if (line.rfind('|', 0) == 0 && line.size() > app && line[5] == '|' &&
        funcEnd != std::string::npos) {
      entry.level = line.substr(1, 4);
      entry.app = line.substr(app, appEnd - app);
      entry.func = line.substr(appEnd + 1, funcEnd - appEnd - 1);
      entry.message = line.substr(funcEnd + 2);
    } else {
      entry.message = line;  // printed without a tag
    }
    lines.push_back(entry);
  }
  return lines;
}

std::string padded(const std::string &text, size_t size) {
  std::string out = text.substr(0, size);
  out.resize(size, '\0');
  return out;
}

// Everything a descriptor holds, read byte by byte from the segment.
struct RawDesc {
  std::string name;  // all 32 bytes
  int32_t did, size, elemSize, count, mapA, type;
  uint32_t flags, offset, rtCount;
  uint16_t mapB, mapC;
  bool reservedZero;
  std::array<int32_t, 5> rtA, rtB, rtC, rtTimeout;
  int32_t rmtDid, remoteId, mode;
};

// What a test expects of one item; the defaults are those of a bare
// "id=N" line.
struct Item {
  int32_t id = 0;
  std::string name;
  int32_t type = ZRDB_TYPE_INTEGER;
  int32_t size = 4, elemSize = 4, count = 1;
  uint32_t offset = 0;
  int32_t mapA = 0;
  uint16_t mapB = 0, mapC = 0;
  std::vector<std::array<int32_t, 4>> rt;  // {A, B, C, timeout}
  std::array<int32_t, 3> syncto = {-1, -1, 0};
};

class ConfigParserTest : public IndexOnlyTest {
 protected:
  void SetUp() override {
    // The expected sizes are those of 4096-byte pages.
    ASSERT_EQ(sysconf(_SC_PAGESIZE), 4096);
    IndexOnlyTest::SetUp();
  }

  struct Outcome {
    int result;
    std::vector<LogLine> log;
    uint32_t logged;  // messages that went through the logging macro
  };

  // Writes `text` and parses it through zrdb_cfgParse into a new index
  // segment, capturing what the parse prints.
  Outcome parse(const std::string &text) {
    reset_index();
    path_ = dir_.write("db.cfg", text);
    return run([this] { return zrdb_cfgParse(path_.c_str()); });
  }

  static Outcome run(const std::function<int()> &fn) {
    const uint32_t before = zrdbdbg_app_syslog_counter;
    int result = 0;
    const std::string out = capture_stdout([&] { result = fn(); });
    return {result, split_log(out), zrdbdbg_app_syslog_counter - before};
  }

  static void expect_warnings(const Outcome &o, const std::string &func,
                              const std::vector<std::string> &messages) {
    ASSERT_EQ(o.log.size(), messages.size());
    EXPECT_EQ(o.logged, messages.size());
    for (size_t i = 0; i < messages.size(); ++i) {
      EXPECT_EQ(o.log[i].level, "WARN");
      EXPECT_EQ(o.log[i].app, "NONAME");
      EXPECT_EQ(o.log[i].func, func);
      EXPECT_EQ(o.log[i].message, messages[i]);
    }
  }

  static const unsigned char *segment() {
    return reinterpret_cast<const unsigned char *>(zrdbIndexHdr.sysHdr);
  }
  template <typename T>
  static T read(size_t offset) {
    T value;
    std::memcpy(&value, segment() + offset, sizeof value);
    return value;
  }
  static std::string bytes(size_t offset, size_t n) {
    return std::string(reinterpret_cast<const char *>(segment()) + offset, n);
  }
  static size_t desc_at(int32_t id) { return kFirstDesc + kDescSize * static_cast<size_t>(id); }

  static RawDesc raw_desc(int32_t id) {
    const size_t d = desc_at(id);
    RawDesc r{};
    r.name = bytes(d + kName, 32);
    r.did = read<int32_t>(d + kDid);
    r.flags = read<uint32_t>(d + kFlags);
    r.size = read<int32_t>(d + kSize);
    r.elemSize = read<int32_t>(d + kElemSize);
    r.count = read<int32_t>(d + kCount);
    r.mapB = read<uint16_t>(d + kMapB);
    r.mapC = read<uint16_t>(d + kMapC);
    r.mapA = read<int32_t>(d + kMapA);
    r.type = read<int32_t>(d + kType);
    const std::string reserved = bytes(d + kReserved, 128);
    r.reservedZero = std::all_of(reserved.begin(), reserved.end(), [](char c) { return c == 0; });
    r.offset = read<uint32_t>(d + kOffset);
    for (size_t i = 0; i < 5; ++i) {
      r.rtA[i] = read<int32_t>(d + kRtA + 4 * i);
      r.rtB[i] = read<int32_t>(d + kRtB + 4 * i);
      r.rtC[i] = read<int32_t>(d + kRtC + 4 * i);
      r.rtTimeout[i] = read<int32_t>(d + kRtTimeout + 4 * i);
    }
    r.rtCount = read<uint32_t>(d + kRtCount);
    r.rmtDid = read<int32_t>(d + kSyncRmtDid);
    r.remoteId = read<int32_t>(d + kSyncRemoteId);
    r.mode = read<int32_t>(d + kSyncMode);
    return r;
  }

  static bool desc_is_zero(int32_t id) {
    const std::string all = bytes(desc_at(id), kDescSize);
    return std::all_of(all.begin(), all.end(), [](char c) { return c == 0; });
  }

  // Compares every field of the item's descriptor and its dit entry.
  static void expect_item(const Item &e) {
    SCOPED_TRACE("item " + std::to_string(e.id));
    const RawDesc r = raw_desc(e.id);
    EXPECT_EQ(r.name, padded(e.name, 32));
    EXPECT_EQ(r.did, e.id);
    EXPECT_EQ(r.flags, ZRDB_FLAG_ACTIVE);
    EXPECT_EQ(r.size, e.size);
    EXPECT_EQ(r.elemSize, e.elemSize);
    EXPECT_EQ(r.count, e.count);
    EXPECT_EQ(r.mapA, e.mapA);
    EXPECT_EQ(r.mapB, e.mapB);
    EXPECT_EQ(r.mapC, e.mapC);
    EXPECT_EQ(r.type, e.type);
    EXPECT_TRUE(r.reservedZero);
    EXPECT_EQ(r.offset, e.offset);
    ASSERT_LE(e.rt.size(), 5u);
    EXPECT_EQ(r.rtCount, e.rt.size());
    for (size_t i = 0; i < 5; ++i) {
      const std::array<int32_t, 4> want = i < e.rt.size() ? e.rt[i] : std::array<int32_t, 4>{};
      EXPECT_EQ((std::array<int32_t, 4>{r.rtA[i], r.rtB[i], r.rtC[i], r.rtTimeout[i]}), want)
          << "realtime entry " << i;
    }
    EXPECT_EQ((std::array<int32_t, 3>{r.rmtDid, r.remoteId, r.mode}), e.syncto);
    EXPECT_EQ(reinterpret_cast<const unsigned char *>(zrdbIndexHdr.dit[e.id].desc),
              segment() + desc_at(e.id));
  }

  // The item list: ids and all 128 bytes of each value text.
  static std::vector<std::pair<int32_t, std::string>> item_list() {
    std::vector<std::pair<int32_t, std::string>> list;
    for (const ZRDB_DIDNODE *n = zrdbIndexHdr.didHead; n != nullptr && list.size() <= 5000;
         n = n->next) {
      list.emplace_back(n->did, std::string(n->value, sizeof n->value));
    }
    return list;
  }

  TempDir dir_;
  std::string path_;
};

// A [system] section of `size` bytes with a comment and a blank line, so that
// line numbers count them: seven lines.
std::string head(int size = 8192) {
  return "# test database\n\n[system]\nname=t\nkey=0x5A0D0001\nsize=" + std::to_string(size) +
         "\n[database]\n";
}

TEST_F(ConfigParserTest, WorkedExampleFillsEveryHeaderAndDescriptorField) {
  const std::string file =
      "# plant database\n"
      "[system]\n"
      "name=plant7\n"
      "key = 0x5000\n"
      "size = 65536\n"
      "[database]\n"
      "id=0, name=dbg_level, type=integer, value=0\n"
      "id=1, name=speed, type=integer, size=4*8, value=100\n"
      "id=2, name=label, type=string, size=16*2, value=idle\n"
      "id=20, name=events, type=cbuf, size=64*32\n"
      "id=30, name=requests, type=msgbuf, size=76*16\n"
      "id=40, name=cmd, type=integer, realtime=30*10*11, timeout=50\n";
  const Outcome o = parse(file);
  EXPECT_EQ(o.result, 0);
  EXPECT_TRUE(o.log.empty());
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);

  EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
  EXPECT_EQ(bytes(kHdrName, 32), padded("plant7", 32));
  EXPECT_EQ(read<uint32_t>(kHdrSize), 65536u);
  EXPECT_EQ(read<int32_t>(kHdrMaxDid), 40);
  EXPECT_EQ(read<int32_t>(kHdrKey), 20480);

  const std::vector<Item> items = {
      {.id = 0, .name = "dbg_level", .offset = 0},
      {.id = 1, .name = "speed", .size = 32, .elemSize = 4, .count = 8, .offset = 4},
      {.id = 2,
       .name = "label",
       .type = ZRDB_TYPE_STRING,
       .size = 32,
       .elemSize = 16,
       .count = 2,
       .offset = 36},
      {.id = 20,
       .name = "events",
       .type = ZRDB_TYPE_CBUF,
       .size = 2068,
       .elemSize = 64,
       .count = 32,
       .offset = 68},
      {.id = 30,
       .name = "requests",
       .type = ZRDB_TYPE_MSGBUF,
       .size = 1224,
       .elemSize = 76,
       .count = 16,
       .offset = 2136},
      {.id = 40, .name = "cmd", .offset = 3360, .rt = {{30, 10, 11, 50}}},
  };
  std::set<int32_t> defined;
  for (const Item &item : items) {
    expect_item(item);
    defined.insert(item.id);
  }
  for (int32_t id = 0; id < ZRDB_MAX_ITEMS; ++id) {
    if (defined.count(id) != 0) continue;
    ASSERT_TRUE(desc_is_zero(id)) << "descriptor " << id << " should be untouched";
    ASSERT_EQ(zrdbIndexHdr.dit[id].desc, nullptr) << id;
  }

  const std::vector<std::pair<int32_t, std::string>> list = {
      {0, padded("0", 128)}, {1, padded("100", 128)}, {2, padded("idle", 128)},
      {20, padded("", 128)}, {30, padded("", 128)},   {40, padded("", 128)},
  };
  EXPECT_EQ(item_list(), list);
  ASSERT_NE(zrdbIndexHdr.didTail, nullptr);
  EXPECT_EQ(zrdbIndexHdr.didTail->did, 40);
  EXPECT_EQ(zrdbIndexHdr.nextOffset, 3364u);
  EXPECT_EQ(zrdbIndexHdr.idxSize, static_cast<uint32_t>(ZRDB_INDEX_SIZE));
  EXPECT_EQ(glb_vLinkDid, -1);

  // The same file with a seventh item line that repeats id 2 on line 13.
  const Outcome again = parse(file + "id=2, name=again\n");
  EXPECT_EQ(again.result, -1);
  expect_warnings(again, "parseSegDatabase", {"Syntax ERROR: Repeated or badItem ID at line 13\n"});
  EXPECT_EQ(read<uint32_t>(kHdrMagic), 0u);
  EXPECT_EQ(raw_desc(2).name, padded("label", 32));
}

TEST_F(ConfigParserTest, EveryParseFailureReportsItsMessageAndResult) {
  struct Row {
    std::string text;
    int result;
    std::string func;
    std::string message;
  };
  const std::string ok = "id=1, name=ok\n";  // line 8; the failing line is 9
  const std::vector<Row> rows = {
      {"# comment\n\nname=x\n[system]\n", -1, "cfgParser",
       "Syntax error: Can not find [system] at line:3\n"},
      {"[System]\n", -1, "cfgParser", "Syntax error: Can not find [system] at line:1\n"},
      {"# c\n[system]\n\nname=t\nflavour=x\n", -4, "parseSegSystem",
       "Syntax ERROR: Wrong system Key string(flavour) at line 5\n"},
      {"[system]\nkey=1\n[system]\n", -4, "parseSegSystem",
       "Syntax ERROR: Wrong system Key string([system]) at line 3\n"},
      {"[system]\n\nname\n", -2, "parseSegSystem",
       "Syntax ERROR: Can get name of system at line 3\n"},
      {"[system]\nkey\n", -2, "parseSegSystem",
       "Syntax ERROR: Can get SHMKEY of system at line 2\n"},
      {"[system]\nkey = \n", -2, "parseSegSystem",
       "Syntax ERROR: Can get SHMKEY of system at line 2\n"},
      {"[system]\nsize\n", -3, "parseSegSystem",
       "Syntax ERROR: Can get SIZE of system at line 2\n"},
      {head() + ok + "id=2 colour=red\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized Item Key(colour) at line 9\n"},
      {head() + ok + "id=2, key=5\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized Item Key(key) at line 9\n"},
      {head() + ok + "[database]\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized Item Key([database]) at line 9\n"},
      {head() + ok + "id=5000\n", -1, "parseSegDatabase",
       "Syntax ERROR: Item ID wrong (5000) at line 9\n"},
      {head() + ok + "name=x id=-1\n", -1, "parseSegDatabase",
       "Syntax ERROR: Item ID wrong (-1) at line 9\n"},
      {head() + ok + "id=2 type=float\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized item type(float) at line 9\n"},
      {head() + ok + "id=2 type=Integer\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized item type(Integer) at line 9\n"},
      {head() + ok + "id=2 size=0*4\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized item size format at line 9\n"},
      {head() + ok + "id=2 size=4*0\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized item size format at line 9\n"},
      {head() + ok + "id=2 mapto=1:0:3\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized Mapping format at line 9\n"},
      {head() + ok + "id=2 mapto=1:2\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized Mapping format at line 9\n"},
      {head() + ok + "id=2 mapto=1\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized Mapping format at line 9\n"},
      {head() + ok + "id=2 syncto=12\n", -1, "parseSegDatabase",
       "Syntax ERROR: Unrecognized syncto format at line 9\n"},
      {head() + ok + "id=1, name=again\n", -1, "parseSegDatabase",
       "Syntax ERROR: Repeated or badItem ID at line 9\n"},
      {head() + "name=first\nname=second\n", -1, "parseSegDatabase",
       "Syntax ERROR: Repeated or badItem ID at line 9\n"},
      {head() + ok + "id=2 type=user size=8189\n", -1, "parseSegDatabase",
       "Fital ERROR: System Share Memory size is too small (8192)\n"},
      // Warnings: the line goes on and the item is entered.
      {head() + ok +
           "id=2 realtime=1*1 realtime=2*2 realtime=3*3 realtime=4*4 realtime=5*5 "
           "realtime=6*6\n",
       0, "parseSegDatabase", "rtControl index can't be more than 5 \n"},
      {head() + ok + "id=2 timeout=50\n", 0, "parseSegDatabase",
       "Invalid usage of the timeout property\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    const Outcome o = parse(row.text);
    EXPECT_EQ(o.result, row.result);
    expect_warnings(o, row.func, {row.message});
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    EXPECT_EQ(read<uint32_t>(kHdrMagic), row.result == 0 ? kMagic : 0u);
    if (row.result == 0) {
      EXPECT_EQ(read<uint32_t>(desc_at(2) + kFlags), ZRDB_FLAG_ACTIVE);
    }
  }
}

TEST_F(ConfigParserTest, MissingFileIsReportedWithItsPath) {
  const std::string missing = dir_.path() + "/missing.cfg";
  const Outcome o = run([&] { return zrdb_cfgParse(missing.c_str()); });
  EXPECT_EQ(o.result, -1);
  expect_warnings(o, "cfgParser", {"Open ZRDB configuration file (" + missing + ") failed!\n"});
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  EXPECT_EQ(read<uint32_t>(kHdrMagic), 0u);
}

TEST_F(ConfigParserTest, SystemLineWithoutTokensIsPrintedButNotLogged) {
  ASSERT_EQ(parse("[system]\n").result, 0);
  const uint32_t before = zrdbdbg_app_syslog_counter;
  int result = 0;
  const std::string out = capture_stdout([&] { result = parseSegSystem(" \t,=\r\n", 12); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out, "Syntax ERROR: at line 12\n");
  EXPECT_EQ(zrdbdbg_app_syslog_counter, before);
}

TEST_F(ConfigParserTest, SystemKeysFillTheHeader) {
  struct Row {
    std::string line;
    std::string name;  // 32 bytes as stored
    int32_t key;
    uint32_t size;
  };
  const std::vector<Row> rows = {
      {"name=plant 7", padded("plant 7", 32), 0, 0},  // blanks belong to the name
      {"name = plant7", padded(" plant7", 32), 0, 0},
      {"name=a,b", padded("a", 32), 0, 0},
      {"name=a\tb", padded("a", 32), 0, 0},
      {"name=plant7\r", padded("plant7", 32), 0, 0},
      {"name=#hash", padded("#hash", 32), 0, 0},
      {"key = 0x1234", padded("", 32), 0x1234, 0},
      {"key=4660", padded("", 32), 4660, 0},
      {"key = 010", padded("", 32), 8, 0},
      {"key=-5 rest", padded("", 32), -5, 0},
      {"size = 5000", padded("", 32), 0, 8192},
      {"size = 4096", padded("", 32), 0, 4096},
      {"size = 4097", padded("", 32), 0, 8192},
      {"size = 0", padded("", 32), 0, 4096},
      {"size=1", padded("", 32), 0, 4096},
      {"size = -5000", padded("", 32), 0, 4096},
      {"size = 0x2001", padded("", 32), 0, 12288},
      {"size = 020000", padded("", 32), 0, 8192},
      {"size = 65536 bytes", padded("", 32), 0, 65536},
      {"size=8192,9", padded("", 32), 0, 8192},
      {"size\t=  100", padded("", 32), 0, 4096},
      {"size = 4294963200", padded("", 32), 0, 4294963200u},  // the largest whole-page u32
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.line);
    const Outcome o = parse("[system]\n" + row.line + "\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(o.log.empty());
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    EXPECT_EQ(bytes(kHdrName, 32), row.name);
    EXPECT_EQ(read<int32_t>(kHdrKey), row.key);
    EXPECT_EQ(read<uint32_t>(kHdrSize), row.size);
    EXPECT_EQ(read<int32_t>(kHdrMaxDid), 0);
    EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
    EXPECT_EQ(zrdbIndexHdr.didHead, nullptr);  // no [database] section, no item
  }
}

TEST_F(ConfigParserTest, LaterSystemLinesReplaceEarlierOnes) {
  const Outcome o = parse(
      "[system]\nname=a_rather_long_name\nkey=1\nsize=100000\nname=ab\nkey=0x10\nsize=4096\n");
  EXPECT_EQ(o.result, 0);
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  EXPECT_EQ(bytes(kHdrName, 32), padded("ab", 32));  // the longer name leaves no tail
  EXPECT_EQ(read<int32_t>(kHdrKey), 16);
  EXPECT_EQ(read<uint32_t>(kHdrSize), 4096u);
}

TEST_F(ConfigParserTest, LongSystemNamesFillTheFieldAndNoMore) {
  const std::string name32(32, 'N');
  for (const std::string &name : {name32, name32 + "tail beyond the field"}) {
    SCOPED_TRACE(name);
    // key and size come first, so the name is written over a filled header.
    const Outcome o =
        parse("[system]\nkey=0x11223344\nsize=8192\nname=" + name + "\n[database]\nid=3\n");
    EXPECT_EQ(o.result, 0);
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    EXPECT_EQ(bytes(kHdrName, 32), name32);  // stored without a terminator
    EXPECT_EQ(read<uint32_t>(kHdrSize), 8192u);
    EXPECT_EQ(read<int32_t>(kHdrMaxDid), 3);
    EXPECT_EQ(read<int32_t>(kHdrKey), 0x11223344);
    EXPECT_TRUE(desc_is_zero(0));
  }
}

TEST_F(ConfigParserTest, SystemSizesBeyond32BitsAreRefused) {
  for (const char *value : {"4294963201", "4294967296", "99999999999999999999"}) {
    SCOPED_TRACE(value);
    const Outcome o =
        parse(std::string("[system]\nsize=8192\nsize = ") + value + "\n[database]\nid=1\n");
    EXPECT_EQ(o.result, -3);
    ASSERT_EQ(o.log.size(), 1u);
    EXPECT_EQ(o.log[0].level, "WARN");
    EXPECT_EQ(o.log[0].func, "parseSegSystem");
    EXPECT_NE(o.log[0].message.find("at line 3\n"), std::string::npos) << o.log[0].message;
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    EXPECT_EQ(read<uint32_t>(kHdrSize), 8192u);  // the earlier value stays
    EXPECT_EQ(read<uint32_t>(kHdrMagic), 0u);
  }
}

TEST_F(ConfigParserTest, ItemSizeFollowsTheTypeTable) {
  struct Row {
    std::string keys;  // type and size keys of the line
    int32_t type, size, elemSize, count;
  };
  const std::vector<Row> rows = {
      {"type=user", ZRDB_TYPE_USER, 128, 128, 1},
      {"type=user size=3", ZRDB_TYPE_USER, 4, 3, 1},
      {"type=user size=5*3", ZRDB_TYPE_USER, 16, 5, 3},
      {"", ZRDB_TYPE_INTEGER, 4, 4, 1},
      {"type=integer size=3", ZRDB_TYPE_INTEGER, 4, 3, 1},
      {"type=integer size=4*8", ZRDB_TYPE_INTEGER, 32, 4, 8},
      {"type=string", ZRDB_TYPE_STRING, 32, 32, 1},
      {"type=string size=16*2", ZRDB_TYPE_STRING, 32, 16, 2},
      {"type=string size=0x9", ZRDB_TYPE_STRING, 12, 9, 1},
      {"type=semap", ZRDB_TYPE_SEMAP, 128, 128, 1},
      {"type=semap size=10", ZRDB_TYPE_SEMAP, 12, 10, 1},
      {"type=cbuf", ZRDB_TYPE_CBUF, 20, 0, 0},
      {"type=cbuf size=64*32", ZRDB_TYPE_CBUF, 2068, 64, 32},
      {"type=cbuf size=3*3", ZRDB_TYPE_CBUF, 32, 3, 3},
      {"type=vlinkmst", ZRDB_TYPE_VLINKMST, 256, 0, 1},
      {"type=vlinkmst size=10*7", ZRDB_TYPE_VLINKMST, 256, 10, 1},
      {"type=vlinkslv", ZRDB_TYPE_VLINKSLV, 132, 0, 1},
      {"type=vlinkslv size=4*4", ZRDB_TYPE_VLINKSLV, 132, 4, 1},
      {"type=msgbuf", ZRDB_TYPE_MSGBUF, 8, 0, 0},
      {"type=msgbuf size=76*16", ZRDB_TYPE_MSGBUF, 1224, 76, 16},
      {"type=msgbuf size=5", ZRDB_TYPE_MSGBUF, 16, 5, 1},
      {"type=thrd_rbuf", ZRDB_TYPE_THRD_RBUF, 64, 0, 0},
      {"type=thrd_rbuf size=100*3", ZRDB_TYPE_THRD_RBUF, 364, 100, 3},
      {"type=thrd_rbuf size=1", ZRDB_TYPE_THRD_RBUF, 68, 1, 1},
      {"type=thrd_fifo", ZRDB_TYPE_THRD_FIFO, 64, 0, 0},
      {"type=thrd_fifo size=100*10", ZRDB_TYPE_THRD_FIFO, 264, 100, 10},
      {"type=thrd_fifo size=7", ZRDB_TYPE_THRD_FIFO, 84, 7, 1},
      {"type=rmtbuf", ZRDB_TYPE_RMTBUF, 412, 0, 0},
      {"type=rmtbuf size=8*8", ZRDB_TYPE_RMTBUF, 412, 8, 8},
      {"type=vlinkbuf", ZRDB_TYPE_VLINKBUF, 412, 0, 0},
      {"type=vlinkbuf size=1000*1000", ZRDB_TYPE_VLINKBUF, 412, 1000, 1000},
  };
  // All rows in one file: each item also starts where the previous one ends.
  std::string file = head(65536);
  for (size_t i = 0; i < rows.size(); ++i) {
    file += "id=" + std::to_string(100 + i) + " " + rows[i].keys + "\n";
  }
  const Outcome o = parse(file);
  ASSERT_EQ(o.result, 0);
  EXPECT_TRUE(o.log.empty());
  uint32_t offset = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].keys);
    expect_item({.id = static_cast<int32_t>(100 + i),
                 .type = rows[i].type,
                 .size = rows[i].size,
                 .elemSize = rows[i].elemSize,
                 .count = rows[i].count,
                 .offset = offset});
    offset += static_cast<uint32_t>(rows[i].size);
  }
  EXPECT_EQ(zrdbIndexHdr.nextOffset, offset);
}

TEST_F(ConfigParserTest, DataAreasFollowFileOrderAndMaxDidTheLargestId) {
  const Outcome o = parse(head() +
                          "id=250, type=string\n"
                          "id=4999, type=user, size=3\n"
                          "id=17, size=4*2\n"
                          "id=0, type=cbuf\n");
  ASSERT_EQ(o.result, 0);
  expect_item({.id = 250, .type = ZRDB_TYPE_STRING, .size = 32, .elemSize = 32, .offset = 0});
  expect_item({.id = 4999, .type = ZRDB_TYPE_USER, .elemSize = 3, .offset = 32});
  expect_item({.id = 17, .size = 8, .count = 2, .offset = 36});
  expect_item(
      {.id = 0, .type = ZRDB_TYPE_CBUF, .size = 20, .elemSize = 0, .count = 0, .offset = 44});
  EXPECT_EQ(read<int32_t>(kHdrMaxDid), 4999);
  std::vector<int32_t> ids;
  for (const auto &node : item_list()) ids.push_back(node.first);
  EXPECT_EQ(ids, (std::vector<int32_t>{250, 4999, 17, 0}));
  EXPECT_EQ(zrdbIndexHdr.dit[1].desc, nullptr);
}

TEST_F(ConfigParserTest, ItemsMayFillTheDataSegmentExactly) {
  // 8192 bytes: 8184 + 4 + 4 fit; with 8 bytes for the last item they do not.
  const std::string first = head(8192) + "id=1 type=user size=8184\nid=2 size=2\n";
  const Outcome fits = parse(first + "id=3\n");
  EXPECT_EQ(fits.result, 0);
  EXPECT_TRUE(fits.log.empty());
  EXPECT_EQ(zrdbIndexHdr.nextOffset, 8192u);
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  expect_item({.id = 3, .offset = 8188});

  const Outcome over = parse(first + "id=3 size=5\n");
  EXPECT_EQ(over.result, -1);
  expect_warnings(over, "parseSegDatabase",
                  {"Fital ERROR: System Share Memory size is too small (8192)\n"});
  std::vector<int32_t> ids;
  for (const auto &node : item_list()) ids.push_back(node.first);
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 2}));
}

TEST_F(ConfigParserTest, DatabaseLineRules) {
  const std::string name40 = "n123456789012345678901234567890123456789";
  const std::string value200(200, 'v');
  struct Row {
    std::string line;
    Item item;
    std::string value;  // initial-value text in the item list
  };
  const std::vector<Row> rows = {
      {"id=7 name=temp", {.id = 7, .name = "temp"}, ""},
      {"id=010", {.id = 10}, ""},  // decimal, not octal
      {"id=0x10", {.id = 0}, ""},
      {"id=12abc", {.id = 12}, ""},
      {"name=noid", {.id = 0, .name = "noid"}, ""},
      {"id=3 id=4", {.id = 4}, ""},  // the later value wins
      {"id=3 name=a name=b value=x value=y", {.id = 3, .name = "b"}, "y"},
      {"id=3, name=" + name40, {.id = 3, .name = name40.substr(0, 31)}, ""},
      {"id=3, value=" + value200, {.id = 3}, value200.substr(0, 127)},
      {"id=3, name=x, value", {.id = 3, .name = "x"}, ""},  // key without value
      {"id=3 symblink=anything", {.id = 3}, ""},
      {"id=3 name=#x value=a#b", {.id = 3, .name = "#x"}, "a#b"},
      {"id=3\tname=tab\r", {.id = 3, .name = "tab"}, ""},
      {"  id=3,,, name==x ,", {.id = 3, .name = "x"}, ""},
      {"id=3 name=value", {.id = 3, .name = "value"}, ""},
      {"id=3 type=user value=0x41", {.id = 3, .type = 0, .size = 128, .elemSize = 128}, "0x41"},
      {"id=3 mapto=7:2:3", {.id = 3, .mapA = 7, .mapB = 2, .mapC = 3}, ""},
      // size and mapto share one block; neither half clobbers the other
      {"id=3 size=5*3 mapto=9:8:7",
       {.id = 3, .size = 16, .elemSize = 5, .count = 3, .mapA = 9, .mapB = 8, .mapC = 7},
       ""},
      {"id=3 mapto=9:8:7 size=5*3",
       {.id = 3, .size = 16, .elemSize = 5, .count = 3, .mapA = 9, .mapB = 8, .mapC = 7},
       ""},
      {"id=3 syncto=12:40", {.id = 3, .syncto = {12, 40, 0}}, ""},
      {"id=3 syncto=12:40:2", {.id = 3, .syncto = {12, 40, 2}}, ""},
      {"id=3 syncto=1:2 syncto=0x10:-1", {.id = 3, .syncto = {16, -1, 0}}, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.line);
    const Outcome o = parse(head() + row.line + "\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(o.log.empty());
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    expect_item(row.item);
    EXPECT_EQ(read<int32_t>(kHdrMaxDid), row.item.id);
    EXPECT_EQ(
        item_list(),
        (std::vector<std::pair<int32_t, std::string>>{{row.item.id, padded(row.value, 128)}}));
  }
}

TEST_F(ConfigParserTest, SkippedLinesAndEmptySections) {
  struct Row {
    std::string file;
    std::vector<int32_t> ids;
  };
  const std::vector<Row> rows = {
      {"[system]\n", {}},
      {"[system] rest ignored\n[database] rest ignored\n", {}},
      {head() + "  #id=3\n#\n\t\r\n,=,\nid=5\n", {5}},
      {head() + "id=5\n# id=6\n\nid=7", {5, 7}},  // the last line needs no newline
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.file);
    const Outcome o = parse(row.file);
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(o.log.empty());
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
    std::vector<int32_t> ids;
    for (const auto &node : item_list()) ids.push_back(node.first);
    EXPECT_EQ(ids, row.ids);
    EXPECT_EQ(read<uint32_t>(desc_at(3) + kFlags), 0u);
  }
}

TEST_F(ConfigParserTest, RealtimeEntriesAndTheirTimeouts) {
  const std::string timeoutWarning = "Invalid usage of the timeout property\n";
  const std::string rtWarning = "rtControl index can't be more than 5 \n";
  struct Row {
    std::string keys;
    std::vector<std::array<int32_t, 4>> rt;
    std::vector<std::string> warnings;
  };
  const std::vector<Row> rows = {
      {"realtime=30*10 timeout=50", {{30, 10, 0, 50}}, {}},
      {"realtime=30*10*11", {{30, 10, 11, 2}}, {}},
      {"realtime=0x1e*010", {{30, 8, 0, 2}}, {}},
      {"realtime=1*2 timeout=0x10", {{1, 2, 0, 0}}, {}},  // timeout is decimal
      {"timeout=50 realtime=1*2", {{1, 2, 0, 2}}, {timeoutWarning}},
      {"realtime=1*2 value=x timeout=9", {{1, 2, 0, 2}}, {timeoutWarning}},
      {"realtime=1*2 timeout=9 timeout=8", {{1, 2, 0, 9}}, {timeoutWarning}},
      {"realtime=1*2 realtime=3*4*5 timeout=7 realtime=6*7 timeout=1",
       {{1, 2, 0, 2}, {3, 4, 5, 7}, {6, 7, 0, 1}},
       {}},
      {"realtime=1*1 realtime=2*2 realtime=3*3 realtime=4*4 realtime=5*5 realtime=6*6",
       {{1, 1, 0, 2}, {2, 2, 0, 2}, {3, 3, 0, 2}, {4, 4, 0, 2}, {5, 5, 0, 2}},
       {rtWarning}},
      {"realtime=1*1 realtime=2*2 realtime=3*3 realtime=4*4 realtime=5*5 realtime=6*6 "
       "timeout=99 realtime=7*7",
       {{1, 1, 0, 2}, {2, 2, 0, 2}, {3, 3, 0, 2}, {4, 4, 0, 2}, {5, 5, 0, 2}},
       {rtWarning, timeoutWarning, rtWarning}},
      {"realtime=7 realtime=8*9", {{8, 9, 0, 2}}, {}},  // no '*': nothing, silently
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.keys);
    const Outcome o = parse(head() + "id=40 name=cmd " + row.keys + "\n");
    EXPECT_EQ(o.result, 0);
    expect_warnings(o, "parseSegDatabase", row.warnings);
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    expect_item({.id = 40, .name = "cmd", .rt = row.rt});
  }
}

TEST_F(ConfigParserTest, OverlongLinesAreReadAsSeveralCountedLines) {
  struct Row {
    std::string file;
    std::string func;
    std::string message;
  };
  const std::vector<Row> rows = {
      // 1022 characters and the newline: one read, so "bogus" is line 2.
      {"#" + std::string(1021, 'x') + "\nbogus\n", "cfgParser",
       "Syntax error: Can not find [system] at line:2\n"},
      // 1023 characters: the newline is a read (and a line) of its own.
      {"#" + std::string(1022, 'x') + "\nbogus\n", "cfgParser",
       "Syntax error: Can not find [system] at line:3\n"},
      // A comment of 1031 characters: the last 8 are read as line 9.
      {head() + "#" + std::string(1022, 'c') + "tail_key\n", "parseSegDatabase",
       "Syntax ERROR: Unrecognized Item Key(tail_key) at line 9\n"},
      // A value that runs past the read: its rest is read as a key.
      {head() + "id=3 value=" + std::string(1012, 'v') + "rest\n", "parseSegDatabase",
       "Syntax ERROR: Unrecognized Item Key(rest) at line 9\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.message);
    const Outcome o = parse(row.file);
    EXPECT_EQ(o.result, -1);
    expect_warnings(o, row.func, {row.message});
  }
}

TEST_F(ConfigParserTest, BinaryBytesAreTextOrLineEnds) {
  using namespace std::string_literals;
  const std::string file =
      "[system]\nname=ab\0cd\nsize=8192\n[database]\n"
      "\0id=5\n"
      "id=6 name=\xff\xfe\x01\x7f value=\x80\x81\n"
      "id=6\n"s;
  const Outcome o = parse(file);
  // A NUL ends what the line parsers see; the line still counts.
  EXPECT_EQ(o.result, -1);
  expect_warnings(o, "parseSegDatabase", {"Syntax ERROR: Repeated or badItem ID at line 7\n"});
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  EXPECT_EQ(bytes(kHdrName, 32), padded("ab", 32));
  EXPECT_TRUE(desc_is_zero(5));
  EXPECT_EQ(raw_desc(6).name, padded("\xff\xfe\x01\x7f", 32));
  EXPECT_EQ(item_list(),
            (std::vector<std::pair<int32_t, std::string>>{{6, padded("\x80\x81", 128)}}));
}

TEST_F(ConfigParserTest, IdsBeyond32BitsAreRefusedNotWrapped) {
  // 4294967301 is 5 modulo 2^32 and -4294967295 is 1: neither may alias.
  for (const char *id : {"4294967301", "-4294967295", "99999999999999999999"}) {
    SCOPED_TRACE(id);
    const Outcome o = parse(head() + "id=" + id + "\n");
    EXPECT_EQ(o.result, -1);
    ASSERT_EQ(o.log.size(), 1u);
    EXPECT_EQ(o.log[0].level, "WARN");
    EXPECT_EQ(o.log[0].message.rfind("Syntax ERROR: Item ID wrong (", 0), 0u) << o.log[0].message;
    EXPECT_NE(o.log[0].message.find(") at line 8\n"), std::string::npos) << o.log[0].message;
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    EXPECT_TRUE(desc_is_zero(5));
    EXPECT_TRUE(desc_is_zero(1));
    EXPECT_EQ(zrdbIndexHdr.didHead, nullptr);
  }
}

TEST_F(ConfigParserTest, NumbersBeyond32BitsKeepDescriptorsConsistent) {
  // Whatever such a number reads as, an accepted item's descriptor must agree
  // with itself and lie within the data segment.
  const std::vector<std::string> lines = {
      "id=3 type=user size=4294967297",    "id=3 type=user size=2*4294967297",
      "id=3 type=user size=0x100000004*2", "id=3 mapto=4294967297:65537:1",
      "id=3 realtime=4294967297*2*3",      "id=3 syncto=4294967297:-4294967297:1",
      "id=3 type=cbuf size=4294967295*1",  "id=3 type=thrd_fifo size=1*4294967295",
  };
  for (const std::string &line : lines) {
    SCOPED_TRACE(line);
    const Outcome o = parse(head(65536) + line + "\n");
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    if (o.result != 0) continue;  // refusing is fine
    const RawDesc d = raw_desc(3);
    EXPECT_GE(d.size, 0);
    EXPECT_EQ(d.size % 4, 0);
    EXPECT_LE(static_cast<uint64_t>(d.offset) + static_cast<uint32_t>(d.size),
              read<uint32_t>(kHdrSize));
    EXPECT_LE(d.rtCount, 5u);
  }
}

TEST_F(ConfigParserTest, ItemSizesBeyondTheSizeFieldAreRefused) {
  // 60000 * 60000 bytes fit a 4 GiB segment but not the signed size field.
  const Outcome o =
      parse("[system]\nsize=4294963200\n[database]\nid=1\nid=2 type=user size=60000*60000\nid=3\n");
  EXPECT_EQ(o.result, -1);
  expect_warnings(o, "parseSegDatabase",
                  {"Syntax ERROR: Unrecognized item size format at line 5\n"});
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  EXPECT_EQ(read<int32_t>(desc_at(2) + kSize), 0);
  EXPECT_EQ(zrdbIndexHdr.nextOffset, 4u);
}

TEST_F(ConfigParserTest, NegativeSizesAreRefused) {
  const std::vector<std::string> keys = {
      "type=integer size=-4*2",    "type=integer size=-4*-2",         "type=user size=-1",
      "type=cbuf size=-10",        "type=msgbuf size=4*-1",           "type=thrd_rbuf size=-64*1",
      "type=thrd_fifo size=4*-10", "type=string size=-2147483648*-1",
  };
  for (const std::string &k : keys) {
    SCOPED_TRACE(k);
    const Outcome o = parse(head() + "id=1 size=3\nid=2 " + k + "\nid=3\n");
    EXPECT_EQ(o.result, -1);
    expect_warnings(o, "parseSegDatabase",
                    {"Syntax ERROR: Unrecognized item size format at line 9\n"});
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    // Nothing of the data segment went to the refused item.
    EXPECT_EQ(zrdbIndexHdr.nextOffset, 4u);
    EXPECT_EQ(read<int32_t>(desc_at(2) + kSize), 0);
    EXPECT_EQ(read<uint32_t>(desc_at(2) + kOffset), 0u);
    EXPECT_TRUE(desc_is_zero(3));
    std::vector<int32_t> ids;
    for (const auto &node : item_list()) ids.push_back(node.first);
    EXPECT_EQ(ids, std::vector<int32_t>{1});
  }
}

}  // namespace
}  // namespace zrdb::test
