// zrdb-vlinkd: the VLINK link daemon. Carries the VLINK transactions of this
// system's applications to the peer systems' daemons, carries out the peers'
// transactions on this system's database as their links' settings allow,
// keeps the link states of the master item, and forwards this system's sync
// messages to the peer, applying those the peers send.
//
// It uses only the public header: the library binds it the daemon's handlers.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "daemon.h"
#include "keys.h"
#include "log.h"
#include "readiness.h"
#include "zrdb.h"

namespace vlinkd {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int /*sig*/) { g_stop = 1; }

[[gnu::format(printf, 2, 3)]] int fail(int status, const char *fmt, ...) {
  std::fputs("zrdb-vlinkd: ", stderr);
  va_list args;
  va_start(args, fmt);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  std::vfprintf(stderr, fmt, args);
  va_end(args);
  std::fputc('\n', stderr);
  return status;
}

void print_help() {
  std::printf(
      "usage: zrdb-vlinkd [OPTIONS] DBFILE\n"
      "       zrdb-vlinkd keygen PREFIX\n\n"
      "The VLINK link daemon of this system's ZRDB database (DBFILE, which must be\n"
      "allocated already). Serves the applications' VLINK transactions (message\n"
      "queue key %d) by asking the peer systems' zrdb-vlinkd over ZeroMQ with\n"
      "CURVE (authenticated, encrypted), answers the peers' requests from this\n"
      "database as their link's settings allow, forwards this system's sync\n"
      "messages, and keeps the link states of the VLINK master item: 1 while a\n"
      "link's peer is connected and proved its key, else 0.\n\n"
      "keygen PREFIX writes PREFIX.key (secret, mode 0600) and PREFIX.pub and\n"
      "prints the public key.\n\n"
      "options:\n"
      "  -c FILE                 settings file: lines of KEY VALUE, KEY one of the\n"
      "                          long options below without dashes; '#' comments\n"
      "  --key FILE              this system's secret key file (required)\n"
      "  --link N=HOST[:PORT] KEY  peer of link N (0..31) and its public key (Z85\n"
      "                          text or a .pub file); repeatable; PORT %d\n"
      "  --listen ADDR[:PORT]    own IPv4 address and port for the peers\n"
      "                          (127.0.0.1:%d)\n"
      "  --deny-get N ITEMS      items link N may not read (ids, FIRST-LAST, names)\n"
      "  --allow-set N ITEMS     the only items link N may write, by request or sync\n"
      "  --sync-port [ADDR:]PORT take sync messages on this UDP port of a loopback\n"
      "                          address (127.0.0.1)\n"
      "  --sync-item NAME        or through this vlinkbuf item (server role)\n"
      "  --sync-link N           the link sync messages are forwarded over (0)\n"
      "  --foreground            stay in the foreground and log to standard error\n"
      "  --help, --version\n\n"
      "Command-line settings apply after the file's; a --link replaces the\n"
      "file's link of the same number. Without --foreground the daemon detaches\n"
      "(double fork) once everything is open and logs to the system log; the\n"
      "starting command exits with the start's status. Under a service manager,\n"
      "use --foreground.\n\n"
      "SIGTERM or SIGINT: close the connections, set the link states to 0, detach.\n\n"
      "Exit status: 0 stopped cleanly; 1 the database, a socket or the queue could\n"
      "not be used; 2 bad options, settings or keys (with FILE:LINE: reason).\n",
      ZRDB_VLINK_QUEUE_KEY, kDefaultPort, kDefaultPort);
}

// Splits "--key=value" / "--key value"; the key without its dashes.
bool option_value(int argc, char **argv, int &at, std::string &key, std::string &value) {
  std::string arg = argv[at] + 2;
  const size_t eq = arg.find('=');
  if (eq != std::string::npos) {
    key = arg.substr(0, eq);
    value = arg.substr(eq + 1);
    return true;
  }
  if (at + 1 >= argc) return false;
  key = arg;
  value = argv[++at];
  if (two_word_setting(key)) {
    if (at + 1 >= argc) return false;
    value.append(" ").append(argv[++at]);
  }
  return true;
}

