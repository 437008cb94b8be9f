// Failures of the authentication service.
//
// Inside the service a failure is a quor::Status (Fail). Every component
// operation and every flat token function reports it at its outer edge
// (CatchAtEdge) as the HRESULT with the error information the failure set.
#pragma once

#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "platform/com/errorinfo.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"

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
  com::Guid clsid;  // the failing class; null when none
  HRESULT code = E_FAIL;
  std::optional<std::u16string> text;  // the description; absent: the message text
  std::source_location where = std::source_location::current();  // for debugging only
};

// A failure as the status to return: the code, and the description (the
// given text, as a rule the failing call's name, else the code's message
// text) as its message. The thread's error information is set to what the
// edge reports: the status carries no class, so the source (the programmatic
// identifier of the failing class, once registered) is kept there. The
// interface is recorded only for facility-4 codes. A code of 0 (a failed
// call that left no error) fails as E_FAIL, and a positive one (a system
// error number, as the registry gives) as its HRESULT (StatusFromSystemError):
// never as success.
Status Fail(const ErrorRecord& record, std::span<const Insert> inserts = {});

// Fail with a status and a text (UTF-8), no class and no interface.
Status Fail(HRESULT code, std::string_view text = {}, std::source_location where = std::source_location::current());
Status Fail(HRESULT code, const com::Guid& clsid, std::string_view text,
            std::source_location where = std::source_location::current());

// A failed system call's error as a status: 0 and negative values unchanged,
// a positive one becomes 0x80070000 | (value & 0xFFFF).
HRESULT StatusFromSystemError(int64_t value);

// At an operation's edge: a failing status as the HRESULT to return, with
// the error information its failure set (an empty source filled with
// `source`). One whose information is gone gets its message, or, without
// one, is returned as a plain code: a refusal that never set any.
HRESULT ReportFailure(const Status& status, std::u16string_view source, const com::Guid& iid);

// The source com::CatchErrors is given at an edge, so that what it reports
// for something thrown can be told from a reported failure.
inline constexpr std::u16string_view kCaughtAtEdge = u"\uFDD2caught";

// What the net reported for something thrown, in this service's words: the
// edge's source, the message text of a code that came without text, E_FAIL
// for a code of 0, and an allocation failure with the code's text. Anything
// else is returned as it is.
HRESULT Reworded(HRESULT hr, std::u16string_view source, const com::Guid& iid);

// The outer edge of an operation: runs `fn` (returning HRESULT or Status)
// and reports a failing status (ReportFailure); com::CatchErrors is the net
// for what is thrown. A failure is never returned as a success.
template <typename Fn>
HRESULT CatchAtEdge(std::u16string_view source, const com::Guid& iid, Fn&& fn) noexcept {
  const HRESULT hr = com::CatchErrors(kCaughtAtEdge, iid, [&]() -> HRESULT {
    if constexpr (std::is_same_v<std::invoke_result_t<Fn>, Status>) {
      const Status status = fn();
      return status.ok() ? status.code() : ReportFailure(status, source, iid);
    } else {
      return fn();
    }
  });
  return com::CatchErrors(source, iid, [&] { return Reworded(hr, source, iid); });
}

}  // namespace quor::auth::util
