// The console's SOAP client: signs in (ticket, then session), builds each
// request, posts it to the service core's endpoint, checks the answer's
// response key and leaves the decoded result loaded in the document it
// derives from, for the caller to read with the cursor.
//
// One call: BeginRequest(method), AddParameter per input in the method's
// order (without the leading "user", which Invoke supplies), Invoke, then
// read the result. On failure FaultText/FormatFault say why: the service's
// fault, or the client's own reason (transport failure, unreadable answer,
// response key that does not validate).
//
// An ordinary answer the server streams (HTTP 200, chunked or without a
// length) is read as it arrives: its result is decoded, hashed for the
// response key and handed on piece by piece, and the key is checked at its
// end; an answer cut off or without a valid key fails the call. Other
// answers (faults, answers with a length) are read whole, as they come.
//
// One thread at a time; the calls are synchronous.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "admin/XmlDocument.h"
#include "auth/mac.h"
#include "platform/soap/http_client.h"

namespace quor::admin {

class CVeltService : public CXmlDocument {
 public:
  CVeltService();
  ~CVeltService() override;

  // Signs in: 0, or -1 token handler not acquired, -2 no scheme, -3 no
  // seed, -4 OpenSession failed, -5 session key refused, -6 verifier
  // refused, -7 CreateTicket failed. `service` is a URL ("http://..." or
  // "https://...") or the name of a key under QuorService\ServiceInfo.
  // A named service brings its authority and realm from its key; for a URL
  // they are those of SetAuthority (empty at first: the service's defaults).
  // An https service's certificate is checked against the CA file of
  // SetCaFile, else the one the QuorService value "CAFile" names, else the
  // system's trust store.
  int Connect(std::string_view service, std::string_view user, std::string_view password);
  void SetAuthority(std::string_view authority, std::string_view realm) {
    authority_ = authority;
    realm_ = realm;
  }
  // The CA certificates (PEM file) for https services, instead of the
  // registry's; empty: the registry's again.
  void SetCaFile(std::string_view path) { caFile_ = path; }
  bool CreateTicket();
  int OpenSession();
  bool CloseSession();
  // Closes the session when one is open; the session key is empty afterwards.
  void EndSession();

  int BeginRequest(std::string_view method);
  void AddParameter(std::string_view name, std::string_view value);
  bool Invoke();
  // Where the next Invoke's result goes, for that call only: its decoded
  // text in pieces, in order, as a streamed answer arrives (else at once,
  // once the key is checked). Answering false stops the call. A consumer may
  // have been handed text before Invoke fails (key refused, answer cut off):
  // Invoke's answer is what counts. With a consumer DecodedResult() stays
  // empty, no result document is loaded and LastAnswer() keeps no streamed
  // body, so a call holds a few pieces whatever the result's size.
  using ResultConsumer = std::function<bool(std::string_view piece)>;
  void SetResultConsumer(ResultConsumer consumer) { consumer_ = std::move(consumer); }
  // The HTTP time-out for connecting and for each wait for data.
  void SetTimeout(std::chrono::milliseconds timeout) { http_.SetTimeout(timeout); }
  // Posts one request body (the method element); the text of the answer
  // element's first child, empty on failure.
  std::string Post(std::string_view requestBody);

  std::string FaultText();
  std::string FormatFault();

  void SetRowCount(int32_t rows) { rowCount_ = rows; }
  int32_t GetRowCount() const { return rowCount_; }
  static std::string EscapeXml(std::string_view text);

  bool Query(std::string_view operation, std::string_view content, std::string_view provider, std::string_view dsn,
             std::string_view catalog, std::string_view table, std::string_view condition, std::string_view value);
  bool QueryTarget(std::string_view operation, std::string_view content, std::string_view provider,
                   std::string_view dsn, std::string_view catalog, std::string_view table);
  void SetTarget(std::string_view provider, std::string_view dsn, std::string_view catalog);
  bool GetRecords(std::string_view table, std::string_view condition);
  bool DeleteRecords(std::string_view table, std::string_view condition);
  bool InsertRecord(std::string_view table, std::string_view value);
  bool UpdateRecords(std::string_view table, std::string_view condition, std::string_view set);
  // The "name" attributes of the answer's entries joined with ","; the
  // number of names, or -1 (list untouched) when the query failed.
  int ListNames(std::string_view operation, std::string_view content, std::string_view provider,
                std::string_view dsn, std::string_view catalog, std::string_view table, std::string& list);

  // What the last successful ordinary call decoded (a result need not be XML:
  // a transformed query answer is CSV, say).
  const std::string& DecodedResult() const { return decoded_; }
  const std::string& CoreUrl() const { return coreUrl_; }
  const std::string& AdminUrl() const { return adminUrl_; }
  const std::string& SessionKey() const { return sessionKey_; }
  const std::string& Verifier() const { return verifier_; }
  const std::string& Ticket() const { return ticket_; }
  // The full principal CreateTicket answered.
  const std::string& FullPrincipal() const { return fullPrincipal_; }
  // The body of the last request posted, as sent.
  const std::string& LastEnvelope() const { return lastEnvelope_; }
  // The body of the last answer received, as received (empty when it did
  // not come whole, and after a streamed answer read by a consumer).
  const std::string& LastAnswer() const { return lastAnswer_; }
  bool Faulted() const { return fault_; }

 private:
  // How the answer of an exchange came.
  enum class Arrival { Failed, Whole, Streamed };

  bool IsOrdinary() const;
  void Fail(std::string reason);
  // Posts the request; a streamed answer of an ordinary call (`streams`) is
  // read as it arrives into `consumer` (or decoded_), its key checked. A
  // whole answer is loaded, the cursor on its response element, and
  // `answer` is the element's first child's text.
  Arrival Exchange(std::string_view requestBody, bool streams, const ResultConsumer& consumer, std::string& answer);

  std::string serviceName_, userName_, password_;
  std::string targetProvider_, targetDsn_, targetCatalog_;
  std::string coreUrl_, adminUrl_;
  std::string authority_, realm_;
  std::string caFile_;
  std::string method_;
  std::string responseToken_;
  int32_t rowCount_ = 5;
  uint32_t itemCounter_ = 1;
  soap::HttpClient http_;
  std::string ticket_, fullPrincipal_;
  std::string requestBody_;
  std::string sessionKey_, verifier_;
  auth::TokenHandlerPtr handler_;
  bool fault_ = false;
  std::string clientFault_;  // our own reason for the failure, when it is not the service's fault
  std::string decoded_;
  ResultConsumer consumer_;  // for the next Invoke
  std::string lastEnvelope_;
  std::string lastAnswer_;
};

}  // namespace quor::admin
