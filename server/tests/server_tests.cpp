// quor-server end to end: the real program on a free loopback port, with a
// temporary registry into which the test components were registered by the
// real quor-regsvr, driven over real HTTP by our client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

#include "platform/base/unique_fd.h"
#include "platform/soap/envelope.h"
#include "platform/soap/http_client.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"
#include "testing/ServerProcess.h"

using namespace quor;
using namespace quor::soap;
using namespace quor::soap::testing;
using namespace std::chrono_literals;
using com::Bstr;

namespace {

const fs::path kBin = QUOR_BIN_DIR;
const fs::path kLib = QUOR_LIB_DIR;

ServerProcess::Config Config(std::vector<std::string> args) {
  return {kBin, kLib, {"libquor_test_plugin.so", "libquor_soap_test_plugin.so"}, std::move(args)};
}

struct Reply {
  HRESULT hr = E_FAIL;
  int http = 0;
  std::string raw;
  Answer answer;
};

// Posts a request built from `params` and reads the answer.
Reply Post(HttpClient& client, const std::string& url, std::string_view method, std::vector<NamedValue> params) {
  Reply r;
  Result<HttpReply> http = client.Post(url, WriteRequest(method, params));
  r.hr = http.status().code();
  EXPECT_EQ(r.hr, S_OK) << http.status().message();
  if (!http.ok()) return r;
  r.http = http->status;
  r.raw = http->body;
  Result<Answer> answer = ParseAnswer(r.raw);
  EXPECT_EQ(answer.status().code(), S_OK) << answer.status().message() << "\n" << r.raw;
  if (answer.ok()) r.answer = std::move(*answer);
  return r;
}

Reply PostRaw(HttpClient& client, const std::string& url, std::string_view body) {
  Reply r;
  Result<HttpReply> http = client.Post(url, body);
  r.hr = http.status().code();
  EXPECT_EQ(r.hr, S_OK) << http.status().message();
  if (!http.ok()) return r;
  r.http = http->status;
  r.raw = http->body;
  if (http->contentType.starts_with("text/xml"))
    if (Result<Answer> answer = ParseAnswer(r.raw); answer.ok()) r.answer = std::move(*answer);
  return r;
}

std::vector<std::string> Names(const Answer& a) {
  std::vector<std::string> n;
  for (const auto& o : a.outputs) n.push_back(o.name);
  return n;
}

std::string Value(const Answer& a, size_t i) { return i < a.outputs.size() ? a.outputs[i].value.ToUtf8() : "<none>"; }

// A loopback connection for requests our client would never send.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect failed";
  }
  void Send(std::string_view s) { (void)!::send(fd_.get(), s.data(), s.size(), MSG_NOSIGNAL); }
  // One HTTP answer (headers and the body its Content-Length gives), or what
  // came until the peer closed or `limit` passed.
  std::string ReceiveAnswer(std::chrono::milliseconds limit) {
    std::string in;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      const size_t end = in.find("\r\n\r\n");
      if (end != std::string::npos) {
        const size_t at = in.find("Content-Length: ");
        const size_t length = at < end ? std::stoul(in.substr(at + 16)) : 0;
        if (in.size() >= end + 4 + length) break;
      }
      bool closed = false;
      in += Receive(20ms, &closed);
      if (closed) break;
    }
    return in;
  }
  // Everything until the peer closes or `limit` passes; `closed` tells which.
  std::string Receive(std::chrono::milliseconds limit, bool* closed = nullptr) {
    std::string in;
    const auto until = std::chrono::steady_clock::now() + limit;
    if (closed) *closed = false;
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (closed) *closed = true;
        break;
      }
      in.append(buffer, n);
    }
    return in;
  }

 private:
  UniqueFd fd_;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resources_ = std::make_unique<TempDir>();
    const fs::path root = resources_->Path() / "resource";
    fs::create_directories(root / "sub");
    std::ofstream(root / "a.txt") << "hello";
    std::ofstream(root / "sub" / "b.xml") << "<b/>";
    std::ofstream(resources_->Path() / "secret.txt") << "SECRET";
    fs::create_directories(resources_->Path() / "outside");
    std::ofstream(resources_->Path() / "outside" / "secret.txt") << "SECRET";
    fs::create_symlink(resources_->Path() / "secret.txt", root / "link.txt");
    fs::create_directory_symlink(resources_->Path() / "outside", root / "dirlink");
    ASSERT_EQ(::mkfifo((root / "pipe.txt").c_str(), 0644), 0);

    server_ = std::make_unique<ServerProcess>(Config({
        "--endpoint", "/QuorTest/Echo.sod=QuorTest.Echo",
        "--endpoint", "/QuorTest/Shapes.sod=QuorSoapTest.Shapes",
        "--endpoint", "/QuorTest/ShapesAdmin.sod=QuorSoapTest.ShapesAdmin",
        "--endpoint", "/QuorTest/Missing.sod=QuorTest.NotRegistered",
        "--resource-url", "/QuorService/resource",
        "--resource-dir", root.string(),
        "--max-body", "65536", "--max-depth", "16", "--read-timeout", "2"}));
    ASSERT_EQ(server_->Error(), "");
    echo_ = server_->Url("/QuorTest/Echo.sod");
    shapes_ = server_->Url("/QuorTest/Shapes.sod");
  }
  void TearDown() override {
    // Our kept-alive connection goes first, so the stop need not wait for it.
    clientHolder_.reset();
    // Every test ends with a server that still runs and stops cleanly.
    if (server_ && server_->Error().empty()) {
      EXPECT_TRUE(server_->Running()) << server_->Stderr();
      EXPECT_EQ(server_->Stop(), 0) << server_->Stderr();
    }
    server_.reset();
    resources_.reset();
  }

  std::unique_ptr<TempDir> resources_;
  std::unique_ptr<ServerProcess> server_;
  std::string echo_, shapes_;
  std::optional<HttpClient> clientHolder_{std::in_place};
  HttpClient& client_ = *clientHolder_;
};

}  // namespace

