// Attaching the index segment: the first process parses the file into it,
// later processes (forked children here) find it valid and only rebuild
// their private item list; a failed parse leaves it invalid so that the
// next attach parses again.
#include <sys/resource.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZRDB_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZRDB_TEST_ASAN 1
#endif
#endif

namespace zrdb::test {
namespace {

// Literal byte offsets of the records, independent of the structs.
constexpr size_t kHdrMagic = 0, kHdrName = 4, kHdrMaxDid = 40;
constexpr size_t kFirstDesc = 48, kDescSize = 292, kDescFlags = 36;
constexpr uint32_t kMagic = 0x32AC230;

using ItemList = std::vector<std::pair<int32_t, std::string>>;

std::string padded(const std::string &text, size_t size) {
  std::string out = text.substr(0, size);
  out.resize(size, '\0');
  return out;
}

// One "|LEVL|app|function| message" line of standard output.
struct LogLine {
  std::string level, func, message;
};

std::vector<LogLine> split_log(const std::string &out) {
  std::vector<LogLine> lines;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    end = end == std::string::npos ? out.size() : end + 1;
    const std::string line = out.substr(pos, end - pos);
    pos = end;
    const size_t appEnd = line.find('|', 6);
    const size_t funcEnd = appEnd == std::string::npos ? appEnd : line.find("| ", appEnd + 1);
    if (line.size() < 6 || line[0] != '|' || line[5] != '|' || funcEnd == std::string::npos ||
        line.compare(6, appEnd - 6, "NONAME") != 0) {
      lines.push_back({"", "", line});
      continue;
    }
    lines.push_back({line.substr(1, 4), line.substr(appEnd + 1, funcEnd - appEnd - 1),
                     line.substr(funcEnd + 2)});
  }
  return lines;
}

class IndexAttachTest : public IndexOnlyTest {
 protected:
  std::string write(const std::string &text) { return dir_.write("db.cfg", text); }

  static const unsigned char *segment() {
    return reinterpret_cast<const unsigned char *>(zrdbIndexHdr.sysHdr);
  }
  template <typename T>
  static T read(size_t offset) {
    T value;
    std::memcpy(&value, segment() + offset, sizeof value);
    return value;
  }
  static size_t desc_at(int32_t id) { return kFirstDesc + kDescSize * static_cast<size_t>(id); }
  static bool desc_is_zero(int32_t id) {
    const unsigned char *d = segment() + desc_at(id);
    for (size_t i = 0; i < kDescSize; ++i) {
      if (d[i] != 0) return false;
    }
    return true;
  }

  static ItemList item_list() {
    ItemList list;
    for (const ZRDB_DIDNODE *n = zrdbIndexHdr.didHead; n != nullptr && list.size() <= 5000;
         n = n->next) {
      list.emplace_back(n->did, std::string(n->value, sizeof n->value));
    }
    return list;
  }

  static ItemList rebuilt(const std::vector<int32_t> &ids) {
    ItemList list;
    for (const int32_t id : ids) list.emplace_back(id, padded("", 128));
    return list;
  }

  // The dit entries of a rebuild: every id up to maxDid points at its
  // descriptor, active or not; the ids above it point nowhere.
  static void expect_rebuilt_dit(int32_t maxDid) {
    for (int32_t id = 0; id < ZRDB_MAX_ITEMS; ++id) {
      const unsigned char *want = id <= maxDid ? segment() + desc_at(id) : nullptr;
      ASSERT_EQ(reinterpret_cast<const unsigned char *>(zrdbIndexHdr.dit[id].desc), want)
          << "dit " << id;
    }
  }

