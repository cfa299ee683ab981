// Test support: temporary files, databases, output capture, child processes.
#pragma once

#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "core.h"

namespace zrdb::test {

inline constexpr int kTestDataKey = 0x5A0D0001;  // data segment key of the test databases

// A temporary directory, removed with its files.
class TempDir {
 public:
  TempDir(const TempDir &) = delete;
  TempDir() : path_(mkdtemp(pattern_) != nullptr ? pattern_ : "") {}
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }  // nothing when path_ is empty
  std::string write(const std::string &name, const std::string &text) const {  // its path
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
    return path_ + "/" + name;
  }
  const std::string &path() const { return path_; }

 private:
  char pattern_[32] = "/tmp/zrdb-test-XXXXXX";
  std::string path_;
  std::error_code ignored_;
};

// Removes the index and the data segment of `dataKey` and the named semaphores.
inline void remove_ipc(int dataKey, const std::vector<std::string> &semaphores = {}) {
  for (const int key : {static_cast<int>(ZRDB_INDEX_KEY), dataKey})
    if (const int id = shmget(key, 0, 0); id >= 0) shmctl(id, IPC_RMID, nullptr);
  for (const std::string &name : semaphores) sem_unlink(name.c_str());
}

// What fn prints on standard output.
inline std::string capture_stdout(const std::function<void()> &fn) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

// What fn returns, as text, followed by what it printed.
inline std::string as_text(int value) { return std::to_string(value); }
inline std::string as_text(std::string value) { return value; }
template <typename Fn>
std::string outcome(Fn &&fn) {
  std::string result;
  const std::string out = capture_stdout([&] { result = as_text(fn()); });
  return result + out;
}

// A child process running fn while the parent goes on; killed if still running at its end.
class Child {
 public:
  Child(const Child &) = delete;
  explicit Child(const std::function<int()> &fn) {
    std::fflush(stdout);  // or the child prints the parent's buffer again
    if ((pid_ = fork()) == 0) {
      const int status = fn();
      std::fflush(stdout);
      _exit(status);
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_ && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }
  bool started() const { return pid_ > 0; }
  bool running() {  // true while the child has not exited
    reaped_ = reaped_ || waitpid(pid_, &status_, WNOHANG) != 0;
    return !reaped_;
  }
  int wait() {  // its exit status, -1 when it died abnormally
    reaped_ = reaped_ || waitpid(pid_, &status_, 0) == pid_;
    return reaped_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// Runs fn in a forked child: its exit status (fn's result), -1 if it died.
inline int run_in_child(const std::function<int()> &fn) { return Child(fn).wait(); }

// The [system] head of a test database file, up to and with "[database]".
inline std::string system_section(int dataKey = kTestDataKey, int size = 65536) {
  return "[system]\nname=test\nkey=" + std::to_string(dataKey) + "\nsize=" + std::to_string(size) +
         "\n[database]\n";
}

// The data area of item `id` in this process.
inline unsigned char *item_area(int32_t id) {
  return static_cast<unsigned char *>(zrdbIndexHdr.dataBase) + descriptor(id)->offset;
}

// Tests of the index alone: each starts and ends without one, here and on the system.
class IndexOnlyTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_index(); }
  void TearDown() override { reset_index(); }
  static void reset_index() {
    release_process_index();
    remove_ipc(ZRDB_INDEX_KEY);
  }
};

// Allocates a database of items() in SetUp; TearDown removes it and expects nothing left.
class DatabaseTest : public ::testing::Test {
 protected:
  virtual std::string items() const = 0;                              // the [database] lines
  virtual std::vector<std::string> semaphores() const { return {}; }  // names the items create
  void SetUp() override {
    remove_ipc(kTestDataKey, semaphores());
    dbPath_ = dir_.write("db.cfg", system_section() + items());
    ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    ASSERT_EQ(zrdb_Init(HBUSER_ALLOCATE, nullptr), 0);
  }
  void TearDown() override {
    zrdb_Cleanup();
    if (zrdb_cfgParse(dbPath_.c_str()) == 0 && zrdb_Init(HBUSER_REMOVE, nullptr) == 0) {
      EXPECT_EQ(zrdb_Remove(), 0);
      EXPECT_LT(std::max(shmget(kTestDataKey, 0, 0), shmget(ZRDB_INDEX_KEY, 0, 0)), 0)
          << "removal left a segment";
      for (const std::string &name : semaphores())
        EXPECT_EQ(sem_open(name.c_str(), 0), SEM_FAILED) << "removal left " << name;
    }
    zrdb_Cleanup();
    remove_ipc(kTestDataKey, semaphores());
  }
  void reattach(int32_t mode, const int32_t *ids = nullptr) {  // after the allocating attach
    zrdb_Cleanup();
    ASSERT_EQ(zrdb_cfgParse(dbPath_.c_str()), 0);
    ASSERT_EQ(zrdb_Init(mode, ids), 0);
  }

  TempDir dir_;
  std::string dbPath_;
};

}  // namespace zrdb::test