TEST_F(ServerTest, CallsPassStringsNullsAndCarriageReturns) {
  // The exact answer text of a plain call.
  Reply r = Post(client_, echo_, "Convert", {{"src", Bstr(u"a")}, {"rule", Bstr(u"b")}});
  EXPECT_EQ(r.http, 200);
  EXPECT_EQ(r.raw,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
            "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body><ConvertResponse>"
            "<result>[a|b]</result></ConvertResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>");

  // Absent is null, <p/> is empty, nil is null; the method name is found
  // without case and answered in the interface's spelling.
  r = Post(client_, echo_, "convert", {{"src", Bstr(u"")}});
  EXPECT_EQ(r.answer.element, "ConvertResponse");
  EXPECT_EQ(Value(r.answer, 0), "[|(null)]");
  r = PostRaw(client_, echo_,
              "<Envelope><Body><Convert><SRC xsi:nil='true' xmlns:xsi='urn:x'/><Rule>  </Rule></Convert></Body>"
              "</Envelope>");
  EXPECT_EQ(Value(r.answer, 0), "[(null)|  ]");

  // Carriage returns, markup characters and non-ASCII text both ways.
  const std::u16string tricky = u"line1\r\nline2\r<&>\"' \u65E5\u672C";
  r = Post(client_, echo_, "Convert", {{"src", Bstr(tricky)}, {"rule", Bstr(u"\r")}});
  ASSERT_EQ(r.answer.outputs.size(), 1u);
  EXPECT_EQ(r.answer.outputs[0].value, Bstr(u"[" + tricky + u"|\r]"));
  EXPECT_NE(r.raw.find("line1&#13;\nline2&#13;&lt;&amp;&gt;"), std::string::npos) << r.raw;

  // Numbers convert to and from text.
  r = Post(client_, echo_, "Add", {{"a", Bstr(u"2")}, {"b", Bstr(u"40")}});
  EXPECT_EQ(Names(r.answer), std::vector<std::string>{"sum"});
  EXPECT_EQ(Value(r.answer, 0), "42");

  // A success status other than S_OK is still an answer.
  r = Post(client_, shapes_, "Positive", {});
  EXPECT_EQ(r.http, 200);
  EXPECT_FALSE(r.answer.isFault);
  EXPECT_EQ(Value(r.answer, 0), "ok");
}

