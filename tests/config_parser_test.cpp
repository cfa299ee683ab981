// The configuration file reader: what it writes, read back at the records'
// byte offsets so that no layout change hides, and its exact diagnostics.
#include <sys/stat.h>

#include "support/fixture.h"

namespace zrdb::test {

using Words = std::vector<int32_t>;

class ConfigParserTest : public IndexOnlyTest {
 protected:
  // Parses `text` into a new index, expecting `result`; returns what was printed.
  std::string parse(const std::string &text, int result = 0) {
    reset_index();
    const std::string path = dir_.write("db.cfg", text);
    return capture_stdout([&] { EXPECT_EQ(zrdb_cfgParse(path.c_str()), result) << text; });
  }
  static std::string bytes(size_t at, size_t n) {
    return {reinterpret_cast<const char *>(zrdbIndexHdr.sysHdr) + at, n};
  }
  static Words words(size_t at, size_t n = 1) {  // n 32-bit words at byte `at` of the index
    Words w(n);
    std::memcpy(w.data(), bytes(at, 4 * n).data(), 4 * n);
    return w;
  }
  // Name, then did, flags, size, elemSize, count, type and offset of descriptor `id`.
  static std::pair<std::string, Words> record(int32_t id) {
    Words w = words(80 + 292 * id, 5);
    w.push_back(words(108 + 292 * id)[0]);
    w.push_back(words(240 + 292 * id)[0]);
    return {bytes(48 + 292 * id, 32), w};
  }
  TempDir dir_;
};

std::string pad(const std::string &name) { return name + std::string(32 - name.size(), '\0'); }

TEST_F(ConfigParserTest, WorkedExampleLayoutInTheSegment) {
  EXPECT_EQ(parse("# plant database\n[system]\nname=plant\nkey=0x5A0DE000\nsize=16384\n[database]\n"
                  "id=1, name=speed, type=integer, size=4*8, value=100\n"
                  "id=2, name=label, type=string, size=16*2, value=idle\n"
                  "id=3, name=calib, type=user, size=64, value=0x5a\n"
                  "id=10, name=counter, type=integer, value=0\n"
                  "id=20, name=events, type=cbuf, size=64*32\n"
                  "id=30, name=requests, type=msgbuf, size=76*16, mapto=7:2:3, syncto=20:40:1\n"
                  "id=40, name=cmd, realtime=30*10*3, timeout=50, realtime=30*20\n"),
            "");
  EXPECT_EQ(words(0), Words{0x32AC230});  // magic, name, size, maxDid, key
  EXPECT_EQ(bytes(4, 32), pad("plant"));
  EXPECT_EQ(words(36, 3), (Words{16384, 40, 0x5A0DE000}));
  // clang-format off
  const std::pair<std::string, Words> rows[] = {
      {pad("speed"), {1, 1, 32, 4, 8, 1, 0}},         {pad("label"), {2, 1, 32, 16, 2, 2, 32}},
      {pad("calib"), {3, 1, 64, 64, 1, 0, 64}},       {pad("counter"), {10, 1, 4, 4, 1, 1, 128}},
      {pad("events"), {20, 1, 2068, 64, 32, 4, 132}}, {pad("cmd"), {40, 1, 4, 4, 1, 1, 3424}},
      {pad("requests"), {30, 1, 1224, 76, 16, 7, 2200}}};
  // clang-format on
  for (const auto &row : rows) EXPECT_EQ(record(row.second[0]), row);
  // mapto B, C (16-bit each) then A; syncto, {-1, -1, 0} when not given.
  EXPECT_EQ(bytes(48 + 292 * 30 + 52, 8), std::string("\2\0\3\0\7\0\0\0", 8));
  EXPECT_EQ(words(48 + 292 * 30 + 280, 3), (Words{20, 40, 1}));
  EXPECT_EQ(words(48 + 292 + 280, 3), (Words{-1, -1, 0}));
  // rtA[5], rtB[5], rtC[5], rtTimeout[5], rtCount
  EXPECT_EQ(words(48 + 292 * 40 + 196, 21),
            (Words{30, 30, 0, 0, 0, 10, 20, 0, 0, 0, 3, 0, 0, 0, 0, 50, 2, 0, 0, 0, 2}));
  for (const int32_t id : {0, 4, 41, 4999})
    EXPECT_EQ(bytes(48 + 292 * id, 292), std::string(292, '\0'));
  EXPECT_EQ(item_list(), "1=100 2=idle 3=0x5a 10=0 20= 30= 40= ");
}

TEST_F(ConfigParserTest, ResultsAndExactMessagesOfEveryRefusalAndWarning) {
  const std::string head = "[system]\nname=t\nkey=0x5A0D0001\nsize=8192\n[database]\nid=1\n";
  const std::string db = "parseSegDatabase| Syntax ERROR: ", sys = "parseSegSystem| Syntax ERROR: ";
  const std::string size = db + "Unrecognized item size format at line 7\n";
  const auto named = [](int id, const std::string &what) {
    return "cfgParser| Syntax ERROR: realtime of item 2 (cmd) names item " + std::to_string(id) +
           ", which is not defined; expected the id of " + what + " defined in [database]\n";
  };
  const std::vector<std::tuple<std::string, int, std::string>> rows = {
      {"# c\n\nname=x\n", -1, "cfgParser| Syntax error: Can not find [system] at line:3\n"},
      {"[system]\nflavour=x\n", -4, sys + "Wrong system Key string(flavour) at line 2\n"},
      {"[system]\nname\n", -2, sys + "Can get name of system at line 2\n"},
      {"[system]\nkey\n", -2, sys + "Can get SHMKEY of system at line 2\n"},
      {"[system]\nsize\n", -3, sys + "Can get SIZE of system at line 2\n"},
      {head + "id=5000\n", -1, db + "Item ID wrong (5000) at line 7\n"},
      {head + "id=2 type=Integer\n", -1, db + "Unrecognized item type(Integer) at line 7\n"},
      {head + "id=2 type=vlinkbufs\n", -1, db + "Unrecognized item type(vlinkbufs) at line 7\n"},
      {head + "id=2 size=4*0\n", -1, size},
      {head + "id=2 size=-4*2\n", -1, size},
      {head + "id=2 type=user size=60000*60000\n", -1, size},
      {head + "id=2 mapto=1:2\n", -1, db + "Unrecognized Mapping format at line 7\n"},
      {head + "id=2 mapto=1:0:3\n", -1, db + "Unrecognized Mapping format at line 7\n"},
      {head + "id=2 syncto=12\n", -1, db + "Unrecognized syncto format at line 7\n"},
      {head + "id=1, name=again\n", -1, db + "Repeated or badItem ID at line 7\n"},
      // The whole file's need follows, comments and unsized lines apart.
      {head + "id=2 type=user size=8189\n# c\nid=3 type=cbuf size=2*3\nid=4 type=bad\n", -1,
       "parseSegDatabase| Fital ERROR: System Share Memory size is too small (8192): the items up"
       " to line 7 need 8196 bytes\n|WARN|NONAME|cfgParser| Fital ERROR: the items of the whole"
       " file need at least 8224 bytes; expected size=8224 or more in [system]\n"},
      // Names are compared as stored, cut at 31 characters.
      {head + "id=2 name=" + std::string(31, 'n') + "a\nid=3 name=" + std::string(31, 'n') + "b\n",
       -1,
       db + "Item name (" + std::string(31, 'n') +
           ") at line 8 is already the name of item 2; expected a name no other item has\n"},
      // Ids named by realtime and syncto may be defined further down; 0 is
      // no acknowledge semaphore and no remote buffer.
      {head + "id=2 realtime=1*1 syncto=3:7\nid=3 syncto=0:7\n", 0, ""},
      {head + "id=2 name=cmd realtime=9*1\n", -1, named(9, "a message buffer")},
      {head + "id=2 name=cmd realtime=1*9\n", -1, named(9, "a request semaphore")},
      {head + "id=2 name=cmd realtime=1*1*9\n", -1, named(9, "an acknowledge semaphore (or 0)")},
      {head + "id=2 name=cmd syncto=5000:1\n", -1,
       "cfgParser| Syntax ERROR: syncto of item 2 (cmd) names item 5000, which is not defined;"
       " expected the id of a remote buffer defined in [database]\n"},
      {head + "id=2 type=user size=8188\n", 0, ""},  // fills the segment exactly
      // A line is read 1023 characters at a time: the rest is a line of its own.
      {head + "id=2 value=" + std::string(1012, 'v') + "rest\n", -1,
       db + "Unrecognized Item Key(rest) at line 8\n"},
      {head + "id=2 realtime=1*1 realtime=1*1 realtime=1*1 realtime=1*1 realtime=1*1 realtime=1*9",
       0, "parseSegDatabase| rtControl index can't be more than 5 \n"},
      {head + "id=2 timeout=50\n", 0, "parseSegDatabase| Invalid usage of the timeout property\n"},
  };
  for (const auto &[text, result, message] : rows) {
    EXPECT_EQ(parse(text, result), message.empty() ? "" : "|WARN|NONAME|" + message);
    EXPECT_EQ(words(0), Words{result == 0 ? 0x32AC230 : 0}) << message;  // valid only when clean
  }
}

// Both file readers, database and application, open nothing but a regular
// file of bounded size: a FIFO would block the open, /dev/zero never end,
// and a directory or a file past the bound would read as empty lines. A
// file that is not there is named as such.
TEST_F(ConfigParserTest, OnlyARegularFileOfBoundedSizeIsRead) {
  const std::string fifo = dir_.path() + "/fifo", big = dir_.write("big.cfg", "");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(truncate(big.c_str(), ZRDB_FILE_MAX + 1), 0);
  const std::pair<std::string, std::string> rows[] = {
      {fifo, "not a regular file"},
      {"/dev/zero", "not a regular file"},
      {dir_.path(), "not a regular file"},
      {big, "larger than allowed"},
      {dir_.path() + "/missing.cfg", "No such file or directory"}};
  for (const auto &[path, why] : rows) {
    reset_index();
    EXPECT_EQ(run([&] { return zrdb_cfgParse(path.c_str()); }),
              "-1: |WARN|NONAME|cfgParser| Open ZRDB configuration file (" + path +
                  ") failed!\n|WARN|NONAME|cfgParser| " + why + "\n");
    EXPECT_EQ(run([&] { return zrdb_appInit(path.c_str(), nullptr, HBUSER_CLIENT); }),
              "-1: |WARN|NONAME|zrdb_appInit| Open App configuration file (" + path +
                  ") failed!\n|WARN|NONAME|zrdb_appInit| " + why + "\n");
  }
}

TEST_F(ConfigParserTest, TextsAreCutToTheirFieldsAndTheSizeToWholePages) {
  EXPECT_EQ(parse("[system]\nname=" + std::string(32, 'N') +
                  "tail\nsize=5000\n[database]\nid=010 name=" + std::string(40, 'n') + " value=" +
                  std::string(200, 'v') + "\nid=3 id=4 name=a name=b value\n  #id=5\n\t\r\n,=,\n"),
            "");
  // The system name fills its field unterminated; ids are decimal; later keys win.
  EXPECT_EQ(bytes(4, 36), std::string(32, 'N') + std::string("\0\x20\0\0", 4));
  EXPECT_EQ(item_list(), "10=" + std::string(127, 'v') + " 4= ");
  EXPECT_EQ(record(10).first, std::string(31, 'n') + '\0');
  EXPECT_EQ(record(4).first, pad("b"));
}

}  // namespace zrdb::test
