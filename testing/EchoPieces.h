// The request of the test component's Pieces method (QuorTest.Echo): `count`
// times `text` as its result, returned whole or streamed, the call failing
// with 0x80040205 after `failAfter` pieces when that is not -1; the method
// element in the namespace `ns` when one is given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/soap/envelope.h"

namespace quor::test {

inline constexpr HRESULT kPiecesFailure = static_cast<HRESULT>(0x80040205);

inline std::string PiecesRequest(std::string_view text, int count, bool whole, int failAfter = -1,
                                 std::string_view ns = {}) {
  using com::Bstr;
  std::string body = soap::WriteRequest(
      "Pieces", std::vector<soap::NamedValue>{{"text", Bstr::FromUtf8(text)},
                                              {"count", Bstr::FromUtf8(std::to_string(count))},
                                              {"whole", Bstr(whole ? u"1" : u"0")},
                                              {"failAfter", Bstr::FromUtf8(std::to_string(failAfter))},
                                              {"status", Bstr::FromUtf8(std::to_string(kPiecesFailure))}});
  if (!ns.empty()) {
    body.replace(body.find("<Pieces>"), 8, "<q:Pieces xmlns:q=\"" + std::string(ns) + "\">");
    body.replace(body.find("</Pieces>"), 9, "</q:Pieces>");
  }
  return body;
}

}  // namespace quor::test
