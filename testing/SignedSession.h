// A signed-in session of our own, opened on a ticket with the
// console's token handler, and requests signed with it: for generators that
// send and read the bytes themselves rather than through the console's client.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin/VeltService.h"
#include "auth/mac.h"
#include "platform/soap/envelope.h"
#include "platform/soap/http_client.h"

namespace quor::bench {

struct Session {
  auth::TokenHandlerPtr handler;
};

// The console's frame around a request element (taken from a real call).
struct Frame {
  std::string head, tail;
};

// The frame of the last request `client` sent for `method`; empty when it
// has none.
inline Frame FrameOf(const admin::CVeltService& client, std::string_view method) {
  const std::string& sent = client.LastEnvelope();
  const std::string open = "<" + std::string(method) + ">", close = "</" + std::string(method) + ">";
  const size_t at = sent.find(open), end = sent.find(close);
  if (at == std::string::npos || end == std::string::npos) return {};
  return {sent.substr(0, at), sent.substr(end + close.size())};
}

// Opens a session on `ticket` with a handler of its own, as the console's
// client does after CreateTicket.
inline bool OpenSession(soap::HttpClient& http, const std::string& url, const std::string& ticket, Session& session,
                        std::string& error) {
  com::Bstr scheme, seed;
  if (FAILED(auth::AcquireClientTokenHandler(com::Bstr(), &session.handler)) || !session.handler ||
      FAILED(auth::GetTokenScheme(session.handler.get(), &scheme)) ||
      FAILED(auth::GetTokenSeed(session.handler.get(), &seed))) {
    error = "no token handler";
    return false;
  }
  const soap::NamedValue params[] = {{"service", com::Bstr(u"qsc")},
                                     {"ticket", com::Bstr::FromUtf8(ticket)},
                                     {"tokenScheme", scheme},
                                     {"tokenSeed", seed}};
  const Result<soap::HttpReply> reply = http.Post(url, soap::WriteRequest("OpenSession", params));
  if (!reply.ok()) {
    error = reply.status().message();
    return false;
  }
  const Result<soap::Answer> answer = soap::ParseAnswer(reply->body);
  if (!answer.ok() || answer->isFault || answer->outputs.size() < 3) {
    error = "OpenSession failed: " + reply->body.substr(0, 300);
    return false;
  }
  return SUCCEEDED(auth::SetTokenItem(session.handler.get(), com::Bstr(u"SessionKey"), answer->outputs[1].value)) &&
         SUCCEEDED(auth::SetTokenItem(session.handler.get(), com::Bstr(u"Opaque"), answer->outputs[2].value));
}

// A request of `method` with `params` (in the method's order), signed as the
// console's client signs it; empty when the token cannot be made.
inline std::string SignedRequest(auth::TokenHandler* handler, const Frame& frame, std::string_view method,
                                 const std::vector<std::pair<std::string, std::string>>& params) {
  using admin::CVeltService;
  if (FAILED(auth::SetTokenData(handler, 0, 0, com::Bstr::FromUtf8(method), com::Bstr(u"")))) return {};
  for (size_t i = 0; i < params.size(); ++i)
    if (FAILED(auth::SetTokenData(handler, static_cast<uint32_t>(i + 1), 0, com::Bstr::FromUtf8(params[i].first),
                                  com::Bstr::FromUtf8(params[i].second))))
      return {};
  com::Bstr token;
  if (FAILED(auth::ConstructToken(handler, &token))) return {};
  std::string body = frame.head;
  ((((body += '<') += method) += "><user>") += CVeltService::EscapeXml(token.ToUtf8())) += "</user>";
  for (const auto& [name, value] : params)
    ((((((body += '<') += name) += '>') += CVeltService::EscapeXml(value)) += "</") += name) += '>';
  (((body += "</") += method) += '>') += frame.tail;
  return body;
}

}  // namespace quor::bench
