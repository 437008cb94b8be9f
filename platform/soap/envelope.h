// SOAP 1.1 envelopes as the listener reads and writes them.
//
// A request (as the console's client writes it; no SOAPAction header needed):
//
//   <?xml version='1.0'?><SOAP-ENV:Envelope xmlns:SOAP-ENV='...'
//   SOAP-ENV:encodingStyle='...' xmlns:xsi='...' xmlns:xsd='...'><SOAP-ENV:Body>
//   <Convert><src>a</src><rule/></Convert></SOAP-ENV:Body></SOAP-ENV:Envelope>
//
// The method is the Body's first element and the parameters are its child
// elements, all by local name (prefixes and namespaces are ignored). The
// method element's namespace is kept only to answer in it (see below). An
// absent parameter is a null string, `<p/>` or `<p></p>` the empty string,
// and `<p xsi:nil="true"/>` (or xsi:null="1") null again. Values are taken
// exactly: white space is kept, and a carriage return arrives only when it
// is sent as "&#13;" (XML turns a literal one into a line feed). A Header
// before the Body is allowed and ignored. A document type declaration, an
// unknown entity, a control character, a parameter that holds elements or
// nesting deeper than the limit make the request malformed.
//
// An answer:
//
//   <?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope
//   xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"
//   xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><SOAP-ENV:Body>
//   <ConvertResponse><result>[a|]</result></ConvertResponse>
//   </SOAP-ENV:Body></SOAP-ENV:Envelope>
//
// (one line, no white space anywhere): no Header; one element named after
// the method with "Response" appended, holding the outputs in the order
// given (the listener puts the return value first, then the other outputs in
// interface order); a null output is written `<name xsi:nil="true"/>`.
//
// When the request's method element is in a namespace, the answer's element
// is in that one too, and its children stay in none:
//
//   <tns:ConvertResponse xmlns:tns="urn:..."><result>[a|]</result>
//   </tns:ConvertResponse>
//
// Clients generated from the WSDL send and expect exactly that; a request in
// no namespace (the console's) gets the text above, byte for byte.
//
// A fault, the same envelope around:
//
//   <SOAP-ENV:Fault><faultcode>Server</faultcode><faultstring>text</faultstring>
//   <faultactor>/path/of/the/endpoint.sod</faultactor><detail><errorInfo>
//   <status>0x80040205</status><description>text</description>
//   <number>-2147220987</number><source>QuorTest.Echo</source>
//   </errorInfo></detail></SOAP-ENV:Fault>
//
// faultcode is always the bare text "Server" (the console tells a fault by
// it); the detail is the Fault's fourth child, and its first element holds
// the status first (upper-case hexadecimal, eight digits, "0x" prefix) and
// the description second, then the same status in signed decimal and the
// error's source. faultstring repeats the description. After a request in a
// namespace, errorInfo is written `<tns:errorInfo xmlns:tns="urn:...">` with
// its children in no namespace; faultcode stays "Server".
//
// In every text written, '&', '<' and '>' are escaped, a carriage return is
// written "&#13;", and characters XML cannot carry (control characters other
// than tab, line feed and carriage return) become U+FFFD.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"
#include "platform/xml/escape.h"

namespace quor::soap {

inline constexpr std::string_view kEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kEncodingNamespace = "http://schemas.xmlsoap.org/soap/encoding/";
inline constexpr std::string_view kSchemaInstanceNamespace = "http://www.w3.org/2001/XMLSchema-instance";

// A parameter of a request or an output of an answer: an element's local
// name and its text (null when absent or nil).
struct NamedValue {
  std::string name;
  com::Bstr value;
};

struct Request {
  std::string method;  // local name of the Body's first element
  std::string ns;      // its namespace; empty when in none
  std::vector<NamedValue> params;  // in the order sent
};

struct Fault {
  HRESULT status = E_FAIL;
  std::string description;  // UTF-8; when empty, the status's own text stands in
  std::string source;
  std::string actor;        // the endpoint's path
  // The description is the fault's own even when empty: nothing stands in.
  bool described = false;
};

struct Answer {
  bool isFault = false;
  std::string element;  // the response element's local name ("ConvertResponse")
  std::vector<NamedValue> outputs;
  Fault fault;          // when isFault
};

struct ParseLimits {
  size_t maxDepth = 32;  // elements nested, the Envelope counting as 1
};

// Reads a request body; E_INVALIDARG with the reason as its message when it
// cannot. The body may be UTF-8 (with or without a byte order mark), UTF-16
// with a byte order mark, or in an encoding its declaration names.
Result<Request> ParseRequest(std::string_view body, const ParseLimits& limits);
// The same, taking the body over: it is parsed where it lies, not copied,
// and is gone when the call returns, so that a large request is held once
// besides its values.
Result<Request> ParseRequest(std::string&& body, const ParseLimits& limits);

// Reads an answer or a fault as WriteAnswer and WriteFault write them (and
// as tolerant of prefixes and white space as ParseRequest); E_INVALIDARG
// with the reason as its message when it cannot.
Result<Answer> ParseAnswer(std::string_view body);

// The request text exactly as the console writes it; a null parameter is
// left out, an empty one written `<name/>`.
std::string WriteRequest(std::string_view method, std::span<const NamedValue> params);

// The answer of a successful call: `<method>Response` holding `outputs`,
// in the namespace `ns` when it is not empty.
std::string WriteAnswer(std::string_view method, std::span<const NamedValue> outputs, std::string_view ns = {});

// A fault; an empty description is replaced by the status's text. errorInfo
// is in the namespace `ns` when it is not empty.
std::string WriteFault(const Fault& fault, std::string_view ns = {});

// The status as a fault writes it: "0x80040205".
std::string FormatStatus(HRESULT status);

// How element text is escaped, as described above.
inline constexpr xml::EscapeRules kTextRules{.decimalReferences = true, .invalid = xml::EscapeRules::Invalid::Replace};

}  // namespace quor::soap