TEST_F(ServerTest, OutputsComeReturnValueFirstThenInInterfaceOrder) {
  Reply r = Post(client_, shapes_, "Stamp", {{"user", Bstr(u"tok")}});
  EXPECT_EQ(Names(r.answer), (std::vector<std::string>{"result", "reskey"}));
  EXPECT_EQ(Value(r.answer, 0), "result:tok");
  EXPECT_EQ(Value(r.answer, 1), "key:tok");

  r = Post(client_, shapes_, "CreateTicket",
           {{"authority", Bstr(u"A")}, {"realm", Bstr(u"R")}, {"principal", Bstr(u"P")}, {"credential", Bstr(u"C")}});
  EXPECT_EQ(Names(r.answer), (std::vector<std::string>{"ticket", "fullPrincipal"}));
  EXPECT_EQ(Value(r.answer, 0), "ticket(A,C)");
  EXPECT_EQ(Value(r.answer, 1), "R\\P");

  // Parameters may come in any order; they bind by name.
  r = Post(client_, shapes_, "OpenSession",
           {{"tokenSeed", Bstr(u"seed")}, {"ticket", Bstr(u"T")}, {"service", Bstr(u"qsc")}, {"tokenScheme", Bstr(u"")}});
  EXPECT_EQ(Names(r.answer), (std::vector<std::string>{"locator", "sessionKey", "verifier"}));
  EXPECT_EQ(Value(r.answer, 0), "loc-qsc");
  EXPECT_EQ(Value(r.answer, 1), "sk-T");
  EXPECT_EQ(Value(r.answer, 2), "v-seed-");

  // [in, out] parameters start from the values sent.
  r = Post(client_, echo_, "Swap", {{"a", Bstr(u"first")}, {"b", Bstr(u"second")}});
  EXPECT_EQ(Names(r.answer), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Value(r.answer, 0), "second");
  EXPECT_EQ(Value(r.answer, 1), "first");

  // A null output and an empty one stay apart.
  r = Post(client_, shapes_, "Nothing", {});
  ASSERT_EQ(Names(r.answer), (std::vector<std::string>{"result", "empty"}));
  EXPECT_TRUE(r.answer.outputs[0].value.IsNull());
  EXPECT_FALSE(r.answer.outputs[1].value.IsNull());
  EXPECT_TRUE(r.answer.outputs[1].value.Empty());

  // The administration class behind its own endpoint.
  r = Post(client_, server_->Url("/QuorTest/ShapesAdmin.sod"), "ReLoadConfig", {{"user", Bstr(u"adm")}});
  EXPECT_EQ(Names(r.answer), (std::vector<std::string>{"result", "reskey"}));
  EXPECT_EQ(Value(r.answer, 0), "<root>0</root>");

  // Each call has an object of its own.
  const int first = std::stoi(Value(Post(client_, shapes_, "Serial", {}).answer, 0));
  const int second = std::stoi(Value(Post(client_, shapes_, "Serial", {}).answer, 0));
  EXPECT_GT(second, first);
}

TEST_F(ServerTest, FailuresBecomeFaultsTheConsoleCanRead) {
  Reply r = Post(client_, echo_, "Fail", {{"message", Bstr(u"boom & bust")}});
  EXPECT_EQ(r.http, 500);
  EXPECT_EQ(r.raw,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
            "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body><SOAP-ENV:Fault>"
            "<faultcode>Server</faultcode><faultstring>boom &amp; bust</faultstring>"
            "<faultactor>/QuorTest/Echo.sod</faultactor><detail><errorInfo><status>0x80040205</status>"
            "<description>boom &amp; bust</description><number>-2147220987</number><source>QuorTest.Echo</source>"
            "</errorInfo></detail></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>");

  // Read by position through the DOM, as the console does.
  auto doc = xml::Document::Create();
  ASSERT_TRUE(doc->loadXML(r.raw));
  const auto fault = doc->childNodes().at(1)->firstChild()->firstChild();
  EXPECT_EQ(fault->firstChild()->text(), "Server");
  const auto info = fault->childNodes().at(3)->firstChild()->childNodes();
  EXPECT_EQ(info.at(0)->text(), "0x80040205");
  EXPECT_EQ(info.at(1)->text(), "boom & bust");

  // A failing call's outputs are never sent.
  r = Post(client_, shapes_, "Fault", {{"status", Bstr(u"81000078")}, {"description", Bstr(u"No session.")}});
  EXPECT_TRUE(r.answer.isFault);
  EXPECT_EQ(r.answer.fault.status, static_cast<HRESULT>(0x81000078));
  EXPECT_EQ(r.answer.fault.description, "No session.");
  EXPECT_EQ(r.answer.fault.source, "QuorSoapTest.Shapes");
  EXPECT_EQ(r.raw.find("must not be sent"), std::string::npos) << r.raw;

  // A thrown error, through an unnamed parameter.
  r = Post(client_, echo_, "Throw", {{"param1", Bstr(u"thrown text")}});
  EXPECT_EQ(r.answer.fault.status, E_INVALIDARG);
  EXPECT_EQ(r.answer.fault.description, "thrown text");
}

