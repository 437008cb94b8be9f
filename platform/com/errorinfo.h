// Per-thread error information, and the conversions between it and Status.
//
// A component that fails sets the thread's current error information and
// returns its HRESULT; the caller takes the information (taking clears it).
// Inside a component failures travel as Status and become HRESULT plus error
// information only at the component's outer edge (ReportStatus, CatchErrors).
// ComError is left to the variant type's checked reads (a constructor or
// conversion has no status to return); the dispatcher and CatchErrors turn
// it back into a status.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"

namespace quor::com {

struct ErrorInfo {
  Guid iid;  // the interface that failed; null when not given
  Bstr source;
  Bstr description;
  HRESULT code = S_OK;
  Bstr helpFile;
  uint32_t helpContext = 0;
};

// Makes `info` the calling thread's current error information.
void SetErrorInfo(ErrorInfo info);
void ClearErrorInfo();
// Takes the current error information, leaving none.
std::optional<ErrorInfo> GetErrorInfo();
bool HasErrorInfo();

// Sets error information and returns `code`, for `return RaiseError(...)`.
HRESULT RaiseError(HRESULT code, Bstr source, Bstr description, const Guid& iid = GUID_NULL);

// At a component's edge: `status` as the HRESULT to return, with error
// information: the status's own message when it has one; else the
// information a called component left, if any; else the code's text.
HRESULT ReportStatus(const Status& status, std::u16string_view source, const Guid& iid = GUID_NULL);

// A called component's failing HRESULT as a status that leaves the error
// information it set in place for the edge to report.
inline Status StatusOf(HRESULT code) { return SUCCEEDED(code) ? Status() : Status(code); }
// The same, taking the error information's description as the message (and
// clearing it): for a failure this component reports in its own words or
// handles.
Status TakeStatus(HRESULT code);

class ComError : public std::exception {
 public:
  explicit ComError(HRESULT code, Bstr description = {}, Bstr source = {});
  HRESULT Code() const noexcept { return code_; }
  const Bstr& Description() const noexcept { return description_; }
  const Bstr& Source() const noexcept { return source_; }
  // "<description> (0x80004005)", or the status's text when no description.
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  HRESULT code_;
  Bstr description_;
  Bstr source_;
  std::string message_;
};

// Turns a caught ComError into the status to return, leaving error
// information behind: the error's own description when it has one; else the
// information already set by whoever raised it; else the status's text.
// `source` is used when the error names none.
HRESULT StatusFromError(const ComError& error, std::u16string_view source, const Guid& iid = GUID_NULL);

// Runs `fn` (returning HRESULT or Status) at a component's outer edge: a
// failing Status is reported (ReportStatus), a ComError becomes its status
// with error information, an allocation failure E_OUTOFMEMORY and anything
// else E_UNEXPECTED. Nothing escapes.
template <typename Fn>
HRESULT CatchErrors(std::u16string_view source, const Guid& iid, Fn&& fn) noexcept {
  try {
    if constexpr (std::is_same_v<std::invoke_result_t<Fn>, Status>) {
      const Status status = fn();
      return status.ok() ? status.code() : ReportStatus(status, source, iid);
    } else {
      return fn();
    }
  } catch (const ComError& e) {
    return StatusFromError(e, source, iid);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return RaiseError(E_UNEXPECTED, Bstr(source), Bstr::FromUtf8(e.what()), iid);
  } catch (...) {
    return RaiseError(E_UNEXPECTED, Bstr(source), Bstr::FromUtf8(HResultText(E_UNEXPECTED)), iid);
  }
}

}  // namespace quor::com
