// The console's registry values under Software\Velt, the search for a
// component's class key, and the console's trace file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "admin/ConsoleLog.h"
#include "admin/RegistryAccess.h"
#include "admin/XmlDocument.h"
#include "platform/registry/registry.h"
#include "testing/TempDir.h"

namespace quor::admin {
namespace {

namespace stdfs = std::filesystem;

// A registry file of its own per test, and a scratch folder.
class ConsoleRegistryTest : public ::testing::Test {
 protected:
  quor::test::TempDir temp_{"quor-admin-reg"};
  ConsoleRegistryTest() {
    dir_ = temp_.Path();
    ::setenv("QUOR_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
  }

  static reg::Key Create(reg::Hive hive, std::string_view path) {
    reg::Key key;
    EXPECT_EQ(reg::Win32Error(key.Create(hive, path)), reg::ERROR_SUCCESS) << path;
    return key;
  }

  static std::string ReadAll(const stdfs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  static std::vector<std::string> Lines(const stdfs::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadAll(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  stdfs::path dir_;
  RegistryAccess registry_;
};

TEST_F(ConsoleRegistryTest, TextsAreReadAndWrittenUnderSoftwareVelt) {
  EXPECT_TRUE(Create(reg::Hive::LocalMachine, "Software\\Velt").SetString("Log", "ON").ok());
  EXPECT_TRUE(Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService").SetString("HomeDir", "/srv/quor").ok());

  EXPECT_TRUE(Create(reg::Hive::LocalMachine, "Software\\Velt\\Services")
                  .SetString("qsc", "http://h/QuorServiceCore.sod")
                  .ok());

  // An empty key is Software\Velt itself; values are not inherited by subkeys.
  EXPECT_EQ(registry_.ReadText("", "Log"), "ON");
  EXPECT_EQ(registry_.ReadText("QuorService", "Log"), "");
  EXPECT_EQ(registry_.ReadServiceText("HomeDir"), "/srv/quor");
  EXPECT_EQ(registry_.ReadText("QUORSERVICE", "homedir"), "/srv/quor");
  EXPECT_EQ(registry_.ReadServicesText("qsc"), "http://h/QuorServiceCore.sod");
  EXPECT_EQ(registry_.ReadServiceText("Missing"), "");
  EXPECT_EQ(registry_.ReadText("No\\Such\\Key", "Log"), "");

  // Writes create the key and store the text as it is.
  const std::string text = "C:\\Quor Home\\日本語 & <more>, " + std::string(300, 'x');
  registry_.WriteText("Fresh\\Sub", "Value", text);
  reg::Key key;
  ASSERT_EQ(reg::Win32Error(key.Open(reg::Hive::LocalMachine, "Software\\Velt\\Fresh\\Sub")), reg::ERROR_SUCCESS);
  const auto stored = key.GetString("Value");
  ASSERT_EQ(reg::Win32Error(stored), reg::ERROR_SUCCESS);
  EXPECT_EQ(*stored, text);
  EXPECT_EQ(registry_.ReadText("Fresh\\Sub", "Value"), text);
  registry_.WriteServiceText("UserName", "");
  EXPECT_EQ(registry_.ReadServiceText("UserName"), "");
  ASSERT_EQ(reg::Win32Error(key.Open(reg::Hive::LocalMachine, "Software\\Velt\\QuorService")), reg::ERROR_SUCCESS);
  EXPECT_EQ(reg::Win32Error(key.GetString("UserName")), reg::ERROR_SUCCESS);
}

TEST_F(ConsoleRegistryTest, NumbersReadAsNumbersAndAsDecimalText) {
  reg::Key service = Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService");
  EXPECT_TRUE(service.SetDword("CompressThreshold", 4096).ok());
  EXPECT_TRUE(service.SetString("Text", "12").ok());

  EXPECT_EQ(registry_.ReadNumber("QuorService", "CompressThreshold"), 4096u);
  EXPECT_EQ(registry_.ReadServiceNumberText("CompressThreshold"), "4096");
  // A missing value, or one of another type, reads as 0; a missing key gives
  // no text at all.
  EXPECT_EQ(registry_.ReadNumber("QuorService", "RowCount"), 0u);
  EXPECT_EQ(registry_.ReadServiceNumberText("RowCount"), "0");
  EXPECT_EQ(registry_.ReadNumber("QuorService", "Text"), 0u);
  EXPECT_EQ(registry_.ReadNumberText("QuorService", "Text"), "0");
  EXPECT_EQ(registry_.ReadNumber("Missing", "RowCount"), 0u);
  EXPECT_EQ(registry_.ReadNumberText("Missing", "RowCount"), "");

  registry_.WriteNumber("QuorService", "RowCount", "25");
  registry_.WriteNumber("New\\Key", "Big", "4294967295");
  const auto number = service.GetDword("RowCount");
  ASSERT_EQ(reg::Win32Error(number), reg::ERROR_SUCCESS);
  EXPECT_EQ(*number, 25u);
  EXPECT_EQ(registry_.ReadNumberText("New\\Key", "Big"), "4294967295");
}

TEST_F(ConsoleRegistryTest, SubkeysAreListedInOrderJoinedWithCommas) {
  Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService\\ServiceInfo\\staging");
  Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService\\ServiceInfo\\local\\deeper");
  Create(reg::Hive::LocalMachine, "Software\\Velt\\QuorService\\ServiceInfo\\Alpha");

  EXPECT_EQ(registry_.ListSubkeys("SOFTWARE\\Velt\\QuorService\\ServiceInfo"), "staging,local,Alpha");
  EXPECT_EQ(registry_.ListSubkeys("Software\\Velt\\QuorService\\ServiceInfo\\local"), "deeper");
  EXPECT_EQ(registry_.ListSubkeys("Software\\Velt\\QuorService\\ServiceInfo\\Alpha"), "");
  EXPECT_EQ(registry_.ListSubkeys("Software\\Velt\\Nothing"), "");
}

TEST_F(ConsoleRegistryTest, ProgIdKeyIsTheFirstClassKeyBeginningWithTheFileBaseName) {
  EXPECT_EQ(FindProgIdKey("/usr/lib/quor/FlatConvert.so"), "");

  Create(reg::Hive::ClassesRoot, "CLSID");
  Create(reg::Hive::ClassesRoot, "GridPage.TransXHTML.1");
  Create(reg::Hive::ClassesRoot, "FlatConvert.TransCSV.1");
  Create(reg::Hive::ClassesRoot, "FlatConvert.TransCSV");
  Create(reg::Hive::LocalMachine, "Software\\Classes\\Other.Thing");

  EXPECT_EQ(FindProgIdKey("C:\\Program Files\\Quor\\FlatConvert.dll"), "FlatConvert.TransCSV.1");
  EXPECT_EQ(FindProgIdKey("/usr/lib/quor/GridPage.so"), "GridPage.TransXHTML.1");
  EXPECT_EQ(FindProgIdKey("FlatConvert"), "FlatConvert.TransCSV.1");
  // Only the last dot starts the extension; folders with dots do not count.
  EXPECT_EQ(FindProgIdKey("lib.d\\FlatConvert.TransCSV.dll"), "FlatConvert.TransCSV.1");
  EXPECT_EQ(FindProgIdKey("GridPage.TransXHTML.1.dll"), "GridPage.TransXHTML.1");
  // Case counts, and keys elsewhere are not searched.
  EXPECT_EQ(FindProgIdKey("flatconvert.dll"), "");
  EXPECT_EQ(FindProgIdKey("Other.dll"), "");
  // A path without a base name names no component.
  EXPECT_EQ(FindProgIdKey(""), "");
  EXPECT_EQ(FindProgIdKey("C:\\lib\\.dll"), "");
  EXPECT_EQ(FindProgIdKey("/usr/lib/"), "");
}

// ---- The trace file ---------------------------------------------------------------

// Runs in the scratch folder; the process-wide log is closed again afterwards.
class ConsoleLogTest : public ConsoleRegistryTest {
 protected:
  void SetUp() override {
    previous_ = stdfs::current_path();
    stdfs::current_path(dir_);
  }
  void TearDown() override {
    ConsoleLog::Instance().Close();
    ConsoleLog::Instance().SetPrefix("");
    stdfs::current_path(previous_);
  }

  stdfs::path LogFile() const { return dir_ / "VeltLog.log"; }

  stdfs::path previous_;
};

// "<prefix> YYYY-mm-dd HH:MM:SS <text>", the time local and close to now.
void ExpectLogLine(const std::string& line, const std::string& prefix, const std::string& text) {
  static const std::regex shape(R"(^(.*) (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) (.*)$)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
  EXPECT_EQ(match[1].str(), prefix) << line;
  EXPECT_EQ(match[3].str(), text) << line;
  std::tm stamp{};
  ASSERT_NE(::strptime(match[2].str().c_str(), "%Y-%m-%d %H:%M:%S", &stamp), nullptr);
  stamp.tm_isdst = -1;
  EXPECT_LE(std::abs(std::difftime(std::mktime(&stamp), std::time(nullptr))), 120.0) << line;
}

TEST_F(ConsoleLogTest, LinesCarryPrefixLocalTimeAndTextAndAreAppended) {
  ConsoleLog& log = ConsoleLog::Instance();
  log.Close();
  log.Write("not written: the log is closed");
  EXPECT_FALSE(stdfs::exists(LogFile()));

  log.Open();
  ASSERT_TRUE(log.IsOpen());
  log.SetPrefix("");
  log.Write("first");
  log.SetPrefix("QuorAdmin");
  log.Write("second, with 100% of it");
  log.WriteError(-2147012867);
  log.Close();
  EXPECT_FALSE(log.IsOpen());
  log.Write("after close");

  // Opening again appends to what is there.
  log.Open();
  log.Write("again");
  log.Open();  // reopening closes the earlier handle first
  log.Write("reopened");
  log.Close();

  const std::vector<std::string> lines = Lines(LogFile());
  ASSERT_EQ(lines.size(), 5u);
  ASSERT_EQ(lines[0].front(), ' ');  // an empty prefix leaves the leading blank
  ExpectLogLine(lines[0], "", "first");
  ExpectLogLine(lines[1], "QuorAdmin", "second, with 100% of it");
  ExpectLogLine(lines[2], "QuorAdmin", "Error (-2147012867)");
  ExpectLogLine(lines[3], "QuorAdmin", "again");
  ExpectLogLine(lines[4], "QuorAdmin", "reopened");
}

TEST_F(ConsoleLogTest, ALogFileThatCannotBeOpenedLeavesTheLogOff) {
  ASSERT_TRUE(stdfs::create_directory(LogFile()));
  ConsoleLog& log = ConsoleLog::Instance();
  log.Open();
  EXPECT_FALSE(log.IsOpen());
  log.Write("goes nowhere");
  EXPECT_TRUE(stdfs::is_empty(LogFile()));
}

TEST_F(ConsoleLogTest, AFailedSaveIsWrittenToTheLog) {
  ConsoleLog::Instance().Open();
  CXmlDocument doc;
  ASSERT_EQ(doc.CreateRoot("root", ""), S_OK);
  const std::string target = (dir_ / "missing" / "conn.xml").string();
  EXPECT_TRUE(FAILED(doc.Save(target)));
  ConsoleLog::Instance().Close();
  const std::vector<std::string> lines = Lines(LogFile());
  ASSERT_FALSE(lines.empty());
  ExpectLogLine(lines.back(), "", "Unable to save " + target + ".");
}

// A loopback port that nothing listens on (taken and given back).
int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The switch itself is read once per process, when the log is first used:
// quor-call shows it from the outside, in a folder of its own.
TEST_F(ConsoleLogTest, TheLogValueSwitchesTheFileOnInAFreshProcess) {
  const std::string url = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/QuorService/QuorServiceCore.sod";
  const std::string program = std::string(QUOR_BIN_DIR) + "/quor-call";
  int run = 0;
  for (const char* value : {"ON", "on", "off", "yes", ""}) {
    const stdfs::path folder = dir_ / ("run" + std::to_string(run++));
    stdfs::create_directory(folder);
    EXPECT_TRUE(Create(reg::Hive::LocalMachine, "Software\\Velt").SetString("Log", value).ok());
    const std::string command = "cd '" + folder.string() + "' && QUOR_PASSWORD='pw-Secret' '" + program +
                                "' --url '" + url + "' alice >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << value;
    EXPECT_EQ(WEXITSTATUS(status), 3) << value;  // the sign-in cannot reach anyone

    const stdfs::path file = folder / "VeltLog.log";
    if (std::string_view(value) != "ON" && std::string_view(value) != "on") {
      EXPECT_FALSE(stdfs::exists(file)) << value;
      continue;
    }
    ASSERT_TRUE(stdfs::exists(file)) << value;
    const std::vector<std::string> lines = Lines(file);
    ASSERT_GE(lines.size(), 3u);
    ExpectLogLine(lines[0], "", "CVeltService Start");
    ExpectLogLine(lines[1], "", "CVeltService Started");
    // A sign-in request is logged by its method alone: it carries the password.
    ExpectLogLine(lines[2], "", "CreateTicket");
    EXPECT_EQ(ReadAll(file).find("pw-Secret"), std::string::npos);
    EXPECT_NE(ReadAll(file).find(url), std::string::npos);
  }
}

}  // namespace
}  // namespace quor::admin
