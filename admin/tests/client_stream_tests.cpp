// The console's SOAP client reading answers the service streams. A raw
// loopback core signs the client in with the real token handlers and answers
// each ordinary call by a plan: chunked, without a length or with one; in
// pieces, with pauses; damaged. Its response key is made over the result as
// it is sent (the server's streamed token), as the service makes it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "admin/VeltService.h"
#include "auth/config.h"
#include "auth/mac.h"
#include "auth/util/codec.h"
#include "auth/util/crypto.h"
#include "platform/base/thread_annotations.h"
#include "platform/base/unique_fd.h"
#include "platform/soap/envelope.h"
#include "platform/xml/escape.h"
#include "testing/TempDir.h"

extern char** environ;

namespace quor::admin {
namespace {

namespace stdfs = std::filesystem;
using com::Bstr;
using namespace std::chrono_literals;

constexpr std::string_view kCorePath = "/QuorService/QuorServiceCore.sod";

// A line with references, characters of 1 to 4 bytes, a carriage return and
// the word a damaged answer changes.
constexpr std::string_view kLine =
    "row & <b>\"quoted\" 'MARK'\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\r\n";

enum class Framing { Chunked, Unsized, Length };

enum class Damage {
  None,
  ChangedByte,    // one byte of the result changed after the key was made
  CutOff,         // half of it sent, then the connection closes
  NoReskey,       // no reskey element
  ShortEnvelope,  // half of it sent, then the body ends properly
  Fault500,       // a fault, chunked, HTTP 500
  Fault200,       // a fault, chunked, HTTP 200
};

// How the core answers ordinary calls.
struct Plan {
  std::string result = "<root>0</root>";
  size_t repeat = 1;  // the result is `result` this many times over
  Framing framing = Framing::Chunked;
  size_t piece = 1000;                 // bytes written at a time
  std::chrono::milliseconds gap{0};    // after each piece
  std::chrono::milliseconds stall{0};  // once, after the first piece
  Damage damage = Damage::None;
  bool compressed = false;  // sent whole, compressed, as the service sends long results it does not stream

  std::string Whole() const {
    std::string all;
    for (size_t i = 0; i < repeat; ++i) all += result;
    return all;
  }
};

// Writes an answer's body in the plan's pieces and framing; stops at `cut`
// bytes of body, or once the client is gone.
class Sender {
 public:
  Sender(int fd, const Plan& plan, const std::atomic<bool>& stop, size_t cut)
      : fd_(fd), plan_(plan), stop_(stop), cut_(cut) {}

  void Put(std::string_view bytes) {
    if (sent_ + pending_.size() + bytes.size() > cut_) bytes = bytes.substr(0, cut_ - sent_ - pending_.size());
    pending_.append(bytes);
    while (pending_.size() >= plan_.piece && ok_) Write(plan_.piece);
  }
  // The rest, then the last chunk unless `cutOff`.
  void End(bool cutOff) {
    if (!pending_.empty() && ok_) Write(pending_.size());
    if (!cutOff && plan_.framing == Framing::Chunked) Raw("0\r\n\r\n");
  }
  bool Raw(std::string_view bytes) {
    for (size_t at = 0; at < bytes.size() && ok_;) {
      const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) ok_ = false;
      else at += static_cast<size_t>(n);
    }
    return ok_;
  }

 private:
  void Write(size_t n) {
    const std::string_view data = std::string_view(pending_).substr(0, n);
    if (plan_.framing == Framing::Chunked) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", n);
      Raw(std::string(size) + std::string(data) + "\r\n");
    } else {
      Raw(data);
    }
    sent_ += n;
    pending_.erase(0, n);
    if (pieces_++ == 0) Pause(plan_.stall);
    Pause(plan_.gap);
  }
  void Pause(std::chrono::milliseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until && !stop_) std::this_thread::sleep_for(5ms);
  }

  int fd_;
  const Plan& plan_;
  const std::atomic<bool>& stop_;
  size_t cut_;
  size_t sent_ = 0;
  size_t pieces_ = 0;
  std::string pending_;
  bool ok_ = true;
};

