// quor-server over TLS: the real program with a throwaway CA's certificate,
// our client and raw OpenSSL and TCP clients on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/base/unique_fd.h"
#include "platform/soap/dispatcher.h"
#include "platform/soap/envelope.h"
#include "platform/soap/http_client.h"
#include "testing/TlsFiles.h"

using namespace quor;
using namespace quor::soap;
using namespace quor::soap::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path kBin = QUOR_BIN_DIR;
const fs::path kLib = QUOR_LIB_DIR;

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(MakeTlsFiles(files_.Path(), error)) << error;
  }
  fs::path File(const char* name) const { return files_.Path() / name; }
  ServerProcess::Config Config(std::vector<std::string> args) const {
    args.insert(args.end(), {"--tls-cert", File("server.pem").string(), "--tls-key", File("server.key").string(),
                             "--endpoint", "/e.sod=QuorTest.Echo", "--bench-route"});
    return {kBin, kLib, {"libquor_test_plugin.so"}, std::move(args)};
  }
  static std::string Https(const ServerProcess& server, std::string_view path, std::string_view host = "127.0.0.1") {
    return "https://" + std::string(host) + ":" + std::to_string(server.Port()) + std::string(path);
  }

  TempDir files_;
};

UniqueFd Connect(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.Reset();
  return fd;
}

// How long until the peer closes a connection we send nothing more on.
std::chrono::milliseconds TimeToClose(const UniqueFd& fd, std::chrono::milliseconds limit) {
  const auto started = Clock::now();
  for (char c; Clock::now() - started < limit;) {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, 10) > 0 && ::recv(fd.get(), &c, 1, 0) <= 0) break;
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
}

// Our own TLS client (trusting `ca`): sends `request` and reads until the
// server closes; what came, and whether the close was TLS's close_notify
// rather than a cut.
struct Exchange {
  std::string answer;
  bool closeNotify = false;
};
Exchange TlsExchange(int port, const fs::path& ca, std::string_view request) {
  Exchange out;
  const UniqueFd fd = Connect(port);
  const timeval wait{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  SSL_CTX_load_verify_locations(context.get(), ca.c_str(), nullptr);
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  const std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
  SSL_set_fd(ssl.get(), fd.get());
  if (SSL_connect(ssl.get()) != 1) return out;
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
  char buffer[4096];
  int n = 0;
  while ((n = SSL_read(ssl.get(), buffer, sizeof buffer)) > 0) out.answer.append(buffer, static_cast<size_t>(n));
  out.closeNotify = SSL_get_error(ssl.get(), n) == SSL_ERROR_ZERO_RETURN;
  return out;
}

}  // namespace

TEST_F(TlsTest, OnlyClientsThatTrustTheCertificateAndHostAreServedAndOthersDoNotHarmThem) {
  ServerProcess server(Config({}));
  ASSERT_EQ(server.Error(), "");
  const std::string url = Https(server, "/e.sod");
  const std::vector<NamedValue> params = {{"src", com::Bstr(u"a")}, {"rule", com::Bstr(u"b")}};

  HttpClient trusted;
  trusted.SetCaFile(File("ca.pem").string());
  const auto call = [&](HttpClient& client) {
    const Result<HttpReply> reply = client.Post(url, WriteRequest("Convert", params));
    EXPECT_EQ(reply.status().code(), S_OK) << reply.status().message();
    if (!reply.ok()) return std::string();
    EXPECT_EQ(reply->status, 200);
    const Result<Answer> answer = ParseAnswer(reply->body);
    EXPECT_EQ(answer.status().code(), S_OK) << reply->body;
    return !answer.ok() || answer->outputs.empty() ? std::string() : answer->outputs[0].value.ToUtf8();
  };
  EXPECT_EQ(call(trusted), "[a|b]");
  const Result<HttpReply> wsdl = trusted.Get(url + "?wsdl");
  ASSERT_EQ(wsdl.status().code(), S_OK);
  EXPECT_NE(wsdl->body.find("location=\"" + url + "\""), std::string::npos) << wsdl->body;

  // The system's CAs, another CA, and the right CA under a name the
  // certificate does not carry: each refused, saying why.
  const struct {
    std::string caFile, url, says;
  } refused[] = {
      {"", url, "the server's certificate is not trusted: "},
      {File("other-ca.pem").string(), url, "the server's certificate is not trusted: "},
      {File("ca.pem").string(), Https(server, "/e.sod", "localhost"), "does not name the host \"localhost\""},
      {File("missing.pem").string(), url, "missing.pem\" cannot be loaded"},
  };
  for (const auto& r : refused) {
    HttpClient client;
    client.SetCaFile(r.caFile);
    const Result<HttpReply> reply = client.Post(r.url, WriteRequest("Convert", params));
    const std::string error = reply.status().message();
    EXPECT_EQ(reply.status().code(), kHttpSecureFailure) << r.caFile;
    EXPECT_NE(error.find(r.says), std::string::npos) << error;
    EXPECT_FALSE(reply.ok());
  }
  // Plain HTTP at the TLS port fails at once, on both sides.
  HttpClient plain(HttpClient::Options{.timeout = 5000ms, .keepAlive = true});
  const auto started = Clock::now();
  const HRESULT hr =
      plain.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/quor-bench/fixed").status().code();
  EXPECT_TRUE(FAILED(hr) && hr != kHttpTimeout) << std::hex << hr;
  EXPECT_LT(Clock::now() - started, 2s);

  // A streamed answer (chunked, through TLS) reads as the same result returned whole.
  const auto pieces = [&](bool whole) {
    const Result<HttpReply> reply =
        trusted.Post(url, WriteRequest("Pieces", std::vector<NamedValue>{{"text", com::Bstr(u"<tls>\r")},
                                                                         {"count", com::Bstr(u"100000")},
                                                                         {"whole", com::Bstr(whole ? u"1" : u"0")},
                                                                         {"failAfter", com::Bstr(u"-1")},
                                                                         {"status", com::Bstr(u"0")}}));
    EXPECT_EQ(reply.status().code(), S_OK) << reply.status().message();
    if (!reply.ok()) return std::string();
    EXPECT_EQ(reply->status, 200);
    return reply->body;
  };
  const std::string whole = pieces(true);
  EXPECT_GT(whole.size(), Dispatcher::kStreamAfter);
  EXPECT_TRUE(pieces(false) == whole);

  // The kept-alive connection of the first client still serves.
  EXPECT_EQ(call(trusted), "[a|b]");
  EXPECT_TRUE(server.Running());
}

