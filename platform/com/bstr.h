// The component contract's string: UTF-16 text that can also be null.
// Null and empty are different values everywhere (comparison, IsNull), as the
// system's callers tell an absent argument from an empty one.
//
// The text is held once, immutable, and shared by every copy, so passing a
// long value on (argument, variant, result, bound parameter) never copies it.
// A Bstr made from UTF-8 keeps that UTF-8 and makes its UTF-16 form only when
// someone asks for it; one made from UTF-16 makes its UTF-8 form only when
// asked. A value read from the wire and written to a database, or read from
// a database and written to the wire, so never goes through UTF-16 unless a
// part in between reads it as UTF-16.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/base/thread_annotations.h"

namespace quor::com {

class Bstr {
 public:
  Bstr() noexcept = default;  // null
  Bstr(std::nullptr_t) noexcept {}
  Bstr(const char16_t* text) : null_(text == nullptr) {
    if (text) Assign(std::u16string(text));
  }
  Bstr(std::u16string_view text) : null_(false) { Assign(std::u16string(text)); }
  Bstr(const std::u16string& text) : null_(false) { Assign(std::u16string(text)); }
  Bstr(std::u16string&& text) : null_(false) { Assign(std::move(text)); }
  Bstr(const Bstr&) = default;
  Bstr& operator=(const Bstr&) = default;
  // A moved-from Bstr is null.
  Bstr(Bstr&& other) noexcept : rep_(std::move(other.rep_)), null_(std::exchange(other.null_, true)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      rep_ = std::move(other.rep_);
      null_ = std::exchange(other.null_, true);
    }
    return *this;
  }

  static Bstr Null() { return Bstr(); }
  // Invalid UTF-8 becomes U+FFFD; a null text pointer is not representable in
  // a string_view, so this always gives a non-null Bstr.
  static Bstr FromUtf8(std::string_view utf8);
  // As FromUtf8, keeping the caller's buffer instead of copying it.
  static Bstr TakeUtf8(std::string&& utf8);
  // Unpaired surrogates become '?'; null gives "".
  std::string ToUtf8() const { return std::string(Utf8()); }
  // The same text without a copy, valid as long as this Bstr (or a copy of
  // it) is neither changed nor destroyed.
  std::string_view Utf8() const;
  // A share in the text's storage: what Utf8() and View() gave stays valid,
  // and unchanged, for as long as the share lives, even past every Bstr of
  // the text. Empty for null and "".
  std::shared_ptr<const void> Share() const { return rep_; }
  // Whether the text is held as UTF-8, so that Utf8() costs nothing (View()
  // may have to convert).
  bool HoldsUtf8() const { return rep_ && (rep_->fromUtf8 || rep_->utf8Ready.load(std::memory_order_acquire)); }

  bool IsNull() const { return null_; }
  // No characters: true for null and for "".
  bool Empty() const { return !rep_; }
  // In UTF-16 code units; 0 for null.
  size_t Length() const { return rep_ ? rep_->length : 0; }
  // nullptr for null; otherwise NUL-terminated.
  const char16_t* c_str() const { return null_ ? nullptr : Str().c_str(); }
  std::u16string_view View() const { return Str(); }
  const std::u16string& Str() const;
  char16_t operator[](size_t i) const { return Str()[i]; }

  // Appending to null makes the string non-null.
  Bstr& Append(std::u16string_view more);
  void Clear() {
    rep_.reset();
    null_ = true;
  }

  friend bool operator==(const Bstr& a, const Bstr& b) { return a.null_ == b.null_ && SameText(a, b); }
  // A null Bstr equals no text, not even "".
  friend bool operator==(const Bstr& a, std::u16string_view b) {
    return !a.null_ && a.Length() == b.size() && a.View() == b;
  }
  friend bool operator==(const Bstr& a, const char16_t* b) { return a == Bstr(b); }

 private:
  // One text in one or both forms. The form it was made from is set at
  // construction; the other is made once, under `convert`, the first time it
  // is asked for, and `wideReady` / `utf8Ready` (release/acquire) publish it.
  // A Rep that more than one Bstr shares is never changed otherwise. The
  // forms are not written as guarded: once published they are read without
  // the lock.
  struct Rep {
    std::u16string wide;
    std::string utf8;
    size_t length = 0;      // UTF-16 code units
    bool fromUtf8 = false;  // utf8 is the text as made (valid, so lossless)
    std::atomic<bool> wideReady{false};
    std::atomic<bool> utf8Ready{false};
    Mutex convert;
  };

  void Assign(std::u16string&& text);
  static bool SameText(const Bstr& a, const Bstr& b);

  std::shared_ptr<Rep> rep_;  // null for null and for ""
  bool null_ = true;
};

}  // namespace quor::com