  TempDir dir_;
};

// The two public ways to attach the index, which report under their names.
struct AttachCall {
  const char *name;
  int (*call)(const char *);
};
const AttachCall kAttachCalls[] = {{"zrdb_cfgParse", zrdb_cfgParse},
                                   {"zrdb_cfgParseFromFile", zrdb_cfgParseFromFile}};

const std::string kFirstFile =
    "[system]\nname=first\nkey=0x5A0D0001\nsize=8192\n[database]\n"
    "id=17, value=a\n"
    "id=4, type=vlinkmst, value=b\n"
    "id=9, type=vlinkmst\n"
    "id=0, value=c\n"
    "id=40, type=string\n";

TEST_F(IndexAttachTest, LaterProcessesReuseTheValidIndexWithoutReadingTheFile) {
  const std::string path = write(kFirstFile);
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
  EXPECT_EQ(item_list(), (ItemList{{17, padded("a", 128)},
                                   {4, padded("b", 128)},
                                   {9, padded("", 128)},
                                   {0, padded("c", 128)},
                                   {40, padded("", 128)}}));
  EXPECT_EQ(glb_vLinkDid, 9);  // a parse keeps the last vlinkmst line
  const int parentShmId = zrdbIndexHdr.idxShmId;

  // Neither a changed file nor a missing one is read again.
  const std::vector<std::string> later = {
      "[system]\nname=second\nsize=4096\n[database]\nid=99, value=new\n",
      "not a configuration file at all\n",
      "",  // removed
  };
  for (const std::string &text : later) {
    SCOPED_TRACE(text);
    if (text.empty()) {
      ASSERT_EQ(std::remove(path.c_str()), 0);
    } else {
      write(text);
    }
    const int child = run_in_child([&] {
      std::string out;
      int result = -99;
      out = capture_stdout([&] { result = zrdb_cfgParse(path.c_str()); });
      EXPECT_EQ(result, 0);
      EXPECT_EQ(out, "");
      if (zrdbIndexHdr.sysHdr == nullptr) return 2;
      EXPECT_EQ(zrdbIndexHdr.idxShmId, parentShmId);
      EXPECT_EQ(zrdbIndexHdr.idxSize, static_cast<uint32_t>(ZRDB_INDEX_SIZE));
      EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
      EXPECT_EQ(std::string(reinterpret_cast<const char *>(segment()) + kHdrName, 32),
                padded("first", 32));
      EXPECT_EQ(item_list(), rebuilt({0, 4, 9, 17, 40}));
      EXPECT_EQ(zrdbIndexHdr.didTail != nullptr ? zrdbIndexHdr.didTail->did : -1, 40);
      EXPECT_EQ(glb_vLinkDid, 4);  // a rebuild keeps the lowest vlinkmst id
      expect_rebuilt_dit(40);
      EXPECT_TRUE(desc_is_zero(99));
      return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(child, 0);
  }
}

TEST_F(IndexAttachTest, RepeatedAttachInOneProcessRebuildsTheListOnce) {
  const std::string path = write(kFirstFile);
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
    ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
    EXPECT_EQ(item_list(), rebuilt({0, 4, 9, 17, 40}));
    EXPECT_EQ(glb_vLinkDid, 4);
    expect_rebuilt_dit(40);
  }
}

TEST_F(IndexAttachTest, ParseFromFileRereadsAValidIndex) {
  const std::string path = write(kFirstFile);
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  write("[system]\nname=second\nsize=4096\n[database]\nid=99, value=new\nid=3\n");
  ASSERT_EQ(zrdb_cfgParseFromFile(path.c_str()), 0);
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(segment()) + kHdrName, 32),
            padded("second", 32));
  EXPECT_EQ(read<int32_t>(kHdrMaxDid), 99);
  for (const int32_t gone : {0, 4, 9, 17, 40}) EXPECT_TRUE(desc_is_zero(gone)) << gone;
  EXPECT_EQ(item_list(), (ItemList{{99, padded("new", 128)}, {3, padded("", 128)}}));
  EXPECT_EQ(glb_vLinkDid, -1);

  // A re-read that fails invalidates the index, so the next attach parses.
  write("[system]\nsize=4096\n[database]\nid=1\nid=1\n");
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(zrdb_cfgParseFromFile(path.c_str()), -1); }),
            "|WARN|NONAME|parseSegDatabase| Syntax ERROR: Repeated or badItem ID at line 5\n");
  EXPECT_EQ(read<uint32_t>(kHdrMagic), 0u);
  write("[system]\nsize=4096\n[database]\nid=2, value=again\n");
  const int child = run_in_child([&] {
    EXPECT_EQ(zrdb_cfgParse(path.c_str()), 0);
    if (zrdbIndexHdr.sysHdr == nullptr) return 2;
    EXPECT_EQ(item_list(), (ItemList{{2, padded("again", 128)}}));
    EXPECT_TRUE(desc_is_zero(1));
    EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(child, 0);
}

TEST_F(IndexAttachTest, FailedParseLeavesTheIndexInvalidAndTheNextAttachStartsFromZero) {
  const std::string path = write(
      "[system]\nname=broken\nsize=4096\n[database]\nid=77, value=x\nid=5\nid=6 type=float\n");
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(zrdb_cfgParse(path.c_str()), -1); }),
            "|WARN|NONAME|parseSegDatabase| Syntax ERROR: Unrecognized item type(float) at line "
            "7\n");
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  EXPECT_EQ(read<uint32_t>(kHdrMagic), 0u);
  // What the accepted lines wrote stays behind until the next parse.
  EXPECT_EQ(read<uint32_t>(desc_at(77) + kDescFlags), ZRDB_FLAG_ACTIVE);

  write("[system]\nname=fixed\nsize=4096\n[database]\nid=3, value=v\n");
  const int child = run_in_child([&] {
    EXPECT_EQ(zrdb_cfgParse(path.c_str()), 0);
    if (zrdbIndexHdr.sysHdr == nullptr) return 2;
    // Parsed (the value text is there), not rebuilt, and from a zeroed segment.
    EXPECT_EQ(item_list(), (ItemList{{3, padded("v", 128)}}));
    EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(segment()) + kHdrName, 32),
              padded("fixed", 32));
    EXPECT_TRUE(desc_is_zero(77));
    EXPECT_TRUE(desc_is_zero(5));
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(child, 0);
  // The parent sees the child's parse: one segment for the whole system.
  EXPECT_EQ(read<uint32_t>(kHdrMagic), kMagic);
}

