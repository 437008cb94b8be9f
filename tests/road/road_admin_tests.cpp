// The administration endpoint (the three reloads, for administrators only)
// and the service descriptions of both endpoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "testing/ServerInstance.h"
#include "core/QuorServiceCore.h"
#include "platform/soap/http_client.h"
#include "platform/text/text.h"

namespace quor::admin::testing {
namespace {

constexpr HRESULT kAdministratorOnly = static_cast<HRESULT>(0x8100006B);
constexpr HRESULT kConfigMissing = static_cast<HRESULT>(0x8100002D);
constexpr HRESULT kUserKeyInvalid = static_cast<HRESULT>(0x81000056);

constexpr const char* kReloads[] = {"ReLoadConfig", "ReLoadUnifyTable", "ReLoadTransform"};

class AdminRoad : public RoadTest {
 protected:
  // Every reload answers "<root>0</root>" with a response key.
  void ExpectReloads(CVeltService& client, const std::string& who) {
    for (const char* reload : kReloads) {
      const CallOutcome call = Call(client, reload);
      ASSERT_TRUE(call.ok) << who << " " << reload << ": " << call.fault;
      EXPECT_EQ(call.decoded, "<root>0</root>") << who << " " << reload;
      const auto raw = RawOutputs(client);
      ASSERT_EQ(raw.size(), 2u);
      EXPECT_FALSE(raw[1].value.Empty()) << reload << ": no response key";
    }
  }
  void ExpectRefused(CVeltService& client, const std::string& who) {
    for (const char* reload : kReloads) {
      const CallOutcome call = Call(client, reload);
      EXPECT_FALSE(call.ok) << who << " " << reload;
      EXPECT_EQ(call.status, kAdministratorOnly) << who << " " << reload << ": " << call.fault;
      EXPECT_NE(call.fault.find("Only administrator can execute this function."), std::string::npos) << call.fault;
    }
  }
};

TEST_F(AdminRoad, ReloadsAreForTheAdministratorOfTheAccountStore) {
  InstanceOptions options;
  options.accounts = {{"administrator", "pw"}, {"bob", "bob-pw"}};
  QUOR_START_INSTANCE(options);
  // No AdminUsers: the account named administrator is the administrator.
  auto admin = instance_->SignIn("administrator", "pw");
  auto bob = instance_->SignIn("bob", "bob-pw");
  ASSERT_TRUE(admin && bob);
  ASSERT_NO_FATAL_FAILURE(ExpectReloads(*admin, "administrator"));
  ASSERT_NO_FATAL_FAILURE(ExpectRefused(*bob, "bob"));

  // Refusals are logged with their code.
  size_t refusals = 0;
  for (const LogRow& row : instance_->Rows("bob"))
    refusals += row.description == "Error Code (HRESULT: 0x8100006B)" && row.op.starts_with("ReLoad");
  EXPECT_EQ(refusals, 3u);

  // A reload really reads the folder again: without a data-source definition
  // it fails, and the open repository connection stays as start-up made it.
  const std::filesystem::path definition = instance_->Home() / "config" / "repository.xml";
  const std::filesystem::path aside = instance_->Dir() / "repository.xml";
  std::filesystem::rename(definition, aside);
  CallOutcome failed = Call(*admin, "ReLoadConfig");
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.status, kConfigMissing) << failed.fault;
  CallOutcome count = Call(*admin, "GetLogCount");
  EXPECT_TRUE(count.ok) << count.fault;
  std::filesystem::rename(aside, definition);
  ASSERT_NO_FATAL_FAILURE(ExpectReloads(*admin, "administrator"));

