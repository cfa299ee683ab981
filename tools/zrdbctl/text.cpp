#include "text.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace zrdbctl {
namespace {

// One filtered stream.
struct Filter {
  int fd;
  FILE *original = nullptr;  // the stream it stands in for, while installed
  std::string cut;           // the start of a character the last write cut off
  bool oneLine = false;
  bool heldNewline = false;  // the newline that may end the line
  int error = 0;             // errno of the first write that failed
};

Filter g_out{STDOUT_FILENO};
Filter g_err{STDERR_FILENO};

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void escape_byte(unsigned char c, std::string &out) {
  char esc[5];
  std::snprintf(esc, sizeof esc, "\\x%02x", c);
  out += esc;
}

// Bytes at the end of `text` that begin a character and may go on in the
// next write.
size_t unfinished_tail(std::string_view text) {
  for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto c = static_cast<unsigned char>(text[text.size() - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return len > back ? back : 0;
  }
  return 0;
}

void escape_into(Filter &f, std::string_view text, std::string &out) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' && f.oneLine) {
      if (f.heldNewline) out += "\\n";
      f.heldNewline = true;
      ++i;
      continue;
    }
    if (f.heldNewline) {
      out += "\\n";
      f.heldNewline = false;
    }
    uint32_t cp = 0;
    const size_t n = utf8_char(text.substr(i), cp);
    if (c == '\n' || c == '\t' || (n > 0 && printable(cp))) {
      out.append(text.substr(i, n > 0 ? n : 1));
      i += n > 0 ? n : 1;
    } else {
      escape_byte(c, out);
      ++i;
    }
  }
}

ssize_t filter_write(void *cookie, const char *buf, size_t size) {
  Filter &f = *static_cast<Filter *>(cookie);
  // Called from the C library's stdio: nothing may leave it by exception.
  try {
    std::string text = f.cut;
    text.append(buf, size);
    const size_t tail = unfinished_tail(text);
    f.cut = text.substr(text.size() - tail);
    text.resize(text.size() - tail);
    std::string out;
    escape_into(f, text, out);
    if (write_all(f.fd, out)) return static_cast<ssize_t>(size);
  } catch (const std::bad_alloc &) {
    errno = ENOMEM;
  }
  if (f.error == 0) f.error = errno;
  return -1;
}

// Flushes the stream and writes what its filter held back: the start of a
// character that never ended, and the newline of a line.
// Runs in destructors too: nothing may leave it by exception.
void drain(FILE *stream, Filter &f) noexcept {
  std::fflush(stream);
  try {
    std::string out;
    for (const char c : f.cut) escape_byte(static_cast<unsigned char>(c), out);
    if (f.heldNewline) out += '\n';
    if (write_all(f.fd, out)) errno = 0;
  } catch (const std::bad_alloc &) {
    errno = ENOMEM;
  }
  if (f.error == 0) f.error = errno;
  f.cut.clear();
  f.heldNewline = false;
}

Filter *filter_of(FILE *stream) {
  if (g_out.original != nullptr && stream == stdout) return &g_out;
  if (g_err.original != nullptr && stream == stderr) return &g_err;
  return nullptr;
}

}  // namespace

size_t utf8_char(std::string_view text, uint32_t &cp) {
  if (text.empty()) return 0;
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  const size_t len = lead >= 0xC2 && lead <= 0xDF   ? 2
                     : lead >= 0xE0 && lead <= 0xEF ? 3
                     : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                    : 0;
  if (len == 0 || text.size() < len) return 0;
  uint32_t value = lead & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80) return 0;
    value = value << 6 | (c & 0x3F);
  }
  // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[len] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  cp = value;
  return len;
}

Json json_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const size_t n = utf8_char(text.substr(i), cp);
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[i++]);
    out += static_cast<char>(0xC0 | byte >> 6);  // U+0080..U+00FF in two bytes
    out += static_cast<char>(0x80 | (byte & 0x3F));
  }
  return out;
}

std::string json_dump(const Json &value) {
  // The writer escapes C0 controls; DEL and the C1 controls it leaves as they
  // are, and a terminal would act on them.
  const std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    unsigned control = 0;
    if (c == 0x7F) {
      control = c;
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      control = next;
      ++i;
    } else {
      out += static_cast<char>(c);
      continue;
    }
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\u%04x", control);
    out += esc;
  }
  return out;
}

void filter_output() {
  const cookie_io_functions_t io{nullptr, filter_write, nullptr, nullptr};
  FILE *out = fopencookie(&g_out, "w", io);
  FILE *err = fopencookie(&g_err, "w", io);
  if (out == nullptr || err == nullptr) {
    if (out != nullptr) std::fclose(out);
    if (err != nullptr) std::fclose(err);
    return;
  }
  std::fflush(stdout);
  std::setvbuf(out, nullptr, isatty(STDOUT_FILENO) != 0 ? _IOLBF : _IOFBF, BUFSIZ);
  std::setvbuf(err, nullptr, _IONBF, 0);
  g_out.original = stdout;
  g_err.original = stderr;
  // glibc's standard streams are variables: the library prints through
  // these as well.
  stdout = out;
  stderr = err;
}

bool end_output() {
  bool written = true;
  for (auto [stream, f] : {std::pair{&stdout, &g_out}, std::pair{&stderr, &g_err}}) {
    if (f->original == nullptr) continue;
    drain(*stream, *f);
    std::fclose(*stream);
    *stream = f->original;
    f->original = nullptr;
    if (f->error != 0) {
      std::fprintf(stderr, "zrdbctl: writing to %s failed: %s\n",
                   f == &g_out ? "standard output" : "standard error", std::strerror(f->error));
      written = false;
    }
  }
  return written;
}

OneLine::OneLine(FILE *stream) : stream_(stream) {
  if (Filter *f = filter_of(stream_); f != nullptr) {
    std::fflush(stream_);
    f->oneLine = true;
  }
}

OneLine::~OneLine() {
  if (Filter *f = filter_of(stream_); f != nullptr) {
    drain(stream_, *f);
    f->oneLine = false;
  }
}

void write_raw(std::string_view bytes) {
  std::fflush(stdout);
  if (Filter *f = filter_of(stdout); f != nullptr) drain(stdout, *f);
  write_all(STDOUT_FILENO, bytes);
}

}  // namespace zrdbctl