std::string Head(int status, std::string_view framing) {
  return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Internal Server Error") +
         "\r\nContent-Type: text/xml; charset=utf-8\r\n" + std::string(framing) + "\r\n";
}

class RawCore {
 public:
  RawCore() {
    listen_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_.get(), 16) != 0 ||
        ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "cannot listen";
    port_ = ntohs(a.sin_port);
    accept_ = std::thread([this] { Accept(); });
  }
  ~RawCore() { Stop(); }
  RawCore(const RawCore&) = delete;
  RawCore& operator=(const RawCore&) = delete;

  void Stop() {
    stop_ = true;
    if (accept_.joinable()) accept_.join();
    // No connection starts after the accepting thread ended.
    std::vector<std::thread> connections;
    {
      MutexLock guard(lock_);
      connections.swap(connections_);
    }
    for (std::thread& t : connections) t.join();
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + std::string(kCorePath); }

  void SetPlan(Plan plan) {
    MutexLock guard(lock_);
    plan_ = std::move(plan);
  }
  // Ordinary calls whose request token validated.
  int Answered() const { return answered_; }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p{listen_.get(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      UniqueFd c(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!c.valid()) continue;
      MutexLock guard(lock_);
      connections_.emplace_back([this, fd = c.Release()] { Serve(UniqueFd(fd)); });
    }
  }

  // Requests one after another on one connection, until either side closes.
  void Serve(UniqueFd fd) {
    std::string in;
    while (!stop_) {
      std::string body;
      if (!ReadRequest(fd.get(), in, body)) return;
      if (!Handle(fd.get(), body)) return;
    }
  }

  bool ReadRequest(int fd, std::string& in, std::string& body) {
    size_t need = std::string::npos, headEnd = 0;
    while (need == std::string::npos || in.size() < need) {
      if (need == std::string::npos && (headEnd = in.find("\r\n\r\n")) != std::string::npos) {
        const size_t at = in.find("Content-Length: ");
        need = headEnd + 4 + (at == std::string::npos || at > headEnd ? 0 : std::stoul(in.substr(at + 16)));
        continue;
      }
      if (stop_) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buffer[65536];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      in.append(buffer, static_cast<size_t>(n));
    }
    body = in.substr(headEnd + 4, need - headEnd - 4);
    in.erase(0, need);
    return true;
  }

  // Answers one request; false when the connection is to close.
  bool Handle(int fd, const std::string& body) {
    const Result<soap::Request> parsed = soap::ParseRequest(body, {});
    if (!parsed.ok()) {
      ADD_FAILURE() << parsed.status().message();
      return false;
    }
    const soap::Request& request = *parsed;
    const std::string& method = request.method;
    if (method == "CreateTicket")
      return Whole(fd, soap::WriteAnswer(method, std::vector<soap::NamedValue>{
                                                     {"CreateTicketResult", Bstr(u"TICKET")},
                                                     {"fullPrincipal", Bstr(u"alice@DEFAULT")}}));
    if (method == "OpenSession") return Whole(fd, OpenSession(request));
    if (method == "CloseSession") {
      MutexLock guard(lock_);
      handler_.reset();
      return Whole(fd, soap::WriteAnswer(method, std::vector<soap::NamedValue>{}));
    }
    return Ordinary(fd, request);
  }

  bool Whole(int fd, const std::string& answer, int status = 200) {
    const std::string all = Head(status, "Content-Length: " + std::to_string(answer.size()) + "\r\n") + answer;
    return ::send(fd, all.data(), all.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(all.size());
  }

  // A new RC2 key for the session, wrapped for the client under the public
  // key of its seed.
  std::string OpenSession(const soap::Request& request) {
    MutexLock guard(lock_);
    auth::TokenHandlerPtr handler;
    EXPECT_EQ(auth::AcquireTokenHandler(request.params.at(2).value, &handler), S_OK);
    EXPECT_EQ(auth::SetTokenSeed(handler.get(), request.params.at(3).value), S_OK);
    keys_ = auth::util::CryptProvider();
    EXPECT_TRUE(keys_.AcquireContext(std::nullopt, std::nullopt, 0, crypt::CRYPT_VERIFYCONTEXT).ok());
    auth::util::CryptKey key = keys_.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE).value();
    const Bstr& seed = request.params.at(3).value;
    const auth::util::CryptKey clientPublic =
        keys_.ImportKey(auth::util::Base64Decode(auth::SplitText(seed.View(), u';').second), 0, nullptr).value();
    const std::string opaque = auth::util::Base64Encode(key.ExportKey(crypt::OPAQUEKEYBLOB, nullptr).value());
    EXPECT_EQ(auth::SetTokenItem(handler.get(), Bstr(auth::kSessionKeyItem), Bstr::FromUtf8(opaque)), S_OK);
    handler_ = std::move(handler);
    const std::string sessionKey =
        auth::util::Base64Encode(key.ExportKey(crypt::SIMPLEBLOB, &clientPublic).value());
    return soap::WriteAnswer("OpenSession", std::vector<soap::NamedValue>{{"OpenSessionResult", Bstr(u"locator")},
                                                                          {"sessionKey", Bstr::FromUtf8(sessionKey)},
                                                                          {"verifier", Bstr(u"VERIFIER")}});
  }

  // Checks the request token, makes the response key over the result as the
  // service does when it streams, and sends the answer by the plan.
  bool Ordinary(int fd, const soap::Request& request) {
    Plan plan;
    Bstr reskey;
    {
      MutexLock guard(lock_);
      plan = plan_;
      auth::TokenHandler* h = handler_.get();
      if (!h || request.params.empty() || request.params[0].name != "user") {
        ADD_FAILURE() << "an ordinary call without a session or a token";
        return false;
      }
      EXPECT_EQ(auth::SetTokenData(h, 0, 0, Bstr::FromUtf8(request.method), Bstr()), S_OK);
      for (size_t i = 1; i < request.params.size(); ++i)
        EXPECT_EQ(auth::SetTokenData(h, static_cast<uint32_t>(i), 0, Bstr::FromUtf8(request.params[i].name),
                                     request.params[i].value),
                  S_OK);
      if (auth::ValidateToken(h, request.params[0].value) != S_OK) {
        ADD_FAILURE() << "request token refused";
        return false;
      }
      ++answered_;
      EXPECT_EQ(auth::SetTokenData(h, 0, 0, Bstr::FromUtf8(request.method), Bstr()), S_OK);
      if (plan.compressed) {
        Bstr packed;
        EXPECT_EQ(auth::SetTokenData(h, 1, auth::kKindCompressed, Bstr(u"result"), Bstr::FromUtf8(plan.Whole())),
                  S_OK);
        EXPECT_EQ(auth::ConstructToken(h, &reskey), S_OK);
        EXPECT_EQ(auth::GetTokenData(h, 1, nullptr, nullptr, &packed), S_OK);
        return Whole(fd, soap::WriteAnswer(request.method,
                                           std::vector<soap::NamedValue>{{"result", packed}, {"reskey", reskey}}));
      }
      EXPECT_EQ(auth::SetTokenData(h, 1, 0, Bstr(u"result"), Bstr()), S_OK);
      EXPECT_EQ(auth::BeginTokenStream(h), S_OK);
      for (size_t i = 0; i < plan.repeat; ++i) EXPECT_EQ(auth::HashTokenStream(h, plan.result), S_OK);
      EXPECT_EQ(auth::EndTokenStream(h, &reskey), S_OK);
    }

    if (plan.damage == Damage::Fault500 || plan.damage == Damage::Fault200) {
      soap::Fault fault;
      fault.status = static_cast<HRESULT>(0x80040205);
      fault.description = "denied & gone";
      fault.actor = std::string(kCorePath);
      Sender out(fd, plan, stop_, SIZE_MAX);
      out.Raw(Head(plan.damage == Damage::Fault500 ? 500 : 200, "Transfer-Encoding: chunked\r\n"));
      out.Put(soap::WriteFault(fault));
      out.End(false);
      return true;
    }

    // The envelope around the result and the key, as the service writes it.
    std::vector<soap::NamedValue> outputs{{"result", Bstr(u"@RESULT@")}};
    if (plan.damage != Damage::NoReskey) outputs.push_back({"reskey", reskey});
    const std::string frame = soap::WriteAnswer(request.method, outputs);
    const size_t at = frame.find("@RESULT@");
    const std::string head = frame.substr(0, at), tail = frame.substr(at + 8);
    const std::string escaped = xml::Escaped(plan.result, soap::kTextRules);
    const size_t total = head.size() + escaped.size() * plan.repeat + tail.size();
    const bool cut = plan.damage == Damage::CutOff || plan.damage == Damage::ShortEnvelope;

    Sender out(fd, plan, stop_, cut ? total / 2 : SIZE_MAX);
    if (plan.framing == Framing::Chunked) out.Raw(Head(200, "Transfer-Encoding: chunked\r\n"));
    if (plan.framing == Framing::Unsized) out.Raw(Head(200, "Connection: close\r\n"));
    if (plan.framing == Framing::Length) out.Raw(Head(200, "Content-Length: " + std::to_string(total) + "\r\n"));
    out.Put(head);
    for (size_t i = 0; i < plan.repeat; ++i) {
      if (i == 0 && plan.damage == Damage::ChangedByte) {
        std::string changed = escaped;
        changed[changed.find("MARK") + 3] = 'X';
        out.Put(changed);
      } else {
        out.Put(escaped);
      }
    }
    out.Put(tail);
    out.End(plan.damage == Damage::CutOff);
    return plan.damage != Damage::CutOff && plan.framing != Framing::Unsized;
  }

  UniqueFd listen_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread accept_;
  // Guards the session's handler and keys (one call at a time uses them),
  // the plan and the connections' threads.
  mutable Mutex lock_;
  auth::TokenHandlerPtr handler_ QUOR_GUARDED_BY(lock_);
  auth::util::CryptProvider keys_ QUOR_GUARDED_BY(lock_);
  Plan plan_ QUOR_GUARDED_BY(lock_);
  std::vector<std::thread> connections_ QUOR_GUARDED_BY(lock_);
};

