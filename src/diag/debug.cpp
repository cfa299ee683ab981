// The application's identity and debug level, data capture into files, the
// system debug flag, the microsecond clock and the parameter reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core.h"
#include "platform/regular_file.h"

extern "C" {
int32_t zrdbdbg_debug_lvl = 0;
int32_t zrdbdbg_dump_reset = 0;
}

namespace VSYSDBG {
int32_t gblSysDebug = 0;
int32_t gblSysDebugReset = 0;
}  // namespace VSYSDBG

namespace zrdb {
namespace {

constexpr int32_t kParamTrace = 10002;
constexpr int32_t kAllTraces = 99999;
constexpr int64_t kHostTimeMask = (int64_t{1} << 37) - 1;

// A capture file and the bytes written to it since the last restart. Each
// capture function has its own.
struct Capture {
  int fd = -1;  // -2 once the limit was reached
  int64_t count = 0;
};

// What a capture function prints; `named` adds the "name(level)>>>>" head.
struct CaptureTexts {
  bool named;
  const char *openFailed;
  const char *writeFailed;
  const char *saved;
  const char *done;
};

void say(const CaptureTexts &t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void say(const CaptureTexts &t, const char *fmt, ...) {
  if (t.named) std::printf("%s(%d)>>>>", zrdbdbg_app_name, zrdbdbg_debug_lvl);
  va_list args;
  va_start(args, fmt);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  std::vprintf(fmt, args);
  va_end(args);
}

// A capture file is never reached through a link (a link planted at its
// path must not make the capture write elsewhere), and only a regular file
// of this user is written: a FIFO planted there must not block the capture,
// nor a file another user made writable for all receive it. It is
// truncated only once it passed, and keeps the mode of a new one.
int open_capture(const char *path) {
  constexpr mode_t kCaptureMode = 0644;
  const int fd = open_regular_file(path, O_WRONLY | O_CREAT | O_NOFOLLOW, kCaptureMode,
                                   {.maxSize = -1, .ownedOnly = true});
  if (fd < 0) return -1;
  if (fchmod(fd, kCaptureMode) != 0 || ftruncate(fd, 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool write_all(int fd, const void *buf, int32_t len) {
  return write(fd, buf, static_cast<size_t>(len)) == static_cast<ssize_t>(len);
}

int capture(Capture &c, int32_t &restart, const CaptureTexts &t, const char *path, const void *buf,
            int32_t len, int32_t limit) {
  if (path == nullptr || len < 0 || (buf == nullptr && len > 0)) return -1;
  if (restart != 0) {
    restart = 0;
    c.count = 0;
  }
  if (c.count >= limit) return 0;
  if (c.fd < 0 && (c.fd = open_capture(path)) < 0) {
    say(t, t.openFailed, path);
    return -1;
  }
  if (!write_all(c.fd, buf, len)) {
    say(t, "%s", t.writeFailed);
    return -1;
  }
  c.count += len;
  say(t, t.saved, len);
  if (c.count >= limit) {
    close(c.fd);
    c.fd = -2;
    say(t, "%s", t.done);
  }
  return 0;
}

constexpr CaptureTexts kAppTexts{true, "Failed to open %s for writing\n", "Error writing data\n",
                                 "%d captured data saved\n", "Capturing Done!!!\n"};
constexpr CaptureTexts kSystemTexts{false, "Failed to open %s for writing\n",
                                    "Error writing the encoded data", "%d captured data saved\n",
                                    "Capturing Done!!!"};

}  // namespace
}  // namespace zrdb

extern "C" {

void zrdbdbg_setAppName(const char *name) {
  if (name == nullptr) return;
  zrdb::copy_padded(zrdbdbg_app_name, name);
  // openlog keeps the pointer: the copy lives as long as the process.
  openlog(zrdbdbg_app_name, LOG_PID, LOG_USER);
}

int zrdbdbg_updateDebugLvl(const char *name, int32_t level) {
  if (name == nullptr || std::strcmp(name, zrdbdbg_app_name) != 0) return 1;
  if (level == zrdbdbg_debug_lvl) return 0;
  zrdbdbg_debug_lvl = level;
  static const char kDashes[] = "-----------------------------------------------------------------";
  static_assert(sizeof kDashes == 66);
  std::fprintf(stderr, "%s\nTURN %s APP(%s) DEBUG LEVEL(%d)\n%s\n", kDashes,
               level != 0 ? "ON" : "OFF", zrdbdbg_app_name, level, kDashes);
  zrdbdbg_dump_reset = 1;
  return 1;
}

int zrdbdbg_dumpData(const char *path, const void *buf, int32_t len, int32_t limit) {
  static zrdb::Capture state;
  return zrdb::capture(state, zrdbdbg_dump_reset, zrdb::kAppTexts, path, buf, len, limit);
}

int zrdbcfg_readParams(ZRDB_CFG_PARAM *table) {
  for (ZRDB_CFG_PARAM *p = table; p != nullptr && p->dest != nullptr; ++p) {
    if (p->pdid == nullptr || p->len < 0) continue;
    const int32_t id = *p->pdid;
    zrdb_callMsgbufWrite(id, nullptr, 0, p->idx, 1);
    int32_t number = 0;
    if (p->direct != 0) {
      zrdb_getiValue(id, p->idx, p->dest, p->len);
    } else {
      // A number is read as one 32-bit element and stored in len bytes;
      // more than 4 would read past it.
      zrdb_getiValue(id, p->idx, &number, sizeof number);
      std::memcpy(p->dest, &number, std::min<size_t>(static_cast<size_t>(p->len), sizeof number));
    }
    if (zrdbdbg_debug_lvl == zrdb::kParamTrace || zrdbdbg_debug_lvl == zrdb::kAllTraces) {
      const char *name = zrdb_getName(id);
      if (p->direct != 0) {
        zrdb::log_debug(zrdbdbg_debug_lvl, __func__, "%.31s---------%.*s\n",
                        name != nullptr ? name : "",
                        static_cast<int>(strnlen(static_cast<const char *>(p->dest),
                                                 static_cast<size_t>(p->len))),
                        static_cast<const char *>(p->dest));
      } else {
        zrdb::log_debug(zrdbdbg_debug_lvl, __func__, "%.31s---------%d\n",
                        name != nullptr ? name : "", number);
      }
    }
  }
  return 0;
}

}  // extern "C"

namespace VSYSDBG {

void zrdb_dbgflag_update() {
  zrdb_callMsgbufWrite(0, nullptr, 0, 0, 1);
  int32_t flag = 0;
  zrdb_getiValue(0, 0, &flag, sizeof flag);
  if (flag != gblSysDebug) {
    gblSysDebug = flag;
    gblSysDebugReset = 1;
  }
}

int64_t get_host_time() {
  timeval tv{};
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  return (static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec) & zrdb::kHostTimeMask;
}

int dumpOneFrameData(const char *path, const void *buf1, int32_t len1, const void *buf2,
                     int32_t len2) {
  if (path == nullptr || buf1 == nullptr || len1 < 0 || (buf2 != nullptr && len2 < 0)) return -1;
  const int fd = zrdb::open_capture(path);
  if (fd < 0) {
    std::printf("Failed to open %s for writing\n", path);
    return -1;
  }
  if (!zrdb::write_all(fd, buf1, len1) || (buf2 != nullptr && !zrdb::write_all(fd, buf2, len2))) {
    std::printf("Error writing the encoded data");
    close(fd);
    return -2;
  }
  close(fd);
  std::printf("%d captured data saved\n", len1 + (buf2 != nullptr ? len2 : 0));
  return 0;
}

int dumpData(const char *path, const void *buf, int32_t len, int32_t limit) {
  static zrdb::Capture state;
  return zrdb::capture(state, gblSysDebugReset, zrdb::kSystemTexts, path, buf, len, limit);
}

}  // namespace VSYSDBG
