// zrdbctl: the operator's tool. Creates the database from its file, shows,
// checks and edits item values, uses the communication items, lists
// everything, and removes the database again.
//
// It uses only the public header: what it can do, an application can do.
// The only system calls of its own are read-only looks at the segments (so
// that attaching never creates an index by accident) and the removal of
// segments that back no usable database.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
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
};

constexpr Command kCommands[] = {
    {"create", "DBFILE", "parse DBFILE and allocate the database", 1, 1, Attach::None, kNoItem,
     cmd_create},
    {"remove", "[--force] [DBFILE]",
     "release the items' objects, remove the segments and unheld lock files", 0, 2, Attach::None, kNoItem, cmd_remove},
    {"info", "", "system header, data segment use and item count", 0, 0, Attach::Index, kNoItem,
     cmd_info},
    {"check", "", "check every item's record against the segments", 0, 0, Attach::Data, kNoItem,
     cmd_check},
    {"dump", "", "list the header, every item with its value, and the mirrored items", 0, 0,
     Attach::Print, kNoItem, cmd_dump},
    {"get", "ITEM[.IDX]", "show a value (unsigned decimal, text, or hex for user blocks)", 1, 1,
     Attach::Value, kAnyType, cmd_get},
    {"set", "ITEM[.IDX] VALUE", "write a value (decimal or 0x hex; text of at most one element)", 2,
     2, Attach::Value, kAnyType, cmd_set},
    {"print", "ITEM[.IDX] [MODE]", "print through the item's own print handler (MODE 1 by default)",
     1, 2, Attach::Print, kAnyType, cmd_print},
    {"sem-post", "ITEM [BINARY]", "post a semaphore item (BINARY 1: only up to a count of 2)", 1, 2,
     Attach::Item, ZRDB_TYPE_SEMAP, cmd_sem_post},
    {"sem-wait", "ITEM [TIMEOUT_US]", "wait on a semaphore item (0 or none: without limit)", 1, 2,
     Attach::Item, ZRDB_TYPE_SEMAP, cmd_sem_wait},
    {"sem-value", "ITEM", "show the count of a semaphore item", 1, 1, Attach::Item, ZRDB_TYPE_SEMAP,
     cmd_sem_value},
    {"cbuf-write", "ITEM MSG [DATA]", "write one record to a circular buffer", 2, 3, Attach::Item,
     ZRDB_TYPE_CBUF, cmd_cbuf_write},
    {"cbuf-read", "ITEM", "read one record of a circular buffer", 1, 1, Attach::Item,
     ZRDB_TYPE_CBUF, cmd_cbuf_read},
    {"msg-write", "ITEM FROM ARG [TEXT]", "queue a message in a message buffer", 3, 4, Attach::Item,
     ZRDB_TYPE_MSGBUF, cmd_msg_write},
    {"msg-read", "ITEM", "take one message of a message buffer", 1, 1, Attach::Item,
     ZRDB_TYPE_MSGBUF, cmd_msg_read},
    // The print mode: it reaches a thread item's statistics without opening
    // the item, which its owning process holds.
    {"reset", "ITEM[.IDX]", "reset an item's statistics (of FIFO IDX of a thread FIFO)", 1, 1,
     Attach::Print, kAnyType, cmd_reset},
    {"watch", "[-n MS] [-c COUNT] [ITEM...]",
     "redraw values and statistics every MS ms (1000) until Ctrl-C", 0, 64, Attach::Print, kNoItem,
     cmd_watch},
    {"debug", "APP LEVEL", "set application APP's debug level through the zrdb_debug board", 2, 2,
     Attach::Print, kNoItem, cmd_debug},
    {"trace", "ITEM[.IDX] LEVEL", "set the trace level (0..65535) of a thread FIFO or a pool", 2, 2,
     Attach::Print, kAnyType, cmd_trace},
    // Bound through an id list: the command opens the item's socket itself.
    {"udp-send", "ITEM TEXT", "send TEXT as one datagram through a remote buffer item", 2, 2,
     Attach::Item, ZRDB_TYPE_RMTBUF, cmd_udp_send},
    {"udp-recv", "ITEM [SECONDS]", "wait up to SECONDS (5) for one datagram on a remote buffer", 1,
     2, Attach::Item, ZRDB_TYPE_RMTBUF, cmd_udp_recv},
};

