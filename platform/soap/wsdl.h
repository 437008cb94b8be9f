// The service description of an endpoint: WSDL 1.1, document/literal in
// shape, written from the component's own list of methods.
//
// Every method is one operation. Its request element (named as the method)
// holds the input parameters in any order, each optional and nillable; its
// response element ("<method>Response") holds the return value first, then
// the other outputs in interface order. Every operation names the one fault
// message, whose detail is the "errorInfo" element (status, description,
// number, source). These elements are in the description's namespace,
// "urn:quor-service:<service>" (the schema's targetNamespace, every part
// naming "tns:..."), their children in none; the dispatcher answers a call
// in the namespace it came in, so the console's calls in no namespace keep
// working unchanged. Parameter types
// follow the interface (xsd:string for strings, xsd:int for 32-bit numbers
// ...); on the wire every value is text.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "platform/com/dispatch.h"
#include "platform/soap/dispatcher.h"

namespace quor::soap {

// `location` is the absolute URL clients post to.
std::string WriteWsdl(const Endpoint& endpoint, std::string_view location, std::span<const com::MemberInfo> methods);

}  // namespace quor::soap
