// The daemon's keys and their files.
#include "keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "daemon.h"
#include "zrdb.h"

namespace vlinkd {
namespace {

constexpr size_t kFingerprint = 8;
constexpr int64_t kMaxKeyFile = 256;

// Writes `text` into the new file `path` with `mode`; false with errno.
bool write_new(const std::string &path, const std::string &text, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  const bool written = fchmod(fd, mode) == 0 &&  // whatever the umask
                       write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int err = errno;
  if (close(fd) != 0 || !written) {
    unlink(path.c_str());
    errno = err;
    return false;
  }
  return true;
}

}  // namespace

int keygen(const char *prefix) {
  KeyPair keys;
  if (zmq_curve_keypair(keys.publicKey, keys.secretKey) != 0) {
    std::fprintf(stderr, "zrdb-vlinkd: keygen: %s (is libzmq built with CURVE?)\n",
                 zmq_strerror(zmq_errno()));
    return kFailure;
  }
  const std::string secret = std::string(prefix) + ".key";
  const std::string pub = std::string(prefix) + ".pub";
  if (!write_new(secret, std::string(keys.secretKey) + "\n", 0600)) {
    std::fprintf(stderr, "zrdb-vlinkd: %s: %s\n", secret.c_str(), std::strerror(errno));
    return kFailure;
  }
  if (!write_new(pub, std::string(keys.publicKey) + "\n", 0644)) {
    std::fprintf(stderr, "zrdb-vlinkd: %s: %s\n", pub.c_str(), std::strerror(errno));
    unlink(secret.c_str());
    return kFailure;
  }
  std::printf("%s\n", keys.publicKey);
  return kOk;
}

std::string load_key_pair(const std::string &path, KeyPair &keys) {
  const int fd = zrdb_openRegularFile(path.c_str(), kMaxKeyFile);
  if (fd < 0) return path + ": " + zrdb_fileProblem(errno);
  struct stat st {};
  char text[kMaxKeyFile + 1] = {};
  const bool open = fstat(fd, &st) == 0;
  const ssize_t n = open ? read(fd, text, kMaxKeyFile) : -1;
  close(fd);
  if (!open || n < 0) return path + ": " + std::strerror(errno);
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    return path + ": readable or writable by group or others (chmod 600 " + path + ")";
  std::string_view line(text, static_cast<size_t>(n));
  line = line.substr(0, line.find_first_of("\r\n"));
  if (!z85_key(line)) return path + ": no secret key (40 Z85 characters) on its first line";
  std::memcpy(keys.secretKey, line.data(), kKeyText);
  if (zmq_curve_public(keys.publicKey, keys.secretKey) != 0)
    return path + ": " + zmq_strerror(zmq_errno());
  return {};
}

std::string fingerprint(const std::string &key) { return key.substr(0, kFingerprint); }

}  // namespace vlinkd
