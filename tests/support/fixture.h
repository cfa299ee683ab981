// Test support: temporary configuration files, a database that is created in
// SetUp and removed in TearDown (also when the test failed), stdout capture
// and child processes.
#pragma once

#include <gtest/gtest.h>

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

// The [system] head of a test database file.
std::string system_section(int dataKey = kTestDataKey, int size = 65536);

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
