// Error raising of the authentication service.
//
// Inside the service a failure is raised: the thread's error information is
// set (source: the programmatic identifier of the raising class when it has
// one; description: the given text, as a rule the failing call's name, else
// the status's message text) and a quor::com::ComError carrying the status is
// thrown. Every component operation and every flat token function catches it
// at its outer edge and returns the status.
#pragma once

#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/com/errorinfo.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"

namespace quor::auth::util {

// A message insert: a number (for the "!lu!" and "!#08x!" inserts) or a text.
using Insert = std::variant<uint64_t, std::u16string>;

// The message text of a status. A code of facility 4 (FACILITY_ITF) comes from
// this module's message table, in Japanese when the system's language
// (LC_ALL, LC_MESSAGES or LANG) is Japanese and in English otherwise; any
// other code from the platform's texts. Insert n is replaced by inserts[n-1]
// only when that many inserts were given; others stay as written. A trailing
// line feed (and a carriage return before it) is removed. Empty when no text
// is known.
std::u16string FormatErrorText(HRESULT code, std::span<const Insert> inserts = {});

// 1033 (English) or 1041 (Japanese): the language FormatErrorText uses.
uint32_t MessageLanguage();

struct ErrorRecord {
  com::Guid iid;    // the failing interface; null when none
  com::Guid clsid;  // the raising class; null when none
  HRESULT code = E_FAIL;
  std::optional<std::u16string> text;  // the description; absent: the message text
  std::source_location where = std::source_location::current();  // for debugging only
};

// Sets the thread's error information from the record and throws. The
// interface is recorded only for facility-4 codes. A code of 0 (a failed call
// that left no error) is raised as E_FAIL, never as success.
[[noreturn]] void RaiseError(const ErrorRecord& record, std::span<const Insert> inserts = {});

// RaiseError with a status and a text (UTF-8), no class and no interface.
[[noreturn]] void Raise(HRESULT code, std::string_view text = {},
                        std::source_location where = std::source_location::current());
[[noreturn]] void Raise(HRESULT code, const com::Guid& clsid, std::string_view text,
                        std::source_location where = std::source_location::current());

// A failed system call's error as a status: 0 and negative values unchanged,
// a positive one becomes 0x80070000 | (value & 0xFFFF).
HRESULT StatusFromSystemError(int64_t value);

// The outer edge of an operation: runs `fn` (returning HRESULT) and turns what
// it raises into a status. A raised status keeps the error information set at
// the raise; one without it gets the status's message text. `source` fills an
// error information without a source. An allocation failure gives
// E_OUTOFMEMORY, anything else E_UNEXPECTED. A failure is never returned as a
// success.
template <typename Fn>
HRESULT CatchRaised(std::u16string_view source, const com::Guid& iid, Fn&& fn) noexcept;

// Helpers of CatchRaised.
HRESULT StatusOfRaised(const com::ComError& error, std::u16string_view source, const com::Guid& iid) noexcept;
HRESULT StatusOfUnexpected(HRESULT code, std::u16string_view source, const com::Guid& iid) noexcept;

template <typename Fn>
HRESULT CatchRaised(std::u16string_view source, const com::Guid& iid, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const com::ComError& e) {
    return StatusOfRaised(e, source, iid);
  } catch (const std::bad_alloc&) {
    return StatusOfUnexpected(E_OUTOFMEMORY, source, iid);
  } catch (...) {
    return StatusOfUnexpected(E_UNEXPECTED, source, iid);
  }
}

}  // namespace quor::auth::util
