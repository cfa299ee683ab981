// The item lock file: one process at a time owns a thread FIFO, a
// ring-buffer pool or a server remote buffer. The lock is an exclusive
// flock, so the system drops it with the owner's last descriptor, also when
// the owner is killed; the file itself stays.
#pragma once

#include <cstdint>

namespace zrdb {

// Path of the lock file of item `zrdid` ("/tmp/zrdbid<id>.lock").
void item_lock_path(int32_t zrdid, char (&path)[64]);

// Opens and locks the item's lock file: the descriptor, or -1 after an ERR
// line logged as `caller`. A symbolic link, or anything but a regular file,
// at the path is refused rather than followed or opened.
int item_lock_acquire(const char *caller, int32_t zrdid);

// Deletes the item's lock file when nobody holds it: it takes the lock
// without waiting first. 1 when deleted, 0 when there is none, -1 when it
// is held, is not a regular file or cannot be deleted. A process that
// opened the file just before and locks it just after holds a lock nobody
// else can see: only for items that no process is about to open.
int item_lock_remove_unheld(int32_t zrdid);

// Releases a lock taken by item_lock_acquire by closing its descriptor;
// `fd` becomes -1. No LOCK_UN: the lock belongs to the open file, which a
// forked child shares, and a child cleaning up must not take the parent's
// ownership away. The lock goes with the last descriptor.
void item_lock_release(int32_t &fd);

}  // namespace zrdb
