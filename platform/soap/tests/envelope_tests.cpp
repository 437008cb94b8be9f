// Envelopes: the exact texts written, what a request may and may not look
// like, and answers read back both by our reader and by position through the
// DOM, as the console reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/soap/envelope.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

using namespace quor;
using namespace quor::soap;
using com::Bstr;

namespace {

// Parsed both ways, in a copy and in place in a body handed over, which
// must read the same.
Request MustParse(std::string_view body, ParseLimits limits = {}) {
  Request r, taken;
  if (quor::Result<Request> parsed = ParseRequest(body, limits); parsed.ok())
    r = std::move(*parsed);
  else
    ADD_FAILURE() << parsed.status().message() << "\n" << body;
  if (quor::Result<Request> parsed = ParseRequest(std::string(body), limits); parsed.ok())
    taken = std::move(*parsed);
  else
    ADD_FAILURE() << parsed.status().message() << "\n" << body;
  EXPECT_EQ(taken.method, r.method);
  EXPECT_EQ(taken.ns, r.ns);
  EXPECT_EQ(taken.params.size(), r.params.size()) << body;
  for (size_t i = 0; i < std::min(taken.params.size(), r.params.size()); ++i) {
    EXPECT_EQ(taken.params[i].name, r.params[i].name);
    EXPECT_EQ(taken.params[i].value, r.params[i].value) << r.params[i].name << " in\n" << body;
  }
  return r;
}

std::string Wrap(std::string_view inner) {
  return "<?xml version='1.0'?><SOAP-ENV:Envelope xmlns:SOAP-ENV='http://schemas.xmlsoap.org/soap/envelope/'>"
         "<SOAP-ENV:Body>" +
         std::string(inner) + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

// What the console takes from an answer: the root is the second top-level
// node, the Body its first child, the answer element the Body's first child;
// a fault's detail is its fourth child, whose first child holds the status
// and the description as its children 0 and 1.
struct ConsoleView {
  std::string firstText;  // "Server" for a fault
  std::string status;
  std::string description;
};

ConsoleView ReadByPosition(std::string_view answer) {
  ConsoleView v;
  auto doc = xml::Document::Create();
  EXPECT_TRUE(doc->loadXML(answer)) << doc->parseError().reason;
  const auto top = doc->childNodes();
  EXPECT_EQ(top.size(), 2u);
  if (top.size() < 2) return v;
  EXPECT_EQ(top[0]->nodeName(), "xml");
  const auto element = top[1]->firstChild()->firstChild();
  v.firstText = element->firstChild() ? element->firstChild()->text() : "";
  const auto children = element->childNodes();
  if (children.size() >= 4) {
    const auto info = children[3]->firstChild();
    const auto fields = info->childNodes();
    if (fields.size() >= 2) {
      v.status = fields[0]->text();
      v.description = fields[1]->text();
    }
  }
  return v;
}

}  // namespace

TEST(EnvelopeTest, TextsWrittenAreExactlyTheseShapes) {
  const NamedValue params[] = {{"src", Bstr(u"a<b&c>\r")}, {"rule", Bstr(u"")}, {"gone", Bstr()}};
  EXPECT_EQ(WriteRequest("Convert", params),
            "<?xml version='1.0'?><SOAP-ENV:Envelope xmlns:SOAP-ENV='http://schemas.xmlsoap.org/soap/envelope/' "
            "SOAP-ENV:encodingStyle='http://schemas.xmlsoap.org/soap/encoding/' "
            "xmlns:xsi='http://www.w3.org/1999/XMLSchema-instance' xmlns:xsd='http://www.w3.org/1999/XMLSchema'>"
            "<SOAP-ENV:Body><Convert><src>a&lt;b&amp;c&gt;&#13;</src><rule/></Convert>"
            "</SOAP-ENV:Body></SOAP-ENV:Envelope>");

  const NamedValue outputs[] = {{"result", Bstr(u"<root>0</root>")}, {"reskey", Bstr(u"")}, {"other", Bstr()}};
  EXPECT_EQ(WriteAnswer("ReLoadConfig", outputs),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
            "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body><ReLoadConfigResponse>"
            "<result>&lt;root&gt;0&lt;/root&gt;</result><reskey/><other xsi:nil=\"true\"/></ReLoadConfigResponse>"
            "</SOAP-ENV:Body></SOAP-ENV:Envelope>");

  EXPECT_EQ(WriteFault({static_cast<HRESULT>(0x81000078), "No session & no key", "QuorServer", "/a/b.sod"}),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
            "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body><SOAP-ENV:Fault>"
            "<faultcode>Server</faultcode><faultstring>No session &amp; no key</faultstring>"
            "<faultactor>/a/b.sod</faultactor><detail><errorInfo><status>0x81000078</status>"
            "<description>No session &amp; no key</description><number>-2130706312</number>"
            "<source>QuorServer</source></errorInfo></detail></SOAP-ENV:Fault></SOAP-ENV:Body>"
            "</SOAP-ENV:Envelope>");

  // Without a description the status's own text stands in.
  const quor::Result<Answer> a = ParseAnswer(WriteFault({E_INVALIDARG, "", "", ""}));
  ASSERT_TRUE(a.ok()) << a.status().message();
  EXPECT_EQ(a->fault.description, com::HResultText(E_INVALIDARG));
  // Unless the empty description is the fault's own.
  const std::string own = WriteFault({E_NOTIMPL, "", "QuorServer", "/a.sod", true});
  EXPECT_NE(own.find("<faultstring/>"), std::string::npos) << own;
  EXPECT_NE(own.find("<status>0x80004001</status><description/>"), std::string::npos) << own;
}

TEST(EnvelopeTest, RequestValuesAreTakenExactly) {
  // The console's own text goes through unchanged.
  const NamedValue sent[] = {{"src", Bstr(u"x & <y>")}, {"rule", Bstr(u"")}};
  Request r = MustParse(WriteRequest("Convert", sent));
  EXPECT_EQ(r.method, "Convert");
  ASSERT_EQ(r.params.size(), 2u);
  EXPECT_EQ(r.params[0].name, "src");
  EXPECT_EQ(r.params[0].value, u"x & <y>");
  EXPECT_EQ(r.params[1].value, u"");
  EXPECT_FALSE(r.params[1].value.IsNull());

  // Prefixes and namespaces do not matter; a Header is skipped; white space
  // between elements is not a value, white space inside one is.
  r = MustParse(
      "<s:Envelope xmlns:s='urn:anything'>\n  <s:Header><t:x xmlns:t='urn:t'>1</t:x></s:Header>\n"
      "  <s:Body>\n    <m:Put xmlns:m='urn:m'>\n      <m:a>  </m:a>\n      <b></b>\n"
      "      <c xsi:nil='true' xmlns:xsi='urn:xsi'/>\n      <d xsi:null='1'>ignored</d>\n"
      "      <e>line1&#13;\nline2\r\nline3</e>\n      <f><![CDATA[<raw & text>]]> tail</f>\n"
      "      <g>&#x65E5;&#26412;\xE8\xAA\x9E</g>\n    </m:Put>\n  </s:Body>\n</s:Envelope>\n");
  EXPECT_EQ(r.method, "Put");
  ASSERT_EQ(r.params.size(), 7u);
  EXPECT_EQ(r.params[0].name, "a");
  EXPECT_EQ(r.params[0].value, u"  ");
  EXPECT_EQ(r.params[1].value, u"");
  EXPECT_FALSE(r.params[1].value.IsNull());
  EXPECT_TRUE(r.params[2].value.IsNull());
  EXPECT_TRUE(r.params[3].value.IsNull());
  // A carriage return survives only as a reference; literal ones become line feeds.
  EXPECT_EQ(r.params[4].value, u"line1\r\nline2\nline3");
  EXPECT_EQ(r.params[5].value, u"<raw & text> tail");
  EXPECT_EQ(r.params[6].value, u"\u65E5\u672C\u8A9E");

  // Text in other encodings: UTF-16 with a byte order mark, a declared one.
  const auto utf16 = text::FromUtf8(Wrap("<M><p>\xC3\xA9t\xC3\xA9</p></M>"), "UTF-16");
  ASSERT_TRUE(utf16.ok());
  r = MustParse(*utf16);
  ASSERT_EQ(r.params.size(), 1u);
  EXPECT_EQ(r.params[0].value, u"\u00E9t\u00E9");
  r = MustParse("<?xml version='1.0' encoding='ISO-8859-1'?><Envelope><Body><M><p>\xE9t\xE9</p></M></Body></Envelope>");
  ASSERT_EQ(r.params.size(), 1u);
  EXPECT_EQ(r.params[0].value, u"\u00E9t\u00E9");
  // A UTF-8 byte order mark is no part of the document.
  r = MustParse("\xEF\xBB\xBF" + Wrap("<M><p>a&amp;b&#xE9;</p></M>"));
  ASSERT_EQ(r.params.size(), 1u);
  EXPECT_EQ(r.params[0].value, u"a&b\u00E9");
}

TEST(EnvelopeTest, CallsInANamespaceAreAnsweredInIt) {
  // The method element's namespace, from whichever declaration is in scope.
  const struct {
    std::string body;
    std::string_view ns;
  } requests[] = {
      {WriteRequest("Put", {}), ""},
      {Wrap("<m:Put xmlns:m='urn:m'><a>1</a></m:Put>"), "urn:m"},
      {"<s:Envelope xmlns:s='urn:s' xmlns:m='urn:outer'><s:Body><m:Put/></s:Body></s:Envelope>", "urn:outer"},
      {"<Envelope><Body xmlns='urn:d'><Put><a xmlns=''>1</a></Put></Body></Envelope>", "urn:d"},
      {"<Envelope><Body xmlns='urn:d'><Put xmlns=''/></Body></Envelope>", ""},
      {Wrap("<q:Put/>"), ""},  // a prefix nothing declares is tolerated, in no namespace
  };
  for (const auto& c : requests) {
    const Request r = MustParse(c.body);
    EXPECT_EQ(r.method, "Put") << c.body;
    EXPECT_EQ(r.ns, c.ns) << c.body;
  }

  // The response element and errorInfo take the prefix "tns", their
  // children none.
  const NamedValue outputs[] = {{"result", Bstr(u"ok")}, {"reskey", Bstr()}};
  const std::string answer = WriteAnswer("ReLoadConfig", outputs, "urn:quor-service:QuorServiceCoreAdmin");
  EXPECT_EQ(answer,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
            "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body>"
            "<tns:ReLoadConfigResponse xmlns:tns=\"urn:quor-service:QuorServiceCoreAdmin\"><result>ok</result>"
            "<reskey xsi:nil=\"true\"/></tns:ReLoadConfigResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>");
  const std::string fault = WriteFault({E_INVALIDARG, "bad", "QuorServer", "/a.sod"}, "urn:a?b=\"1\"&c");
  EXPECT_EQ(fault,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
            "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body><SOAP-ENV:Fault>"
            "<faultcode>Server</faultcode><faultstring>bad</faultstring><faultactor>/a.sod</faultactor><detail>"
            "<tns:errorInfo xmlns:tns=\"urn:a?b=&quot;1&quot;&amp;c\"><status>0x80070057</status>"
            "<description>bad</description><number>-2147024809</number><source>QuorServer</source>"
            "</tns:errorInfo></detail></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>");
  EXPECT_EQ(WriteAnswer("ReLoadConfig", outputs, ""), WriteAnswer("ReLoadConfig", outputs));
  EXPECT_EQ(WriteFault({E_INVALIDARG, "bad", "", ""}, ""), WriteFault({E_INVALIDARG, "bad", "", ""}));

  // Both read back as before, by name and by position.
  quor::Result<Answer> a = ParseAnswer(answer);
  ASSERT_TRUE(a.ok()) << a.status().message();
  EXPECT_EQ(a->element, "ReLoadConfigResponse");
  ASSERT_EQ(a->outputs.size(), 2u);
  EXPECT_EQ(a->outputs[0].value, u"ok");
  EXPECT_TRUE(a->outputs[1].value.IsNull());
  EXPECT_EQ(ReadByPosition(answer).firstText, "ok");
  a = ParseAnswer(fault);
  ASSERT_TRUE(a.ok()) << a.status().message();
  EXPECT_EQ(a->fault.status, E_INVALIDARG);
  EXPECT_EQ(a->fault.description, "bad");
  const ConsoleView v = ReadByPosition(fault);
  EXPECT_EQ(v.firstText, "Server");
  EXPECT_EQ(v.status, "0x80070057");
  EXPECT_EQ(v.description, "bad");
}

TEST(EnvelopeTest, MalformedRequestsAreRefusedWithAReason) {
  std::string deep = "<a>";
  for (int i = 0; i < 40; ++i) deep += "<n>";
  for (int i = 0; i < 40; ++i) deep += "</n>";
  deep += "</a>";
  const std::string bomb =
      "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol 'lol'><!ENTITY lol2 '&lol;&lol;&lol;&lol;'>]>"
      "<Envelope><Body><M><p>&lol2;</p></M></Body></Envelope>";
  const struct {
    std::string body;
    std::string_view reasonHas;
  } cases[] = {
      {"", "no XML"},
      {"   \r\n", "no XML"},
      {"this is not XML", "not well-formed"},
      {"<Envelope><Body><M><p>x</p></M></Body>", "not well-formed"},
      {"<Envelope><Body><M><p>x</q></M></Body></Envelope>", "not well-formed"},
      {bomb, "document type"},
      {Wrap("<M><p>&nbsp;</p></M>"), "reference"},
      {Wrap("<M><p>&#1;</p></M>"), "reference"},
      {Wrap("<M><p>&#xD800;</p></M>"), "reference"},
      {Wrap("<M><p>a\x01z</p></M>"), "U+0001"},
      {Wrap("<M><p>\xC3\x28</p></M>"), "UTF-8"},
      {"<Other><Body><M/></Body></Other>", "not a SOAP Envelope"},
      {"<Envelope><M/></Envelope>", "Unexpected element"},
      {"<Envelope><Header/></Envelope>", "no Body"},
      {"<Envelope><Body/></Envelope>", "Body is empty"},
      {"<Envelope><Body>  </Body></Envelope>", "Body is empty"},
      {Wrap("<M/><N/>"), "second element"},
      {Wrap("text<M/>"), "Text directly in the Body"},
      {Wrap("<M>loose<p/></M>"), "Text directly in the method"},
      {Wrap("<M><p><q>x</q></p></M>"), "holds the element"},
      {Wrap("<M><p>x</p></M>") + "<Envelope/>", "more than one document element"},
      {Wrap(deep), "nested deeper than 32"},
  };
  for (const auto& c : cases) {
    const quor::Status status = ParseRequest(c.body, {}).status();
    const std::string& error = status.message();
    EXPECT_EQ(status.code(), E_INVALIDARG) << c.body;
    EXPECT_NE(error.find(c.reasonHas), std::string::npos) << "reason: " << error << "\nbody: " << c.body;
    // Parsed in place, for the same reason.
    const quor::Status inPlace = ParseRequest(std::string(c.body), {}).status();
    EXPECT_EQ(inPlace.code(), E_INVALIDARG) << c.body;
    EXPECT_EQ(inPlace.message(), error);
  }

  // The limit is the caller's: with room to spare the same text gets as far
  // as its next fault.
  const quor::Status spared = ParseRequest(Wrap(deep), {.maxDepth = 50}).status();
  EXPECT_EQ(spared.code(), E_INVALIDARG);
  EXPECT_NE(spared.message().find("holds the element"), std::string::npos) << spared.message();
  EXPECT_EQ(ParseRequest(Wrap("<M><p>x</p></M>"), {.maxDepth = 3}).status().code(), E_INVALIDARG);
  const quor::Status roomy = ParseRequest(Wrap("<M><p>x</p></M>"), {.maxDepth = 4}).status();
  EXPECT_EQ(roomy.code(), S_OK) << roomy.message();
}

TEST(EnvelopeTest, AnswersReadBackByNameAndByPosition) {
  const NamedValue outputs[] = {{"locator", Bstr(u"loc\r\n&<>\"'")},
                                {"sessionKey", Bstr(u"")},
                                {"verifier", Bstr()},
                                {"odd", Bstr(std::u16string(u"a\u0001b\uFFFEc\tz"))}};
  const std::string text = WriteAnswer("OpenSession", outputs);
  quor::Result<Answer> parsed = ParseAnswer(text);
  ASSERT_TRUE(parsed.ok()) << parsed.status().message();
  Answer a = std::move(*parsed);
  EXPECT_FALSE(a.isFault);
  EXPECT_EQ(a.element, "OpenSessionResponse");
  ASSERT_EQ(a.outputs.size(), 4u);
  EXPECT_EQ(a.outputs[0].name, "locator");
  EXPECT_EQ(a.outputs[0].value, u"loc\r\n&<>\"'");
  EXPECT_EQ(a.outputs[1].value, u"");
  EXPECT_FALSE(a.outputs[1].value.IsNull());
  EXPECT_TRUE(a.outputs[2].value.IsNull());
  // Characters XML cannot carry are replaced, the rest kept.
  EXPECT_EQ(a.outputs[3].value, u"a\uFFFDb\uFFFDc\tz");

  // Through the DOM, by position: the return value is the first child's text.
  ConsoleView v = ReadByPosition(text);
  EXPECT_EQ(v.firstText, "loc\r\n&<>\"'");

  const std::string fault =
      WriteFault({static_cast<HRESULT>(0x8100004E), "The database is down.", "QuorServer", "/QuorService/x.sod"});
  parsed = ParseAnswer(fault);
  ASSERT_TRUE(parsed.ok()) << parsed.status().message();
  a = std::move(*parsed);
  EXPECT_TRUE(a.isFault);
  EXPECT_EQ(a.fault.status, static_cast<HRESULT>(0x8100004E));
  EXPECT_EQ(a.fault.description, "The database is down.");
  EXPECT_EQ(a.fault.source, "QuorServer");
  EXPECT_EQ(a.fault.actor, "/QuorService/x.sod");
  EXPECT_TRUE(a.outputs.empty());
  v = ReadByPosition(fault);
  EXPECT_EQ(v.firstText, "Server");
  EXPECT_EQ(v.status, "0x8100004E");
  EXPECT_EQ(v.description, "The database is down.");

  // Not an answer at all.
  const quor::Status notAnswer = ParseAnswer("<html>502 Bad Gateway</html>").status();
  EXPECT_EQ(notAnswer.code(), E_INVALIDARG);
  EXPECT_FALSE(notAnswer.message().empty());
}
