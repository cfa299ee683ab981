#include "readiness.h"

#ifdef ZRDB_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace zrdb::tools {

void notify_ready() {
#ifdef ZRDB_HAVE_LIBSYSTEMD
  // A failed notification is the manager's to report (it times the start
  // out); the daemon serves either way.
  sd_notify(0, "READY=1");
#endif
}

}  // namespace zrdb::tools
