// The console's client and quor-call signed in over HTTPS, with the CA file
// given, from the registry, or missing.
#include <gtest/gtest.h>

#include <string>

#include "testing/ServerInstance.h"
#include "testing/TlsFiles.h"

namespace quor::admin::testing {
namespace {

class TlsRoad : public RoadTest {};

TEST_F(TlsRoad, SignedInCallsOverHttpsTrustOnlyTheNamedCa) {
  st::TempDir files;
  std::string error;
  ASSERT_TRUE(st::MakeTlsFiles(files.Path(), error)) << error;
  const std::string ca = (files.Path() / "ca.pem").string();
  InstanceOptions options;
  options.accounts = {{"administrator", "pw"}};
  options.adminUsers = "administrator";
  options.serverArgs = {"--tls-cert", (files.Path() / "server.pem").string(), "--tls-key",
                        (files.Path() / "server.key").string()};
  QUOR_START_INSTANCE(options);
  ASSERT_TRUE(instance_->CoreUrl().starts_with("https://")) << instance_->CoreUrl();

  // The CA file given: sign-in, a call with its response key checked, sign-out.
  {
    CVeltService client;
    client.SetCaFile(ca);
    ASSERT_EQ(client.Connect(instance_->CoreUrl(), "administrator", "pw"), 0) << client.FormatFault();
    const CallOutcome admins = Call(client, "GetAdminUserList");
    ASSERT_TRUE(admins.ok) << admins.fault;
    EXPECT_EQ(admins.decoded, "<root><user>administrator</user></root>");
    EXPECT_TRUE(client.CloseSession()) << client.FormatFault();
  }
  // No CA file: the system's trust store does not know the test CA.
  {
    CVeltService client;
    EXPECT_EQ(client.Connect(instance_->CoreUrl(), "administrator", "pw"), -7);
    EXPECT_NE(client.FormatFault().find("the server's certificate is not trusted"), std::string::npos)
        << client.FormatFault();
  }
  // The console's setting: the CAFile value of the QuorService key.
  ASSERT_NO_FATAL_FAILURE(instance_->SetServiceValue("CAFile", ca));
  {
    CVeltService client;
    ASSERT_EQ(client.Connect(instance_->CoreUrl(), "administrator", "pw"), 0) << client.FormatFault();
    client.EndSession();
  }
  ASSERT_NO_FATAL_FAILURE(instance_->SetServiceValue("CAFile", std::nullopt));

  // quor-call with --ca-file, and without.
  const std::string program = std::string(QUOR_BIN_DIR) + "/quor-call";
  const auto env = st::Environment({});
  st::RunResult r = RunWithInput(program, {"--url", instance_->CoreUrl(), "--ca-file", ca, "administrator"}, env,
                                 instance_->Dir(), "pw\n");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("signed in as "), std::string::npos) << r.output;
  r = RunWithInput(program, {"--url", instance_->CoreUrl(), "administrator"}, env, instance_->Dir(), "pw\n");
  EXPECT_EQ(r.status, 3) << r.output;
  EXPECT_NE(r.output.find("not trusted"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace quor::admin::testing