// What a consumer was handed.
struct Collected {
  std::string text;
  size_t pieces = 0;
  size_t largest = 0;
  size_t stopAfter = SIZE_MAX;  // pieces
};

CVeltService::ResultConsumer Into(Collected& c) {
  return [&c](std::string_view piece) {
    c.text.append(piece);
    c.largest = std::max(c.largest, piece.size());
    return ++c.pieces < c.stopAfter;
  };
}

class ClientStreamTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-client-stream"};
  ClientStreamTest() {
    ::setenv("QUOR_REGISTRY", (temp_.Path() / "registry.reg").c_str(), 1);
    ::setenv("QUOR_KEYDIR", (temp_.Path() / "keys").c_str(), 1);
  }
  ~ClientStreamTest() override { core_.Stop(); }

  void SignIn(CVeltService& client) {
    ASSERT_EQ(client.Connect(core_.Url(), "alice", "pw"), 0) << client.FormatFault();
  }

  // One Query, its result to `consumer` when there is one.
  static bool Query(CVeltService& client, Collected* consumer = nullptr) {
    if (client.BeginRequest("Query") != 0) return false;
    client.AddParameter("sqlstmt", "<query/>");
    if (consumer) client.SetResultConsumer(Into(*consumer));
    return client.Invoke();
  }

  RawCore core_;
};

