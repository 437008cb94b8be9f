// The console's SOAP client, request side: what it sends and how it reads
// what comes back, over real loopback HTTP. A small canned server stands in
// for the service core: it records every request, signs the client in with
// the real token handlers (so request tokens are checked and answers carry a
// real response key) and answers canned envelopes.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "admin/VeltService.h"
#include "auth/config.h"
#include "auth/mac.h"
#include "auth/util/codec.h"
#include "auth/util/crypto.h"
#include "platform/registry/registry.h"
#include "platform/soap/envelope.h"
#include "testing/TempDir.h"

namespace quor::admin {
namespace {

namespace stdfs = std::filesystem;
using com::Bstr;

constexpr std::string_view kCorePath = "/QuorService/QuorServiceCore.sod";
constexpr std::string_view kAdminPath = "/QuorService/QuorServiceCoreAdmin.sod";
constexpr std::string_view kVerifier = "VERIFIER-TEXT";

// What the canned core does with the next request (then it answers normally
// again).
enum class Next {
  Normal,
  Fault,          // a SOAP fault, HTTP 500
  NotXml,         // plain text, HTTP 200
  NotEnvelope,    // well-formed XML that is no SOAP envelope, HTTP 200
  NotFound,       // HTTP 404 with a text page
  Status500,      // an ordinary answer envelope, but HTTP 500
  Tampered,       // the result altered after the response key was made
  Compressed,     // the result compressed, as the core does for long results
  BadSessionKey,  // OpenSession hands out a session key that is no key
};

struct Seen {
  std::string path;
  std::string body;
  std::string contentType;
  bool soapAction = false;
  std::string method;
  std::vector<std::pair<std::string, Bstr>> params;  // as the server reads them
  bool tokenValid = false;                           // ordinary calls only
};

class CannedCore {
 public:
  CannedCore() {
    server_.set_keep_alive_timeout(1);
    server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard guard(lock_);
      Handle(request, response);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~CannedCore() { Stop(); }
  CannedCore(const CannedCore&) = delete;
  CannedCore& operator=(const CannedCore&) = delete;

  void Stop() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  int Port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + std::string(kCorePath); }

  // For the next request, or the next one of `method`.
  void SetNext(Next next, std::string method = {}) {
    std::lock_guard guard(lock_);
    next_ = next;
    nextMethod_ = std::move(method);
  }
  // The decoded result of every ordinary call from now on.
  void SetResult(std::string result) {
    std::lock_guard guard(lock_);
    result_ = std::move(result);
  }
  std::vector<Seen> Requests() const {
    std::lock_guard guard(lock_);
    return seen_;
  }
  Seen Last() const {
    std::lock_guard guard(lock_);
    return seen_.empty() ? Seen{} : seen_.back();
  }
  std::string LastSessionKey() const {
    std::lock_guard guard(lock_);
    return sessionKeyText_;
  }

 private:
  void Answer(httplib::Response& response, std::string_view method, std::vector<soap::NamedValue> outputs) {
    response.status = 200;
    response.set_content(soap::WriteAnswer(method, outputs), "text/xml; charset=utf-8");
  }

  void Refuse(httplib::Response& response, HRESULT status, std::string description) {
    soap::Fault fault;
    fault.status = status;
    fault.description = std::move(description);
    fault.source = "CannedCore";
    fault.actor = std::string(kCorePath);
    response.status = 500;
    response.set_content(soap::WriteFault(fault), "text/xml; charset=utf-8");
  }

