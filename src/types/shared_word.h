// Words of a data area that other processes read and write while this one
// uses them (counters, trace levels, link states): relaxed atomic access,
// so that the threads of one process never race on them either, while the
// layout stays a plain word. And the command word that the print handlers
// of the transport items share.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace zrdb {

template <typename T>
T load(T &word) {
  return std::atomic_ref<T>(word).load(std::memory_order_relaxed);
}
template <typename T>
void store(T &word, std::type_identity_t<T> value) {
  std::atomic_ref<T>(word).store(value, std::memory_order_relaxed);
}
template <typename T>
void count(T &word) {
  std::atomic_ref<T>(word).fetch_add(1, std::memory_order_relaxed);
}

// The `cmd` of a transport item's print handler: low 16 bits the command,
// high 16 bits its argument, both unsigned.
struct StatCommand {
  enum Kind { Print, Reset, SetTrace } kind;
  int32_t argument;
};
inline StatCommand stat_command(int32_t cmd) {
  const auto word = static_cast<uint32_t>(cmd);
  const uint32_t command = word & 0xFFFFu;
  const auto kind = command == 2   ? StatCommand::Reset
                    : command == 3 ? StatCommand::SetTrace
                                   : StatCommand::Print;
  return {kind, static_cast<int32_t>(word >> 16)};
}

}  // namespace zrdb