// ---- Whole streamed answers -------------------------------------------------------

TEST_F(ClientStreamTest, StreamedResultsReachTheConsumerExactlyAndTheirKeyValidates) {
  CVeltService client;
  SignIn(client);

  // 1.8 MB in chunks of 1000 bytes, cut through references and characters.
  Plan plan;
  plan.result = std::string(kLine);
  plan.repeat = 40000;
  core_.SetPlan(plan);
  const std::string expected = plan.Whole();
  Collected c;
  ASSERT_TRUE(Query(client, &c)) << client.FormatFault();
  EXPECT_TRUE(c.text == expected) << c.text.size() << " of " << expected.size();
  // Memory: a few pieces, nothing of the answer kept.
  EXPECT_GT(c.pieces, 20u);
  EXPECT_LE(c.largest, 64u * 1024 + 4096);
  EXPECT_EQ(client.DecodedResult(), "");
  EXPECT_EQ(client.LastAnswer(), "");
  EXPECT_EQ(client.ChildCount(), 0);
  EXPECT_FALSE(client.Faulted());

  // The consumer was for that call: the next one decodes into the client,
  // as before, and keeps the answer as received.
  ASSERT_TRUE(Query(client)) << client.FormatFault();
  EXPECT_TRUE(client.DecodedResult() == expected);
  EXPECT_NE(client.LastAnswer().find("</result><reskey>"), std::string::npos);
  EXPECT_GT(client.LastAnswer().size(), expected.size());

  // An XML result is loaded for the cursor, as before.
  plan.result = "<root>";
  for (int i = 0; i < 3000; ++i) plan.result += "<row>" + std::to_string(i) + " &amp; co</row>";
  plan.result += "</root>";
  plan.repeat = 1;
  core_.SetPlan(plan);
  ASSERT_TRUE(Query(client)) << client.FormatFault();
  EXPECT_EQ(client.ChildCount(), 3000);
  EXPECT_EQ(client.GetChildText(2999), "2999 & co");

  // A chunk a byte, and an answer without a length, read the same.
  plan.result = "a&b<c>\"d\"\r\n\xC3\xA9\xF0\x9F\x98\x80";
  plan.repeat = 3;
  plan.piece = 1;
  core_.SetPlan(plan);
  c = {};
  ASSERT_TRUE(Query(client, &c)) << client.FormatFault();
  EXPECT_EQ(c.text, plan.Whole());
  plan.result = std::string(kLine);
  plan.repeat = 5000;
  plan.piece = 777;
  plan.framing = Framing::Unsized;
  core_.SetPlan(plan);
  c = {};
  ASSERT_TRUE(Query(client, &c)) << client.FormatFault();
  EXPECT_TRUE(c.text == plan.Whole());

  // An answer with a length is read whole and checked before the consumer
  // sees it.
  plan.framing = Framing::Length;
  core_.SetPlan(plan);
  c = {};
  ASSERT_TRUE(Query(client, &c)) << client.FormatFault();
  EXPECT_TRUE(c.text == plan.Whole());
  EXPECT_EQ(c.pieces, 1u);
  EXPECT_EQ(client.DecodedResult(), "");
  EXPECT_EQ(core_.Answered(), 6);
}

