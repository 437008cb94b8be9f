// Failed sign-ins held back, over real HTTP against quor-server: a principal
// past the limit is refused with its right password exactly as with a wrong
// one until the delay has passed, and the event log says so; a client at
// another address signing in as another principal is not held back; a
// session left idle too long ends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "testing/ServerInstance.h"
#include "platform/base/unique_fd.h"
#include "platform/registry/registry.h"
#include "platform/soap/envelope.h"

namespace quor::admin::testing {
namespace {

using namespace std::chrono_literals;

// One CreateTicket over a connection from `from` (a loopback address): the
// whole HTTP answer, empty when the client address cannot be bound.
std::string CreateTicketFrom(const char* from, int port, std::string_view user, std::string_view password) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{}, server{};
  local.sin_family = server.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  server.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
    return {};
  const soap::NamedValue params[] = {{"authority", com::Bstr(u"")},
                                     {"realm", com::Bstr(u"")},
                                     {"principal", com::Bstr::FromUtf8(user)},
                                     {"credential", com::Bstr::FromUtf8(password)}};
  const std::string body = soap::WriteRequest("CreateTicket", params);
  const std::string request = "POST " + std::string(soap::kCorePath) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                              "Content-Type: text/xml; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
    return {};
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  // Without the head, whose Date may differ.
  const size_t head = answer.find("\r\n\r\n");
  return head == std::string::npos ? answer : answer.substr(head + 4);
}

class SignInLimitRoad : public RoadTest {};

TEST_F(SignInLimitRoad, AHeldBackPrincipalIsRefusedLikeAWrongPasswordAndIdleSessionsEnd) {
  InstanceOptions options;
  options.accounts = {{"administrator", "pw"}, {"bob", "bob-pw"}};
  QUOR_START_INSTANCE(options);
  ASSERT_NO_FATAL_FAILURE(RestartWith(
      {{"SignInFailureLimit", 3}, {"SignInDelaySeconds", 4}, {"SignInDelayMaxSeconds", 4}, {"SessionIdleSeconds", 3}}));
  auto idle = instance_->SignIn("bob", "bob-pw");
  ASSERT_TRUE(idle);
  const int port = std::stoi(instance_->CoreUrl().substr(instance_->CoreUrl().rfind(':') + 1));

  const std::string wrong = CreateTicketFrom("127.0.0.1", port, "administrator", "pw-wrong");
  Result<soap::Answer> answer = soap::ParseAnswer(wrong);
  ASSERT_EQ(answer.status().code(), S_OK) << answer.status().message() << wrong;
  ASSERT_TRUE(answer->isFault);
  for (int i = 2; i <= 3; ++i) ASSERT_EQ(CreateTicketFrom("127.0.0.1", port, "administrator", "pw-wrong"), wrong);
  const auto heldSince = std::chrono::steady_clock::now();

  // The right password now answers byte for byte like a wrong one, from any address.
  EXPECT_EQ(CreateTicketFrom("127.0.0.1", port, "administrator", "pw"), wrong);
  const std::string other = CreateTicketFrom("127.0.0.2", port, "administrator", "pw");
  if (other.empty()) GTEST_SKIP() << "127.0.0.2 cannot be bound here";
  EXPECT_EQ(other, wrong);
  // Another principal at another address signs in.
  const std::string bob = CreateTicketFrom("127.0.0.2", port, "bob", "bob-pw");
  answer = soap::ParseAnswer(bob);
  ASSERT_EQ(answer.status().code(), S_OK) << answer.status().message() << bob;
  EXPECT_FALSE(answer->isFault) << bob;
  EXPECT_LT(std::chrono::steady_clock::now() - heldSince, 4s) << "too slow to see the delay";

  const std::string events = instance_->Events();
  EXPECT_NE(events.find("principal \"administrator\""), std::string::npos) << events;
  EXPECT_NE(events.find("address 127.0.0.1"), std::string::npos) << events;

  std::this_thread::sleep_until(heldSince + 4s + 200ms);
  auto client = instance_->SignIn("administrator", "pw");
  ASSERT_TRUE(client);
  EXPECT_TRUE(Call(*client, "GetLogCount").ok);
  // A session unused for longer than its idle lifetime answers as a closed one.
  EXPECT_EQ(Call(*idle, "GetLogCount").status, static_cast<HRESULT>(0x81000078));
}

TEST_F(SignInLimitRoad, OneUsersFailuresDoNotHoldBackItsNeighboursButGuessingAcrossNamesIs) {
  InstanceOptions options;
  options.accounts = {{"administrator", "pw"}, {"bob", "bob-pw"}};
  QUOR_START_INSTANCE(options);
  ASSERT_NO_FATAL_FAILURE(RestartWith({{"SignInAddressFailureLimit", 8}, {"SignInDelaySeconds", 30}}));
  const int port = std::stoi(instance_->CoreUrl().substr(instance_->CoreUrl().rfind(':') + 1));
  const auto signsIn = [&](const char* from, std::string_view user, std::string_view password) {
    const Result<soap::Answer> answer = soap::ParseAnswer(CreateTicketFrom(from, port, user, password));
    return answer.ok() && !answer->isFault;
  };

  // Five wrong passwords for bob hold bob back, not administrator beside him.
  for (int i = 0; i < 5; ++i) ASSERT_FALSE(signsIn("127.0.0.1", "bob", "wrong"));
  EXPECT_FALSE(signsIn("127.0.0.1", "bob", "bob-pw"));
  EXPECT_TRUE(signsIn("127.0.0.1", "administrator", "pw"));
  // Names guessed from the address until it has 8 failures: then every
  // attempt from it waits, while another address goes on.
  for (const char* name : {"carol", "dave"}) ASSERT_FALSE(signsIn("127.0.0.1", name, "guess"));
  EXPECT_TRUE(signsIn("127.0.0.1", "administrator", "pw"));
  ASSERT_FALSE(signsIn("127.0.0.1", "erin", "guess"));
  EXPECT_FALSE(signsIn("127.0.0.1", "administrator", "pw"));
  if (CreateTicketFrom("127.0.0.2", port, "administrator", "pw").empty())
    GTEST_SKIP() << "127.0.0.2 cannot be bound here";
  EXPECT_TRUE(signsIn("127.0.0.2", "administrator", "pw"));
}

}  // namespace
}  // namespace quor::admin::testing
