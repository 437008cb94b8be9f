// The component contract's string: UTF-16 text that can also be null.
// Null and empty are different values everywhere (comparison, IsNull), as the
// system's callers tell an absent argument from an empty one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace quor::com {

class Bstr {
 public:
  Bstr() noexcept = default;  // null
  Bstr(std::nullptr_t) noexcept {}
  Bstr(const char16_t* text) : null_(text == nullptr) {
    if (text) text_ = text;
  }
  Bstr(std::u16string_view text) : text_(text), null_(false) {}
  Bstr(const std::u16string& text) : text_(text), null_(false) {}
  Bstr(std::u16string&& text) noexcept : text_(std::move(text)), null_(false) {}
  Bstr(const Bstr&) = default;
  Bstr& operator=(const Bstr&) = default;
  // A moved-from Bstr is null.
  Bstr(Bstr&& other) noexcept : text_(std::move(other.text_)), null_(std::exchange(other.null_, true)) {
    other.text_.clear();
  }
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      text_ = std::move(other.text_);
      null_ = std::exchange(other.null_, true);
      other.text_.clear();
    }
    return *this;
  }

  static Bstr Null() { return Bstr(); }
  // Invalid UTF-8 becomes U+FFFD; a null text pointer is not representable in
  // a string_view, so this always gives a non-null Bstr.
  static Bstr FromUtf8(std::string_view utf8);
  // Unpaired surrogates become '?'; null gives "".
  std::string ToUtf8() const;

  bool IsNull() const { return null_; }
  // No characters: true for null and for "".
  bool Empty() const { return text_.empty(); }
  // In UTF-16 code units; 0 for null.
  size_t Length() const { return text_.size(); }
  // nullptr for null; otherwise NUL-terminated.
  const char16_t* c_str() const { return null_ ? nullptr : text_.c_str(); }
  std::u16string_view View() const { return text_; }
  const std::u16string& Str() const { return text_; }
  char16_t operator[](size_t i) const { return text_[i]; }

  // Appending to null makes the string non-null.
  Bstr& Append(std::u16string_view more) {
    null_ = false;
    text_.append(more);
    return *this;
  }
  void Clear() {
    text_.clear();
    null_ = true;
  }

  friend bool operator==(const Bstr& a, const Bstr& b) { return a.null_ == b.null_ && a.text_ == b.text_; }
  // A null Bstr equals no text, not even "".
  friend bool operator==(const Bstr& a, std::u16string_view b) { return !a.null_ && a.text_ == b; }
  friend bool operator==(const Bstr& a, const char16_t* b) { return a == Bstr(b); }

 private:
  std::u16string text_;
  bool null_ = true;
};

}  // namespace quor::com