TEST_F(ServerTest, CallsInTheDescriptionsNamespaceAreAnsweredInItOthersAsBefore) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
      "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><SOAP-ENV:Body>";
  const std::string tail = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  const std::string failed =
      "<SOAP-ENV:Fault><faultcode>Server</faultcode><faultstring>no</faultstring>"
      "<faultactor>/QuorTest/Echo.sod</faultactor><detail>%s<status>0x80040205</status>"
      "<description>no</description><number>-2147220987</number><source>QuorTest.Echo</source>%s</detail>"
      "</SOAP-ENV:Fault>";
  const auto envelope = [](std::string_view call) {
    return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" +
           std::string(call) + "</s:Body></s:Envelope>";
  };

  // In no namespace, however it is written: the very bytes the console has
  // always had.
  const std::string plain = head + "<ConvertResponse><result>[a|b]</result></ConvertResponse>" + tail;
  const std::string plainFault = head + text::Format(failed, "<errorInfo>", "</errorInfo>") + tail;
  for (const std::string& call : {std::string("<Convert><src>a</src><rule>b</rule></Convert>"),
                                  std::string("<Convert xmlns=\"\"><src>a</src><rule>b</rule></Convert>"),
                                  std::string("<x:Convert><src>a</src><rule>b</rule></x:Convert>")}) {
    EXPECT_EQ(PostRaw(client_, echo_, envelope(call)).raw, plain) << call;
  }
  EXPECT_EQ(Post(client_, echo_, "Convert", {{"src", Bstr(u"a")}, {"rule", Bstr(u"b")}}).raw, plain);
  Reply r = Post(client_, echo_, "Fail", {{"message", Bstr(u"no")}});
  EXPECT_EQ(r.http, 500);
  EXPECT_EQ(r.raw, plainFault);

  // In the description's namespace, by a prefix or as the default: the
  // response element and errorInfo in it, their children in none.
  const std::string ns = "urn:quor-service:Echo";
  const std::string qualified = head + "<tns:ConvertResponse xmlns:tns=\"" + ns +
                                "\"><result>[a|b]</result></tns:ConvertResponse>" + tail;
  for (const std::string& call :
       {"<q:Convert xmlns:q=\"" + ns + "\"><src>a</src><rule>b</rule></q:Convert>",
        "<Convert xmlns=\"" + ns + "\"><src xmlns=\"\">a</src><rule xmlns=\"\">b</rule></Convert>"}) {
    r = PostRaw(client_, echo_, envelope(call));
    EXPECT_EQ(r.http, 200);
    EXPECT_EQ(r.raw, qualified) << call;
  }
  r = PostRaw(client_, echo_, envelope("<q:Fail xmlns:q=\"" + ns + "\"><message>no</message></q:Fail>"));
  EXPECT_EQ(r.http, 500);
  EXPECT_EQ(r.raw,
            head + text::Format(failed, "<tns:errorInfo xmlns:tns=\"" + ns + "\">", "</tns:errorInfo>") + tail);

  // The listener's own faults follow the request the same way; a request it
  // cannot read has no namespace to answer in.
  r = PostRaw(client_, echo_, envelope("<q:Nope xmlns:q=\"" + ns + "\"/>"));
  EXPECT_EQ(r.answer.fault.status, DISP_E_UNKNOWNNAME);
  EXPECT_NE(r.raw.find("<detail><tns:errorInfo xmlns:tns=\"" + ns + "\"><status>"), std::string::npos) << r.raw;
  r = PostRaw(client_, echo_, envelope("<q:Convert xmlns:q=\"" + ns + "\"><src><b/></src></q:Convert>"));
  EXPECT_EQ(r.answer.fault.status, E_INVALIDARG);
  EXPECT_NE(r.raw.find("<detail><errorInfo><status>"), std::string::npos) << r.raw;
}

TEST_F(ServerTest, BadCallsGetFaultsAndTheServerKeepsServing) {
  struct Case {
    std::string url;
    std::string method;
    std::vector<NamedValue> params;
    HRESULT status;
    std::string descriptionHas;
  };
  const Case cases[] = {
      {echo_, "Nope", {}, DISP_E_UNKNOWNNAME, "has no method \"Nope\""},
      {echo_, "Count", {}, DISP_E_UNKNOWNNAME, "has no method"},  // a property, not an operation
      {echo_, "Convert", {{"src", Bstr(u"a")}, {"colour", Bstr(u"red")}}, DISP_E_PARAMNOTFOUND, "\"colour\""},
      {echo_, "Convert", {{"result", Bstr(u"x")}}, DISP_E_PARAMNOTFOUND, "\"result\""},
      {echo_, "Convert", {{"src", Bstr(u"a")}, {"SRC", Bstr(u"b")}}, E_INVALIDARG, "given twice"},
      {echo_, "Add", {{"a", Bstr(u"two")}, {"b", Bstr(u"1")}}, DISP_E_TYPEMISMATCH, "\"a\""},
      {echo_, "Add", {{"b", Bstr(u"1")}}, DISP_E_TYPEMISMATCH, "\"a\""},  // missing: null is not a number
      {echo_, "Grid", {{"param1", Bstr(u"2")}, {"param2", Bstr(u"2")}}, DISP_E_TYPEMISMATCH, "is not text"},
      {shapes_, "Bytes", {}, DISP_E_TYPEMISMATCH, "is not text"},
      {server_->Url("/QuorTest/Missing.sod"), "Convert", {}, CO_E_CLASSSTRING, "QuorTest.NotRegistered"},
  };
  for (const Case& c : cases) {
    Reply r = Post(client_, c.url, c.method, c.params);
    EXPECT_EQ(r.http, 500) << c.method;
    EXPECT_TRUE(r.answer.isFault) << c.method << ": " << r.raw;
    EXPECT_EQ(r.answer.fault.status, c.status) << c.method << ": " << r.answer.fault.description;
    EXPECT_NE(r.answer.fault.description.find(c.descriptionHas), std::string::npos)
        << c.method << ": " << r.answer.fault.description;
    EXPECT_EQ(r.answer.fault.source, "QuorServer");
  }
  // Characters XML cannot carry are replaced, not sent.
  Reply r = Post(client_, shapes_, "Control", {});
  EXPECT_EQ(r.answer.outputs.at(0).value, u"a\uFFFDb\uFFFDc");
  // Still serving, and the missing component was logged.
  EXPECT_EQ(Value(Post(client_, echo_, "Convert", {{"src", Bstr(u"x")}}).answer, 0), "[x|(null)]");
  EXPECT_NE(server_->Events().find("QuorServer\tError\t21\t/QuorTest/Missing.sod"), std::string::npos)
      << server_->Events();
}

