#include "admin/VeltService.h"

#include <array>
#include <memory>
#include <utility>

#include "admin/ConsoleLog.h"
#include "admin/RegistryAccess.h"
#include "platform/soap/answer_stream.h"
#include "platform/text/text.h"
#include "platform/xml/escape.h"

namespace quor::admin {

namespace {

using com::Bstr;

constexpr std::string_view kEnvelopeHead =
    "<?xml version='1.0'?>"
    "<SOAP-ENV:Envelope"
    " xmlns:SOAP-ENV='http://schemas.xmlsoap.org/soap/envelope/'"
    " SOAP-ENV:encodingStyle='http://schemas.xmlsoap.org/soap/encoding/'"
    " xmlns:xsi='http://www.w3.org/1999/XMLSchema-instance'"
    " xmlns:xsd='http://www.w3.org/1999/XMLSchema'>"
    "<SOAP-ENV:Body>";
constexpr std::string_view kEnvelopeTail = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
constexpr std::string_view kDefaultCoreUrl = "http://localhost/QuorService/QuorServiceCore.sod";
constexpr std::array<std::string_view, 3> kSignInMethods = {"CreateTicket", "OpenSession", "CloseSession"};
constexpr std::array<std::string_view, 3> kAdminMethods = {"ReLoadConfig", "ReLoadTransform", "ReLoadUnifyTable"};

// An element name without its namespace prefix.
std::string_view LocalName(std::string_view name) {
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

template <size_t N>
bool OneOf(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::string_view n : names)
    if (n == name) return true;
  return false;
}

// A stored endpoint has its three-letter scheme and extension replaced; one
// already written as an http(s) URL is taken as it stands (replacing would
// break it).
std::string ServiceUrl(std::string stored) {
  if (stored.size() < 6) return stored;
  if (text::StartsWithNoCase(stored, "http://") || text::StartsWithNoCase(stored, "https://"))
    return stored;
  return "http" + stored.substr(3, stored.size() - 6) + "sod";
}

// The request as the log shows it: the "user" element's token left out.
std::string WithoutRequestToken(std::string_view body) {
  std::string out(body);
  const size_t open = out.find("<user>");
  if (open == std::string::npos) return out;
  const size_t close = out.find("</user>", open);
  if (close == std::string::npos) return out;
  out.replace(open, close + 7 - open, "<user/>");
  return out;
}

}  // namespace

CVeltService::CVeltService() {
  ConsoleLog::Instance().Write("CVeltService Start");
  coreUrl_ = kDefaultCoreUrl;
  adminUrl_ = coreUrl_.substr(0, coreUrl_.size() - 4) + "Admin.sod";
  ConsoleLog::Instance().Write("CVeltService Started");
}

CVeltService::~CVeltService() = default;

bool CVeltService::IsOrdinary() const { return !OneOf(kSignInMethods, method_); }

void CVeltService::Fail(std::string reason) {
  ConsoleLog::Instance().Write(reason);
  fault_ = true;
  clientFault_ = std::move(reason);
  decoded_.clear();
  ResetDocument();
}

// A carriage return travels as a reference (a parser would turn a literal one
// into a line feed, and the request token covers the value); what XML cannot
// carry becomes U+FFFD rather than a request the server cannot parse.
std::string CVeltService::EscapeXml(std::string_view value) {
  return xml::Escaped(value, {.decimalReferences = true, .invalid = xml::EscapeRules::Invalid::Replace});
}

int CVeltService::Connect(std::string_view service, std::string_view user, std::string_view password) {
  serviceName_ = service;
  userName_ = user;
  password_ = password;
  RegistryAccess registry;
  const uint32_t rows = registry.ReadNumber("QuorService", "RowCount");
  rowCount_ = rows == 0 ? 5 : static_cast<int32_t>(rows);
  http_.SetCaFile(caFile_.empty() ? registry.ReadText("QuorService", "CAFile") : caFile_);
  if (!text::StartsWithNoCase(service, "http://") && !text::StartsWithNoCase(service, "https://")) {
    const std::string key = "QuorService\\ServiceInfo\\" + std::string(service);
    coreUrl_ = ServiceUrl(registry.ReadText(key, "Service"));
    authority_ = registry.ReadText(key, "Authority");
    realm_ = registry.ReadText(key, "Realm");
  } else {
    coreUrl_ = service;
  }
  adminUrl_ = (coreUrl_.size() >= 4 ? coreUrl_.substr(0, coreUrl_.size() - 4) : coreUrl_) + "Admin.sod";
  if (!CreateTicket()) return -7;
  return OpenSession();
}

bool CVeltService::CreateTicket() {
  BeginRequest("CreateTicket");
  AddParameter("authority", authority_);
  AddParameter("realm", realm_);
  AddParameter("principal", userName_);
  AddParameter("credential", password_);
  if (!Invoke()) return false;
  ticket_ = GetChildText(0);
  fullPrincipal_ = GetChildText(1);
  return true;
}

int CVeltService::OpenSession() {
  auth::TokenHandlerPtr handler;
  if (FAILED(auth::AcquireClientTokenHandler(Bstr(), &handler)) || !handler) return -1;
  Bstr scheme, seed;
  if (FAILED(auth::GetTokenScheme(handler.get(), &scheme))) return -2;
  if (FAILED(auth::GetTokenSeed(handler.get(), &seed))) return -3;
  handler_ = std::move(handler);
  BeginRequest("OpenSession");
  AddParameter("service", "qsc");
  AddParameter("ticket", ticket_);
  AddParameter("tokenScheme", scheme.ToUtf8());
  AddParameter("tokenSeed", seed.ToUtf8());
  if (!Invoke()) return -4;
  sessionKey_ = GetChildText(1);
  verifier_ = GetChildText(2);
  if (FAILED(auth::SetTokenItem(handler_.get(), Bstr(u"SessionKey"), Bstr::FromUtf8(sessionKey_)))) return -5;
  if (FAILED(auth::SetTokenItem(handler_.get(), Bstr(u"Opaque"), Bstr::FromUtf8(verifier_)))) return -6;
  return 0;
}

bool CVeltService::CloseSession() {
  BeginRequest("CloseSession");
  AddParameter("sessionKey", sessionKey_);
  AddParameter("verifier", verifier_);
  return Invoke();
}

void CVeltService::EndSession() {
  if (!sessionKey_.empty()) CloseSession();
  sessionKey_.clear();
}

int CVeltService::BeginRequest(std::string_view method) {
  method_ = method;
  itemCounter_ = 1;
  requestBody_.clear();
  if (!IsOrdinary()) return 0;
  if (!handler_ || FAILED(auth::SetTokenData(handler_.get(), 0, 0, Bstr::FromUtf8(method_), Bstr(u""))))
    return -1;
  return 0;
}

void CVeltService::AddParameter(std::string_view name, std::string_view value) {
  if (value.empty())
    ((requestBody_ += '<') += name) += "/>";
  else
    ((((requestBody_ += '<') += name) += '>') += EscapeXml(value)) += "</" + std::string(name) + ">";
  if (IsOrdinary() && handler_)
    auth::SetTokenData(handler_.get(), itemCounter_, 0, Bstr::FromUtf8(name), Bstr::FromUtf8(value));
  ++itemCounter_;
}

bool CVeltService::Invoke() {
  decoded_.clear();
  const ResultConsumer consumer = std::exchange(consumer_, nullptr);
  const bool ordinary = IsOrdinary();
  std::string body;
  if (ordinary) {
    if (!handler_) {
      Fail("No session is open: sign in first.");
      return false;
    }
    Bstr token;
    const HRESULT hr = auth::ConstructToken(handler_.get(), &token);
    if (FAILED(hr)) {
      Fail(text::Format("The request token could not be made (0x%08X).", static_cast<uint32_t>(hr)));
      return false;
    }
    responseToken_ = token.ToUtf8();
    body = "<user>" + EscapeXml(responseToken_) + "</user>";
  }
  body = "<" + method_ + ">" + body + requestBody_ + "</" + method_ + ">";
  std::string answer;
  const Arrival arrival = Exchange(body, ordinary, consumer, answer);
  if (arrival == Arrival::Failed || fault_) return false;

  if (ordinary && arrival == Arrival::Whole) {
    const std::string result = GetChildText(0);
    if (text::EqualsNoCase(result, "server")) return false;
    responseToken_ = GetChildText(1);
    auth::SetTokenData(handler_.get(), 0, 0, Bstr::FromUtf8(method_), Bstr(u""));
    auth::SetTokenData(handler_.get(), 1, 0, Bstr(u"result"), Bstr::FromUtf8(result));
    // An answer that does not prove it came from our session is no answer.
    HRESULT hr = auth::ValidateToken(handler_.get(), Bstr::FromUtf8(responseToken_));
    if (FAILED(hr)) {
      Fail(text::Format("The response key of %s did not validate (0x%08X).", method_, static_cast<uint32_t>(hr)));
      return false;
    }
    // The value as received is still packed (compressed or encrypted); the
    // handler's decoded value is the result.
    Bstr decoded;
    hr = auth::GetTokenData(handler_.get(), 1, nullptr, nullptr, &decoded);
    if (FAILED(hr)) {
      Fail(text::Format("The result of %s could not be decoded (0x%08X).", method_, static_cast<uint32_t>(hr)));
      return false;
    }
    decoded_ = decoded.ToUtf8();
    if (consumer) {
      const std::string whole = std::exchange(decoded_, std::string());
      ResetDocument();
      if (!consumer(whole)) {
        Fail(text::Format("The result of %s was refused by its reader.", method_));
        return false;
      }
      return true;
    }
  }
  if (ordinary) {
    if (consumer) {
      ResetDocument();
      return true;
    }
    // Not every result is XML (a transformed query answer may be CSV): such a
    // result stays readable through DecodedResult(). A result may bring its
    // own declaration; a second one would make it unreadable.
    const bool declared = decoded_.starts_with("<?xml");
    if (LoadXml(declared ? decoded_ : "<?xml version='1.0'?>" + decoded_) != 0) ResetDocument();
  }
  return !text::EqualsNoCase(GetChildText(0), "server");
}

std::string CVeltService::Post(std::string_view requestBody) {
  std::string answer;
  Exchange(requestBody, false, nullptr, answer);
  return answer;
}

CVeltService::Arrival CVeltService::Exchange(std::string_view requestBody, bool streams,
                                             const ResultConsumer& consumer, std::string& answer) {
  ConsoleLog& log = ConsoleLog::Instance();
  // Sign-in requests carry the password, the ticket or the verifier; an
  // ordinary request's token is derived from the session key.
  const bool ordinary = IsOrdinary();
  if (log.IsOpen()) log.Write(ordinary ? WithoutRequestToken(requestBody) : std::string(method_));
  fault_ = false;
  clientFault_.clear();
  answer.clear();
  const std::string& url = OneOf(kAdminMethods, method_) ? adminUrl_ : coreUrl_;
  lastEnvelope_.clear();
  lastAnswer_.clear();
  ((lastEnvelope_ += kEnvelopeHead) += requestBody) += kEnvelopeTail;

  // A streamed answer: its result's text goes to the key's hash and on to
  // the consumer as it is decoded; the key is checked at the reskey's end.
  struct {
    bool on = false;    // the answer is read as it arrives
    bool keep = true;   // its bytes are kept in lastAnswer_
    bool keyChecked = false;
    uint64_t resultBytes = 0;
    std::string reskey;
    std::string failure;  // why the reading stopped it
    std::unique_ptr<soap::AnswerStream> reader;
  } stream;
  auth::TokenHandler* const h = handler_.get();
  auto stop = [&](std::string why) {
    stream.failure = std::move(why);
    return false;
  };
  soap::AnswerStream::Events events{
      .response =
          [&](std::string_view name) {
            // A fault is small: it is read whole, the old way.
            if (name == "Fault") {
              stream.on = false;
              return true;
            }
            // With a consumer nothing of the answer is held.
            if (consumer) {
              stream.keep = false;
              lastAnswer_.clear();
              lastAnswer_.shrink_to_fit();
            }
            return true;
          },
      .text =
          [&](size_t index, std::string_view piece) {
            if (index == 0) {
              stream.resultBytes += piece.size();
              if (const HRESULT hr = auth::HashTokenStream(h, piece); FAILED(hr))
                return stop(text::Format("The response key of %s could not be checked (0x%08X).", method_,
                                         static_cast<uint32_t>(hr)));
              if (!consumer) {
                decoded_.append(piece);
              } else if (!consumer(piece)) {
                return stop(text::Format("The result of %s was refused by its reader.", method_));
              }
            } else if (index == 1) {
              // A key is a few hundred characters.
              if (stream.reskey.size() + piece.size() > 64 * 1024)
                return stop(text::Format("%s: the response key from %s is too long.", method_, url));
              stream.reskey.append(piece);
            }
            return true;
          },
      .end =
          [&](size_t index) {
            if (index != 1) return true;
            stream.keyChecked = true;
            responseToken_ = stream.reskey;
            if (const HRESULT hr = auth::EndValidateStream(h, Bstr::FromUtf8(stream.reskey)); FAILED(hr))
              return stop(text::Format("The response key of %s did not validate (0x%08X).", method_,
                                       static_cast<uint32_t>(hr)));
            return true;
          },
  };

  int status = 0;
  bool headSeen = false;
  const soap::HttpReceiver receiver{
      .head =
          [&](const soap::HttpHead& head) {
            headSeen = true;
            status = head.status;
            if (!streams || !h || head.status != 200 || !(head.chunked || head.Unsized())) return true;
            HRESULT hr = auth::SetTokenData(h, 0, 0, Bstr::FromUtf8(method_), Bstr(u""));
            if (SUCCEEDED(hr)) hr = auth::SetTokenData(h, 1, 0, Bstr(u"result"), Bstr());
            if (SUCCEEDED(hr)) hr = auth::BeginValidateStream(h);
            if (FAILED(hr))
              return stop(text::Format("The response key of %s could not be checked (0x%08X).", method_,
                                       static_cast<uint32_t>(hr)));
            stream.on = true;
            stream.reader = std::make_unique<soap::AnswerStream>(events);
            return true;
          },
      .body =
          [&](std::string_view piece) {
            if (stream.keep) lastAnswer_.append(piece);
            if (!stream.on) return true;
            if (SUCCEEDED(stream.reader->Feed(piece))) return true;
            // Else our own events stopped it, and said why.
            if (stream.failure.empty())
              stop(text::Format("%s: the answer from %s is not a SOAP answer: %s", method_, url,
                                stream.reader->Error()));
            return false;
          },
  };

  const Status posted = http_.Post(url, lastEnvelope_, receiver);
  if (!posted.ok()) {
    // Part of an answer is none.
    lastAnswer_.clear();
    if (!stream.failure.empty()) {
      Fail(std::move(stream.failure));
      return Arrival::Failed;
    }
    log.Write("Open Fail");
    log.WriteError(posted.code());
    if (headSeen)
      Fail(text::Format("%s: the answer from %s did not come whole: %s", method_, url, posted.message()));
    else
      Fail(text::Format("%s could not reach %s: %s", method_, url, posted.message()));
    return Arrival::Failed;
  }
  if (stream.on) {
    if (FAILED(stream.reader->Finish())) {
      Fail(text::Format("%s: the answer from %s is not a SOAP answer: %s", method_, url, stream.reader->Error()));
      return Arrival::Failed;
    }
    if (!stream.keyChecked) {
      Fail(text::Format("%s: the answer from %s carries no response key.", method_, url));
      return Arrival::Failed;
    }
    if (log.IsOpen())
      log.Write(text::Format("%s answered %d bytes of result as they came", method_, stream.resultBytes));
    return Arrival::Streamed;
  }

  // Envelope, then Body (no Header), then the response element or the fault.
  // Well-formed XML from something else (a web page, say) is no answer.
  if (LoadXml(lastAnswer_) != 0 || LocalName(ParentName()) != "Envelope" || MoveToChild(0) != S_OK ||
      LocalName(ParentName()) != "Body") {
    Fail(text::Format("%s: the answer from %s is not a SOAP envelope (HTTP %d).", method_, url, status));
    return Arrival::Failed;
  }
  // Sign-in answers carry the ticket, the session key and the verifier: only
  // ordinary answers are written out (and only when someone reads them, as
  // serialising a large answer costs).
  if (log.IsOpen()) log.Write(ordinary ? GetChildXml(0) : method_ + " answered");
  if (MoveToChild(0) != S_OK) {
    Fail(text::Format("%s: the answer from %s has an empty SOAP body (HTTP %d).", method_, url, status));
    return Arrival::Failed;
  }
  answer = GetChildText(0);
  if (text::EqualsNoCase(answer, "server")) {
    fault_ = true;
  } else if (status != 200) {
    Fail(text::Format("%s: the server at %s answered HTTP %d.", method_, url, status));
    answer.clear();
    return Arrival::Failed;
  }
  return Arrival::Whole;
}

std::string CVeltService::FaultText() {
  if (!fault_) return "Unknown Error";
  if (!clientFault_.empty()) return clientFault_;
  if (MoveToChild(3) != S_OK) return "Unknown Error";
  std::string text;
  if (MoveToChild(0) == S_OK) {
    text = GetChildText(1);
    MoveToParent();
  }
  MoveToParent();
  return text.empty() ? "Unknown Error" : text;
}

std::string CVeltService::FormatFault() {
  if (!fault_) return "Unknown Error";
  if (!clientFault_.empty()) return clientFault_;
  if (MoveToChild(3) != S_OK) return "Unknown Error";
  std::string description, code;
  if (MoveToChild(0) == S_OK) {
    description = GetChildText(1);
    code = GetChildText(0);
    MoveToParent();
  }
  MoveToParent();
  return text::Format("%s [%s]", description, code);
}

bool CVeltService::Query(std::string_view operation, std::string_view content, std::string_view provider,
                         std::string_view dsn, std::string_view catalog, std::string_view table,
                         std::string_view condition, std::string_view value) {
  BeginRequest("Query");
  const std::string op = EscapeXml(operation);
  std::string document = "<query><" + op + ">";
  if (!content.empty()) document += "<content>" + EscapeXml(content) + "</content>";
  document += "<target><provider>" + EscapeXml(provider) + "</provider><dsn>" + EscapeXml(dsn) + "</dsn><catalog>" +
              EscapeXml(catalog) + "</catalog><table>" + EscapeXml(table) + "</table></target>";
  if (!value.empty()) {
    if (operation == "insert") document += "<value>" + std::string(value) + "</value>";
    if (operation == "update") document += "<set>" + std::string(value) + "</set>";
  }
  // A condition is a value like any other: "a < 5" must not break the document.
  if (!condition.empty()) document += "<condition>" + EscapeXml(condition) + "</condition>";
  if (text::EqualsNoCase(content, "record") && rowCount_ > 0)
    document += "<rowcount>" + std::to_string(rowCount_) + "</rowcount>";
  document += "</" + op + "></query>";
  AddParameter("sqlstmt", document);
  return Invoke();
}

bool CVeltService::QueryTarget(std::string_view operation, std::string_view content, std::string_view provider,
                               std::string_view dsn, std::string_view catalog, std::string_view table) {
  return Query(operation, content, provider, dsn, catalog, table, {}, {});
}

void CVeltService::SetTarget(std::string_view provider, std::string_view dsn, std::string_view catalog) {
  targetProvider_ = provider;
  targetDsn_ = dsn;
  targetCatalog_ = catalog;
}

bool CVeltService::GetRecords(std::string_view table, std::string_view condition) {
  return Query("get", "record", targetProvider_, targetDsn_, targetCatalog_, table, condition, {});
}

bool CVeltService::DeleteRecords(std::string_view table, std::string_view condition) {
  return Query("delete", {}, targetProvider_, targetDsn_, targetCatalog_, table, condition, {});
}

bool CVeltService::InsertRecord(std::string_view table, std::string_view value) {
  return Query("insert", {}, targetProvider_, targetDsn_, targetCatalog_, table, {}, EscapeXml(value));
}

bool CVeltService::UpdateRecords(std::string_view table, std::string_view condition, std::string_view set) {
  return Query("update", {}, targetProvider_, targetDsn_, targetCatalog_, table, condition, EscapeXml(set));
}

int CVeltService::ListNames(std::string_view operation, std::string_view content, std::string_view provider,
                            std::string_view dsn, std::string_view catalog, std::string_view table,
                            std::string& list) {
  if (!QueryTarget(operation, content, provider, dsn, catalog, table)) return -1;
  if (MoveToChild(0) != S_OK) {
    list.clear();
    return 0;
  }
  const int n = ChildCount();
  std::string names;
  for (int i = 0; i < n; ++i) {
    MoveToChild(i);
    if (!names.empty()) names += ',';
    names += GetAttribute("name");
    MoveToParent();
  }
  list = std::move(names);
  return n;
}

}  // namespace quor::admin