// ---- Damaged answers ---------------------------------------------------------------

TEST_F(ClientStreamTest, AChangedCutOffOrUnkeyedStreamedAnswerFailsTheCall) {
  CVeltService client;
  SignIn(client);
  struct Case {
    Damage damage;
    Framing framing;
    std::string why;  // part of the fault text
  };
  const Case cases[] = {
      {Damage::ChangedByte, Framing::Chunked, "The response key of Query did not validate"},
      {Damage::ChangedByte, Framing::Unsized, "The response key of Query did not validate"},
      {Damage::CutOff, Framing::Chunked, "did not come whole"},
      {Damage::NoReskey, Framing::Chunked, "carries no response key"},
      {Damage::ShortEnvelope, Framing::Chunked, "ends before its envelope does"},
      {Damage::CutOff, Framing::Unsized, "ends before its envelope does"},
  };
  for (const Case& c : cases) {
    for (bool consumer : {true, false}) {
      const std::string label = c.why + (consumer ? " (consumer)" : "");
      Plan plan;
      plan.result = std::string(kLine);
      plan.repeat = 3000;
      plan.framing = c.framing;
      plan.damage = c.damage;
      core_.SetPlan(plan);
      Collected got;
      EXPECT_FALSE(Query(client, consumer ? &got : nullptr)) << label;
      EXPECT_TRUE(client.Faulted()) << label;
      EXPECT_NE(client.FaultText().find(c.why), std::string::npos) << label << ": " << client.FaultText();
      EXPECT_EQ(client.DecodedResult(), "") << label;
      EXPECT_EQ(client.ChildCount(), 0) << label;
      if (c.damage == Damage::CutOff && c.framing == Framing::Chunked) {
        EXPECT_EQ(client.LastAnswer(), "") << label;
      }
      // Text reached the consumer before the failure: the failure counts.
      if (consumer && c.damage != Damage::NoReskey) {
        EXPECT_FALSE(got.text.empty()) << label;
      }

      // The session and the client go on.
      core_.SetPlan(Plan{});
      ASSERT_TRUE(Query(client)) << label << ": " << client.FormatFault();
      EXPECT_EQ(client.GetChildText(0), "0");
    }
  }

  // A consumer that refuses stops the call.
  Plan plan;
  plan.result = std::string(kLine);
  plan.repeat = 20000;
  core_.SetPlan(plan);
  Collected got;
  got.stopAfter = 2;
  EXPECT_FALSE(Query(client, &got));
  EXPECT_EQ(got.pieces, 2u);
  EXPECT_NE(client.FaultText().find("refused by its reader"), std::string::npos) << client.FaultText();
  core_.SetPlan(Plan{});
  ASSERT_TRUE(Query(client)) << client.FormatFault();
}

