#include "accessor/text_converter.h"

#include <iconv.h>

#include <cerrno>
#include <memory>
#include <type_traits>

#include "platform/text/text.h"

namespace quor::accessor {
namespace {

struct IconvCloser {
  void operator()(iconv_t cd) const { iconv_close(cd); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// The iconv name for a configured encoding; empty when the text is UTF-8.
std::string IconvName(const std::optional<std::string>& encoding) {
  if (!encoding || encoding->empty()) return {};
  const std::string& name = *encoding;
  if (text::EqualsNoCase(name, "EUC_JP") || text::EqualsNoCase(name, "EUC-JP")) return "EUC-JP";
  if (text::EqualsNoCase(name, "SJIS") || text::EqualsNoCase(name, "Shift_JIS")) return "CP932";
  if (text::EqualsNoCase(name, "UTF-8") || text::EqualsNoCase(name, "UTF8")) return {};
  return name;
}

// Converts to UTF-8 through iconv, going past invalid bytes (one U+FFFD
// each) and stopping at an incomplete character at the end. False when iconv
// does not know the charset.
bool ConvertToUtf8(std::string_view in, const std::string& charset, std::string& out) {
  iconv_t raw = iconv_open("UTF-8", charset.c_str());
  if (raw == reinterpret_cast<iconv_t>(-1)) return false;
  IconvHandle cd(raw);
  out.clear();
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  size_t used = 0;
  out.resize(in.size() * 2 + 16);
  while (true) {
    if (out.size() - used < 16) out.resize(out.size() * 2);
    char* dst = out.data() + used;
    size_t dstLeft = out.size() - used;
    const size_t r = iconv(cd.get(), srcLeft ? &src : nullptr, &srcLeft, &dst, &dstLeft);
    used = out.size() - dstLeft;
    if (r != static_cast<size_t>(-1)) {
      if (srcLeft == 0) {
        // Flush the shift state of stateful encodings.
        char* flushDst = out.data() + used;
        size_t flushLeft = out.size() - used;
        if (iconv(cd.get(), nullptr, nullptr, &flushDst, &flushLeft) == static_cast<size_t>(-1) &&
            errno == E2BIG) {
          out.resize(out.size() * 2);
          continue;
        }
        used = out.size() - flushLeft;
        break;
      }
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else if (errno == EILSEQ) {
      out.resize(used);
      out += "\xEF\xBF\xBD";
      used = out.size();
      out.resize(used + srcLeft * 2 + 16);
      ++src;
      --srcLeft;
      if (srcLeft == 0) break;
    } else {
      break;  // EINVAL: the text ends inside a character
    }
  }
  out.resize(used);
  return true;
}

}  // namespace

void TextConverter::SetEncoding(std::optional<std::string_view> name) {
  if (name) encoding_ = std::string(*name);
  else encoding_.reset();
}

std::u16string TextConverter::Decode(std::string_view bytes) const {
  const std::string charset = IconvName(encoding_);
  if (!charset.empty()) {
    std::string utf8;
    if (ConvertToUtf8(bytes, charset, utf8)) return text::Widen(utf8);
  }
  return text::Widen(bytes);
}

}  // namespace quor::accessor