  void Handle(const httplib::Request& request, httplib::Response& response) {
    Seen seen;
    seen.path = request.path;
    seen.body = request.body;
    seen.contentType = request.get_header_value("Content-Type");
    seen.soapAction = request.has_header("SOAPAction");
    const Result<soap::Request> read = soap::ParseRequest(request.body, {});
    const bool readable = read.ok();
    const soap::Request parsed = readable ? *read : soap::Request{};
    if (readable) {
      seen.method = parsed.method;
      for (auto& p : parsed.params) seen.params.emplace_back(p.name, p.value);
    }
    Next next = Next::Normal;
    if (nextMethod_.empty() || nextMethod_ == seen.method) {
      next = std::exchange(next_, Next::Normal);
      nextMethod_.clear();
    }
    seen_.push_back(seen);
    Seen& record = seen_.back();

    switch (next) {
      case Next::Fault:
        return Refuse(response, static_cast<HRESULT>(0x80040205), "Access & <denied>");
      case Next::NotXml:
        response.set_content("this is not XML at all", "text/plain");
        return;
      case Next::NotEnvelope:
        response.set_content("<html><body><p>Welcome</p></body></html>", "text/html");
        return;
      case Next::NotFound:
        response.status = 404;
        response.set_content("Not Found", "text/plain");
        return;
      default:
        break;
    }
    if (!readable) return Refuse(response, E_INVALIDARG, read.status().message());

    try {
      const std::string& method = parsed.method;
      if (method == "CreateTicket") {
        const std::string principal = parsed.params.at(2).value.ToUtf8();
        const std::string realm = parsed.params.at(1).value.ToUtf8();
        return Answer(response, method,
                      {{"CreateTicketResult", Bstr::FromUtf8("TICKET:" + principal)},
                       {"fullPrincipal", Bstr::FromUtf8(principal + "@" + (realm.empty() ? "DEFAULT" : realm))}});
      }
      if (method == "OpenSession") return OpenSession(parsed, response, next);
      if (method == "CloseSession") {
        handler_.reset();
        return Answer(response, method, {});
      }
      return Ordinary(parsed, response, next, record);
    } catch (const std::exception& e) {
      return Refuse(response, E_FAIL, e.what());
    } catch (...) {
      return Refuse(response, E_FAIL, "failed");
    }
  }

  // Joins a server handler to the client's seed the way a session does: a
  // new RC2 key, wrapped for the client under the public key in its seed.
  void OpenSession(const soap::Request& parsed, httplib::Response& response, Next next) {
    const Bstr& scheme = parsed.params.at(2).value;
    const Bstr& seed = parsed.params.at(3).value;
    auth::TokenHandlerPtr handler;
    if (FAILED(auth::AcquireTokenHandler(scheme, &handler)) || FAILED(auth::SetTokenSeed(handler.get(), seed)))
      return Refuse(response, E_INVALIDARG, "bad token scheme or seed");
    keys_ = auth::util::CryptProvider();
    if (!keys_.AcquireContext(std::nullopt, std::nullopt, 0, crypt::CRYPT_VERIFYCONTEXT).ok())
      return Refuse(response, E_FAIL, "no key context");
    auth::util::CryptKey key = keys_.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE).value();
    const auth::util::CryptKey clientPublic =
        keys_.ImportKey(auth::util::Base64Decode(auth::SplitText(seed.View(), u';').second), 0, nullptr).value();
    const std::string opaque = auth::util::Base64Encode(key.ExportKey(crypt::OPAQUEKEYBLOB, nullptr).value());
    if (FAILED(auth::SetTokenItem(handler.get(), Bstr(auth::kSessionKeyItem), Bstr::FromUtf8(opaque))))
      return Refuse(response, E_FAIL, "session key not taken");
    handler_ = std::move(handler);
    sessionKeyText_ = next == Next::BadSessionKey
                          ? "@@not a key@@"
                          : auth::util::Base64Encode(key.ExportKey(crypt::SIMPLEBLOB, &clientPublic).value());
    Answer(response, parsed.method,
           {{"OpenSessionResult", Bstr(u"locator")},
            {"sessionKey", Bstr::FromUtf8(sessionKeyText_)},
            {"verifier", Bstr::FromUtf8(kVerifier)}});
  }