TEST_F(ServerTest, MalformedOversizedAndStalledRequestsAreRefused) {
  // Not SOAP at all, or not well-formed: faults.
  std::string deep = "<Envelope><Body><M><p>";
  for (int i = 0; i < 100; ++i) deep += "<n>";
  const std::string bomb =
      "<!DOCTYPE d [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'>]>"
      "<Envelope><Body><Convert><src>&b;</src></Convert></Body></Envelope>";
  for (std::string body : {std::string("not xml at all"), std::string("<Envelope><Body><Convert>"),
                           std::string("<html><body>hi</body></html>"), std::string(), bomb, deep}) {
    Reply r = PostRaw(client_, echo_, body);
    EXPECT_EQ(r.http, 500) << body;
    EXPECT_TRUE(r.answer.isFault) << r.raw;
    EXPECT_EQ(r.answer.fault.status, E_INVALIDARG) << r.raw;
    EXPECT_NE(r.answer.fault.description.find("not a valid SOAP call"), std::string::npos) << r.raw;
  }

  // Too large: 413 with a fault; by length and chunked.
  const std::string big = WriteRequest("Convert", std::vector<NamedValue>{{"src", Bstr(std::u16string(70000, u'x'))}});
  Reply r = PostRaw(client_, echo_, big);
  EXPECT_EQ(r.http, 413);
  EXPECT_TRUE(r.answer.isFault) << r.raw;
  EXPECT_NE(r.answer.fault.description.find("65536"), std::string::npos) << r.raw;
  {
    RawConnection raw(server_->Port());
    raw.Send("POST /QuorTest/Echo.sod HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk(40000, 'y');
    raw.Send("9c40\r\n" + chunk + "\r\n9c40\r\n" + chunk + "\r\n0\r\n\r\n");
    const std::string answer = raw.ReceiveAnswer(3s);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 413")) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Connection: close"), std::string::npos);
    EXPECT_NE(answer.find("<faultcode>Server</faultcode>"), std::string::npos);
  }
  {
    // A declared length over the limit is refused without waiting for the body.
    RawConnection raw(server_->Port());
    raw.Send("POST /QuorTest/Echo.sod HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999\r\n\r\n<Env");
    const auto started = std::chrono::steady_clock::now();
    const std::string answer = raw.ReceiveAnswer(1s);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 413")) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Connection: close"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
  }

  // Not HTTP, and a header line over the limit.
  {
    RawConnection raw(server_->Port());
    raw.Send("HELLO THERE\r\n\r\n");
    EXPECT_TRUE(raw.ReceiveAnswer(3s).starts_with("HTTP/1.1 400")) << "garbage request line";
  }
  {
    RawConnection raw(server_->Port());
    raw.Send("GET /QuorTest/Echo.sod?wsdl HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(20000, 'h') + "\r\n\r\n");
    const std::string answer = raw.ReceiveAnswer(3s);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 4")) << answer.substr(0, 100);
  }

  // A client that stalls half-way gets 408 after the read time-out (2 s
  // here), and others are served meanwhile.
  {
    RawConnection stalled(server_->Port());
    const auto started = std::chrono::steady_clock::now();
    stalled.Send("POST /QuorTest/Echo.sod HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n<Envelope>");
    HttpClient other;
    EXPECT_EQ(Value(Post(other, echo_, "Convert", {{"src", Bstr(u"meanwhile")}}).answer, 0), "[meanwhile|(null)]");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
    const std::string answer = stalled.ReceiveAnswer(5s);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 408")) << answer;
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1900ms);
  }

  // Still serving; the refusals were logged.
  EXPECT_EQ(Value(Post(client_, echo_, "Convert", {{"src", Bstr(u"after")}}).answer, 0), "[after|(null)]");
  const std::string events = server_->Events();
  EXPECT_NE(events.find("QuorServer\tWarning\t20\t/QuorTest/Echo.sod\tA document type declaration"),
            std::string::npos)
      << events;
  EXPECT_NE(events.find("QuorServer\tWarning\t24\t/QuorTest/Echo.sod"), std::string::npos) << events;
}

