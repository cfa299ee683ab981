// Tells a service manager that a daemon is ready to serve.
#pragma once

namespace zrdb::tools {

// Sends READY=1 to the service manager that started this process (systemd's
// Type=notify, through $NOTIFY_SOCKET). Does nothing when none did, or when
// the daemon was built without libsystemd.
void notify_ready();

}  // namespace zrdb::tools