  // Checks the request token over the method and the parameters after
  // "user", then answers the result under a response key.
  void Ordinary(const soap::Request& parsed, httplib::Response& response, Next next, Seen& record) {
    if (!handler_) return Refuse(response, E_ACCESSDENIED, "no session");
    if (parsed.params.empty() || parsed.params[0].name != "user")
      return Refuse(response, E_INVALIDARG, "the first parameter is not user");
    auth::TokenHandler& h = *handler_;
    if (FAILED(auth::SetTokenData(&h, 0, 0, Bstr::FromUtf8(parsed.method), Bstr()))) return Refuse(response, E_FAIL, "item");
    for (size_t i = 1; i < parsed.params.size(); ++i)
      if (FAILED(auth::SetTokenData(&h, static_cast<uint32_t>(i), 0, Bstr::FromUtf8(parsed.params[i].name),
                                    parsed.params[i].value)))
        return Refuse(response, E_FAIL, "item");
    record.tokenValid = auth::ValidateToken(&h, parsed.params[0].value) == S_OK;
    if (!record.tokenValid) return Refuse(response, E_ACCESSDENIED, "request token refused");

    const uint32_t kind = next == Next::Compressed ? auth::kKindCompressed : auth::kKindPlain;
    Bstr reskey, encoded;
    if (FAILED(auth::SetTokenData(&h, 0, 0, Bstr::FromUtf8(parsed.method), Bstr())) ||
        FAILED(auth::SetTokenData(&h, 1, kind, Bstr(u"result"), Bstr::FromUtf8(result_))) ||
        FAILED(auth::ConstructToken(&h, &reskey)) || FAILED(auth::GetTokenData(&h, 1, nullptr, nullptr, &encoded)))
      return Refuse(response, E_FAIL, "response key not made");
    if (next == Next::Tampered) encoded = Bstr::FromUtf8(encoded.ToUtf8() + " ");
    Answer(response, parsed.method, {{"result", encoded}, {"reskey", reskey}});
    if (next == Next::Status500) response.status = 500;
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex lock_;
  Next next_ = Next::Normal;
  std::string nextMethod_;
  std::string result_ = "<root>0</root>";
  std::vector<Seen> seen_;
  auth::TokenHandlerPtr handler_;
  auth::util::CryptProvider keys_;
  std::string sessionKeyText_;
};

class ClientRequestTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-admin-client"};
  ClientRequestTest() {
    dir_ = temp_.Path();
    ::setenv("QUOR_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    ::setenv("QUOR_KEYDIR", (dir_ / "keys").c_str(), 1);
  }
  ~ClientRequestTest() override {
    core_.Stop();
  }

  void SignIn(CVeltService& client) { ASSERT_EQ(client.Connect(core_.Url(), "alice", "pw"), 0) << client.FormatFault(); }

  // The query document the server read from the last Query call.
  std::string LastQueryDocument() const {
    const Seen seen = core_.Last();
    EXPECT_EQ(seen.method, "Query");
    EXPECT_TRUE(seen.tokenValid);
    return seen.params.size() == 2 && seen.params[1].first == "sqlstmt" ? seen.params[1].second.ToUtf8() : "";
  }

  static void SetService(std::string_view name, std::string_view value) {
    reg::Key key;
    ASSERT_EQ(reg::Win32Error(key.Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService")), reg::ERROR_SUCCESS);
    ASSERT_EQ(reg::Win32Error(key.SetString(name, value)), reg::ERROR_SUCCESS);
  }

  stdfs::path dir_;
  CannedCore core_;
};

constexpr std::string_view kEnvelopeHead =
    "<?xml version='1.0'?><SOAP-ENV:Envelope xmlns:SOAP-ENV='http://schemas.xmlsoap.org/soap/envelope/'"
    " SOAP-ENV:encodingStyle='http://schemas.xmlsoap.org/soap/encoding/'"
    " xmlns:xsi='http://www.w3.org/1999/XMLSchema-instance' xmlns:xsd='http://www.w3.org/1999/XMLSchema'>"
    "<SOAP-ENV:Body>";
constexpr std::string_view kEnvelopeTail = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

std::string Envelope(std::string_view body) {
  return std::string(kEnvelopeHead) + std::string(body) + std::string(kEnvelopeTail);
}

// ---- Signing in -------------------------------------------------------------------

TEST_F(ClientRequestTest, SignInSendsExactEnvelopesWithoutMessageAuthentication) {
  CVeltService client;
  client.SetAuthority("corp", "QUOR.TEST");
  ASSERT_EQ(client.Connect(core_.Url(), "alice", "pa&ss<w>rd\r"), 0) << client.FormatFault();

  const std::vector<Seen> seen = core_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].body, Envelope("<CreateTicket><authority>corp</authority><realm>QUOR.TEST</realm>"
                                   "<principal>alice</principal><credential>pa&amp;ss&lt;w&gt;rd&#13;</credential>"
                                   "</CreateTicket>"));
  // The carriage return survives the server's parser.
  EXPECT_TRUE(seen[0].params.at(3).second == Bstr(u"pa&ss<w>rd\r"));
  for (const Seen& s : seen) {
    EXPECT_EQ(s.path, kCorePath);
    EXPECT_FALSE(s.soapAction);
    EXPECT_EQ(s.contentType.rfind("text/xml", 0), 0u) << s.contentType;
  }

  // OpenSession: the service, the ticket and the handler's default scheme and
  // a seed, no request token.
  ASSERT_EQ(seen[1].method, "OpenSession");
  ASSERT_EQ(seen[1].params.size(), 4u);
  const char* names[] = {"service", "ticket", "tokenScheme", "tokenSeed"};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(seen[1].params[i].first, names[i]);
  EXPECT_TRUE(seen[1].params[0].second == Bstr(u"qsc"));
  EXPECT_TRUE(seen[1].params[1].second == Bstr(u"TICKET:alice"));
  EXPECT_TRUE(seen[1].params[2].second ==
              Bstr(u"Microsoft Base Cryptographic Provider v1.0,PROV_RSA_FULL,CALG_RC2,CALG_SHA1"));
  EXPECT_EQ(client.LastEnvelope(), seen[1].body);

  EXPECT_EQ(client.Ticket(), "TICKET:alice");
  EXPECT_EQ(client.FullPrincipal(), "alice@QUOR.TEST");
  EXPECT_EQ(client.SessionKey(), core_.LastSessionKey());

  // Without SetAuthority a URL brings empty authority and realm, sent as
  // empty elements.
  CVeltService second;
  ASSERT_EQ(second.Connect(core_.Url(), "bob", ""), 0) << second.FormatFault();
  const Seen ticket = core_.Requests().at(2);
  EXPECT_EQ(ticket.body, Envelope("<CreateTicket><authority/><realm/><principal>bob</principal><credential/>"
                                  "</CreateTicket>"));
  EXPECT_TRUE(ticket.params.at(0).second == Bstr(u""));
  EXPECT_EQ(second.FullPrincipal(), "bob@DEFAULT");
}

TEST_F(ClientRequestTest, SignInFailuresGiveTheirNumbers) {
  {
    CVeltService client;
    core_.SetNext(Next::Fault);
    EXPECT_EQ(client.Connect(core_.Url(), "alice", "wrong"), -7);
    EXPECT_EQ(client.FormatFault(), "Access & <denied> [0x80040205]");
    EXPECT_EQ(core_.Requests().size(), 1u);
  }
  {
    CVeltService client;
    core_.SetNext(Next::Fault, "OpenSession");
    EXPECT_EQ(client.Connect(core_.Url(), "alice", "pw"), -4);
    EXPECT_EQ(client.Ticket(), "TICKET:alice");  // a ticket alone is no session
    EXPECT_EQ(client.FaultText(), "Access & <denied>");
  }
  {
    CVeltService client;
    core_.SetNext(Next::BadSessionKey, "OpenSession");
    EXPECT_EQ(client.Connect(core_.Url(), "alice", "pw"), -5);
  }
}

// ---- Request bodies ---------------------------------------------------------------

TEST_F(ClientRequestTest, EscapingAlwaysWritesWellFormedXml) {
  EXPECT_EQ(CVeltService::EscapeXml("plain text 'quoted' \"too\""), "plain text 'quoted' \"too\"");
  EXPECT_EQ(CVeltService::EscapeXml(""), "");
  EXPECT_EQ(CVeltService::EscapeXml("x & y > z<"), "x &amp; y &gt; z&lt;");
  EXPECT_EQ(CVeltService::EscapeXml("&amp;"), "&amp;amp;");
  EXPECT_EQ(CVeltService::EscapeXml("line\r\nnext\tend"), "line&#13;\nnext\tend");
  // A control character XML cannot carry never reaches the request as it is,
  // with or without other characters to escape.
  EXPECT_EQ(CVeltService::EscapeXml("plain \x01 text"), "plain \xEF\xBF\xBD text");
  EXPECT_EQ(CVeltService::EscapeXml("a<b\x01"), "a&lt;b\xEF\xBF\xBD");
}

TEST_F(ClientRequestTest, OrdinaryCallsCarryAValidRequestTokenAndEscapedValues) {
  CVeltService client;
  SignIn(client);
  ASSERT_EQ(client.BeginRequest("PutVOURI"), 0);
  const std::string awkward = "bob & <co>\r\nline two";
  client.AddParameter("vouser", awkward);
  client.AddParameter("name", "");
  ASSERT_TRUE(client.Invoke()) << client.FormatFault();

  const Seen seen = core_.Last();
  EXPECT_EQ(seen.path, kCorePath);
  EXPECT_TRUE(seen.tokenValid);
  ASSERT_EQ(seen.params.size(), 3u);
  EXPECT_EQ(seen.params[0].first, "user");
  const std::string token = seen.params[0].second.ToUtf8();
  // The request token ends with the verifier the session handed out.
  EXPECT_EQ(token.substr(token.size() - kVerifier.size() - 1), ":" + std::string(kVerifier));
  EXPECT_NE(seen.body.find("<vouser>bob &amp; &lt;co&gt;&#13;\nline two</vouser><name/></PutVOURI>"),
            std::string::npos)
      << seen.body;
  EXPECT_TRUE(seen.params[1].second == Bstr::FromUtf8(awkward));
  EXPECT_TRUE(seen.params[2].second == Bstr(u""));
  EXPECT_EQ(client.LastEnvelope(), seen.body);
}

// ---- Endpoints and the registry ---------------------------------------------------

TEST_F(ClientRequestTest, ReloadsGoToTheAdminEndpointAndEverythingElseToTheCore) {
  CVeltService client;
  const std::string url = "HTTP://127.0.0.1:" + std::to_string(core_.Port()) + std::string(kCorePath);
  ASSERT_EQ(client.Connect(url, "alice", "pw"), 0) << client.FormatFault();
  EXPECT_EQ(client.CoreUrl(), url);
  EXPECT_EQ(client.AdminUrl(), "HTTP://127.0.0.1:" + std::to_string(core_.Port()) + std::string(kAdminPath));

  for (const char* method : {"ReLoadConfig", "GetAdminUserList", "ReLoadTransform", "ReLoadUnifyTable", "GetAllVOList"}) {
    ASSERT_EQ(client.BeginRequest(method), 0);
    EXPECT_TRUE(client.Invoke()) << method << ": " << client.FormatFault();
    EXPECT_EQ(client.GetChildText(0), "0");
  }
  client.EndSession();
  EXPECT_EQ(client.SessionKey(), "");
  client.EndSession();  // nothing open: nothing sent

  std::vector<std::pair<std::string, std::string>> calls;
  for (const Seen& s : core_.Requests()) calls.emplace_back(s.method, s.path);
  const std::string core(kCorePath), admin(kAdminPath);
  EXPECT_EQ(calls, (std::vector<std::pair<std::string, std::string>>{{"CreateTicket", core},
                                                                    {"OpenSession", core},
                                                                    {"ReLoadConfig", admin},
                                                                    {"GetAdminUserList", core},
                                                                    {"ReLoadTransform", admin},
                                                                    {"ReLoadUnifyTable", admin},
                                                                    {"GetAllVOList", core},
                                                                    {"CloseSession", core}}));
  const Seen close = core_.Last();
  ASSERT_EQ(close.params.size(), 2u);
  EXPECT_TRUE(close.params[0].second == Bstr::FromUtf8(core_.LastSessionKey()));
  EXPECT_TRUE(close.params[1].second == Bstr::FromUtf8(kVerifier));
}

TEST_F(ClientRequestTest, ANamedServiceComesFromItsServiceInfoKey) {
  reg::Key info;
  ASSERT_EQ(reg::Win32Error(info.Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService\\ServiceInfo\\dev")),
            reg::ERROR_SUCCESS);
  // Scheme and extension are replaced, whatever they were.
  EXPECT_TRUE(
      info.SetString("Service", "ftp://127.0.0.1:" + std::to_string(core_.Port()) + "/QuorService/QuorServiceCore.asp")
          .ok());
  EXPECT_TRUE(info.SetString("Authority", "corp").ok());
  EXPECT_TRUE(info.SetString("Realm", "QUOR.TEST").ok());

  CVeltService client;
  client.SetAuthority("ignored", "ignored");
  ASSERT_EQ(client.Connect("dev", "alice", "pw"), 0) << client.FormatFault();
  EXPECT_EQ(client.CoreUrl(), core_.Url());
  EXPECT_EQ(client.AdminUrl(), "http://127.0.0.1:" + std::to_string(core_.Port()) + std::string(kAdminPath));
  EXPECT_NE(core_.Requests().at(0).body.find("<authority>corp</authority><realm>QUOR.TEST</realm>"),
            std::string::npos);
  EXPECT_EQ(client.FullPrincipal(), "alice@QUOR.TEST");

  // A name without a key reaches no one, and says so.
  CVeltService lost;
  EXPECT_EQ(lost.Connect("nosuch", "alice", "pw"), -7);
  EXPECT_TRUE(lost.Faulted());
  EXPECT_NE(lost.FaultText().find("CreateTicket could not reach"), std::string::npos) << lost.FaultText();
  EXPECT_EQ(core_.Requests().size(), 2u);

  // An endpoint stored as the http URL it is (as run.sh writes it) is used as it stands.
  EXPECT_TRUE(info.SetString("Service", core_.Url()).ok());
  CVeltService plain;
  ASSERT_EQ(plain.Connect("dev", "alice", "pw"), 0) << plain.FormatFault();
  EXPECT_EQ(plain.CoreUrl(), core_.Url());
}

TEST_F(ClientRequestTest, TheRowCountComesFromTheRegistryWithFiveForNothing) {
  CVeltService client;
  SignIn(client);
  EXPECT_EQ(client.GetRowCount(), 5);

  reg::Key service;
  ASSERT_EQ(reg::Win32Error(service.Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService")),
            reg::ERROR_SUCCESS);
  EXPECT_TRUE(service.SetDword("RowCount", 12).ok());
  SignIn(client);
  EXPECT_EQ(client.GetRowCount(), 12);
  client.SetTarget("P", "D", "C");
  ASSERT_TRUE(client.GetRecords("T", ""));
  EXPECT_NE(LastQueryDocument().find("<rowcount>12</rowcount>"), std::string::npos);

  EXPECT_TRUE(service.SetDword("RowCount", 0).ok());
  SignIn(client);
  EXPECT_EQ(client.GetRowCount(), 5);
}

// ---- The query document -----------------------------------------------------------

TEST_F(ClientRequestTest, RecordOperationsBuildTheirQueryDocuments) {
  CVeltService client;
  SignIn(client);
  client.SetTarget("SQLOLEDB", "dsn&1", "cat");
  const std::string target =
      "<target><provider>SQLOLEDB</provider><dsn>dsn&amp;1</dsn><catalog>cat</catalog><table>T&lt;1&gt;</table></target>";

  ASSERT_TRUE(client.GetRecords("T<1>", "a < 5 & b > 2"));
  EXPECT_EQ(LastQueryDocument(), "<query><get><content>record</content>" + target +
                                     "<condition>a &lt; 5 &amp; b &gt; 2</condition><rowcount>5</rowcount>"
                                     "</get></query>");
  // The whole document travels escaped once more.
  EXPECT_NE(core_.Last().body.find("&lt;condition&gt;a &amp;lt; 5 &amp;amp; b &amp;gt; 2&lt;/condition&gt;"),
            std::string::npos);

  ASSERT_TRUE(client.InsertRecord("T<1>", "<row><a>1 & 2</a></row>"));
  EXPECT_EQ(LastQueryDocument(), "<query><insert>" + target +
                                     "<value>&lt;row&gt;&lt;a&gt;1 &amp; 2&lt;/a&gt;&lt;/row&gt;</value></insert></query>");

  ASSERT_TRUE(client.UpdateRecords("T<1>", "id = 1", "a = 'x<y'"));
  EXPECT_EQ(LastQueryDocument(),
            "<query><update>" + target + "<set>a = 'x&lt;y'</set><condition>id = 1</condition></update></query>");

  ASSERT_TRUE(client.DeleteRecords("T<1>", "id = 2"));
  EXPECT_EQ(LastQueryDocument(), "<query><delete>" + target + "<condition>id = 2</condition></delete></query>");

  // Empty values and conditions add nothing; a value only goes with insert
  // and update.
  ASSERT_TRUE(client.InsertRecord("T<1>", ""));
  EXPECT_EQ(LastQueryDocument(), "<query><insert>" + target + "</insert></query>");
  ASSERT_TRUE(client.Query("get", "column", "P", "D", "C", "T", "", "ignored"));
  EXPECT_EQ(LastQueryDocument(), "<query><get><content>column</content><target><provider>P</provider><dsn>D</dsn>"
                                 "<catalog>C</catalog><table>T</table></target></get></query>");

  // The row count goes with content "record" in any case, and only when it
  // is above 0.
  ASSERT_TRUE(client.QueryTarget("get", "Record", "", "", "", ""));
  EXPECT_EQ(LastQueryDocument(), "<query><get><content>Record</content><target><provider></provider><dsn></dsn>"
                                 "<catalog></catalog><table></table></target><rowcount>5</rowcount></get></query>");
  client.SetRowCount(0);
  ASSERT_TRUE(client.GetRecords("T", ""));
  EXPECT_EQ(LastQueryDocument().find("rowcount"), std::string::npos);
  client.SetRowCount(-3);
  ASSERT_TRUE(client.GetRecords("T", ""));
  EXPECT_EQ(LastQueryDocument().find("rowcount"), std::string::npos);
}

TEST_F(ClientRequestTest, NameListsReadTheNameAttributesOfTheAnswer) {
  CVeltService client;
  SignIn(client);
  core_.SetResult(R"(<root><tables><t name="A"/><t NAME="B &amp; C"/><t Name="x" name="D"/></tables></root>)");
  std::string list = "before";
  EXPECT_EQ(client.ListNames("get", "column", "P", "D", "C", "", list), 3);
  EXPECT_EQ(list, "A,B & C,D");

  core_.SetResult("<root/>");
  EXPECT_EQ(client.ListNames("get", "column", "P", "", "", "", list), 0);
  EXPECT_EQ(list, "");

  list = "kept";
  core_.SetNext(Next::Fault);
  EXPECT_EQ(client.ListNames("get", "column", "P", "", "", "", list), -1);
  EXPECT_EQ(list, "kept");
}

TEST_F(ClientRequestTest, NameListsAndTargetQueriesEscapeEveryKey) {
  CVeltService client;
  SignIn(client);
  core_.SetResult("<root/>");
  std::string list;
  EXPECT_EQ(client.ListNames("get", "column", "P<1>", "a&b", "</catalog><x>", "t\"'>", list), 0);
  EXPECT_EQ(LastQueryDocument(), "<query><get><content>column</content><target><provider>P&lt;1&gt;</provider>"
                                 "<dsn>a&amp;b</dsn><catalog>&lt;/catalog&gt;&lt;x&gt;</catalog>"
                                 "<table>t\"'&gt;</table></target></get></query>");
  ASSERT_TRUE(client.QueryTarget("get", "record", "P", "D", "C", "a<b"));
  EXPECT_EQ(LastQueryDocument(), "<query><get><content>record</content><target><provider>P</provider><dsn>D</dsn>"
                                 "<catalog>C</catalog><table>a&lt;b</table></target><rowcount>5</rowcount>"
                                 "</get></query>");
}

// ---- Answers ----------------------------------------------------------------------

TEST_F(ClientRequestTest, AnswersAreValidatedDecodedAndLoaded) {
  CVeltService client;
  SignIn(client);
  core_.SetResult("<root><user>alice</user><user>bob &amp; co</user></root>");
  ASSERT_EQ(client.BeginRequest("GetAdminUserList"), 0);
  ASSERT_TRUE(client.Invoke()) << client.FormatFault();
  EXPECT_FALSE(client.Faulted());
  EXPECT_EQ(client.DecodedResult(), "<root><user>alice</user><user>bob &amp; co</user></root>");
  EXPECT_EQ(client.ChildCount(), 2);
  EXPECT_EQ(client.GetChildText(1), "bob & co");

  // A long result comes compressed and is unpacked.
  std::string big = "<root>";
  for (int i = 0; i < 2000; ++i) big += "<row>" + std::to_string(i) + "</row>";
  big += "</root>";
  core_.SetResult(big);
  core_.SetNext(Next::Compressed);
  ASSERT_EQ(client.BeginRequest("GetAllVOList"), 0);
  ASSERT_TRUE(client.Invoke()) << client.FormatFault();
  EXPECT_TRUE(client.DecodedResult() == big) << client.DecodedResult().substr(0, 80);
  EXPECT_EQ(client.ChildCount(), 2000);
  EXPECT_EQ(client.GetChildText(1999), "1999");

  // A result with a declaration of its own loads as well.
  core_.SetResult("<?xml version=\"1.0\"?><root><resultCode>0</resultCode></root>");
  ASSERT_EQ(client.BeginRequest("RemoveVOURI"), 0);
  client.AddParameter("uri", "urn:vocontent:vodb000:1");
  ASSERT_TRUE(client.Invoke()) << client.FormatFault();
  EXPECT_EQ(client.GetChildText(0), "0");

  // A result that is not XML stays readable as text.
  core_.SetResult("a,b\r\n1,2\r\n");
  ASSERT_EQ(client.BeginRequest("Query"), 0);
  client.AddParameter("sqlstmt", "<query/>");
  ASSERT_TRUE(client.Invoke()) << client.FormatFault();
  EXPECT_EQ(client.DecodedResult(), "a,b\r\n1,2\r\n");
  EXPECT_EQ(client.ChildCount(), 0);
}

TEST_F(ClientRequestTest, AFaultIsReadFromItsDetail) {
  CVeltService client;
  SignIn(client);
  core_.SetNext(Next::Fault);
  ASSERT_EQ(client.BeginRequest("GetACL"), 0);
  client.AddParameter("uri", "urn:vocontent:vodb000:7");
  EXPECT_FALSE(client.Invoke());
  EXPECT_TRUE(client.Faulted());
  EXPECT_EQ(client.DecodedResult(), "");
  EXPECT_EQ(client.FaultText(), "Access & <denied>");
  EXPECT_EQ(client.FormatFault(), "Access & <denied> [0x80040205]");
  // Reading the fault leaves it in place for the next reader.
  EXPECT_EQ(client.FormatFault(), "Access & <denied> [0x80040205]");
  EXPECT_EQ(client.FaultText(), "Access & <denied>");

  // The next call starts clean.
  ASSERT_EQ(client.BeginRequest("GetAdminUserList"), 0);
  ASSERT_TRUE(client.Invoke());
  EXPECT_FALSE(client.Faulted());
  EXPECT_EQ(client.FaultText(), "Unknown Error");
  EXPECT_EQ(client.FormatFault(), "Unknown Error");
}

TEST_F(ClientRequestTest, UnreadableAndUnprovenAnswersFailTheCallAndLeaveNothingBehind) {
  CVeltService client;
  SignIn(client);
  core_.SetResult("<root><stale>yes</stale></root>");

  struct Case {
    Next next;
    std::string expected;  // part of the fault text
  };
  const Case cases[] = {
      {Next::NotXml, "is not a SOAP envelope (HTTP 200)"},
      {Next::NotEnvelope, "is not a SOAP envelope (HTTP 200)"},
      {Next::NotFound, "(HTTP 404)"},
      {Next::Status500, "answered HTTP 500"},
      {Next::Tampered, "The response key of GetAdminUserList did not validate"},
  };
  for (const Case& c : cases) {
    // A good answer first, so that there is something to go stale.
    ASSERT_EQ(client.BeginRequest("GetAdminUserList"), 0);
    ASSERT_TRUE(client.Invoke()) << client.FormatFault();
    ASSERT_EQ(client.GetChildText(0), "yes");

    core_.SetNext(c.next);
    ASSERT_EQ(client.BeginRequest("GetAdminUserList"), 0);
    EXPECT_FALSE(client.Invoke()) << c.expected;
    EXPECT_TRUE(client.Faulted());
    EXPECT_NE(client.FaultText().find(c.expected), std::string::npos) << client.FaultText();
    EXPECT_EQ(client.FormatFault(), client.FaultText());
    EXPECT_EQ(client.ChildCount(), 0) << c.expected;
    EXPECT_EQ(client.GetChildText(0), "");
    EXPECT_EQ(client.DecodedResult(), "");
  }

  // A sign-in answered by something that is not the service fails too.
  CVeltService other;
  core_.SetNext(Next::NotEnvelope);
  EXPECT_EQ(other.Connect(core_.Url(), "alice", "pw"), -7);
  EXPECT_EQ(other.Ticket(), "");
}

TEST_F(ClientRequestTest, ATransportFailureIsAFailedCallWithItsReason) {
  CVeltService client;
  SignIn(client);
  core_.SetResult("<root><stale>yes</stale></root>");
  ASSERT_EQ(client.BeginRequest("GetAdminUserList"), 0);
  ASSERT_TRUE(client.Invoke());

  core_.Stop();
  ASSERT_EQ(client.BeginRequest("GetAdminUserList"), 0);
  EXPECT_FALSE(client.Invoke());
  EXPECT_TRUE(client.Faulted());
  EXPECT_NE(client.FaultText().find("GetAdminUserList could not reach " + core_.Url()), std::string::npos)
      << client.FaultText();
  EXPECT_EQ(client.ChildCount(), 0);
  EXPECT_EQ(client.GetChildText(0), "");
  EXPECT_EQ(client.DecodedResult(), "");

  // Signing in again fails the same way.
  EXPECT_EQ(client.Connect(core_.Url(), "alice", "pw"), -7);
  EXPECT_NE(client.FaultText().find("CreateTicket could not reach"), std::string::npos) << client.FaultText();
}

TEST_F(ClientRequestTest, AnOrdinaryCallWithoutASessionSendsNothing) {
  CVeltService client;
  EXPECT_EQ(client.BeginRequest("GetAdminUserList"), -1);
  EXPECT_FALSE(client.Invoke());
  EXPECT_TRUE(client.Faulted());
  EXPECT_NE(client.FaultText().find("sign in"), std::string::npos) << client.FaultText();
  EXPECT_FALSE(client.GetRecords("T", ""));
  EXPECT_TRUE(core_.Requests().empty());
}

}  // namespace
}  // namespace quor::admin
