// zrdbctl: the operator's tool. Creates the database from its file, shows,
// checks and edits item values, uses the communication items, lists
// everything, and removes the database again.
//
// It uses only the public header: what it can do, an application can do.
// The only system calls of its own are read-only looks at the segments (so
// that attaching never creates an index by accident) and the removal of
// segments that back no usable database.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common.h"
#include "text.h"

namespace zrdbctl {
namespace {

// The command table: a new command is one handler and one row.
struct Command {
  const char *name;
  const char *args;     // usage after the name
  const char *summary;  // one line of --help
  size_t minArgs;
  size_t maxArgs;
  Attach attach;     // what is attached before the handler runs
  int32_t itemType;  // args[0] is an item of this type, kAnyType, or kNoItem
  int (*run)(Invocation &);
  const char *flag;  // the one option of its own (see kFlags), or null
  const char *help;  // what 'zrdbctl CMD --help' adds to the usage line
};

// A command's own options, taken from anywhere in its arguments.
constexpr std::pair<const char *, bool Options::*> kFlags[] = {
    {"--force", &Options::force},
    {"--signed", &Options::showSigned},
    {"--dry-run", &Options::dryRun},
};

constexpr Command kCommands[] = {
    {"create", "DBFILE [--restore FILE]", "parse DBFILE and allocate the database", 1, 3,
     Attach::None, kNoItem, cmd_create, nullptr,
     "Refuses while a database is allocated, and checks the items before it\n"
     "allocates anything; a failed create removes what it made. --restore FILE\n"
     "then loads the parameter set FILE as 'load' does (same exit status); the\n"
     "database stays created when FILE is bad or does not match."},
    {"remove", "[--force] [DBFILE]",
     "release the items' objects, remove the segments and unheld lock files", 0, 1, Attach::None,
     kNoItem, cmd_remove, "--force",
     "Refuses while processes are attached to the database ('zrdbctl info' shows\n"
     "how many): they would go on with segments nobody else finds. --force removes\n"
     "it anyway. A data segment that cannot be attached stays, with everything\n"
     "else, unless --force: it names the semaphores to release. DBFILE (or -f)\n"
     "repairs an index whose parse failed first. Lock files that a running owner\n"
     "holds stay."},
    {"info", "", "system header, data segment use and item count", 0, 0, Attach::Index, kNoItem,
     cmd_info, nullptr, "'allocated' says how many processes are attached to the data segment."},
    {"check", "", "check every item's record against the segments", 0, 0, Attach::Data, kNoItem,
     cmd_check, nullptr, "Lists every damaged item; exit 0 only when all are sound."},
    {"dump", "[--json]", "list the header, every item with its value, and the mirrored items", 0, 0,
     Attach::Print, kNoItem, cmd_dump, nullptr,
     "Each item's print line (print mode 1), then a 'syncto:' line per mirrored\n"
     "item. --json prints one JSON document instead."},
    {"save", "FILE [ITEM...]", "save the values of the plain items (or those named) to FILE", 1, 64,
     Attach::Print, kNoItem, cmd_save, nullptr,
     "Writes the integer, string and user items' values as JSON (user blocks in\n"
     "base64), with their names, ids, types and geometry. FILE is replaced\n"
     "atomically: a crash leaves the old file or the new one, never a mix."},
    {"load", "FILE [--dry-run]", "restore the values saved in FILE to the items that match", 1, 1,
     Attach::Print, kNoItem, cmd_load, "--dry-run",
     "An item is written when its name, type, element count and element size\n"
     "agree; any other is listed and skipped. FILE is read and checked whole\n"
     "first: a bad file changes nothing. --dry-run writes nothing and prints what\n"
     "would change. Exit 0 all matched, 3 something skipped, 2 bad file."},
    {"get", "[--json] [--signed] ITEM[.IDX]",
     "show a value (unsigned decimal, text, or hex for user blocks)", 1, 1, Attach::Value, kAnyType,
     cmd_get, "--signed",
     "Without IDX every element, one a line. Integers are unsigned unless --signed\n"
     "(then 'set mode -5' reads back as -5). --json prints the item's state as JSON,\n"
     "of any type: a thread FIFO, pool or remote buffer is read as dump reads it,\n"
     "never opened, so its owner's lock and statistics stay as they are."},
    {"set", "ITEM[.IDX] VALUE", "write a value (decimal or 0x hex; text of at most one element)", 2,
     2, Attach::Value, kAnyType, cmd_set, nullptr,
     "Without IDX every element. A negative integer is stored in two's complement.\n"
     "Integer and string items only; a mirrored item (syncto) is mirrored through\n"
     "a client remote buffer, never by opening a server."},
    {"print", "ITEM[.IDX] [MODE]", "print through the item's own print handler (MODE 1 by default)",
     1, 2, Attach::Print, kAnyType, cmd_print, nullptr,
     "MODE 0 prints the value alone; MODE 1 the line of dump (id, type, name and\n"
     "value). MODE 2 CHANGES the item: it resets the statistics of a circular\n"
     "buffer (OF, UF, MBL), a thread FIFO, a pool or a remote buffer, and refills a\n"
     "semaphore to its initial count; other types print. On those four types any\n"
     "MODE whose low 16 bits are 3 sets the trace level to MODE >> 16 (0 for\n"
     "MODE 3). Use reset and trace for statistics."},
    {"sem-post", "ITEM [BINARY]", "post a semaphore item (BINARY 1: only up to a count of 2)", 1, 2,
     Attach::Item, ZRDB_TYPE_SEMAP, cmd_sem_post, nullptr, nullptr},
    {"sem-wait", "ITEM [TIMEOUT]", "wait on a semaphore item (0 or none: without limit)", 1, 2,
     Attach::Item, ZRDB_TYPE_SEMAP, cmd_sem_wait, nullptr,
     "TIMEOUT is a time such as 100us, 500ms or 2s, at most 4294967295us; a bare\n"
     "number counts microseconds. Exit 1 when it runs out."},
    {"sem-value", "ITEM", "show the count of a semaphore item", 1, 1, Attach::Item, ZRDB_TYPE_SEMAP,
     cmd_sem_value, nullptr, nullptr},
    {"cbuf-write", "ITEM MSG [DATA]", "write one record to a circular buffer", 2, 3, Attach::Item,
     ZRDB_TYPE_CBUF, cmd_cbuf_write, nullptr, nullptr},
    {"cbuf-read", "ITEM", "read one record of a circular buffer", 1, 1, Attach::Item,
     ZRDB_TYPE_CBUF, cmd_cbuf_read, nullptr, "Exit 1 when it is empty."},
    {"msg-write", "ITEM FROM ARG [TEXT]", "queue a message in a message buffer", 3, 4, Attach::Item,
     ZRDB_TYPE_MSGBUF, cmd_msg_write, nullptr, nullptr},
    {"msg-read", "ITEM", "take one message of a message buffer", 1, 1, Attach::Item,
     ZRDB_TYPE_MSGBUF, cmd_msg_read, nullptr, "Exit 1 when it is empty."},
    // The print mode: it reaches a thread item's statistics without opening
    // the item, which its owning process holds.
    {"reset", "ITEM[.IDX]", "reset an item's statistics (of FIFO IDX of a thread FIFO)", 1, 1,
     Attach::Print, kAnyType, cmd_reset, nullptr,
     "Takes cbuf, thrd_fifo, thrd_rbuf, rmtbuf and vlinkbuf items, also while\n"
     "another process owns them; IDX picks a thread FIFO's FIFO (0 by default)."},
    {"watch", "[--json] [-n INTERVAL] [-c COUNT] [ITEM[.IDX]...]",
     "redraw values and statistics every INTERVAL (1s) until Ctrl-C", 0, 64, Attach::Print, kNoItem,
     cmd_watch, nullptr,
     "INTERVAL is a time such as 500ms or 2s, from 100ms to 3600s; a bare number\n"
     "counts milliseconds. Without ITEM every item; ITEM.IDX shows that element.\n"
     "On a terminal the screen is redrawn; otherwise one line per item and\n"
     "interval, stamped to the millisecond, and with --json one JSON object a line\n"
     "with a \"time\" field. -c COUNT ends it after COUNT rounds."},
    {"debug", "APP LEVEL", "set application APP's debug level through the zrdb_debug board", 2, 2,
     Attach::Print, kNoItem, cmd_debug, nullptr,
     "Writes \"APP LEVEL\" into the string item zrdb_debug, which the application\n"
     "reads with zrdbdbg_pollDebugLvl."},
    {"trace", "ITEM[.IDX] LEVEL",
     "set the trace level (0..65535) of a thread FIFO, pool or remote buffer", 2, 2, Attach::Print,
     kAnyType, cmd_trace, nullptr,
     "Takes thrd_fifo, thrd_rbuf, rmtbuf and vlinkbuf items. 1 logs every\n"
     "operation; 2 tracks a FIFO's most bytes pending (MBC); 3 a FIFO's put sizes\n"
     "and a pool's buffer hold times; 0 is off. IDX picks a thread FIFO's FIFO."},
    // Bound through an id list: the command opens the item's socket itself.
    {"udp-send", "ITEM TEXT", "send TEXT as one datagram through a remote buffer item", 2, 2,
     Attach::Item, ZRDB_TYPE_RMTBUF, cmd_udp_send, nullptr,
     "Opens the rmtbuf or vlinkbuf item as a client process does. A server item\n"
     "answers only whoever sent to it last: send through a client item."},
    {"export", "--prometheus [--items]",
     "statistics (and integer values) in the Prometheus text format", 1, 2, Attach::Print, kNoItem,
     cmd_export, nullptr,
     "Every counter of the communication items and the VLINK link states, with\n"
     "labels system, item, id and index; --items adds the integer items' values.\n"
     "For node_exporter's textfile collector: write to a temporary file and rename\n"
     "it into the collector's directory."},
    {"udp-recv", "ITEM [WAIT]", "wait up to WAIT (5s) for one datagram on a remote buffer", 1, 2,
     Attach::Item, ZRDB_TYPE_RMTBUF, cmd_udp_recv, nullptr,
     "WAIT is a time such as 500ms or 2s, from 1ms to 3600s; a bare number counts\n"
     "seconds. On a server item it holds the item's lock meanwhile, and fails\n"
     "while another process serves it. Shown as text when printable, else hex."},
};

void usage_line(FILE *out, const Command &cmd) {
  std::fprintf(out, "usage: zrdbctl [-f DBFILE] %s%s%s\n", cmd.name, cmd.args[0] != '\0' ? " " : "",
               cmd.args);
}

void command_help(const Command &cmd) {
  usage_line(stdout, cmd);
  std::printf("\n%s.\n", cmd.summary);
  if (cmd.help != nullptr) std::printf("\n%s\n", cmd.help);
  if (cmd.itemType != kNoItem)
    std::printf("\nITEM is an item id (0..4999) or name, IDX an element index.\n");
}

void print_help() {
  std::printf(
      "usage: zrdbctl [-f DBFILE] [--json] COMMAND [ARGS]\n\n"
      "Creates, shows, checks, edits and removes the ZRDB database of this machine.\n\n"
      "commands:\n");
  for (const Command &cmd : kCommands) {
    const std::string head = std::string(cmd.name) + " " + cmd.args;
    constexpr size_t kColumn = 26;  // a longer usage puts its summary under it
    std::printf("  %-*s%s%s\n", static_cast<int>(kColumn), head.c_str(),
                head.size() < kColumn ? " " : "\n                             ", cmd.summary);
  }
  std::printf(
      "\n"
      "ITEM is an item id (0..4999) or an item name, IDX an element index; without\n"
      "IDX, get and set act on every element of the item. get --signed shows\n"
      "integers in two's complement. get and set open no thread item and no server\n"
      "remote buffer: those are read as dump reads them. 'print ITEM 2' resets the\n"
      "statistics of a circular buffer, thread FIFO, pool or remote buffer, and\n"
      "refills a semaphore to its initial count.\n"
      "\n"
      "A time (sem-wait TIMEOUT, udp-recv WAIT, watch -n INTERVAL) takes a unit:\n"
      "100us, 500ms, 2s; a bare number keeps the command's own unit (sem-wait\n"
      "microseconds, udp-recv seconds, watch milliseconds).\n"
      "\n"
      "reset and trace act on the statistics in the data segment, also while another\n"
      "process owns a thread item. udp-send and udp-recv open rmtbuf and vlinkbuf\n"
      "items as a client process does, for as long as the command runs. dump ends\n"
      "with the items whose accesses are mirrored (syncto).\n"
      "\n"
      "Text from the database reaches the terminal escaped: a byte that is not part\n"
      "of a printable UTF-8 character, a newline or a tab shows as \\xNN, and a\n"
      "newline inside a value, a print line or a reason as \\n.\n"
      "\n"
      "--json makes get, dump and watch print JSON (watch: one object a line).\n"
      "watch prints one line per item and interval, stamped to the millisecond,\n"
      "when its output is not a terminal; -c COUNT ends it after COUNT rounds.\n"
      "\n"
      "remove refuses while processes are attached to the database (info shows how\n"
      "many), unless --force. 'zrdbctl COMMAND --help' explains a command.\n"
      "\n"
      "Every command but create attaches the existing database and never creates\n"
      "one: without an index segment (key 0x%08x) it fails and leaves nothing\n"
      "behind. The database file is read only when the index is not valid (a parse\n"
      "failed): give it with -f DBFILE, or as the argument of remove. create refuses\n"
      "while a database is allocated, checks the items before it allocates, and a\n"
      "failed create removes the segments it made.\n"
      "\n"
      "An item whose record in the segments is damaged is never used: commands on\n"
      "it fail, info and dump leave it out, check lists every such item, and remove\n"
      "removes both segments but cannot release its semaphore.\n"
      "\n"
      "save writes a parameter set (the plain items' values, as JSON) atomically;\n"
      "load and create --restore write the saved values back to the items whose\n"
      "name, type and geometry match, after checking the whole file.\n"
      "\n"
      "Exit status: 0 success; 1 the library or the system reported a failure, or\n"
      "an item is damaged; 2 usage error or bad input (unknown item, bad number,\n"
      "index out of range, a database file that does not parse or whose items\n"
      "cannot work, a parameter set that is not one); 3 load: a saved item did not\n"
      "match and was skipped. Failures give a one-line reason on standard error.\n",
      ZRDB_INDEX_KEY);
}

bool is_help(const char *arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

int run(int argc, char **argv) {
  Options opt;
  int at = 1;
  for (; at < argc && argv[at][0] == '-'; ++at) {
    if (is_help(argv[at])) {
      print_help();
      return kOk;
    }
    if (std::strcmp(argv[at], "--json") == 0) {
      opt.json = true;
      continue;
    }
    if (std::strcmp(argv[at], "-f") == 0) {
      if (at + 1 >= argc) return fail(kUsage, "-f needs a database file");
      opt.dbFile = argv[++at];
      continue;
    }
    return fail(kUsage, "unknown option '%s' (see zrdbctl --help)", argv[at]);
  }
  if (at >= argc) return fail(kUsage, "no command given (see zrdbctl --help)");
  const std::string_view name(argv[at]);
  const Command *cmd = nullptr;
  for (const Command &c : kCommands) {
    if (name == c.name) cmd = &c;
  }
  if (cmd == nullptr) return fail(kUsage, "unknown command '%s' (see zrdbctl --help)", argv[at]);
  // --json and the command's own option may come anywhere after it: they
  // are options, not arguments.
  std::vector<char *> rest;
  if (at + 1 < argc && is_help(argv[at + 1])) {
    command_help(*cmd);
    return kOk;
  }
  for (int i = at + 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      opt.json = true;
      continue;
    }
    const auto flag = std::find_if(std::begin(kFlags), std::end(kFlags), [&](const auto &f) {
      return std::strcmp(argv[i], f.first) == 0;
    });
    if (flag == std::end(kFlags)) {
      rest.push_back(argv[i]);
    } else if (cmd->flag != nullptr && std::strcmp(cmd->flag, flag->first) == 0) {
      opt.*(flag->second) = true;
    } else {
      return fail(kUsage, "%s takes no %s (see zrdbctl %s --help)", cmd->name, argv[i], cmd->name);
    }
  }
  Invocation inv{opt, Args(rest.data(), rest.size()), {}, {}};
  if (inv.args.size() < cmd->minArgs || inv.args.size() > cmd->maxArgs) {
    std::fputs("zrdbctl: wrong number of arguments; ", stderr);
    usage_line(stderr, *cmd);
    return kUsage;
  }
  if (cmd->attach == Attach::None) return cmd->run(inv);
  if (const int rc = attach_existing(cmd->attach, cmd->itemType, inv); rc != kOk) return rc;
  const int rc = cmd->run(inv);
  std::fflush(stdout);
  zrdb_Cleanup();
  return rc;
}

}  // namespace
}  // namespace zrdbctl

namespace {

void report_out_of_memory() {
  std::fprintf(stderr, "zrdbctl: out of memory (%s)\n", std::strerror(ENOMEM));
}

// nlohmann/json allocates while it frees a tree, where no exception can
// pass: out of memory there reaches std::terminate. It ends as any other
// out of memory does, with the message and status 1, not with an abort.
[[noreturn]] void terminate_handler() {
  try {
    if (const std::exception_ptr e = std::current_exception()) std::rethrow_exception(e);
  } catch (const std::bad_alloc &) {
    report_out_of_memory();
    _exit(1);
  } catch (...) {
  }
  std::abort();
}

}  // namespace

int main(int argc, char **argv) {
  // The library's log lines name the program they come from.
  std::snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "zrdbctl");
  int rc = 1;
  std::set_terminate(terminate_handler);
  // Out of memory is a failure like another: a message and status 1, not
  // an abort. What the command attached the system detaches at exit.
  try {
    zrdbctl::filter_output();
    rc = zrdbctl::run(argc, argv);
  } catch (const std::bad_alloc &) {
    report_out_of_memory();
  }
  // Output that did not get out is a failure, and says why.
  if (!zrdbctl::end_output() && rc == 0) rc = 1;
  return rc;
}
