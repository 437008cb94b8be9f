// Text handling shared by every part of the system.
//
// UTF-8 is the narrow ("ANSI") code page; wide text is UTF-16 in char16_t.
// Other encodings named by configuration (Shift_JIS/CP932, EUC-JP) go through
// iconv.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/status.h"

namespace quor::text {

// ---- UTF-8 <-> UTF-16 ------------------------------------------------------

// Strict conversions: false (and `out` untouched) on an invalid sequence:
// bad UTF-8 bytes, overlong forms, encoded surrogates, unpaired UTF-16
// surrogates.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);
bool Utf16ToUtf8(std::u16string_view in, std::string& out);

// Lenient conversions for places where the platform would substitute rather
// than fail: every invalid sequence becomes U+FFFD (wide) or '?' (narrow).
std::u16string Widen(std::string_view in);
std::string Narrow(std::u16string_view in);

bool IsValidUtf8(std::string_view in);
// Appends code point `cp` (at most U+10FFFF, no surrogate) as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp);
// Where to cut UTF-8 text at or before `at` so that no character is split
// (the whole length when `at` is past it). Text that is not valid there is
// cut at `at`, so that a cut never comes out empty.
size_t Utf8Cut(std::string_view in, size_t at);
// The number of UTF-16 code units `in` makes, or nullopt when it is not valid
// UTF-8 (as IsValidUtf8).
std::optional<size_t> Utf16Length(std::string_view in);

// ---- Other encodings --------------------------------------------------------

// Converts `in`, encoded as `charset` (an iconv name; "Shift_JIS", "CP932",
// "EUC-JP", "UTF-16", "UTF-16LE", ... ), to UTF-8; E_INVALIDARG with the
// reason when it cannot.
Result<std::string> ToUtf8(std::string_view in, std::string_view charset);
// The lenient form for text read from outside: each byte that starts no
// valid character becomes U+FFFD and decoding goes on; a character cut off at
// the end ends the text there. False only when iconv does not know `charset`.
bool DecodeToUtf8(std::string_view in, std::string_view charset, std::string& out);
// The reverse: UTF-8 to `charset`.
Result<std::string> FromUtf8(std::string_view in, std::string_view charset);

// ---- Case-insensitive comparison -------------------------------------------
// Names in this system (registry keys, element names, ProgIDs, file names)
// compare without case in the ASCII range; other characters compare exactly.

int CompareNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::u16string_view a, std::u16string_view b);
inline bool EqualsNoCase(std::string_view a, std::string_view b) { return CompareNoCase(a, b) == 0; }
inline bool EqualsNoCase(std::u16string_view a, std::u16string_view b) { return CompareNoCase(a, b) == 0; }
// Whether `in` begins with `prefix`, compared as above.
inline bool StartsWithNoCase(std::string_view in, std::string_view prefix) {
  return in.size() >= prefix.size() && EqualsNoCase(in.substr(0, prefix.size()), prefix);
}
std::string ToLowerAscii(std::string_view in);
std::string ToUpperAscii(std::string_view in);

struct LessNoCase {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return CompareNoCase(a, b) < 0; }
};

// ---- Safe formatting ---------------------------------------------------------
// A printf-like formatter whose pattern is always a constant of the program and
// whose arguments are typed values: a user text passed as an argument is never
// interpreted. Supported conversions: %d %i %u %x %X %s %S %c %f %% with the
// flags '-', '0', width and precision. %s takes narrow text, %S wide text
// (written as UTF-8). A conversion without a matching argument, or with an
// argument of the wrong kind, writes the argument as best it can rather than
// reading garbage.

class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Double, Narrow, Wide };

  template <typename T>
    requires(std::is_integral_v<T> && std::is_signed_v<T>)
  FormatArg(T v) : kind_(Kind::Signed), i_(v) {}
  template <typename T>
    requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
  FormatArg(T v) : kind_(Kind::Unsigned), u_(v) {}
  FormatArg(bool v) : kind_(Kind::Signed), i_(v ? 1 : 0) {}
  FormatArg(double v) : kind_(Kind::Double), d_(v) {}
  FormatArg(std::string_view v) : kind_(Kind::Narrow), s_(v) {}
  FormatArg(const std::string& v) : kind_(Kind::Narrow), s_(v) {}
  FormatArg(const char* v) : kind_(Kind::Narrow), s_(v ? std::string_view(v) : std::string_view("(null)")) {}
  FormatArg(std::u16string_view v) : kind_(Kind::Wide), w_(v) {}
  FormatArg(const std::u16string& v) : kind_(Kind::Wide), w_(v) {}

  Kind kind() const { return kind_; }
  int64_t AsSigned() const;
  uint64_t AsUnsigned() const;
  double AsDouble() const;
  std::string AsText() const;

 private:
  Kind kind_;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
  std::string_view s_;
  std::u16string_view w_;
};

std::string FormatV(std::string_view pattern, const std::vector<FormatArg>& args);

template <typename... Args>
std::string Format(std::string_view pattern, const Args&... args) {
  return FormatV(pattern, std::vector<FormatArg>{FormatArg(args)...});
}

// ---- Checked number parsing ---------------------------------------------------
// The whole text must be the number (no trailing characters), in range.
// `base` 10 or 16 (hex may carry a "0x" prefix). Leading and trailing
// ASCII white space is skipped.

std::optional<int32_t> ParseInt32(std::string_view in, int base = 10);
std::optional<uint32_t> ParseUInt32(std::string_view in, int base = 10);
std::optional<int64_t> ParseInt64(std::string_view in, int base = 10);
std::optional<uint64_t> ParseUInt64(std::string_view in, int base = 10);
std::optional<double> ParseDouble(std::string_view in);

// The C library's "%d" reading: leading white space skipped, an optional sign
// and as many digits as follow; trailing text ignored. nullopt when no digit
// can be read or the value does not fit.
std::optional<int32_t> ScanInt32(std::string_view in);

// ---- Small helpers -------------------------------------------------------------

std::string_view TrimAscii(std::string_view in);

// Whether `in` is one or more ASCII digits and nothing else: no sign, no
// blanks, not empty. Callers check this before reading a number from text
// that may hold nothing but one.
bool IsAsciiDigits(std::string_view in);
bool IsAsciiDigits(std::u16string_view in);

// The one split of the tree: every field between separators, empty ones
// included ("a,,b," gives "a", "", "b", ""; "" gives one empty field).
template <typename Char>
std::vector<std::basic_string_view<Char>> SplitViews(std::basic_string_view<Char> in, Char separator) {
  std::vector<std::basic_string_view<Char>> parts;
  for (size_t start = 0;;) {
    const size_t at = in.find(separator, start);
    parts.push_back(in.substr(start, at == std::basic_string_view<Char>::npos ? at : at - start));
    if (at == std::basic_string_view<Char>::npos) return parts;
    start = at + 1;
  }
}
// The same, each field copied.
std::vector<std::string> Split(std::string_view in, char separator);
// Before and after the first separator (after is empty without one).
template <typename Char>
std::pair<std::basic_string_view<Char>, std::basic_string_view<Char>> SplitOnce(std::basic_string_view<Char> in,
                                                                                Char separator) {
  const size_t at = in.find(separator);
  if (at == std::basic_string_view<Char>::npos) return {in, {}};
  return {in.substr(0, at), in.substr(at + 1)};
}

}  // namespace quor::text
