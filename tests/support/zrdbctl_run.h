// zrdbctl as an operator runs it: a separate process per command, judged by
// its exit status, its output or its one-line reason on standard error.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace zrdb::test {

// A command line, the exit status it must give and a fragment of its output
// (status 0) or of its one-line reason (any other status).
struct Step {
  std::vector<std::string> args;
  int status;
  std::string text;
};

// Runs zrdbctl with its output kept in a temporary directory.
class ZrdbctlRun : public ::testing::Test {
 protected:
  // Runs the tool, killed after 10 s so that a hang fails; keeps its output.
  int run(const std::vector<std::string> &args) {
    ToolRun r = run_tool("zrdbctl", args, dir_.path());
    cmd_ = std::move(r.command);
    out_ = std::move(r.out);
    err_ = std::move(r.err);
    return r.status;
  }
  void expect(const Step &s) {
    const int status = run(s.args);
    SCOPED_TRACE(cmd_ + "\n" + out_ + err_);
    EXPECT_EQ(status, s.status);
    EXPECT_NE((s.status == 0 ? out_ : err_).find(s.text), std::string::npos);
    // A failure gives exactly one line, prefixed with the tool's name.
    EXPECT_EQ(err_.substr(0, 9), s.status == 0 ? "" : "zrdbctl: ");
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), s.status == 0 ? 0 : 1);
    // Text any peer may write reaches the terminal escaped: no terminal
    // escape, no carriage return (UTF-8 stays text).
    EXPECT_EQ((out_ + err_).find_first_of("\033\r\x9b"), std::string::npos);
  }
  // Writes a database file of `items` and creates the database; its path.
  std::string create(const std::string &items) {
    const std::string db = dir_.write("own.cfg", system_section() + items);
    expect({{"create", db}, 0, ""});
    return db;
  }

  TempDir dir_;
  std::string cmd_, out_, err_;
};

}  // namespace zrdb::test
