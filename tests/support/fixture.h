// Test support: temporary configuration files, a database that is created in
// SetUp and removed in TearDown (also when the test failed), stdout capture
// and child processes.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <functional>
#include <string>
#include <vector>

#include "core.h"

namespace zrdb::test {

// Data segment key used by the test databases.
inline constexpr int kTestDataKey = 0x5A0D0001;

// A temporary directory removed with its files.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  // Writes `text` to a file of that name and returns its path.
  std::string write(const std::string &name, const std::string &text) const;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Removes the index segment and the data segment of `dataKey`, whoever made
// them, and unlinks the named semaphores. Safe to call when nothing exists.
void remove_ipc(int dataKey, const std::vector<std::string> &semaphores = {});

// Runs fn with standard output captured; returns what it printed.
std::string capture_stdout(const std::function<void()> &fn);

// Runs fn in a forked child; returns its exit status (fn's result), or -1
// when the child died abnormally.
int run_in_child(const std::function<int()> &fn);

// A child process that runs while the parent goes on; killed if the test
// ends without reaping it.
class Child {
 public:
  explicit Child(const std::function<int()> &fn) {
    std::fflush(stdout);
    pid_ = fork();
    if (pid_ == 0) {
      const int status = fn();
      std::fflush(stdout);
      _exit(status);
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  bool started() const { return pid_ > 0; }
  // True while the child has not exited.
  bool running() {
    if (reaped_) return false;
    if (waitpid(pid_, &status_, WNOHANG) == 0) return true;
    reaped_ = true;
    return false;
  }
  // The child's exit status, or -1 when it died abnormally.
  int wait() {
    if (!reaped_ && waitpid(pid_, &status_, 0) == pid_) reaped_ = true;
    return reaped_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// The [system] head of a test database file.
std::string system_section(int dataKey = kTestDataKey, int size = 65536);

// A fixture for tests that parse into the index segment only: every test
// starts and ends without an index, in this process and on the system.
class IndexOnlyTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_index(); }
  void TearDown() override { reset_index(); }
  static void reset_index() {
    release_process_index();
    remove_ipc(ZRDB_INDEX_KEY);  // no data segment is made by these tests
  }
};

// A fixture that parses `config()` and allocates the database in SetUp and
// releases everything in TearDown.
class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The [database] lines of the test database.
  virtual std::string items() const = 0;
  // Semaphore names the database creates, unlinked in TearDown.
  virtual std::vector<std::string> semaphores() const { return {}; }
  // Re-attaches this process in `mode` (after the allocating attach).
  void reattach(int32_t mode, const int32_t *ids = nullptr);

  TempDir dir_;
  std::string dbPath_;
};

}  // namespace zrdb::test