TEST_F(IndexAttachTest, RebuildStaysWithinTheIdRange) {
  const std::string path = write("[system]\nsize=4096\n[database]\nid=4999\nid=2\n");
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  ASSERT_NE(zrdbIndexHdr.sysHdr, nullptr);
  // A foreign writer's maxDid beyond the ids must not walk past the index.
  zrdbIndexHdr.sysHdr->maxDid = 100000;
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  EXPECT_EQ(item_list(), rebuilt({2, 4999}));
  expect_rebuilt_dit(4999);
  zrdbIndexHdr.sysHdr->maxDid = -7;
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  EXPECT_EQ(item_list(), ItemList{});
  expect_rebuilt_dit(-1);
}

TEST_F(IndexAttachTest, IndexSegmentOfAnotherSizeCannotBeGot) {
  // Something else holds the index key with a segment of the wrong size.
  ASSERT_GE(shmget(ZRDB_INDEX_KEY, 4096, IPC_CREAT | 0666), 0);
  const std::string path = write(kFirstFile);
  const std::string reason = std::strerror(EINVAL);
  for (const AttachCall &attach : kAttachCalls) {
    const std::string name = attach.name;
    const auto call = attach.call;
    SCOPED_TRACE(name);
    int result = 0;
    const std::vector<LogLine> log =
        split_log(capture_stdout([&] { result = call(path.c_str()); }));
    EXPECT_EQ(result, -1);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].level, "WARN");
    EXPECT_EQ(log[0].func, name);
    EXPECT_EQ(log[0].message, "ZRDB Buffer Size:1460048, Key=538248231\n");
    EXPECT_EQ(log[1].level, "WARN");
    EXPECT_EQ(log[1].func, name);
    EXPECT_EQ(log[1].message, "ZRDB Buffer get failed(" + reason + ")\n");
    EXPECT_EQ(zrdbIndexHdr.sysHdr, nullptr);
    EXPECT_EQ(zrdbIndexHdr.didHead, nullptr);
  }
}

TEST_F(IndexAttachTest, IndexSegmentThatCannotBeAttachedIsLoggedAtErr) {
#ifdef ZRDB_TEST_ASAN
  GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#endif
  const std::string path = write(kFirstFile);
  ASSERT_EQ(zrdb_cfgParse(path.c_str()), 0);
  release_process_index();
  const std::string reason = std::strerror(ENOMEM);
  for (const AttachCall &attach : kAttachCalls) {
    const std::string name = attach.name;
    const auto call = attach.call;
    SCOPED_TRACE(name);
    const int child = run_in_child([&] {
      // Leave too little address space for the 1.4 MB mapping.
      long pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
      rlimit old{};
      getrlimit(RLIMIT_AS, &old);
      rlimit tight = old;
      tight.rlim_cur = used + 512 * 1024;
      int result = 0;
      const std::vector<LogLine> log = split_log(capture_stdout([&] {
        if (setrlimit(RLIMIT_AS, &tight) != 0) return;
        result = call(path.c_str());
        setrlimit(RLIMIT_AS, &old);
      }));
      EXPECT_EQ(result, -1);
      EXPECT_EQ(log.size(), 2u);
      if (log.size() != 2) return 2;
      EXPECT_EQ(log[0].level, "ERR ");
      EXPECT_EQ(log[0].func, name);
      EXPECT_EQ(log[0].message, "ZRDB index buffer Size:1460048, Key=538248231\n");
      EXPECT_EQ(log[1].level, "ERR ");
      EXPECT_EQ(log[1].func, name);
      EXPECT_EQ(log[1].message, "ZRDB index buffer attaching failed(" + reason + ")\n");
      EXPECT_EQ(zrdbIndexHdr.sysHdr, nullptr);
      return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(child, 0);
  }
}

}  // namespace
}  // namespace zrdb::test
