// The daemon proper: attaches the database in the link daemon's mode, opens
// its sockets and the message queue, then serves until asked to stop.
#pragma once

#include <csignal>
#include <functional>

#include "config.h"
#include "keys.h"

namespace vlinkd {

// Exit statuses of the program.
enum Exit : int { kOk = 0, kFailure = 1, kUsage = 2 };

// Serves until `stop` becomes non-zero. `ready` is called once with the
// start's outcome (kOk once everything is open). Returns the exit status.
int run_daemon(const Config &config, const KeyPair &keys, const char *dbFile,
               const std::function<void(int)> &ready, const volatile std::sig_atomic_t &stop);

}  // namespace vlinkd