TEST_F(ServerTest, WsdlDescribesEveryMethodWithItsParameters) {
  const Result<HttpReply> byQuery = client_.Get(echo_ + "?wsdl");
  ASSERT_EQ(byQuery.status().code(), S_OK);
  const Result<HttpReply> byPath = client_.Get(server_->Url("/QuorTest/Echo.wsdl"));
  ASSERT_EQ(byPath.status().code(), S_OK);
  EXPECT_EQ(byQuery->status, 200);
  EXPECT_TRUE(byQuery->contentType.starts_with("text/xml"));
  EXPECT_EQ(byQuery->body, byPath->body);

  auto doc = xml::Document::Create();
  ASSERT_TRUE(doc->loadXML(byQuery->body)) << doc->parseError().reason << "\n" << byQuery->body;
  const auto root = doc->documentElement();
  EXPECT_EQ(root->nodeName(), "wsdl:definitions");

  // Collect operations of the port type, the schema's elements and the
  // elements the message parts name.
  std::vector<std::string> operations;
  std::map<std::string, std::vector<std::string>> elements;  // element -> its child element names
  std::vector<std::string> parts;
  std::string location, schemaNamespace;
  std::vector<xml::NodePtr> pending{root};
  while (!pending.empty()) {
    auto n = pending.back();
    pending.pop_back();
    for (auto c = n->firstChild(); c; c = c->nextSibling()) pending.push_back(c);
    if (n->nodeType() != xml::NodeType::Element) continue;
    if (n->nodeName() == "wsdl:operation" && n->parentNode()->nodeName() == "wsdl:portType")
      operations.push_back(n->getAttribute("name").value_or(""));
    if (n->nodeName() == "soap:address") location = n->getAttribute("location").value_or("");
    if (n->nodeName() == "wsdl:part") parts.push_back(n->getAttribute("element").value_or(""));
    if (n->nodeName() == "xsd:schema") schemaNamespace = n->getAttribute("targetNamespace").value_or("");
    if (n->nodeName() == "xsd:element" && n->parentNode()->nodeName() == "xsd:schema") {
      auto& children = elements[n->getAttribute("name").value_or("")];
      std::vector<xml::NodePtr> inner{n};
      while (!inner.empty()) {
        auto m = inner.back();
        inner.pop_back();
        for (auto c = m->lastChild(); c; c = c->previousSibling()) inner.push_back(c);
        if (m != n && m->nodeName() == "xsd:element") children.push_back(m->getAttribute("name").value_or(""));
      }
    }
  }
  std::sort(operations.begin(), operations.end());
  EXPECT_EQ(operations, (std::vector<std::string>{"Add", "Clone", "Convert", "Fail", "Grid", "IsNullText", "Pieces",
                                                  "Swap", "Throw"}));
  EXPECT_EQ(elements["Convert"], (std::vector<std::string>{"src", "rule"}));
  EXPECT_EQ(elements["ConvertResponse"], (std::vector<std::string>{"result"}));
  EXPECT_EQ(elements["Throw"], (std::vector<std::string>{"param1"}));
  EXPECT_EQ(elements["SwapResponse"], (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(elements["errorInfo"], (std::vector<std::string>{"status", "description", "number", "source"}));
  EXPECT_EQ(location, echo_);
  // The schema's elements are in the description's namespace, and every part
  // names one of them by the prefix bound to it.
  EXPECT_EQ(root->getAttribute("targetNamespace").value_or(""), "urn:quor-service:Echo");
  EXPECT_EQ(root->getAttribute("xmlns:tns").value_or(""), "urn:quor-service:Echo");
  EXPECT_EQ(schemaNamespace, "urn:quor-service:Echo");
  EXPECT_EQ(parts.size(), 2 * operations.size() + 1);
  for (const std::string& part : parts) {
    ASSERT_TRUE(part.starts_with("tns:")) << part;
    EXPECT_TRUE(elements.contains(part.substr(4))) << part;
  }

  // The core's shapes: return value first in the response type.
  const Result<HttpReply> shapes = client_.Get(shapes_ + "?WSDL");
  ASSERT_EQ(shapes.status().code(), S_OK);
  EXPECT_NE(shapes->body.find("<xsd:element name=\"OpenSessionResponse\"><xsd:complexType><xsd:sequence>"
                             "<xsd:element name=\"locator\" type=\"xsd:string\" nillable=\"true\"/>"
                             "<xsd:element name=\"sessionKey\""),
            std::string::npos)
      << shapes->body;

  // The endpoint itself answers only POST; a missing component's description is a fault.
  const Result<HttpReply> plain = client_.Get(echo_);
  ASSERT_EQ(plain.status().code(), S_OK);
  EXPECT_EQ(plain->status, 405);
  const Result<HttpReply> missing = client_.Get(server_->Url("/QuorTest/Missing.sod?wsdl"));
  ASSERT_EQ(missing.status().code(), S_OK);
  EXPECT_EQ(missing->status, 500);
  EXPECT_NE(missing->body.find("<faultcode>Server</faultcode>"), std::string::npos);
}

TEST_F(ServerTest, ConcurrentClientsAreAllAnsweredAndCallsRunInParallel) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 25;
  std::atomic<int> right{0};
  std::vector<std::string> wrong(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        HttpClient client;
        for (int k = 0; k < kCalls; ++k) {
          const std::string src = "t" + std::to_string(t) + "-" + std::to_string(k);
          const Result<HttpReply> reply =
              client.Post(echo_, WriteRequest("Convert", std::vector<NamedValue>{{"src", Bstr::FromUtf8(src)},
                                                                                 {"rule", Bstr(u"\r")}}));
          if (!reply.ok()) {
            wrong[t] = "transport failure";
            continue;
          }
          const Result<Answer> a = ParseAnswer(reply->body);
          if (a.ok() && a->outputs.size() == 1 && a->outputs[0].value.ToUtf8() == "[" + src + "|\r]")
            ++right;
          else
            wrong[t] = reply->body;
        }
      });
    }
  }
  EXPECT_EQ(right.load(), kThreads * kCalls);
  for (const std::string& w : wrong) EXPECT_EQ(w, "");

  // Slow calls of different clients run at the same time: no call waits for
  // another's, so eight clients of three 200 ms calls take about 0.6 s, not 4.8 s.
  std::vector<int> seen(kThreads * 3, 0);
  const auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        HttpClient client;
        for (int k = 0; k < 3; ++k) {
          const Result<HttpReply> reply =
              client.Post(shapes_, WriteRequest("Probe", std::vector<NamedValue>{{"ms", Bstr(u"200")}}));
          if (!reply.ok()) continue;
          if (const Result<Answer> a = ParseAnswer(reply->body); a.ok() && !a->outputs.empty())
            seen[t * 3 + k] = std::stoi(a->outputs[0].value.ToUtf8());
        }
      });
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  for (int s : seen) EXPECT_GE(s, 1);
  EXPECT_GE(*std::max_element(seen.begin(), seen.end()), kThreads / 2);
  EXPECT_LT(elapsed, std::chrono::milliseconds(3200));
}