TEST_F(ClientStreamTest, FaultsAreReadWholeWhateverTheirFraming) {
  CVeltService client;
  SignIn(client);
  for (Damage damage : {Damage::Fault500, Damage::Fault200}) {
    for (bool consumer : {true, false}) {
      Plan plan;
      plan.damage = damage;
      plan.piece = 50;
      core_.SetPlan(plan);
      Collected got;
      EXPECT_FALSE(Query(client, consumer ? &got : nullptr));
      EXPECT_TRUE(client.Faulted());
      EXPECT_EQ(client.FormatFault(), "denied & gone [0x80040205]");
      EXPECT_TRUE(got.text.empty());
      EXPECT_NE(client.LastAnswer().find("<faultcode>Server</faultcode>"), std::string::npos);
    }
  }
}

// ---- Time-outs ---------------------------------------------------------------------

TEST_F(ClientStreamTest, TheTimeOutBoundsEachWaitNotTheWholeAnswer) {
  CVeltService client;
  client.SetTimeout(1000ms);
  SignIn(client);

  // A piece every half second for about 4 s.
  Plan plan;
  plan.result = std::string(kLine);
  plan.repeat = 8;
  plan.piece = plan.result.size() + 100;
  plan.gap = 500ms;
  core_.SetPlan(plan);
  Collected got;
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(Query(client, &got)) << client.FormatFault();
  EXPECT_GE(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_EQ(got.text, plan.Whole());
  EXPECT_GT(got.pieces, 3u);

  // Silent for longer than the time-out after the first piece.
  plan.gap = 0ms;
  plan.stall = 2500ms;
  core_.SetPlan(plan);
  got = {};
  started = std::chrono::steady_clock::now();
  EXPECT_FALSE(Query(client, &got));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 2400ms);
  EXPECT_NE(client.FaultText().find("stalled, nothing came for 1000 ms"), std::string::npos) << client.FaultText();

  plan.stall = 0ms;
  core_.SetPlan(plan);
  ASSERT_TRUE(Query(client)) << client.FormatFault();
  EXPECT_EQ(client.DecodedResult(), plan.Whole());
}

// ---- quor-call ----------------------------------------------------------------------

struct CallRun {
  int status = -1;
  std::string out, err;
  long peakKb = 0;  // the highest resident size seen (VmHWM)
};

