// Text from the segments (names, values, protocol texts) holds whatever a
// process that may write items put there: terminal escapes that retitle or
// clear the operator's terminal, carriage returns and newlines that forge
// lines. Everything zrdbctl prints, the library's print handlers and log
// lines included, passes an escaping filter; JSON strings escape their own
// way (json_dump). Both keep UTF-8 text as text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace zrdbctl {

// The length of the UTF-8 character at the head of `text` when it is well
// formed (its code point in `cp`); 0 otherwise.
size_t utf8_char(std::string_view text, uint32_t &cp);
// Neither a C0 nor a C1 control, nor DEL.
inline bool printable(uint32_t cp) { return cp >= 0x20 && (cp < 0x7f || cp > 0x9f); }

// JSON documents are built with nlohmann/json, keys in the order given.
using Json = nlohmann::ordered_json;

// Text from the segments as a JSON string value: UTF-8 stays as it is, a
// byte that is no UTF-8 becomes the Latin-1 character of the same number.
Json json_text(std::string_view text);
// `value` as compact JSON text: UTF-8 kept as text, every control character
// (C0, DEL and C1) escaped as \u00XX.
std::string json_dump(const Json &value);

// Puts the filter on standard output and standard error: a byte that is not
// part of a printable character, a newline or a tab is shown as \xNN. Left
// unfiltered when the streams cannot be made.
void filter_output();
// Writes what the filter holds back and takes it off again; false (after
// a message naming the error) when some output could not be written.
bool end_output();

// While one lives, what is printed on `stream` (stdout or stderr) is one
// line: a newline inside it is shown as \n, only the last one is kept.
class OneLine {
 public:
  explicit OneLine(FILE *stream = stdout);
  ~OneLine();
  OneLine(const OneLine &) = delete;
  OneLine &operator=(const OneLine &) = delete;

 private:
  FILE *stream_;
};

// Writes `bytes` to standard output as they are (the redraw of watch).
void write_raw(std::string_view bytes);

}  // namespace zrdbctl