TEST_F(ServerTest, ResourcesAreServedReadOnlyInsideTheirFolder) {
  Result<HttpReply> r = client_.Get(server_->Url("/QuorService/resource/a.txt"));
  ASSERT_EQ(r.status().code(), S_OK);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "hello");
  EXPECT_TRUE(r->contentType.starts_with("text/plain")) << r->contentType;
  r = client_.Get(server_->Url("/QuorService/Resource/sub/b.xml"));
  ASSERT_EQ(r.status().code(), S_OK);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "<b/>");
  EXPECT_TRUE(r->contentType.starts_with("text/xml")) << r->contentType;

  const struct {
    std::string path;
    int status;
  } refused[] = {
      {"/QuorService/resource/../secret.txt", 403},
      {"/QuorService/resource/sub/../../secret.txt", 403},
      {"/QuorService/resource/%2e%2e/secret.txt", 403},
      {"/QuorService/resource/sub%2f..%2f..%2fsecret.txt", 403},
      {"/QuorService/resource/..%5csecret.txt", 403},
      {"/QuorService/resource/link.txt", 403},
      {"/QuorService/resource/dirlink/secret.txt", 403},
      {"/QuorService/resource/missing.txt", 404},
      {"/QuorService/resource/sub", 404},
      {"/QuorService/resource/", 404},
      {"/QuorService/resource/pipe.txt", 404},
      {"/QuorService/other.txt", 404},
  };
  for (const auto& c : refused) {
    r = client_.Get(server_->Url(c.path));
    ASSERT_EQ(r.status().code(), S_OK) << c.path;
    EXPECT_EQ(r->status, c.status) << c.path;
    EXPECT_EQ(r->body.find("SECRET"), std::string::npos) << c.path;
  }
  // Read-only.
  r = client_.Post(server_->Url("/QuorService/resource/a.txt"), "overwritten");
  ASSERT_EQ(r.status().code(), S_OK);
  EXPECT_EQ(r->status, 405);
  EXPECT_EQ(ReadFile(resources_->Path() / "resource" / "a.txt"), "hello");
  EXPECT_NE(server_->Events().find("QuorServer\tWarning\t23\t/QuorService/resource/link.txt"), std::string::npos)
      << server_->Events();
}