// Detaches from the terminal with a double fork. The starting process
// waits (30 s at most) for the daemon's start status and exits with it;
// the daemon gets the pipe's write end in `readyFd`.
void daemonise(int &readyFd) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) std::exit(fail(kFailure, "pipe: %s", std::strerror(errno)));
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) std::exit(fail(kFailure, "fork: %s", std::strerror(errno)));
  if (child > 0) {
    close(pipeFds[1]);
    waitpid(child, nullptr, 0);
    pollfd p{pipeFds[0], POLLIN, 0};
    unsigned char status = kFailure;
    if (poll(&p, 1, 30000) != 1 || read(pipeFds[0], &status, 1) != 1)
      std::exit(fail(kFailure, "the daemon did not report its start; see the system log"));
    std::exit(status);
  }
  close(pipeFds[0]);
  setsid();
  if (fork() != 0) _exit(0);  // the daemon is no session leader: it never gets a terminal
  if (chdir("/") != 0) _exit(kFailure);
  const int null = open("/dev/null", O_RDWR);
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
  if (null > STDERR_FILENO) close(null);
  log_to_syslog();
  readyFd = pipeFds[1];
}

int run(int argc, char **argv) {
  // An option after keygen (--help) is read as one, not as a file prefix.
  if (argc == 3 && std::strcmp(argv[1], "keygen") == 0 && argv[2][0] != '-')
    return keygen(argv[2]);
  const char *configFile = nullptr;
  const char *dbFile = nullptr;
  bool foreground = false;
  std::vector<std::pair<std::string, std::string>> settings;
  for (int at = 1; at < argc; ++at) {
    const std::string arg = argv[at];
    if (arg == "--help" || arg == "-h") {
      print_help();
      return kOk;
    }
    if (arg == "--version") {
      std::printf("zrdb-vlinkd %s\n", ZRDB_VLINKD_VERSION);
      return kOk;
    }
    if (arg == "--foreground") {
      foreground = true;
    } else if (arg == "-c") {
      if (at + 1 >= argc) return fail(kUsage, "-c needs a file");
      configFile = argv[++at];
    } else if (arg.starts_with("--")) {
      std::string key, value;
      if (!option_value(argc, argv, at, key, value))
        return fail(kUsage, "%s needs a value", argv[at]);
      settings.emplace_back(key, value);
    } else if (arg.starts_with("-") || dbFile != nullptr) {
      return fail(kUsage, "unexpected argument '%s' (see zrdb-vlinkd --help)", argv[at]);
    } else {
      dbFile = argv[at];
    }
  }
  if (dbFile == nullptr) return fail(kUsage, "no database file given (see zrdb-vlinkd --help)");
  Config config;
  std::string error;
  if (configFile != nullptr && !load_config(configFile, config, error))
    return fail(kUsage, "%s", error.c_str());
  for (const auto &[key, value] : settings) {
    if (const std::string why = apply_setting(key, value, config); !why.empty())
      return fail(kUsage, "--%s %s: %s", key.c_str(), value.c_str(), why.c_str());
  }
  if (!finish_config(config, error)) return fail(kUsage, "%s", error.c_str());
  KeyPair keys;
  if (error = load_key_pair(config.keyFile, keys); !error.empty())
    return fail(kUsage, "key %s", error.c_str());
  // The daemon works from "/": the database file is named by its full path.
  char dbPath[PATH_MAX];
  if (realpath(dbFile, dbPath) == nullptr)
    return fail(kFailure, "%s: %s", dbFile, std::strerror(errno));

  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a peer gone mid-send is an error return, not the end

  int readyFd = -1;
  if (foreground) {
    // The library writes its lines to standard output: line by line, so
    // that a service manager reading both streams gets them in order with
    // the daemon's own lines on standard error, and at once.
    setvbuf(stdout, nullptr, _IOLBF, 0);
  } else {
    daemonise(readyFd);
  }
  const auto ready = [&readyFd](int status) {
    if (status == kOk) zrdb::tools::notify_ready();  // attached and listening
    if (readyFd < 0) return;
    const auto byte = static_cast<unsigned char>(status);
    if (write(readyFd, &byte, 1) != 1) logf(Level::Warn, "start status not delivered");
    close(readyFd);
    readyFd = -1;
  };
  return run_daemon(config, keys, dbPath, ready, g_stop);
}

}  // namespace
}  // namespace vlinkd

int main(int argc, char **argv) {
  // The library's log lines name the program they come from.
  std::snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "zrdb-vlinkd");
  // An allocation that fails (settings, a message, a link's state) ends the
  // daemon with a reason and its objects released on the way out, rather
  // than an abort; a service manager then starts it again.
  try {
    return vlinkd::run(argc, argv);
  } catch (const std::bad_alloc &) {
    vlinkd::logf(vlinkd::Level::Error, "out of memory: stopping");
    return vlinkd::kFailure;
  }
}