  // A closed session is no key to the administration endpoint.
  admin->EndSession();
  CallOutcome closed = Call(*admin, "ReLoadConfig");
  EXPECT_EQ(closed.status, kUserKeyInvalid) << closed.fault;
}

TEST_F(AdminRoad, TheAdminUsersListReplacesTheDefaultAdministrator) {
  InstanceOptions options;
  options.accounts = {{"administrator", "pw"}, {"bob", "bob-pw"}};
  options.adminUsers = "bob";
  QUOR_START_INSTANCE(options);
  auto admin = instance_->SignIn("administrator", "pw");
  auto bob = instance_->SignIn("bob", "bob-pw");
  ASSERT_TRUE(admin && bob);
  ASSERT_NO_FATAL_FAILURE(ExpectReloads(*bob, "bob"));
  ASSERT_NO_FATAL_FAILURE(ExpectRefused(*admin, "administrator"));
}

TEST_F(AdminRoad, ReloadsAreForTheDirectorysAdminGroup) {
  InstanceOptions options;
  options.directory = Directory::Ldap;
  options.adminGroupName = "Admins";
  QUOR_START_INSTANCE(options);
  auto alice = instance_->SignIn("alice", "alice-pw-1");
  auto bob = instance_->SignIn("bob", "bob-pw-2");
  ASSERT_TRUE(alice && bob);
  ASSERT_NO_FATAL_FAILURE(ExpectReloads(*alice, "alice"));
  ASSERT_NO_FATAL_FAILURE(ExpectRefused(*bob, "bob"));
  // The same group names the administrators' list.
  CallOutcome admins = Call(*bob, "GetAdminUserList");
  ASSERT_TRUE(admins.ok) << admins.fault;
  EXPECT_EQ(admins.decoded, "<root><user>alice</user></root>");
}

// ---- Service descriptions -----------------------------------------------------------

// The operations of the main component's interface, in dispatch order (1 to 98).
const std::vector<std::string> kInterface = {
    "PutShareField", "GetShareField", "UpdateShareField", "RemoveShareField", "GetShareFieldList",
    "GetShareFieldURIList", "PutMessage", "GetMessage", "UpdateMessage", "RemoveMessage", "StartSharing",
    "EndSharing", "SaveSharing", "GetAttendeesList", "ChangeOwner", "AddAttendee", "DeleteAttendee",
    "PutCollabLog", "GetCategoryLogIDList", "DeleteACL", "DeleteACLEntry", "Exec", "GetACL", "GetACLEntry",
    "GetApplicationShareURL", "GetLog", "GetLogCount", "GetLogIDList", "GetLogs", "GetResumeIDList",
    "GetVideoConferenceListURL", "GetVideoConferenceURL", "GetVOURIList", "PutACL", "PutACLEntry", "PutLog",
    "GetVOContent", "GetVOContentbyURI", "GetVOList", "GetVOResourceURI", "GetVOResourceURIList",
    "GetVOResourceURL", "PutVOContent", "PutVOResource", "Query", "RemoveVOContent", "RemoveVOContentbyURI",
    "RemoveVOResource", "ResumeServiceProcess", "UpdateACL", "UpdateACLEntry", "UpdateVOContent",
    "UpdateVOContentbyURI", "UpdateVOResource", "CreateTicket", "OpenSession", "CloseSession",
    "GetCompressThreshold", "GetAdminUserList", "GetGroupList", "GetGroupUserList", "GetAllVOList",
    "GetAllVOURIList", "GetAllVOUserList", "GetVOURI", "GetVOAttribute", "GetShareFieldAttribute",
    "GetShareFieldURI", "LockVO", "UnlockVO", "GetVOContentwithLock", "GetVOContentbyURIwithLock",
    "UpdateVOContentwithUnlock", "UpdateVOContentbyURIwithUnlock", "PutVOURI", "RemoveVOURI", "GetLogbyUser",
    "GetCategoryLogbyUser", "GetOwnGroupList", "UpdateVOResourceURL", "PutVOResourcewithAttribute",
    "UpdateVOResourceAttribute", "RemoveVOResourceAttribute", "UpdateVOResourceProps", "GetVOResourceAttribute",
    "GetVOResourceAttributeList", "GetAllVOResourceAttributeList", "GetVOResourceModuleNameList",
    "GetResourceACL", "GetResourceACLEntry", "PutResourceACL", "PutResourceACLEntry", "UpdateResourceACL",
    "UpdateResourceACLEntry", "DeleteResourceACL", "DeleteResourceACLEntry", "GetConferenceManagerURL",
    "GetVOResourceUpdate"};

struct Shape {
  std::set<std::string> request;      // elements a request may carry
  std::vector<std::string> response;  // in order
};

// What a WSDL says: operation -> request and response elements.
struct Description {
  std::vector<std::string> portTypeOperations, bindingOperations;
  std::map<std::string, Shape> shapes;
  std::string location;
};

Description ReadWsdl(const std::string& text) {
  Description d;
  const xml::DocumentPtr doc = xml::Document::Create();
  EXPECT_TRUE(doc->loadXML(text)) << "not well-formed: " << doc->parseError().reason;
  const xml::NodePtr root = doc->documentElement();
  if (!root) return d;
  EXPECT_EQ(root->nodeName(), "wsdl:definitions");
  const auto names = [](const xml::NodePtr& parent, std::string_view element) {
    std::vector<std::string> out;
    for (const xml::NodePtr& child : parent->childNodes())
      if (child->nodeName() == element) out.push_back(child->getAttribute("name").value_or(""));
    return out;
  };
  for (const xml::NodePtr& part : root->childNodes()) {
    const std::string name = part->nodeName();
    if (name == "wsdl:portType") d.portTypeOperations = names(part, "wsdl:operation");
    if (name == "wsdl:binding") d.bindingOperations = names(part, "wsdl:operation");
    if (name == "wsdl:service") {
      const xml::NodePtr port = part->firstChild();
      const xml::NodePtr address = port ? port->firstChild() : nullptr;
      if (address) d.location = address->getAttribute("location").value_or("");
    }
    if (name != "wsdl:types") continue;
    const xml::NodePtr schema = part->firstChild();
    if (!schema) continue;
    for (const xml::NodePtr& element : schema->childNodes()) {
      std::string elementName = element->getAttribute("name").value_or("");
      const xml::NodePtr type = element->firstChild();
      const xml::NodePtr group = type ? type->firstChild() : nullptr;
      if (!group) continue;
      const std::vector<std::string> parts = names(group, "xsd:element");
      if (elementName.ends_with("Response")) {
        d.shapes[elementName.substr(0, elementName.size() - 8)].response = parts;
      } else if (elementName != "errorInfo") {
        d.shapes[elementName].request = std::set<std::string>(parts.begin(), parts.end());
      }
    }
  }
  return d;
}

class Wsdl : public RoadTest {
 protected:
  std::string Fetch(const std::string& url) {
    soap::HttpClient http;
    const Result<soap::HttpReply> reply = http.Get(url);
    EXPECT_EQ(reply.status().code(), S_OK) << reply.status().message();
    if (!reply.ok()) return {};
    EXPECT_EQ(reply->status, 200) << url;
    return reply->body;
  }
};

TEST_F(Wsdl, NamesEveryOperationOfBothEndpointsWithItsParameters) {
  QUOR_START_INSTANCE(InstanceOptions{});

  // The main component: its 98 operations, each with the parameters of the core's table.
  const std::string coreText = Fetch(instance_->CoreUrl() + "?wsdl");
  EXPECT_EQ(Fetch(instance_->Url("/QuorService/QuorServiceCore.wsdl")), coreText);
  const Description core = ReadWsdl(coreText);
  EXPECT_EQ(core.location, instance_->CoreUrl());
  std::vector<std::string> sortedInterface = kInterface, listed = core.portTypeOperations;
  std::sort(sortedInterface.begin(), sortedInterface.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, sortedInterface);
  EXPECT_EQ(core.bindingOperations, core.portTypeOperations);

  std::map<std::string, Shape> expected;
  for (const core::CQuorServiceCore::Operation& op : core::CQuorServiceCore::Operations()) {
    Shape& shape = expected[text::Narrow(op.name)];
    shape.request = {"user", "reskey"};
    for (size_t i = 0; i < op.count; ++i) shape.request.insert(text::Narrow(op.params[i]));
    shape.response = {"result", "reskey"};
  }
  EXPECT_EQ(expected.size(), 94u);  // all but Exec and the three sign-in operations
  expected["Exec"] = {{"user", "command", "reskey"}, {"result", "reskey"}};
  expected["CreateTicket"] = {{"authority", "realm", "principal", "credential", "fullPrincipal"},
                              {"ticket", "fullPrincipal"}};
  expected["OpenSession"] = {{"service", "ticket", "tokenScheme", "tokenSeed", "sessionKey", "verifier"},
                             {"locator", "sessionKey", "verifier"}};
  expected["CloseSession"] = {{"sessionKey", "verifier"}, {"result"}};
  for (const std::string& name : kInterface) {
    ASSERT_TRUE(expected.count(name)) << name << " is missing from the core's operation table";
    ASSERT_TRUE(core.shapes.count(name)) << name << " has no request element";
    EXPECT_EQ(core.shapes.at(name).request, expected.at(name).request) << name;
    EXPECT_EQ(core.shapes.at(name).response, expected.at(name).response) << name;
  }
  EXPECT_EQ(core.shapes.at("PutVOResourcewithAttribute").request.size(), 11u);

  // The administration component: the three reloads.
  const Description admin = ReadWsdl(Fetch(instance_->AdminUrl() + "?wsdl"));
  EXPECT_EQ(admin.location, instance_->AdminUrl());
  EXPECT_EQ(admin.portTypeOperations, (std::vector<std::string>{"ReLoadUnifyTable", "ReLoadTransform", "ReLoadConfig"}));
  for (const char* reload : kReloads) {
    ASSERT_TRUE(admin.shapes.count(reload)) << reload;
    EXPECT_EQ(admin.shapes.at(reload).request, (std::set<std::string>{"user", "reskey"})) << reload;
    EXPECT_EQ(admin.shapes.at(reload).response, (std::vector<std::string>{"result", "reskey"})) << reload;
  }
}

}  // namespace
}  // namespace quor::admin::testing