TEST(ServerProcessTest, DefaultEndpointsAndAdministrationPaths) {
  // Without --endpoint the service core's two endpoints are served; here the
  // core is not registered, so both answer the class store's fault naming it.
  {
    ServerProcess server(Config({}));
    ASSERT_EQ(server.Error(), "");
    HttpClient client;
    Reply r = Post(client, server.Url("/QuorService/QuorServiceCore.sod"), "GetLog", {{"user", Bstr(u"x")}});
    EXPECT_EQ(r.answer.fault.status, CO_E_CLASSSTRING);
    EXPECT_NE(r.answer.fault.description.find("\"QuorServiceCore.QuorServiceCore\""), std::string::npos);
    r = Post(client, server.Url("/quorservice/quorservicecoreadmin.SOD"), "ReLoadConfig", {{"user", Bstr(u"x")}});
    EXPECT_NE(r.answer.fault.description.find("\"QuorServiceCore.QuorServiceCoreAdmin\""), std::string::npos);
    const Result<HttpReply> other = client.Post(server.Url("/QuorService/Other.sod"), "<x/>");
    ASSERT_EQ(other.status().code(), S_OK);
    EXPECT_EQ(other->status, 404);
    EXPECT_EQ(server.Stop(), 0);
  }
  // A path ending in Admin.sod given alone takes the administration class.
  {
    ServerProcess server(Config({"--endpoint", "/Site/MyAdmin.sod", "--endpoint", "/Site/Shapes.sod=QuorSoapTest.Shapes"}));
    ASSERT_EQ(server.Error(), "");
    HttpClient client;
    Reply r = Post(client, server.Url("/Site/MyAdmin.sod"), "ReLoadConfig", {});
    EXPECT_NE(r.answer.fault.description.find("\"QuorServiceCore.QuorServiceCoreAdmin\""), std::string::npos);
    r = Post(client, server.Url("/Site/Shapes.sod"), "Stamp", {{"user", Bstr(u"u")}});
    EXPECT_EQ(Value(r.answer, 1), "key:u");
    // The defaults are gone once endpoints are given.
    const Result<HttpReply> gone = client.Post(server.Url("/QuorService/QuorServiceCore.sod"), "<x/>");
    ASSERT_EQ(gone.status().code(), S_OK);
    EXPECT_EQ(gone->status, 404);
  }
}

TEST(ServerProcessTest, CommandLineErrorsAndSignals) {
  TempDir scratch;
  const auto env = Environment({"QUOR_REGISTRY=" + (scratch.Path() / "r.reg").string()});
  const std::string server = (kBin / "quor-server").string();
  const struct {
    std::vector<std::string> args;
    int status;
    std::string_view says;
  } bad[] = {
      {{"--port", "70000"}, 2, "0 to 65535"},
      {{"--bogus"}, 2, "Unknown argument"},
      {{"--endpoint", "relative.sod=X"}, 2, "does not begin with '/'"},
      {{"--endpoint", "/a.sod=X", "--endpoint", "/A.SOD=Y"}, 2, "given twice"},
      {{"--endpoint", "/a/../b.sod=X"}, 2, "\"..\""},
      {{"--resource-url", "/r"}, 2, "go together"},
      {{"--max-body", "0"}, 2, "body limit"},
      {{"--port"}, 2, "needs a value"},
      {{"--port", "0", "--resource-url", "/r", "--resource-dir", (scratch.Path() / "none").string()}, 1,
       "cannot be opened"},
      {{"--port", "0", "--address", "256.1.1.1"}, 1, "Cannot listen"},
  };
  for (const auto& c : bad) {
    RunResult r = RunProgram(server, c.args, env, scratch.Path());
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
  }
  RunResult help = RunProgram(server, {"--help"}, env, scratch.Path());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("usage: quor-server"), std::string::npos);

  // A port in use.
  ServerProcess first(Config({"--endpoint", "/e.sod=QuorTest.Echo", "--keep-alive", "1"}));
  ASSERT_EQ(first.Error(), "");
  RunResult taken = RunProgram(server, {"--port", std::to_string(first.Port())}, env, scratch.Path());
  EXPECT_EQ(taken.status, 1);
  EXPECT_NE(taken.output.find("Cannot listen"), std::string::npos) << taken.output;

  // SIGINT stops it cleanly, also with a kept-alive connection open (which
  // it waits for no longer than the keep-alive time).
  HttpClient client;
  EXPECT_EQ(Value(Post(client, first.Url("/e.sod"), "Convert", {}).answer, 0), "[(null)|(null)]");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(first.Stop(SIGINT), 0) << first.Stderr();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_NE(first.Events().find("QuorServer\tInformation\t2\tstopped"), std::string::npos) << first.Events();
}
