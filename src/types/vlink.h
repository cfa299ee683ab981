// What the VLINK items and the VLINK transaction step share.
#pragma once

#include "core.h"

namespace zrdb {

// glb_ZrdbDebugLvl value that switches the VLINK traces on.
inline constexpr int32_t kVlinkDebug = 10001;

// Installs ALARMhandler for SIGALRM once per process, without SA_RESTART:
// the signal must end the transaction's wait for its answer.
void install_alarm_handler();

}  // namespace zrdb
