#include "platform/soap/wsdl.h"

#include "platform/soap/envelope.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"
#include "platform/xml/escape.h"

namespace quor::soap {

namespace {

// Attribute values of the description: what XML cannot carry is left out.
constexpr xml::EscapeRules kAttributeRules{
    .attribute = true, .decimalReferences = true, .invalid = xml::EscapeRules::Invalid::Drop};

std::string_view XsdType(com::VARTYPE vt) {
  switch (vt & com::VT_TYPEMASK) {
    case com::VT_I2: return "xsd:short";
    case com::VT_I4: return "xsd:int";
    case com::VT_I8: return "xsd:long";
    case com::VT_UI1: return "xsd:unsignedByte";
    case com::VT_UI4: return "xsd:unsignedInt";
    case com::VT_R8: return "xsd:double";
    case com::VT_BOOL: return "xsd:boolean";
    case com::VT_VARIANT: return "xsd:anyType";
    default: return "xsd:string";
  }
}

// The parameter's element in a request or response type.
void AppendParamElement(std::string& out, const com::ParamInfo& p, size_t index, bool optional) {
  out += "<xsd:element name=\"";
  out += WireName(p, index);
  out += "\" type=\"";
  out += XsdType(p.type);
  out += optional ? "\" minOccurs=\"0\" nillable=\"true\"/>" : "\" nillable=\"true\"/>";
}

// The endpoint's name made an NCName, for the names of the description's parts.
std::string ServiceNcName(const Endpoint& endpoint) {
  std::string name = endpoint.ServiceName();
  for (char& c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.' || static_cast<unsigned char>(c) >= 0x80;
    if (!ok) c = '_';
  }
  if (!xml::IsXmlName(name)) return std::string(1, '_').append(name);
  return name;
}

}  // namespace

std::string WriteWsdl(const Endpoint& endpoint, std::string_view location, std::span<const com::MemberInfo> methods) {
  const std::string service = ServiceNcName(endpoint);
  const std::string ns = "urn:quor-service:" + service;
  std::vector<const com::MemberInfo*> callable;
  for (const com::MemberInfo& m : methods)
    if (xml::IsXmlName(text::Narrow(m.name)) && m.name.find(u':') == std::u16string::npos) callable.push_back(&m);

  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<wsdl:definitions name=\"" + service + "\" targetNamespace=\"" + ns +
         "\" xmlns:wsdl=\"http://schemas.xmlsoap.org/wsdl/\" xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\""
         " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:tns=\"" +
         ns + "\">\n";
  out += "<wsdl:documentation>";
  xml::AppendEscaped(out, text::Format(
                         "%s (component %s). Post a SOAP 1.1 envelope whose Body holds one element named as the "
                         "operation, in this description's namespace (or in none), with the input parameters as "
                         "child elements by name, in no namespace: a parameter left out is null, an empty element "
                         "is empty text, and a carriage return travels as &#13;. The answer holds the return value "
                         "first, then the other outputs; its element, and a fault's errorInfo, are in the "
                         "namespace the operation's element came in. A failure is a SOAP fault whose faultcode is "
                         "\"Server\" and whose detail is errorInfo.",
                         endpoint.ServiceName(), endpoint.progId), kTextRules);
  out += "</wsdl:documentation>\n";

  // Types: the operations' elements in the description's namespace, the
  // parameters inside them in none, as the console's client sends them.
  out += "<wsdl:types>\n<xsd:schema targetNamespace=\"" + ns + "\" elementFormDefault=\"unqualified\">\n";
  for (const com::MemberInfo* m : callable) {
    const std::string name = text::Narrow(m->name);
    const auto& params = m->params;
    const bool hasRetval = !params.empty() && params.back().direction == com::ParamDirection::RetVal;
    const size_t passed = params.size() - (hasRetval ? 1 : 0);
    out += "<xsd:element name=\"" + name + "\"><xsd:complexType><xsd:all>";
    for (size_t i = 0; i < passed; ++i) {
      // [out] parameters may be sent too: they start from the value given.
      AppendParamElement(out, params[i], i, true);
    }
    out += "</xsd:all></xsd:complexType></xsd:element>\n";
    out += "<xsd:element name=\"" + name + "Response\"><xsd:complexType><xsd:sequence>";
    if (hasRetval) AppendParamElement(out, params.back(), params.size() - 1, false);
    for (size_t i = 0; i < passed; ++i)
      if (params[i].direction != com::ParamDirection::In) AppendParamElement(out, params[i], i, false);
    out += "</xsd:sequence></xsd:complexType></xsd:element>\n";
  }
  out += "<xsd:element name=\"errorInfo\"><xsd:complexType><xsd:sequence>"
         "<xsd:element name=\"status\" type=\"xsd:string\"/>"
         "<xsd:element name=\"description\" type=\"xsd:string\"/>"
         "<xsd:element name=\"number\" type=\"xsd:int\"/>"
         "<xsd:element name=\"source\" type=\"xsd:string\"/>"
         "</xsd:sequence></xsd:complexType></xsd:element>\n";
  out += "</xsd:schema>\n</wsdl:types>\n";

  // Messages: every part names its element by the schema's namespace.
  for (const com::MemberInfo* m : callable) {
    const std::string name = text::Narrow(m->name);
    out += "<wsdl:message name=\"" + name + "Request\"><wsdl:part name=\"parameters\" element=\"tns:" + name +
           "\"/></wsdl:message>\n";
    out += "<wsdl:message name=\"" + name + "Response\"><wsdl:part name=\"parameters\" element=\"tns:" + name +
           "Response\"/></wsdl:message>\n";
  }
  out += "<wsdl:message name=\"ServerFault\"><wsdl:part name=\"detail\" element=\"tns:errorInfo\"/></wsdl:message>\n";

  out += "<wsdl:portType name=\"" + service + "PortType\">\n";
  for (const com::MemberInfo* m : callable) {
    const std::string name = text::Narrow(m->name);
    out += "<wsdl:operation name=\"" + name + "\"><wsdl:input message=\"tns:" + name +
           "Request\"/><wsdl:output message=\"tns:" + name +
           "Response\"/><wsdl:fault name=\"ServerFault\" message=\"tns:ServerFault\"/></wsdl:operation>\n";
  }
  out += "</wsdl:portType>\n";

  out += "<wsdl:binding name=\"" + service + "Binding\" type=\"tns:" + service +
         "PortType\"><soap:binding style=\"document\" transport=\"http://schemas.xmlsoap.org/soap/http\"/>\n";
  for (const com::MemberInfo* m : callable) {
    const std::string name = text::Narrow(m->name);
    out += "<wsdl:operation name=\"" + name +
           "\"><soap:operation soapAction=\"\"/><wsdl:input><soap:body use=\"literal\"/></wsdl:input>"
           "<wsdl:output><soap:body use=\"literal\"/></wsdl:output><wsdl:fault name=\"ServerFault\">"
           "<soap:fault name=\"ServerFault\" use=\"literal\"/></wsdl:fault></wsdl:operation>\n";
  }
  out += "</wsdl:binding>\n";

  out += "<wsdl:service name=\"" + service + "\"><wsdl:port name=\"" + service + "Port\" binding=\"tns:" + service +
         "Binding\"><soap:address location=\"" + xml::Escaped(location, kAttributeRules) + "\"/></wsdl:port></wsdl:service>\n";
  out += "</wsdl:definitions>\n";
  return out;
}

}  // namespace quor::soap
