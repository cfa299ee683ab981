// What the daemon tells the operator's tool about its links that the
// database's shared records do not hold: the fingerprint of each link's
// peer key. One line per configured link, "N FINGERPRINT", written (whole,
// by rename) when the daemon starts and removed when it stops. It lives
// beside the database's named semaphores, so a system in mount namespaces
// of its own has its own. Readers check every line: anyone may write there.
#pragma once

namespace vlinkd {

inline constexpr const char *kPeersFile = "/dev/shm/zrdb-vlinkd.peers";
inline constexpr unsigned kPeersFileMax = 32 * 16;  // 32 lines of "NN XXXXXXXX\n"

}  // namespace vlinkd
