// The configuration reader: the index it writes, read at literal offsets; its messages.
#include "support/fixture.h"

namespace zrdb::test {

using namespace std::string_literals;

class ConfigParserTest : public IndexOnlyTest {
 protected:
  // Parses `text` into a new index: the result and what was printed.
  std::string parse(const std::string &text) {
    reset_index();
    return outcome([&] { return zrdb_cfgParse(dir_.write("db.cfg", text).c_str()); });
  }
  static std::string bytes(size_t at, size_t n) {
    return std::string(reinterpret_cast<const char *>(zrdbIndexHdr.sysHdr) + at, n);
  }
  static int32_t word(size_t at) {  // every field read is 4-byte aligned
    return *reinterpret_cast<const int32_t *>(reinterpret_cast<char *>(zrdbIndexHdr.sysHdr) + at);
  }
  static size_t desc(int32_t id, size_t field = 0) { return 48 + 292 * size_t(id) + field; }
  TempDir dir_;
};

std::string pad(const std::string &text) { return (text + std::string(32, '\0')).substr(0, 32); }

TEST_F(ConfigParserTest, WorkedExampleLayoutInTheSegment) {
  ASSERT_EQ(sysconf(_SC_PAGESIZE), 4096);
  ASSERT_EQ(
      parse("# plant database\n[system]\nname=plant\nkey=0x5A0DE000\nsize=16384\n[database]\n"
            "id=1, name=speed, type=integer, size=4*8, value=100\n"
            "id=2, name=label, type=string, size=16*2, value=idle\n"
            "id=3, name=calib, type=user, size=64, value=0x5a\n"
            "id=010, name=counter, type=integer, value=0\n"  // ids are decimal
            "id=20, name=events, type=cbuf, size=64*32\n"
            "id=30, name=requests, type=msgbuf, size=76*16, mapto=7:2:3, syncto=12:40:1\n"
            "id=40, name=cmd, realtime=30*10*11, timeout=50, realtime=30*12\n"
            "id=50, type=user\nid=51, type=string, size=0x9\nid=52, type=semap\n"
            "id=53, type=cbuf\nid=54, type=vlinkmst, size=10*7\nid=55, type=vlinkslv\n"
            "id=56, type=msgbuf, size=5\nid=57, type=thrd_rbuf, size=100*3\n"
            "id=58, type=thrd_fifo, size=7\nid=59, type=rmtbuf, size=8*8\nid=60, type=vlinkbuf\n"),
      "0");
  EXPECT_EQ(bytes(0, 48),  // magic, name, size, maxDid, key
            "\x30\xC2\x2A\x03" + pad("plant") + "\0\x40\0\0\x3C\0\0\0\0\xE0\x0D\x5A"s);
  // Id, name; type, size, element size, count. The areas follow each other in file order.
  const std::tuple<int32_t, const char *, std::vector<int32_t>> rows[] = {
      {1, "speed", {1, 32, 4, 8}},       {2, "label", {2, 32, 16, 2}},
      {3, "calib", {0, 64, 64, 1}},      {10, "counter", {1, 4, 4, 1}},
      {20, "events", {4, 2068, 64, 32}}, {30, "requests", {7, 1224, 76, 16}},
      {40, "cmd", {1, 4, 4, 1}},         {50, "", {0, 128, 128, 1}},
      {51, "", {2, 12, 9, 1}},           {52, "", {3, 128, 128, 1}},
      {53, "", {4, 20, 0, 0}},           {54, "", {5, 256, 10, 1}},
      {55, "", {6, 132, 0, 1}},          {56, "", {7, 16, 5, 1}},
      {57, "", {8, 364, 100, 3}},        {58, "", {9, 84, 7, 1}},
      {59, "", {10, 412, 8, 8}},         {60, "", {11, 412, 0, 0}}};
  int32_t offset = 0;
  for (const auto &[id, name, f] : rows) {
    std::vector<int32_t> fields;  // did, flags, type, size, elemSize, count, offset
    for (const size_t at : {32, 36, 60, 40, 44, 48, 192}) fields.push_back(word(desc(id, at)));
    EXPECT_EQ(fields, (std::vector<int32_t>{id, 1, f[0], f[1], f[2], f[3], offset})) << id;
    EXPECT_EQ(bytes(desc(id), 32), pad(name)) << id;
    offset += f[1];
  }
  // mapto B, C (16-bit) and A; syncto of item 30 and of an item without it.
  EXPECT_EQ(bytes(desc(30, 52), 8), "\2\0\3\0\7\0\0\0"s);
  EXPECT_EQ(bytes(desc(30, 280), 12) + bytes(desc(1, 280), 12),
            "\x0C\0\0\0\x28\0\0\0\1\0\0\0"s + std::string(8, '\xFF') + std::string(4, '\0'));
  std::vector<int32_t> rt;  // of item 40: A[5], B[5], C[5], time-outs[5], count
  for (size_t at = 196; at < 280; at += 4) rt.push_back(word(desc(40, at)));
  EXPECT_EQ(rt, (std::vector<int32_t>{30, 30, 0, 0, 0,  10, 12, 0, 0, 0, 11,
                                      0,  0,  0, 0, 50, 2,  0,  0, 0, 2}));
  for (const int32_t id : {0, 4, 41, 4999}) EXPECT_EQ(bytes(desc(id), 292), std::string(292, '\0'));
}

TEST_F(ConfigParserTest, ResultsAndExactMessagesOfEveryRefusalAndWarning) {
  const std::string h = "[system]\nname=t\nkey=0x5A0D0001\nsize=8192\n[database]\nid=1\n";
  const std::string db = "parseSegDatabase| ", sys = "parseSegSystem| Syntax ERROR: ";
  const std::string e = db + "Syntax ERROR: ", at7 = " at line 7\n", z(400, '0'),
                    tw = "|WARN|NONAME|" + db + "Invalid usage of the timeout property\n";
  std::string rt6;  // six realtime entries, one more than a descriptor holds
  for (int i = 0; i < 6; ++i) rt6 += " realtime=1*2";
  const std::tuple<std::string, int, std::string> rows[] = {
      {"# c\n\nname=x\n", -1, "cfgParser| Syntax error: Can not find [system] at line:3\n"},
      {"[system]\nflavour=x\n", -4, sys + "Wrong system Key string(flavour) at line 2\n"},
      {"[system]\nname\n", -2, sys + "Can get name of system at line 2\n"},
      {"[system]\nkey\n", -2, sys + "Can get SHMKEY of system at line 2\n"},
      {"[system]\nsize\n", -3, sys + "Can get SIZE of system at line 2\n"},
      {h + "id=2 colour=red\n", -1, e + "Unrecognized Item Key(colour)" + at7},
      {h + "id=5000\n", -1, e + "Item ID wrong (5000)" + at7},
      {h + "id=4294967301\n", -1, e + "Item ID wrong (2147483647)" + at7},
      {h + "id=2 type=Integer\n", -1, e + "Unrecognized item type(Integer)" + at7},
      {h + "id=2 type=user size=60000*60000\n", -1, e + "Unrecognized item size format" + at7},
      {h + "id=2 mapto=1:2\n", -1, e + "Unrecognized Mapping format" + at7},
      {h + "id=2 mapto=1:0:3\n", -1, e + "Unrecognized Mapping format" + at7},
      {h + "id=2 syncto=12\n", -1, e + "Unrecognized syncto format" + at7},
      {h + "id=1, name=again\n", -1, e + "Repeated or badItem ID" + at7},
      {h + "id=2 type=user size=8189\n", -1,
       db + "Fital ERROR: System Share Memory size is too small (8192)\n"},
      {h + "id=2 type=user size=8188\n", 0, ""},  // fills the data segment exactly
      // Texts longer than the fields and the parsers' private copies.
      {h + "id=2 name=" + std::string(40, 'n') + " value=" + std::string(200, 'v') + "\n", 0, ""},
      {h + "id=2 realtime=" + z + "1*2 size=" + z + "8\n", -1,
       e + "Unrecognized item size format" + at7},
      {h + "id=2 mapto=" + z + "7:2:3\n", -1, e + "Unrecognized Mapping format" + at7},
      {h + "id=2 syncto=" + z + "7:2:3\n", -1, e + "Unrecognized syncto format" + at7},
      // A line is read 1023 characters at a time.
      {h + "id=2 value=" + std::string(1012, 'v') + "rest\n", -1,
       e + "Unrecognized Item Key(rest) at line 8\n"},
      {h + "id=2" + rt6 + " timeout=9\n", 0, db + "rtControl index can't be more than 5 \n" + tw},
      {h + "id=2 realtime=1*2 name=x timeout=9\n", 0, tw.substr(13)}};
  for (const auto &[text, result, message] : rows) {
    EXPECT_EQ(parse(text),
              std::to_string(result) + (message.empty() ? "" : "|WARN|NONAME|" + message));
    EXPECT_EQ(word(0), result == 0 ? 0x32AC230 : 0) << message;
  }
  reset_index();
  const std::string missing = dir_.path() + "/missing.cfg";
  EXPECT_EQ(outcome([&] { return zrdb_cfgParse(missing.c_str()); }),
            "-1|WARN|NONAME|cfgParser| Open ZRDB configuration file (" + missing + ") failed!\n");
}

TEST_F(ConfigParserTest, SystemKeysSaturateAndSizesRoundUpToWholePages) {
  const std::string n32(32, 'N'), n(32, '\0'), p7 = pad("plant 7"), long_name = "name=" + n32 + "x";
  // Blanks belong to the name; a name that fills the field has no terminator.
  const std::tuple<std::string, std::string, int32_t, uint32_t> rows[] = {
      {"name=plant 7", p7, 0, 0},
      {long_name, n32, 0, 0},
      {"key=010", n, 8, 0},
      {"key=0xFFFFFFFF", n, INT32_MAX, 0},
      {"key=-0x80000001", n, INT32_MIN, 0},
      {"size=5000", n, 0, 8192},
      {"size=-5", n, 0, 4096},
      {"size=0xFFFFFFFF", n, 0, 0x80000000},
      {"size=4294967296", n, 0, 0x80000000}};
  for (const auto &[line, name, key, size] : rows) {
    EXPECT_EQ(parse("[system]\n" + line + "\n"), "0");
    EXPECT_EQ(std::make_tuple(bytes(4, 32), word(44), uint32_t(word(36))),
              std::tie(name, key, size))
        << line;
  }
}

}  // namespace zrdb::test
