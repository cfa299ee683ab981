// zrdb-mqtt: publishes the items of an allocated ZRDB database on an MQTT
// broker and writes the allowed ones from set messages (see bridge.h and
// settings.h).
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <new>
#include <string>

#include "bridge.h"
#include "readiness.h"
#include "settings.h"
#include "zrdb.h"

namespace {

std::atomic<bool> g_stop{false};
void on_stop(int /*sig*/) { g_stop = true; }

}  // namespace

int main(int argc, char **argv) {
  std::snprintf(zrdbdbg_app_name, sizeof zrdbdbg_app_name, "zrdb-mqtt");
  zrdb_mqtt::Settings settings;
  std::string error;
  int rc = 0;
  try {
    rc = zrdb_mqtt::parse_command_line(argc, argv, settings, error);
    if (rc == 0 && !zrdb_mqtt::finish_settings(settings, error)) rc = 2;
  } catch (const std::bad_alloc &) {
    std::fputs("zrdb-mqtt: out of memory reading the settings\n", stderr);
    return 1;
  }
  if (rc == 1) return 0;  // --help
  if (rc != 0) {
    std::fprintf(stderr, "zrdb-mqtt: %s\n", error.c_str());
    return 2;
  }
  // In the background the system log alone; in the foreground (a service
  // manager's, a terminal) standard error as well.
  if (!settings.foreground && daemon(1, 0) != 0) {
    std::perror("zrdb-mqtt: cannot go to the background");
    return 1;
  }
  openlog("zrdb-mqtt", LOG_PID | (settings.foreground ? LOG_PERROR : 0), LOG_DAEMON);
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // A failed allocation stops the bridge with a reason; the bridge's
  // destructor still stops the network thread and detaches on the way out.
  try {
    zrdb_mqtt::Bridge bridge(std::move(settings));
    if (!bridge.attach() || !bridge.connect()) return 1;
    // Ready: the database is attached, its items resolved and the network
    // thread connecting.
    syslog(LOG_INFO, "ready: %zu items under %s/", bridge.items().size(), bridge.base().c_str());
    zrdb::tools::notify_ready();
    bridge.run(g_stop);
  } catch (const std::bad_alloc &) {
    syslog(LOG_ERR, "out of memory: stopping");
    return 1;
  }
  syslog(LOG_INFO, "stopped");
  return 0;
}
