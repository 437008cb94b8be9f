#include "platform/text/text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace quor::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `in[pos]`; returns false on an invalid one and
// sets `len` to the number of bytes to skip.
bool DecodeUtf8(std::string_view in, size_t pos, char32_t& cp, size_t& len) {
  const auto b0 = static_cast<unsigned char>(in[pos]);
  if (b0 < 0x80) {
    cp = b0;
    len = 1;
    return true;
  }
  size_t need;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    need = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    len = 1;
    return false;
  }
  len = 1;
  for (size_t i = 1; i < need; ++i) {
    if (pos + i >= in.size()) return false;
    const auto b = static_cast<unsigned char>(in[pos + i]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
    len = i + 1;
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  return true;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one UTF-16 code point; false on an unpaired surrogate.
bool DecodeUtf16(std::u16string_view in, size_t pos, char32_t& cp, size_t& len) {
  const char16_t c = in[pos];
  len = 1;
  if (c < 0xD800 || c > 0xDFFF) {
    cp = c;
    return true;
  }
  if (c >= 0xDC00 || pos + 1 >= in.size()) return false;
  const char16_t d = in[pos + 1];
  if (d < 0xDC00 || d > 0xDFFF) return false;
  cp = 0x10000 + ((static_cast<char32_t>(c - 0xD800) << 10) | (d - 0xDC00));
  len = 2;
  return true;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

template <typename CharT>
int CompareFolded(std::basic_string_view<CharT> a, std::basic_string_view<CharT> b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = FoldAscii(a[i]);
    const auto cb = FoldAscii(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // `lenient` (only for UTF-8 output): a byte that starts no valid
  // character becomes U+FFFD and conversion goes on; a character cut off at
  // the end ends the text there.
  bool Run(std::string_view in, std::string& out, std::string* error, bool lenient = false) {
    std::string result;
    result.resize(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    size_t produced = 0;
    while (true) {
      char* dst = result.data() + produced;
      size_t dst_left = result.size() - produced;
      const size_t rc = iconv(cd_, src_left ? &src : nullptr, &src_left, &dst, &dst_left);
      produced = result.size() - dst_left;
      if (rc != static_cast<size_t>(-1)) {
        if (src_left == 0) break;
        continue;
      }
      if (errno == E2BIG) {
        result.resize(result.size() * 2);
        continue;
      }
      if (lenient && errno == EINVAL) break;
      if (lenient && errno == EILSEQ) {
        result.resize(produced);
        result += "\xEF\xBF\xBD";
        produced = result.size();
        result.resize(produced + src_left * 2 + 16);
        ++src;
        --src_left;
        if (src_left == 0) break;
        continue;
      }
      if (error) {
        const size_t offset = in.size() - src_left;
        *error = Format(errno == EINVAL ? "incomplete multibyte sequence at byte %u"
                                        : "invalid multibyte sequence at byte %u",
                        static_cast<unsigned>(offset));
      }
      return false;
    }
    result.resize(produced);
    out = std::move(result);
    return true;
  }

 private:
  iconv_t cd_;
};

bool ConvertCharset(std::string_view in, const std::string& to, const std::string& from,
                    std::string& out, std::string* error) {
  Iconv cd(to, from);
  if (!cd.ok()) {
    if (error) *error = Format("unsupported encoding conversion from %s to %s", from, to);
    return false;
  }
  return cd.Run(in, out, error);
}

// Maps names that configuration uses to names iconv knows.
std::string IconvName(std::string_view charset) {
  const std::string lower = ToLowerAscii(TrimAscii(charset));
  if (lower == "shift_jis" || lower == "shift-jis" || lower == "sjis" || lower == "x-sjis") return "CP932";
  if (lower == "euc_jp" || lower == "euc-jp" || lower == "eucjp") return "EUC-JP";
  if (lower == "windows-31j") return "CP932";
  return std::string(TrimAscii(charset));
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

template <typename T>
std::optional<T> ParseInteger(std::string_view in, int base) {
  in = TrimAscii(in);
  bool negative = false;
  if (!in.empty() && (in.front() == '+' || in.front() == '-')) {
    negative = in.front() == '-';
    in.remove_prefix(1);
  }
  if (base == 16 && in.size() > 2 && in[0] == '0' && (in[1] == 'x' || in[1] == 'X')) in.remove_prefix(2);
  if (in.empty() || in.front() == '+' || in.front() == '-') return std::nullopt;
  uint64_t magnitude = 0;
  auto [ptr, ec] = std::from_chars(in.data(), in.data() + in.size(), magnitude, base);
  if (ec != std::errc() || ptr != in.data() + in.size()) return std::nullopt;
  if constexpr (std::is_signed_v<T>) {
    const uint64_t limit = negative ? uint64_t(std::numeric_limits<T>::max()) + 1 : uint64_t(std::numeric_limits<T>::max());
    if (magnitude > limit) return std::nullopt;
    if (negative) return static_cast<T>(-static_cast<int64_t>(magnitude - 1) - 1);
    return static_cast<T>(magnitude);
  } else {
    if (negative && magnitude != 0) return std::nullopt;
    if (magnitude > std::numeric_limits<T>::max()) return std::nullopt;
    return static_cast<T>(magnitude);
  }
}

}  // namespace

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
  std::u16string result;
  result.reserve(in.size());
  for (size_t pos = 0; pos < in.size();) {
    char32_t cp;
    size_t len;
    if (!DecodeUtf8(in, pos, cp, len)) return false;
    AppendUtf16(result, cp);
    pos += len;
  }
  out = std::move(result);
  return true;
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out) {
  std::string result;
  result.reserve(in.size() * 3 / 2 + 1);
  for (size_t pos = 0; pos < in.size();) {
    char32_t cp;
    size_t len;
    if (!DecodeUtf16(in, pos, cp, len)) return false;
    AppendUtf8(result, cp);
    pos += len;
  }
  out = std::move(result);
  return true;
}

namespace {

// Whether the 8 bytes at `p` are all ASCII.
bool AsciiWord(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return (w & 0x8080808080808080ull) == 0;
}

// Whether the 4 code units at `p` are all ASCII.
bool AsciiWord16(const char16_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return (w & 0xFF80FF80FF80FF80ull) == 0;
}

}  // namespace

// The conversions below copy runs of ASCII a word at a time and decode
// only the rest: long texts are mostly ASCII.

std::u16string Widen(std::string_view in) {
  std::u16string result(in.size(), u'\0');
  char16_t* out = result.data();
  const char* p = in.data();
  const size_t n = in.size();
  size_t pos = 0;
  while (pos < n) {
    if (pos + 8 <= n && AsciiWord(p + pos)) {
      for (size_t k = 0; k < 8; ++k) out[k] = static_cast<char16_t>(p[pos + k]);
      out += 8;
      pos += 8;
      continue;
    }
    char32_t cp;
    size_t len;
    if (!DecodeUtf8(in, pos, cp, len)) cp = kReplacement;
    if (cp < 0x10000) {
      *out++ = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    pos += len;
  }
  // A 4-byte sequence makes two units, so the text never outgrows its bytes.
  result.resize(static_cast<size_t>(out - result.data()));
  return result;
}

std::string Narrow(std::u16string_view in) {
  // Sized exactly first: three bytes a unit would waste most of a long text.
  size_t bytes = 0;
  for (size_t pos = 0; pos < in.size();) {
    if (pos + 4 <= in.size() && AsciiWord16(in.data() + pos)) {
      bytes += 4;
      pos += 4;
      continue;
    }
    char32_t cp;
    size_t len;
    bytes += !DecodeUtf16(in, pos, cp, len) || cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    pos += len;
  }
  std::string result(bytes, '\0');
  char* out = result.data();
  const char16_t* p = in.data();
  const size_t n = in.size();
  size_t pos = 0;
  while (pos < n) {
    if (pos + 4 <= n && AsciiWord16(p + pos)) {
      for (size_t k = 0; k < 4; ++k) out[k] = static_cast<char>(p[pos + k]);
      out += 4;
      pos += 4;
      continue;
    }
    char32_t cp;
    size_t len;
    if (!DecodeUtf16(in, pos, cp, len)) {
      *out++ = '?';
    } else if (cp < 0x80) {
      *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (cp >> 18));
      *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    pos += len;
  }
  result.resize(static_cast<size_t>(out - result.data()));
  return result;
}

std::optional<size_t> Utf16Length(std::string_view in) {
  size_t units = 0;
  for (size_t pos = 0; pos < in.size();) {
    if (pos + 8 <= in.size() && AsciiWord(in.data() + pos)) {
      units += 8;
      pos += 8;
      continue;
    }
    char32_t cp;
    size_t len;
    if (!DecodeUtf8(in, pos, cp, len)) return std::nullopt;
    units += cp < 0x10000 ? 1 : 2;
    pos += len;
  }
  return units;
}

bool IsValidUtf8(std::string_view in) { return Utf16Length(in).has_value(); }

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t Utf8Cut(std::string_view in, size_t at) {
  if (at >= in.size()) return in.size();
  // A character has at most three bytes after its first.
  for (size_t back = 0; back <= 3 && back < at; ++back)
    if ((static_cast<unsigned char>(in[at - back]) & 0xC0) != 0x80) return at - back;
  return at;
}

Result<std::string> ToUtf8(std::string_view in, std::string_view charset) {
  std::string out, reason;
  if (!ConvertCharset(in, "UTF-8", IconvName(charset), out, &reason)) return Status(E_INVALIDARG, reason);
  return out;
}

bool DecodeToUtf8(std::string_view in, std::string_view charset, std::string& out) {
  Iconv cd("UTF-8", IconvName(charset));
  return cd.ok() && cd.Run(in, out, nullptr, true);
}

Result<std::string> FromUtf8(std::string_view in, std::string_view charset) {
  std::string out, reason;
  if (!ConvertCharset(in, IconvName(charset), "UTF-8", out, &reason)) return Status(E_INVALIDARG, reason);
  return out;
}

int CompareNoCase(std::string_view a, std::string_view b) { return CompareFolded(a, b); }
int CompareNoCase(std::u16string_view a, std::u16string_view b) { return CompareFolded(a, b); }

std::string ToLowerAscii(std::string_view in) {
  std::string out(in);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

std::string ToUpperAscii(std::string_view in) {
  std::string out(in);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

// ---- Formatting ----------------------------------------------------------------

int64_t FormatArg::AsSigned() const {
  switch (kind_) {
    case Kind::Signed: return i_;
    case Kind::Unsigned: return static_cast<int64_t>(u_);
    case Kind::Double: return static_cast<int64_t>(d_);
    default: return 0;
  }
}

uint64_t FormatArg::AsUnsigned() const {
  switch (kind_) {
    case Kind::Signed: return static_cast<uint64_t>(i_);
    case Kind::Unsigned: return u_;
    case Kind::Double: return static_cast<uint64_t>(d_);
    default: return 0;
  }
}

double FormatArg::AsDouble() const {
  switch (kind_) {
    case Kind::Signed: return static_cast<double>(i_);
    case Kind::Unsigned: return static_cast<double>(u_);
    case Kind::Double: return d_;
    default: return 0;
  }
}

std::string FormatArg::AsText() const {
  switch (kind_) {
    case Kind::Narrow: return std::string(s_);
    case Kind::Wide: return Narrow(w_);
    case Kind::Signed: return std::to_string(i_);
    case Kind::Unsigned: return std::to_string(u_);
    case Kind::Double: return std::to_string(d_);
  }
  return {};
}

std::string FormatV(std::string_view pattern, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(pattern.size() + 16 * args.size());
  size_t next = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    // Parse flags, width, precision, length modifiers and the conversion.
    size_t j = i + 1;
    bool left = false, zero = false, plus = false;
    for (; j < pattern.size(); ++j) {
      if (pattern[j] == '-') left = true;
      else if (pattern[j] == '0') zero = true;
      else if (pattern[j] == '+') plus = true;
      else if (pattern[j] == ' ' || pattern[j] == '#') continue;
      else break;
    }
    int width = 0;
    while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9') width = std::min(width * 10 + (pattern[j++] - '0'), 4096);
    int precision = -1;
    if (j < pattern.size() && pattern[j] == '.') {
      precision = 0;
      ++j;
      while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9')
        precision = std::min(precision * 10 + (pattern[j++] - '0'), 4096);
    }
    while (j < pattern.size() && (pattern[j] == 'l' || pattern[j] == 'h' || pattern[j] == 'z' || pattern[j] == 'I'))
      ++j;
    if (j >= pattern.size()) {
      out.append(pattern.substr(i));
      break;
    }
    const char conv = pattern[j];
    const size_t conv_start = i;
    i = j;
    const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
    ++next;
    std::string body;
    bool numeric = true;
    char buf[64];
    switch (conv) {
      case 'd':
      case 'i': {
        const int64_t v = arg ? arg->AsSigned() : 0;
        body = std::to_string(v);
        if (plus && v >= 0) body.insert(body.begin(), '+');
        break;
      }
      case 'u': body = std::to_string(arg ? arg->AsUnsigned() : 0); break;
      case 'x':
      case 'X': {
        uint64_t v = arg ? arg->AsUnsigned() : 0;
        // A negative 32-bit value prints as the 32-bit pattern, as printf would.
        if (arg && arg->kind() == FormatArg::Kind::Signed && arg->AsSigned() < 0 &&
            arg->AsSigned() >= std::numeric_limits<int32_t>::min())
          v &= 0xFFFFFFFFu;
        std::snprintf(buf, sizeof buf, conv == 'x' ? "%llx" : "%llX", static_cast<unsigned long long>(v));
        body = buf;
        break;
      }
      case 'f':
      case 'g':
      case 'e':
        std::snprintf(buf, sizeof buf, conv == 'f' ? "%.*f" : conv == 'g' ? "%.*g" : "%.*e",
                      precision < 0 ? 6 : std::min(precision, 30), arg ? arg->AsDouble() : 0.0);
        body = buf;
        precision = -1;
        break;
      case 'c':
        numeric = false;
        if (arg && (arg->kind() == FormatArg::Kind::Signed || arg->kind() == FormatArg::Kind::Unsigned)) {
          const uint64_t cp = arg->AsUnsigned();
          const bool valid = cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
          AppendUtf8(body, valid ? static_cast<char32_t>(cp) : kReplacement);
        } else if (arg) {
          body = arg->AsText().substr(0, 1);
        }
        break;
      case 's':
      case 'S':
        numeric = false;
        body = arg ? arg->AsText() : std::string();
        if (precision >= 0 && body.size() > static_cast<size_t>(precision)) body.resize(precision);
        break;
      default:
        // Unknown conversion: copy it literally and give the argument back.
        out.append(pattern.substr(conv_start, j - conv_start + 1));
        --next;
        continue;
    }
    if (numeric && precision >= 0 && conv != 'f') {
      const bool neg = !body.empty() && (body[0] == '-' || body[0] == '+');
      const size_t digits = body.size() - (neg ? 1 : 0);
      if (digits < static_cast<size_t>(precision)) body.insert(neg ? 1 : 0, precision - digits, '0');
      zero = false;
    }
    if (static_cast<int>(body.size()) < width) {
      const size_t pad = width - body.size();
      if (left) body.append(pad, ' ');
      else if (zero && numeric) {
        const bool sign = !body.empty() && (body[0] == '-' || body[0] == '+');
        body.insert(sign ? 1 : 0, pad, '0');
      } else
        body.insert(0, pad, ' ');
    }
    out += body;
  }
  return out;
}

// ---- Numbers -------------------------------------------------------------------

std::optional<int32_t> ParseInt32(std::string_view in, int base) { return ParseInteger<int32_t>(in, base); }
std::optional<uint32_t> ParseUInt32(std::string_view in, int base) { return ParseInteger<uint32_t>(in, base); }
std::optional<int64_t> ParseInt64(std::string_view in, int base) { return ParseInteger<int64_t>(in, base); }
std::optional<uint64_t> ParseUInt64(std::string_view in, int base) { return ParseInteger<uint64_t>(in, base); }

std::optional<double> ParseDouble(std::string_view in) {
  in = TrimAscii(in);
  if (in.empty()) return std::nullopt;
  if (in.front() == '+') in.remove_prefix(1);
  double v = 0;
  auto [ptr, ec] = std::from_chars(in.data(), in.data() + in.size(), v);
  if (ec != std::errc() || ptr != in.data() + in.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<int32_t> ScanInt32(std::string_view in) {
  size_t pos = 0;
  while (pos < in.size() && IsSpace(in[pos])) ++pos;
  size_t end = pos;
  if (end < in.size() && (in[end] == '+' || in[end] == '-')) ++end;
  const size_t digits_start = end;
  while (end < in.size() && in[end] >= '0' && in[end] <= '9') ++end;
  if (end == digits_start) return std::nullopt;
  return ParseInt32(in.substr(pos, end - pos));
}

namespace {

template <typename Char>
bool AllAsciiDigits(std::basic_string_view<Char> in) {
  return !in.empty() && std::all_of(in.begin(), in.end(), [](Char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool IsAsciiDigits(std::string_view in) { return AllAsciiDigits(in); }
bool IsAsciiDigits(std::u16string_view in) { return AllAsciiDigits(in); }

std::string_view TrimAscii(std::string_view in) {
  while (!in.empty() && IsSpace(in.front())) in.remove_prefix(1);
  while (!in.empty() && IsSpace(in.back())) in.remove_suffix(1);
  return in;
}

std::vector<std::string> Split(std::string_view in, char separator) {
  std::vector<std::string> parts;
  for (const std::string_view part : SplitViews(in, separator)) parts.emplace_back(part);
  return parts;
}

}  // namespace quor::text
