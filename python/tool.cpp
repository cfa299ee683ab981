// zrdb.create and zrdb.remove: the operator's tool does them, with every
// check it makes (no database allocated already, nobody attached, the
// items' system objects released), so the module runs zrdbctl rather than
// repeat them. The zrdbctl is the one built beside this module: in the
// build tree when imported from there, else the installed one; $ZRDBCTL
// overrides both.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zrdb_py.h"

extern char **environ;

namespace zrdbpy {
namespace {

std::string zrdbctl_path() {
  if (const char *env = std::getenv("ZRDBCTL"); env != nullptr && *env != '\0') return env;
  Dl_info info{};
  const std::string buildDir = ZRDBPY_BUILD_DIR "/";
  if (dladdr(reinterpret_cast<void *>(&zrdbctl_path), &info) != 0 && info.dli_fname != nullptr &&
      std::string(info.dli_fname).rfind(buildDir, 0) == 0)
    return ZRDBPY_BUILD_ZRDBCTL;
  return ZRDBPY_INSTALLED_ZRDBCTL;
}

// Runs zrdbctl with `args`; its exit status and what it printed.
int run_zrdbctl(const std::vector<std::string> &args, std::string &output) {
  const std::string tool = zrdbctl_path();
  std::vector<char *> argv{const_cast<char *>(tool.c_str())};
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDERR_FILENO);
  pid_t pid = -1;
  const int err = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (err != 0) {
    close(pipefd[0]);
    output = "cannot run " + tool + ": " + std::strerror(err);
    return -1;
  }
  char buf[4096];
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) != 0;) {
    if (n > 0)
      output.append(buf, static_cast<size_t>(n));
    else if (errno != EINTR)
      break;
  }
  close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string run_or_raise(const std::vector<std::string> &args, const char *doing) {
  std::string out;
  int rc = 0;
  {
    py::gil_scoped_release unlocked;
    rc = run_zrdbctl(args, out);
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (rc != 0) raise_message(-1, std::string(doing) + " failed: " + out);
  return out;
}

py::dict create(const std::string &dbfile) {
  const std::string out = run_or_raise({"create", dbfile}, ("creating " + dbfile).c_str());
  // created 'NAME': N items, data key 0xKEY, SIZE bytes
  const size_t at = out.rfind("created '");
  const size_t end = out.rfind("': ");
  int items = 0;
  unsigned key = 0, size = 0;
  if (at == std::string::npos || end == std::string::npos || end < at ||
      std::sscanf(out.c_str() + end, "': %d items, data key %x, %u bytes", &items, &key, &size) !=
          3)
    raise_message(-1, "creating " + dbfile + ": zrdbctl said '" + out + "'");
  py::dict summary;
  summary["name"] = out.substr(at + 9, end - at - 9);
  summary["items"] = items;
  summary["key"] = key;
  summary["size"] = size;
  return summary;
}

void remove(const std::string &dbfile, bool force) {
  std::vector<std::string> args{"remove"};
  if (force) args.emplace_back("--force");
  args.push_back(dbfile);
  run_or_raise(args, ("removing " + dbfile).c_str());
}

}  // namespace

void register_tool(py::module_ &m) {
  def_typed(m, "create", &create,
            "create(dbfile: str) -> Dict[str, Any]\n\nCreates the database of dbfile, as `zrdbctl "
            "create`: {'name', 'items', 'key', 'size'}.",
            py::arg("dbfile"));
  m.def("remove", &remove, py::arg("dbfile"), py::arg("force") = false,
        "Removes the database, as `zrdbctl remove` (force: even under attached processes).");
}

}  // namespace zrdbpy