TEST_F(TlsTest, ConnectionsThatNeverHandshakeGoAtTheHeadDeadlineAndDelayNobody) {
  ServerProcess server(Config({"--read-timeout", "2"}));
  ASSERT_EQ(server.Error(), "");
  const UniqueFd silent = Connect(server.Port());
  const UniqueFd started = Connect(server.Port());
  // A handshake record's header, and no more.
  ASSERT_EQ(::send(started.get(), "\x16\x03\x01\x02\x00", 5, MSG_NOSIGNAL), 5);

  std::chrono::milliseconds silentLived{}, startedLived{};
  std::thread watch([&] {
    silentLived = TimeToClose(silent, 5s);
    startedLived = TimeToClose(started, 5s);
  });
  // Meanwhile a new connection per call, each with its own handshake.
  HttpClient client(HttpClient::Options{.timeout = 5000ms, .keepAlive = false});
  client.SetCaFile(File("ca.pem").string());
  for (int i = 0; i < 10; ++i) {
    const auto began = Clock::now();
    const Result<HttpReply> reply = client.Get(Https(server, "/quor-bench/fixed"));
    EXPECT_EQ(reply.status().code(), S_OK);
    EXPECT_EQ(reply.ok() ? reply->status : 0, 200);
    // A call held behind the silent ones would wait their 2 s deadline; a
    // handshake of its own takes well under 1.5 s even under a sanitizer.
    EXPECT_LT(Clock::now() - began, 1500ms);
    std::this_thread::sleep_for(50ms);
  }
  watch.join();
  EXPECT_GE(silentLived, 1900ms);
  EXPECT_LT(silentLived, 3500ms);
  EXPECT_LT(startedLived, 1000ms) << "closed with the first, from the same accept time";
}

TEST_F(TlsTest, PipelinedRequestsTheCapAndTheCloseBehaveAsOverPlainHttp) {
  ServerProcess server(Config({"--max-connections", "2"}));
  ASSERT_EQ(server.Error(), "");
  // Three requests in one go, the last asking to close: three answers, then
  // TLS's close_notify rather than a cut connection.
  const std::string get = "GET /quor-bench/fixed HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string last = "GET /quor-bench/fixed HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  const Exchange piped = TlsExchange(server.Port(), File("ca.pem"), get + get + last);
  size_t answers = 0;
  for (size_t at = piped.answer.find("HTTP/1.1 200 OK\r\n"); at != std::string::npos;
       at = piped.answer.find("HTTP/1.1 200 OK\r\n", at + 1))
    ++answers;
  EXPECT_EQ(answers, 3u) << piped.answer;
  EXPECT_TRUE(piped.closeNotify);

  // Two kept-alive clients fill the cap; a third is told so over TLS.
  std::vector<std::unique_ptr<HttpClient>> held;
  for (int i = 0; i < 2; ++i) {
    held.push_back(std::make_unique<HttpClient>());
    held.back()->SetCaFile(File("ca.pem").string());
    ASSERT_EQ(held.back()->Get(Https(server, "/quor-bench/fixed")).status().code(), S_OK);
  }
  const Exchange busy = TlsExchange(server.Port(), File("ca.pem"), get);
  EXPECT_TRUE(busy.answer.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << busy.answer;
  EXPECT_TRUE(busy.answer.ends_with("\r\n\r\n503 Service Unavailable\n")) << busy.answer;
  EXPECT_TRUE(busy.closeNotify);
  held.clear();
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}

TEST_F(TlsTest, UnusableFilesStopTheServerBeforeItListens) {
  const auto env = Environment({"QUOR_REGISTRY=" + File("r.reg").string()});
  const std::string cert = File("server.pem").string(), key = File("server.key").string();
  const struct {
    std::vector<std::string> args;
    int status;
    std::string_view says;
  } bad[] = {
      {{"--tls-cert", cert}, 2, "--tls-cert and --tls-key go together."},
      {{"--tls-cert", cert, "--tls-key", File("ca.key").string()}, 2, "does not belong to the certificate"},
      {{"--tls-cert", cert, "--tls-key", File("none.key").string()}, 2, "none.key\" cannot be used: No such file"},
      {{"--tls-cert", File("server.csr").string(), "--tls-key", key}, 2, "server.csr\" cannot be used: "},
      {{"--tls-cert", cert, "--tls-key", cert}, 2, "server.pem\" cannot be used: "},
  };
  for (const auto& c : bad) {
    std::vector<std::string> args = {"--port", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = RunProgram((kBin / "quor-server").string(), args, env, files_.Path());
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("listening on 127"), std::string::npos) << r.output;
  }
}
