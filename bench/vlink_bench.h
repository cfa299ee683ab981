// What the VLINK benchmark (vlink_bench.cpp: the link daemons) and its bare
// baselines (vlink_bare_bench.cpp: the transports alone) share.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <vector>

namespace zrdb::bench::vlink {

using Clock = std::chrono::steady_clock;

// A get message on the wire: header 5, body 10; its result: outcome and a
// 4-byte value.
constexpr int kFrameOut = 15;
constexpr int kFrameBack = 10;

// The System V queues a fatal signal must remove: the VLINK queue, the bare
// pair's private one (-1: none).
extern volatile sig_atomic_t g_queues[2];
// Puts the handler that removes them (and the daemons' files) in front of
// whatever handles the fatal signals now.
void guard_fatal_signals();

double us_since(Clock::time_point t0);
// The rate, and the spread of single iterations (µs).
void set_counters(benchmark::State &state, std::vector<double> &us);

// The baselines, beside vlink_get/zrdb in the same run.
void vlink_get_raw(benchmark::State &state);
void vlink_get_zmq(benchmark::State &state);
void vlink_handshake(benchmark::State &state);

}  // namespace zrdb::bench::vlink