// quor-call signed in as alice, one Query; `asan` added to the sanitizer's
// options.
CallRun RunQuorCall(const std::string& url, const stdfs::path& scratch, std::string_view asan = "") {
  CallRun r;
  const std::string program = std::string(QUOR_BIN_DIR) + "/quor-call";
  std::vector<std::string> args = {program, "--url", url, "alice", "Query", "sqlstmt=<query/>"};
  std::vector<std::string> env;
  std::string asanOptions;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("ASAN_OPTIONS="))
      asanOptions = std::string(entry.substr(13));
    else if (!entry.starts_with("QUOR_PASSWORD="))
      env.emplace_back(entry);
  }
  if (!asan.empty()) asanOptions += (asanOptions.empty() ? "" : ":") + std::string(asan);
  env.push_back("ASAN_OPTIONS=" + asanOptions);
  env.push_back("QUOR_PASSWORD=pw");
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const stdfs::path out = scratch / "call.out", err = scratch / "call.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return r;
  // The child's own high-water mark, read while it runs: wait4's figure
  // keeps that of this process, which the child was until its exec.
  const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
  int status = 0;
  for (;;) {
    std::ifstream in(statusFile);
    for (std::string line; std::getline(in, line);)
      if (line.starts_with("VmHWM:")) r.peakKb = std::max(r.peakKb, std::atol(line.c_str() + 6));
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) return r;
    std::this_thread::sleep_for(5ms);
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ostringstream o, e;
  o << std::ifstream(out, std::ios::binary).rdbuf();
  e << std::ifstream(err, std::ios::binary).rdbuf();
  r.out = o.str();
  r.err = e.str();
  return r;
}

TEST_F(ClientStreamTest, QuorCallPrintsAStreamedResultByteForByteAsAWholeOne) {
  Plan plan;
  plan.result = std::string(kLine);
  plan.repeat = 20000;
  std::string printed;
  for (Framing framing : {Framing::Chunked, Framing::Unsized, Framing::Length}) {
    plan.framing = framing;
    core_.SetPlan(plan);
    const CallRun run = RunQuorCall(core_.Url(), temp_.Path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out == plan.Whole() + "\n") << static_cast<int>(framing) << ": " << run.out.size();
    if (framing == Framing::Chunked) printed = run.out;
    EXPECT_TRUE(run.out == printed);
  }

  // A compressed answer, read whole: printed the same, and as "%s" printed
  // it, up to a NUL.
  plan.compressed = true;
  core_.SetPlan(plan);
  CallRun run = RunQuorCall(core_.Url(), temp_.Path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out == printed);
  plan.result = std::string("before\0after", 12) + std::string(kLine);
  core_.SetPlan(plan);
  run = RunQuorCall(core_.Url(), temp_.Path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "before\n");
  plan.result = std::string(kLine);
  plan.compressed = false;

  // A streamed answer whose key fails: the message and status 1, whatever
  // was printed before it.
  plan.framing = Framing::Chunked;
  plan.damage = Damage::ChangedByte;
  core_.SetPlan(plan);
  run = RunQuorCall(core_.Url(), temp_.Path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("quor-call: Query failed: The response key of Query did not validate"), std::string::npos)
      << run.err;
  plan.damage = Damage::CutOff;
  core_.SetPlan(plan);
  run = RunQuorCall(core_.Url(), temp_.Path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("did not come whole"), std::string::npos) << run.err;

  // Memory stays put whatever the answer's size: 32 MB streamed take less
  // than 16 MB more than 7 KB do (read whole, they took over 200 MB more).
  // The sanitizer's quarantine of freed memory is kept small, as it would
  // hold on to every piece.
  constexpr std::string_view kSmallQuarantine = "quarantine_size_mb=4:thread_local_quarantine_size_kb=64";
  plan.damage = Damage::None;
  plan.repeat = 100;
  core_.SetPlan(plan);
  const CallRun small = RunQuorCall(core_.Url(), temp_.Path(), kSmallQuarantine);
  ASSERT_EQ(small.status, 0) << small.err;
  plan.repeat = 32u * 1024 * 1024 / plan.result.size();
  plan.piece = 16 * 1024;
  core_.SetPlan(plan);
  const CallRun large = RunQuorCall(core_.Url(), temp_.Path(), kSmallQuarantine);
  ASSERT_EQ(large.status, 0) << large.err;
  EXPECT_TRUE(large.out == plan.Whole() + "\n") << large.out.size();
  EXPECT_LT(large.peakKb, small.peakKb + 16 * 1024) << "small " << small.peakKb << " KB";
}

}  // namespace
}  // namespace quor::admin