void usage_line(FILE *out, const Command &cmd) {
  std::fprintf(out, "usage: zrdbctl [-f DBFILE] %s%s%s\n", cmd.name, cmd.args[0] != '\0' ? " " : "",
               cmd.args);
}

void print_help() {
  std::printf(
      "usage: zrdbctl [-f DBFILE] [--json] COMMAND [ARGS]\n\n"
      "Creates, shows, checks, edits and removes the ZRDB database of this machine.\n\n"
      "commands:\n");
  for (const Command &cmd : kCommands) {
    const std::string head = std::string(cmd.name) + " " + cmd.args;
    std::printf("  %-26s %s\n", head.c_str(), cmd.summary);
  }
  std::printf(
      "\n"
      "ITEM is an item id (0..4999) or an item name, IDX an element index; without\n"
      "IDX, get and set act on every element of the item. 'print ITEM 2' resets the\n"
      "statistics of a circular buffer and refills a semaphore to its initial count.\n"
      "\n"
      "reset and trace act on the statistics in the data segment, also while another\n"
      "process owns a thread item. reset takes cbuf, thrd_fifo, thrd_rbuf, rmtbuf and\n"
      "vlinkbuf items, trace all of them but cbuf; IDX picks a thread FIFO's FIFO (0\n"
      "by default). Trace levels: 1 logs every operation; 2 tracks a FIFO's most bytes\n"
      "pending (MBC); 3 a FIFO's put sizes and a pool's buffer hold times; 0 is off.\n"
      "\n"
      "udp-send and udp-recv take rmtbuf and vlinkbuf items and open them as a client\n"
      "process does, for as long as the command runs. A server item answers only\n"
      "whoever sent to it last, so send through a client item; udp-recv on a server\n"
      "item holds the item's lock meanwhile and fails while another process serves\n"
      "it. A datagram is shown as text when it is printable, else in hex; SECONDS is\n"
      "1..3600. dump ends with the items whose accesses are mirrored (syncto).\n"
      "\n"
      "Text from the database reaches the terminal escaped: a byte that is not part\n"
      "of a printable UTF-8 character, a newline or a tab shows as \\xNN, and a\n"
      "newline inside a value, a print line or a reason as \\n.\n"
      "\n"
      "--json makes get and dump print JSON. watch prints one line per item and\n"
      "interval when its output is not a terminal; -c COUNT ends it after COUNT.\n"
      "debug writes \"APP LEVEL\" into the string item zrdb_debug, which the\n"
      "application reads with zrdbdbg_pollDebugLvl.\n"
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
      "Exit status: 0 success; 1 the library or the system reported a failure, or\n"
      "an item is damaged; 2 usage error or bad input (unknown item, bad number,\n"
      "index out of range, a database file that does not parse or whose items\n"
      "cannot work). Failures give a one-line reason on standard error.\n",
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
  // --json may follow the command too; it is an option, not an argument.
  std::vector<char *> rest;
  for (int i = at + 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      opt.json = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  Invocation inv{opt, Args(rest.data(), rest.size()), {}, {}};
  if (!inv.args.empty() && is_help(inv.args[0])) {
    usage_line(stdout, *cmd);
    return kOk;
  }
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

int main(int argc, char **argv) {
  // The library's log lines name the program they come from.
  std::snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "zrdbctl");
  zrdbctl::filter_output();
  const int rc = zrdbctl::run(argc, argv);
  zrdbctl::end_output();
  return rc;
}
