// cpp_example: the C++ interface (zrdb.hpp) on the example database. It
// reads what the producer left in "counter", "status" and the link
// "sensors", adds one to levels[1] through the link, passes a token through
// the semaphore "req_sem" and a record through the circular buffer
// "events", and leaves both as it found them. Exits 0, or 1 on any failure.
//
//   cpp_example DBFILE APPFILE
#include <array>
#include <chrono>
#include <cstdio>
#include <span>
#include <string_view>

#include "zrdb.hpp"

namespace {

using namespace std::chrono_literals;

// True when r succeeded; otherwise says which step failed and why (and,
// for an item this process has not bound, which one to list in the
// application file).
bool check(const char *what, zrdb::Status st) {
  if (st) return true;
  std::fprintf(stderr, "cpp_example: %s failed: %s (%d)", what, st.message(), st.error());
  if (st.item() >= 0) std::fprintf(stderr, ", item %d", st.item());
  std::fprintf(stderr, "\n");
  return false;
}
template <typename T>
bool check(const char *what, const zrdb::Result<T> &r) {
  return check(what, r.status());
}

std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

bool values() {
  const auto counter = zrdb::Item<uint32_t>::find("counter");
  const auto status = zrdb::Item<std::array<char, 32>>::find("status");
  const auto sensors = zrdb::Item<uint32_t>::find("sensors");  // speed[0..2], levels[0..1]
  if (!check("counter", counter) || !check("status", status) || !check("sensors", sensors))
    return false;
  const auto rounds = counter->get();
  const auto text = status->get();
  if (!check("counter get", rounds) || !check("status get", text)) return false;
  std::printf("counter = %u, status = %.32s, sensors =", *rounds, text->data());
  for (int32_t i = 0; i < sensors->count(); ++i) std::printf(" %u", sensors->get(i).value_or(0));
  std::printf("\n");

  // Element 4 of the link is levels[1].
  const auto level = sensors->get(4);
  if (!check("sensors get", level) || !check("sensors set", sensors->set(4, *level + 1)))
    return false;
  std::printf("levels[1]: %u -> %u\n", *level, sensors->get(4).value_or(0));
  return sensors->get(4).value_or(0) == *level + 1;
}

bool semaphore() {
  const auto sem = zrdb::Semaphore::find("req_sem");
  if (!check("req_sem", sem)) return false;
  const auto before = sem->value();
  if (!check("req_sem value", before) || !check("req_sem post", sem->post())) return false;
  const int32_t raised = sem->value().value_or(-1);
  if (!check("req_sem wait", sem->wait_for(100ms))) return false;
  std::printf("req_sem: %d, posted %d, taken %d\n", *before, raised, sem->value().value_or(-1));
  // With nothing to take, the wait times out instead of blocking.
  return raised == *before + 1 && (*before != 0 || !sem->wait_for(10ms));
}

bool circular_buffer() {
  const auto events = zrdb::CircularBuffer::find("events");
  if (!check("events", events)) return false;
  constexpr std::string_view kMsg = "hello from C++", kData = "42";
  if (!check("events write", events->write(bytes_of(kMsg), bytes_of(kData)))) return false;
  std::array<char, 32> msg{}, data{};
  const auto got =
      events->read(std::as_writable_bytes(std::span(msg)), std::as_writable_bytes(std::span(data)));
  if (!check("events read", got)) return false;
  const std::string_view readMsg(msg.data(), got->msg), readData(data.data(), got->data);
  std::printf("events: \"%.*s\" / \"%.*s\"\n", static_cast<int>(readMsg.size()), readMsg.data(),
              static_cast<int>(readData.size()), readData.data());
  return readMsg == kMsg && readData == kData;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: cpp_example DBFILE APPFILE\n");
    return 1;
  }
  // Detaches when it goes, on every path out of main.
  const auto app = zrdb::Application::open("cpp_example", argv[1], argv[2]);
  if (!check("attach", app)) return 1;
  const bool ok = values() && semaphore() && circular_buffer();
  std::printf("cpp_example: %s\n", ok ? "done" : "FAILED");
  return ok ? 0 : 1;
}
