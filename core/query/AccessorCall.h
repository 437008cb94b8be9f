// The engine's late-bound calls: a data accessor or an output transformer,
// created by ProgID for the one call and called by method name with two texts.
// Both answer a text, or a fault document that stands for a failure.
#pragma once

#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"

namespace quor::core {

// Runs `queryText` against the data sources of `configText` through the
// accessor `progID`.`methodName`. Success with the answer text (null when the
// accessor answered no text); the fault's number with a null answer when the
// accessor answered a fault document; 0x8100005D when the call itself failed
// (with the accessor fault document as answer when the accessor raised an
// exception); the runtime's status when the accessor cannot be created or has
// no such method.
Status CallAccessor(const com::Bstr& queryText, const com::Bstr& configText, std::u16string_view progID,
                     std::u16string_view methodName, com::Bstr& answer);

namespace detail {

// What one late-bound method(first, second) call gave.
struct LateBoundAnswer {
  HRESULT invoked = S_OK;     // Invoke's own status
  bool isText = false;        // the result was a string
  com::Bstr text;
  bool raised = false;        // Invoke failed with an exception record
  uint16_t exceptionCode = 0;
  HRESULT exceptionStatus = S_OK;
  com::Bstr exceptionDescription;
};

// Creates `progID` in-process and calls `method` with the two texts as
// positional string arguments (a null text stays null). The status of
// creating the component or finding the method; success once Invoke ran,
// whatever it answered (that is in `answer`).
Status CallLateBound(std::u16string_view progID, std::u16string_view method, const com::Bstr& first,
                      const com::Bstr& second, LateBoundAnswer& answer);

}  // namespace detail

}  // namespace quor::core
