// Test support: temporary files, databases made and removed around a test,
// standard output capture and child processes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core.h"

namespace zrdb::test {

inline constexpr int kTestDataKey = 0x5A0D0001;  // data segment key of the test databases

// A temporary directory, removed with its files; write() returns the path.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string write(const std::string &name, const std::string &text) const;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Removes the index, the data segment of `dataKey` and the named semaphores.
void remove_ipc(int dataKey, const std::vector<std::string> &semaphores = {});
// Removes the item lock files of `ids`, which the library leaves on disk.
void remove_lock_files(const std::vector<int32_t> &ids);

// Runs `call` with standard output captured; returns "result: output".
inline std::string run(const std::function<int()> &call) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  const int rc = call();
  std::fflush(stdout);
  return std::to_string(rc) + ": " + ::testing::internal::GetCapturedStdout();
}

// Runs fn with standard output captured; returns what it printed.
inline std::string capture_stdout(const std::function<void()> &fn) {
  return run([&] { return fn(), 0; }).substr(3);
}

// A forked child, killed if the test ends first. It runs `setup`, tells
// the parent, then runs fn: the constructor returns once setup returned in
// the child, and ready() is its result. wait() and run_in_child give fn's
// result, or -1 when the child died abnormally.
class Child {
 public:
  explicit Child(const std::function<int()> &fn) : Child([] { return true; }, fn) {}
  Child(const std::function<bool()> &setup, const std::function<int()> &fn) {
    int told[2];
    if (pipe2(told, O_CLOEXEC) != 0) return;  // not inherited by what fn runs
    std::fflush(stdout);                      // the child must not print the parent's buffer again
    if ((pid_ = fork()) == 0) {
      const char ok = setup() ? 1 : 0;
      const int status = write(told[1], &ok, 1) == 1 && ok ? fn() : 1;
      std::fflush(stdout);
      _exit(status);
    }
    close(told[1]);
    char ok = 0;
    ready_ = pid_ > 0 && read(told[0], &ok, 1) == 1 && ok == 1;
    close(told[0]);
  }
  ~Child() {
    if (pid_ > 0 && !reaped_ && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }
  bool started() const { return pid_ > 0; }
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  bool running() { return !reaped_ && !(reaped_ = waitpid(pid_, &status_, WNOHANG) != 0); }
  int wait() {
    if (!reaped_ && waitpid(pid_, &status_, 0) == pid_) reaped_ = true;
    return reaped_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false, ready_ = false;
};

inline int run_in_child(const std::function<int()> &fn) { return Child(fn).wait(); }
// Runs fn, which checks, in a child; fails the test when a check failed there.
inline void expect_in_child(const std::function<void()> &fn) {
  EXPECT_EQ(run_in_child([&] { return fn(), ::testing::Test::HasFailure() ? 1 : 0; }), 0)
      << "a check in the child failed";
}

// Under qemu-arm user-mode emulation: the emulator command of
// cmake/toolchain-armhf.cmake sets ZRDB_UNDER_QEMU=1. A test that needs
// what the emulator cannot give skips there and says why.
inline bool under_qemu() {
  const char *v = std::getenv("ZRDB_UNDER_QEMU");
  return v != nullptr && std::string(v) == "1";
}

// The path of the built tool `name` (build*/tools/<name>, beside the tests).
std::string tool_path(const std::string &name);
// The words that run the tool: in a cross build the emulator that runs the
// tests comes first (CMAKE_CROSSCOMPILING_EMULATOR), as the host executes
// no ARM program by itself.
std::vector<std::string> tool_command(const std::string &name);
// The same as one shell command line, each word quoted.
std::string tool_shell_command(const std::string &name);

// The whole file at `path` ("" when it cannot be read).
std::string read_file(const std::string &path);
// A tool run to its end (killed after 10 s, so that a hang fails), its
// output kept in files of `dir`.
struct ToolRun {
  std::string command;
  int status;  // the exit status, or -1 when it did not exit
  std::string out, err;
};
ToolRun run_tool(const std::string &name, const std::vector<std::string> &args,
                 const std::string &dir);
// The [system] head of a test database file, up to and with "[database]".
std::string system_section(int dataKey = kTestDataKey, int size = 65536);

// The data area of item `id` in the attached data segment, as a T.
template <class T>
T &data_of(int32_t id) {
  return *reinterpret_cast<T *>(static_cast<char *>(zrdb_getBaseAddr()) + descriptor(id)->offset);
}
// "id=value " for each item of this process's item list, in its order.
std::string item_list();

// Tests that parse into the index only; each starts and ends without one.
class IndexOnlyTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_index(); }
  void TearDown() override { reset_index(); }
  static void reset_index() {
    release_process_index();
    remove_ipc(ZRDB_INDEX_KEY);
  }
};

// Parses `items()` and allocates the database in SetUp; TearDown removes it
// the normal way and expects no segment or semaphore to survive removal.
class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual std::string items() const = 0;                              // the [database] lines
  virtual std::vector<std::string> semaphores() const { return {}; }  // those it makes
  virtual std::vector<int32_t> lockedItems() const { return {}; }     // items whose lock files
  void reattach(int32_t mode, const int32_t *ids = nullptr);          // after the allocating attach
  int attach(std::vector<int32_t> ids, int32_t mode = HBUSER_CLIENT);  // {}: all; the result

  TempDir dir_;
  std::string dbPath_;
};

}  // namespace zrdb::test
