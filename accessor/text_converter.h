// Decoding of fetched column text by the data source's configured encoding.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quor::accessor {

class TextConverter {
 public:
  // The configuration's "Encoding" value; none for the server's own code
  // page (UTF-8). "EUC_JP", "SJIS" and "UTF-8" (any case) are the names
  // configurations use; any other name is handed to iconv, and one it does
  // not know is read as UTF-8.
  void SetEncoding(std::optional<std::string_view> name);
  const std::optional<std::string>& encoding() const { return encoding_; }

  // Column bytes to wide text. Shift_JIS is read as the Windows code page
  // 932; EUC-JP is rewritten to it first, row and cell, so both Japanese
  // encodings give the same characters (the vendor rows included). Bytes
  // that are not valid in the encoding become U+FFFD; an incomplete
  // character at the end of the text ends the conversion there.
  std::u16string Decode(std::string_view bytes) const;

 private:
  std::optional<std::string> encoding_;
};

}  // namespace quor::accessor
