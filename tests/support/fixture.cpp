#include "support/fixture.h"

#include <semaphore.h>
#include <sys/shm.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace zrdb::test {

TempDir::TempDir() {
  char pattern[] = "/tmp/zrdb-test-XXXXXX";
  path_ = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (path_ != "/tmp") std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string &name, const std::string &text) const {
  std::ofstream(path_ + "/" + name, std::ios::binary) << text;
  return path_ + "/" + name;
}

std::string tool_path(const std::string &name) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" /
         name;
}

std::vector<std::string> tool_command(const std::string &name) {
  std::vector<std::string> words;
#ifdef ZRDB_TOOL_EMULATOR
  std::istringstream emulator(ZRDB_TOOL_EMULATOR);  // words without blanks, as CMake joined them
  for (std::string word; emulator >> word;) words.push_back(word);
#endif
  words.push_back(tool_path(name));
  return words;
}

std::string tool_shell_command(const std::string &name) {
  std::string line;
  for (const std::string &word : tool_command(name))
    line += (line.empty() ? "'" : " '") + word + "'";
  return line;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

ToolRun run_tool(const std::string &name, const std::vector<std::string> &args,
                 const std::string &dir) {
  ToolRun r{"timeout -s KILL 10 " + tool_shell_command(name), -1, "", ""};
  for (const std::string &a : args) r.command += " '" + a + "'";
  const int status = std::system((r.command + " >" + dir + "/o 2>" + dir + "/e").c_str());
  r.out = read_file(dir + "/o");
  r.err = read_file(dir + "/e");
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

void remove_ipc(int dataKey, const std::vector<std::string> &semaphores) {
  for (const int key : {static_cast<int>(ZRDB_INDEX_KEY), dataKey}) {
    const int id = shmget(key, 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  }
  for (const std::string &name : semaphores) sem_unlink(name.c_str());
}

void remove_lock_files(const std::vector<int32_t> &ids) {
  for (const int32_t id : ids) unlink(("/tmp/zrdbid" + std::to_string(id) + ".lock").c_str());
}

std::string item_list() {
  std::string list;
  for (const ZRDB_DIDNODE *n = zrdbIndexHdr.didHead; n != nullptr; n = n->next)
    list += std::to_string(n->did) + "=" + n->value + " ";
  return list;
}

std::string system_section(int dataKey, int size) {
  return "[system]\nname=test\nkey=" + std::to_string(dataKey) + "\nsize=" + std::to_string(size) +
         "\n[database]\n";
}

void DatabaseTest::SetUp() {
  remove_ipc(kTestDataKey, semaphores());
  remove_lock_files(lockedItems());
  dbPath_ = dir_.write("db.cfg", system_section() + items());
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  ASSERT_EQ(zrdb_Init(HBUSER_ALLOCATE, nullptr), 0);
}

void DatabaseTest::reattach(int32_t mode, const int32_t *ids) {
  zrdb_Cleanup();
  ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
  ASSERT_EQ(zrdb_Init(mode, ids), 0);
}

int DatabaseTest::attach(std::vector<int32_t> ids, int32_t mode) {
  if (!ids.empty()) ids.push_back(-1);
  zrdb_Cleanup();
  const int parsed = zrdb_cfgParse(dbPath_.c_str());
  return parsed != 0 ? parsed : zrdb_Init(mode, ids.empty() ? nullptr : ids.data());
}

void DatabaseTest::TearDown() {
  zrdb_Cleanup();
  if (zrdb_cfgParse(dbPath_.c_str()) == 0 && zrdb_Init(HBUSER_REMOVE, nullptr) == 0) {
    EXPECT_EQ(zrdb_Remove(), 0);
    EXPECT_LT(shmget(kTestDataKey, 0, 0), 0) << "removal left the data segment";
    EXPECT_LT(shmget(ZRDB_INDEX_KEY, 0, 0), 0) << "removal left the index segment";
    for (const std::string &name : semaphores())
      EXPECT_FALSE(std::filesystem::exists("/dev/shm/sem." + name.substr(1)))
          << "removal left " << name;
  }
  zrdb_Cleanup();
  remove_ipc(kTestDataKey, semaphores());
  remove_lock_files(lockedItems());
}

}  // namespace zrdb::test
