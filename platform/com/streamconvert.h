// A conversion component's second way in, beside its late-bound method: its
// source read piece by piece and its output written as it is made, so that
// an answer too large to hold passes through it in bounded memory. A
// component offers it only where the output is the same text, byte for
// byte, that its caller would make of the whole conversion's answer.
#pragma once

#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/callcontext.h"
#include "platform/com/unknown.h"

namespace quor::com {

struct IStreamConvert : IUnknown {
  QUOR_COM_INTERFACE(IUnknown, "{F6DCE94D-891A-491F-9A91-08951958A3C4}");
  // Starts a conversion under `rule`; its output goes to `out`, which must
  // outlive it. One conversion per object.
  virtual HRESULT BeginConvert(const Bstr& rule, ResultSink* out) = 0;
  // The next piece of the source: text written as the document model writes
  // an element, cut only where a tag ends. Fails when the source is not one
  // the component can read this way, or when `out` failed; the conversion is
  // then over and its output is not whole.
  virtual HRESULT ConvertPiece(std::string_view piece) = 0;
  // The end of the source: the rest of the output goes out. Fails as
  // ConvertPiece, also when the source ended before its top element did.
  virtual HRESULT EndConvert() = 0;

 protected:
  ~IStreamConvert() = default;
};

}  // namespace quor::com
