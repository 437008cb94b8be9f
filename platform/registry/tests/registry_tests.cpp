#include "platform/registry/registry.h"
#include "testing/TempDir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace quor::reg;

namespace {

using TempDir = quor::test::TempDir;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const fs::path& p, std::string_view data) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << data;
}

// The platform's number of a read, with its value stored in `out` on success.
template <typename T>
long Read(quor::Result<T> result, T& out) {
  if (result.ok()) out = std::move(*result);
  return Win32Error(result);
}

class RegistryTest : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path file = dir.Path() / "registry.reg";
};

TEST_F(RegistryTest, EveryValueTypeSurvivesTheFile) {
  const std::vector<std::string> multi = {"first", "zweite \xC3\xA4", "third"};
  std::vector<uint8_t> longBlob;
  for (int i = 0; i < 200; ++i) longBlob.push_back(static_cast<uint8_t>(i * 7));
  const std::vector<uint8_t> blob = {0x00, 0x01, 0xFE, 0xFF};
  const std::string tricky = "C:\\Program Files\\\"Quor\" \xE6\x97\xA5\xE6\x9C\xAC";
  {
    Registry reg(file);
    Key key(reg);
    ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\Velt\\QuorService")), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetString("", "default text")), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetString("HomeDir", tricky)), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetString("Empty", "")), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetString("TwoLines", "line one\nline two")), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetExpandString("Path", "%HOME%/bin")), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetDword("CompressThreshold", 10)), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetDword("Max", 0xFFFFFFFFu)), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetMultiString("Names", multi)), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetMultiString("NoNames", std::vector<std::string>{})), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetBinary("Blob", blob)), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetBinary("LongBlob", longBlob)), ERROR_SUCCESS);
    EXPECT_EQ(Win32Error(key.SetBinary("NoBytes", std::vector<uint8_t>{})), ERROR_SUCCESS);
  }

  const std::string content = ReadAll(file);
  EXPECT_TRUE(content.starts_with("REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n; LastWrite=")) << content;
  EXPECT_NE(content.find("\n\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\QuorService]\n; LastWrite="), std::string::npos)
      << content;
  EXPECT_NE(content.find("@=\"default text\"\n"), std::string::npos) << content;
  EXPECT_NE(content.find("\"HomeDir\"=\"C:\\\\Program Files\\\\\\\"Quor\\\" \xE6\x97\xA5\xE6\x9C\xAC\"\n"),
            std::string::npos)
      << content;
  EXPECT_NE(content.find("\"CompressThreshold\"=dword:0000000a\n"), std::string::npos) << content;
  EXPECT_NE(content.find("\"Blob\"=hex:00,01,fe,ff\n"), std::string::npos) << content;
  EXPECT_NE(content.find("\"TwoLines\"=hex(1):"), std::string::npos) << content;
  EXPECT_NE(content.find("\"Path\"=hex(2):"), std::string::npos) << content;
  for (std::string_view line : {std::string_view(content)}) {
    // No written line is longer than the wrapping width.
    size_t start = 0;
    while (start < line.size()) {
      size_t end = line.find('\n', start);
      EXPECT_LE(end - start, 80u);
      start = end + 1;
    }
  }

  // A second registry object reads the file from scratch.
  Registry again(file);
  Key key(again);
  ASSERT_EQ(Win32Error(key.Open(Hive::LocalMachine, "Software\\Velt\\QuorService")), ERROR_SUCCESS);
  std::string s;
  EXPECT_EQ(Read(key.GetString(""), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "default text");
  EXPECT_EQ(Read(key.GetString("HomeDir"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, tricky);
  EXPECT_EQ(Read(key.GetString("Empty"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "");
  EXPECT_EQ(Read(key.GetString("TwoLines"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "line one\nline two");
  Value v;
  EXPECT_EQ(Read(key.GetValue("Path"), v), ERROR_SUCCESS);
  EXPECT_EQ(v, Value::ExpandString("%HOME%/bin"));
  EXPECT_EQ(Read(key.GetString("Path"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "%HOME%/bin");
  uint32_t n = 0;
  EXPECT_EQ(Read(key.GetDword("CompressThreshold"), n), ERROR_SUCCESS);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(Read(key.GetDword("Max"), n), ERROR_SUCCESS);
  EXPECT_EQ(n, 0xFFFFFFFFu);
  std::vector<std::string> m;
  EXPECT_EQ(Read(key.GetMultiString("Names"), m), ERROR_SUCCESS);
  EXPECT_EQ(m, multi);
  EXPECT_EQ(Read(key.GetMultiString("NoNames"), m), ERROR_SUCCESS);
  EXPECT_TRUE(m.empty());
  std::vector<uint8_t> b;
  EXPECT_EQ(Read(key.GetBinary("Blob"), b), ERROR_SUCCESS);
  EXPECT_EQ(b, blob);
  EXPECT_EQ(Read(key.GetBinary("LongBlob"), b), ERROR_SUCCESS);
  EXPECT_EQ(b, longBlob);
  EXPECT_EQ(Read(key.GetBinary("NoBytes"), b), ERROR_SUCCESS);
  EXPECT_TRUE(b.empty());

  // The raw bytes are what the platform's narrow calls hand out.
  EXPECT_EQ(Read(key.GetValue("CompressThreshold"), v), ERROR_SUCCESS);
  EXPECT_EQ(v.type, ValueType::Dword);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{10, 0, 0, 0}));
  EXPECT_EQ(Read(key.GetValue("Empty"), v), ERROR_SUCCESS);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{0}));

  // Writing the loaded tree again gives the same text.
  const std::string before = ReadAll(file);
  Key other(again);
  ASSERT_EQ(Win32Error(other.Create(Hive::CurrentUser, "Scratch")), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(again.DeleteKeyTree(Hive::CurrentUser, "Scratch")), ERROR_SUCCESS);
  EXPECT_EQ(ReadAll(file), before);
}

TEST_F(RegistryTest, WrongTypeAndMissingGiveThePlatformNumbers) {
  Registry reg(file);
  Key key(reg);
  const quor::Status missing = key.Open(Hive::LocalMachine, "Software\\Nothing");
  EXPECT_EQ(Win32Error(missing), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(IsNotFound(missing));
  EXPECT_EQ(missing.code(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(key.IsOpen());
  std::string s;
  EXPECT_EQ(Read(key.GetString("x"), s), ERROR_INVALID_HANDLE);
  ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\Velt")), ERROR_SUCCESS);
  EXPECT_EQ(Read(key.GetString("Missing"), s), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32Error(key.DeleteValue("Missing")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32Error(key.DeleteSubKeyTree("Missing")), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Win32Error(key.SetDword("Number", 5)), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(key.SetString("Text", "5")), ERROR_SUCCESS);
  EXPECT_EQ(Read(key.GetString("Number"), s), ERROR_DATATYPE_MISMATCH);
  uint32_t n = 0;
  EXPECT_EQ(Read(key.GetDword("Text"), n), ERROR_DATATYPE_MISMATCH);
  std::vector<uint8_t> b;
  EXPECT_EQ(Read(key.GetBinary("Text"), b), ERROR_DATATYPE_MISMATCH);
  // The same key under another hive does not exist.
  Key other(reg);
  EXPECT_EQ(Win32Error(other.Open(Hive::CurrentUser, "Software\\Velt")), ERROR_FILE_NOT_FOUND);
  // Bad names are refused without touching the file.
  const std::string before = ReadAll(file);
  EXPECT_EQ(Win32Error(other.Create(Hive::LocalMachine, "Software\\\\Velt")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Win32Error(other.Create(Hive::LocalMachine, "Software\\Line\nBreak")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Win32Error(key.SetString("Line\nBreak", "x")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Win32Error(reg.DeleteKeyTree(Hive::LocalMachine, "")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadAll(file), before);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\Velt\\QuorService")), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(key.SetString("HomeDir", "/a")), ERROR_SUCCESS);
  bool created = true;
  Key same(reg);
  ASSERT_EQ(Win32Error(same.Create(Hive::LocalMachine, "SOFTWARE\\velt\\QUORSERVICE", &created)), ERROR_SUCCESS);
  EXPECT_FALSE(created);
  EXPECT_EQ(same.Path(), "Software\\Velt\\QuorService");
  ASSERT_EQ(Win32Error(same.SetString("HOMEDIR", "/b")), ERROR_SUCCESS);
  std::string s;
  EXPECT_EQ(Read(key.GetString("homedir"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "/b");
  std::vector<NamedValue> values;
  ASSERT_EQ(Read(key.EnumValues(), values), ERROR_SUCCESS);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "HomeDir");
  Key hklm(reg);
  ASSERT_EQ(Win32Error(hklm.Open(Hive::LocalMachine, "software")), ERROR_SUCCESS);
  EXPECT_EQ(hklm.Path(), "Software");
  Key sub;
  ASSERT_EQ(Win32Error(sub.Open(hklm, "VELT")), ERROR_SUCCESS);
  EXPECT_EQ(sub.Path(), "Software\\Velt");

  EXPECT_EQ(ParseHive("hkey_classes_root"), Hive::ClassesRoot);
  EXPECT_EQ(ParseHive("HKCU"), Hive::CurrentUser);
  EXPECT_FALSE(ParseHive("HKEY_USERS").has_value());
  EXPECT_EQ(HiveName(Hive::LocalMachine), "HKEY_LOCAL_MACHINE");
}

TEST_F(RegistryTest, ValuesAndSubkeysKeepTheirOrder) {
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\Velt\\QuorService\\UserGroup")), ERROR_SUCCESS);
  for (const char* name : {"zeta", "alpha", "mid"}) ASSERT_EQ(Win32Error(key.SetString(name, name)), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(key.SetString("ALPHA", "changed")), ERROR_SUCCESS);
  Key services(reg);
  ASSERT_EQ(Win32Error(services.Create(Hive::LocalMachine, "Software\\Velt\\Services")), ERROR_SUCCESS);
  Key parent(reg);
  ASSERT_EQ(Win32Error(parent.Create(Hive::LocalMachine, "Software\\Velt\\Alpha")), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(parent.Open(Hive::LocalMachine, "Software\\Velt")), ERROR_SUCCESS);

  Registry fresh(file);
  Key reread(fresh);
  ASSERT_EQ(Win32Error(reread.Open(Hive::LocalMachine, "Software\\Velt\\QuorService\\UserGroup")), ERROR_SUCCESS);
  std::vector<NamedValue> values;
  ASSERT_EQ(Read(reread.EnumValues(), values), ERROR_SUCCESS);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "zeta");
  EXPECT_EQ(values[1].name, "alpha");
  EXPECT_EQ(values[1].value, Value::String("changed"));
  EXPECT_EQ(values[2].name, "mid");
  ASSERT_EQ(Win32Error(reread.Open(Hive::LocalMachine, "Software\\Velt")), ERROR_SUCCESS);
  std::vector<std::string> names;
  ASSERT_EQ(Read(reread.EnumSubKeys(), names), ERROR_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::string>{"QuorService", "Services", "Alpha"}));
  NamedValue byIndex;
  ASSERT_EQ(Read(key.EnumValue(2), byIndex), ERROR_SUCCESS);
  EXPECT_EQ(byIndex.name, "mid");
  EXPECT_EQ(Read(key.EnumValue(3), byIndex), ERROR_NO_MORE_ITEMS);
  std::string subName;
  ASSERT_EQ(Read(reread.EnumSubKey(1), subName), ERROR_SUCCESS);
  EXPECT_EQ(subName, "Services");
  EXPECT_EQ(Read(reread.EnumSubKey(3), subName), ERROR_NO_MORE_ITEMS);
  // Deleting a value keeps the order of the others.
  ASSERT_EQ(Win32Error(key.DeleteValue("Zeta")), ERROR_SUCCESS);
  ASSERT_EQ(Read(key.EnumValues(), values), ERROR_SUCCESS);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "alpha");
}

TEST_F(RegistryTest, DeleteTreeRemovesEverythingBelow) {
  Registry reg(file);
  Key deep(reg);
  ASSERT_EQ(Win32Error(deep.Create(Hive::ClassesRoot, "CLSID\\{1}\\InprocServer32")), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(deep.SetString("", "/lib/x.so")), ERROR_SUCCESS);
  Key keep(reg);
  ASSERT_EQ(Win32Error(keep.Create(Hive::ClassesRoot, "CLSID\\{2}")), ERROR_SUCCESS);
  Key clsid(reg);
  ASSERT_EQ(Win32Error(clsid.Open(Hive::ClassesRoot, "CLSID")), ERROR_SUCCESS);
  uint64_t before = 0, after = 0;
  ASSERT_EQ(Read(clsid.LastWrite(), before), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(clsid.DeleteSubKeyTree("{1}")), ERROR_SUCCESS);
  ASSERT_EQ(Read(clsid.LastWrite(), after), ERROR_SUCCESS);
  EXPECT_GT(after, before);

  std::string s;
  EXPECT_EQ(Read(deep.GetString(""), s), ERROR_KEY_DELETED);
  Key probe(reg);
  EXPECT_EQ(Win32Error(probe.Open(Hive::ClassesRoot, "CLSID\\{1}")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32Error(probe.Open(Hive::ClassesRoot, "CLSID\\{2}")), ERROR_SUCCESS);
  const std::string content = ReadAll(file);
  EXPECT_EQ(content.find("{1}"), std::string::npos) << content;
  EXPECT_NE(content.find("[HKEY_CLASSES_ROOT\\CLSID\\{2}]"), std::string::npos) << content;
  // Every key has its section, also an empty one.
  EXPECT_NE(content.find("[HKEY_CLASSES_ROOT\\CLSID]"), std::string::npos) << content;
}

TEST_F(RegistryTest, MissingFileIsAnEmptyRegistryCreatedOnFirstWrite) {
  fs::path nested = dir.Path() / "etc" / "quor" / "registry.reg";
  Registry reg(nested);
  EXPECT_EQ(Win32Error(reg.Check()), ERROR_SUCCESS);
  Key key(reg);
  EXPECT_EQ(Win32Error(key.Open(Hive::LocalMachine, "Software")), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(nested));
  // What a writer killed before its rename left, and another file's.
  fs::create_directories(nested.parent_path());
  std::ofstream(nested.string() + ".tmp.4242") << "half";
  std::ofstream(nested.string() + ".accounts.tmp.4242") << "not ours";
  ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software")), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(nested));
  EXPECT_FALSE(fs::exists(nested.string() + ".tmp.4242"));
  EXPECT_TRUE(fs::exists(nested.string() + ".accounts.tmp.4242"));
  fs::remove(nested.string() + ".accounts.tmp.4242");
  // No temporary file is left behind.
  for (const auto& entry : fs::directory_iterator(nested.parent_path()))
    EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
  // The file disappearing makes the registry empty again.
  fs::remove(nested);
  EXPECT_EQ(Win32Error(key.Open(Hive::LocalMachine, "Software")), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DamagedFilesAreRefusedAndNeverOverwritten) {
  const std::string good =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Velt]\n\"DefaultRealm\"=\"CORP\"\n\"N\"=dword:00000001\n";
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"truncated section header", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Ve"},
      {"truncated string", good.substr(0, good.find("CORP") + 2)},
      {"truncated dword", good.substr(0, good.size() - 3)},
      {"truncated stamp", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n; LastWrite=17967"},
      {"bad value line", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"A\" \"B\"\n"},
      {"bad hex", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"A\"=hex:01,0g\n"},
      {"bad dword", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"A\"=dword:123456789\n"},
      {"bad escape", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"A\"=\"x\\y\"\n"},
      {"unknown hive", "REGEDIT4\n\n[HKEY_USERS\\Software]\n"},
      {"value before any section", "REGEDIT4\n\n\"A\"=\"B\"\n"},
      {"not REGEDIT4", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software]\n"},
      {"not text", std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\So\xff\xfe]\n")},
  };
  for (const auto& [what, content] : damaged) {
    SCOPED_TRACE(what);
    WriteAll(file, content);
    Registry reg(file);
    const quor::Status checked = reg.Check();
    EXPECT_EQ(Win32Error(checked), ERROR_BADDB);
    EXPECT_EQ(checked.code(), HRESULT_FROM_WIN32(ERROR_BADDB));
    const std::string& reason = checked.message();
    EXPECT_NE(reason.find(file.string()), std::string::npos) << reason;
    Key key(reg);
    EXPECT_EQ(Win32Error(key.Open(Hive::LocalMachine, "Software")), ERROR_BADDB);
    EXPECT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\New")), ERROR_BADDB);
    EXPECT_EQ(Win32Error(reg.DeleteKeyTree(Hive::LocalMachine, "Software")), ERROR_BADDB);
    EXPECT_EQ(ReadAll(file), content);
  }
  // A repaired file is read again.
  WriteAll(file, good);
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Open(Hive::LocalMachine, "software\\velt")), ERROR_SUCCESS);
  std::string s;
  EXPECT_EQ(Read(key.GetString("DefaultRealm"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "CORP");
}

TEST_F(RegistryTest, DamageAfterLoadingIsNoticed) {
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\Velt")), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(key.SetString("A", "1")), ERROR_SUCCESS);
  std::string content = ReadAll(file);
  content.resize(content.size() - 3);  // cut inside the last value line
  WriteAll(file, content);
  std::string s;
  EXPECT_EQ(Read(key.GetString("A"), s), ERROR_BADDB);
  EXPECT_EQ(Win32Error(key.SetString("B", "2")), ERROR_BADDB);
  EXPECT_EQ(ReadAll(file), content);
}

TEST_F(RegistryTest, HandEditedFileWithoutStampsLoads) {
  WriteAll(file,
           "\xEF\xBB\xBFREGEDIT4\r\n\r\n; written by hand\r\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\Services]\r\n"
           "\"qsc\"=\"http://%s/QuorService\"\r\n\"Bin\"=hex:01,02,\\\r\n  03\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Velt]\r\n\"DefaultRealm\" = \"CORP\"\r\n");
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Open(Hive::LocalMachine, "Software\\Velt\\Services")), ERROR_SUCCESS);
  std::string s;
  EXPECT_EQ(Read(key.GetString("qsc"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "http://%s/QuorService");
  std::vector<uint8_t> b;
  EXPECT_EQ(Read(key.GetBinary("Bin"), b), ERROR_SUCCESS);
  EXPECT_EQ(b, (std::vector<uint8_t>{1, 2, 3}));
  uint64_t stamp = 0;
  ASSERT_EQ(Read(key.LastWrite(), stamp), ERROR_SUCCESS);
  const auto mtime = fs::last_write_time(file);
  EXPECT_GT(stamp, 0u);
  Key velt(reg);
  ASSERT_EQ(Win32Error(velt.Open(Hive::LocalMachine, "Software\\Velt")), ERROR_SUCCESS);
  EXPECT_EQ(Read(velt.GetString("DefaultRealm"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "CORP");
  // The section of the parent came later but the parent kept its place.
  Key software(reg);
  ASSERT_EQ(Win32Error(software.Open(Hive::LocalMachine, "Software")), ERROR_SUCCESS);
  std::vector<std::string> names;
  ASSERT_EQ(Read(software.EnumSubKeys(), names), ERROR_SUCCESS);
  EXPECT_EQ(names, std::vector<std::string>{"Velt"});
  // Another hand edit changes the stamp of keys without one.
  fs::last_write_time(file, mtime + std::chrono::seconds(5));
  uint64_t later = 0;
  ASSERT_EQ(Read(key.LastWrite(), later), ERROR_SUCCESS);
  EXPECT_GT(later, stamp);
}

TEST_F(RegistryTest, EveryWriteMovesTheStamp) {
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\Velt\\Services")), ERROR_SUCCESS);
  Key parent(reg);
  ASSERT_EQ(Win32Error(parent.Open(Hive::LocalMachine, "Software\\Velt")), ERROR_SUCCESS);
  uint64_t last = 0, parentBefore = 0;
  ASSERT_EQ(Read(key.LastWrite(), last), ERROR_SUCCESS);
  ASSERT_EQ(Read(parent.LastWrite(), parentBefore), ERROR_SUCCESS);
  for (int i = 0; i < 20; ++i) {
    // The same value again still counts as a write.
    ASSERT_EQ(Win32Error(key.SetDword("qsc", 1)), ERROR_SUCCESS);
    uint64_t now = 0;
    ASSERT_EQ(Read(key.LastWrite(), now), ERROR_SUCCESS);
    EXPECT_GT(now, last);
    last = now;
  }
  uint64_t parentAfter = 0;
  ASSERT_EQ(Read(parent.LastWrite(), parentAfter), ERROR_SUCCESS);
  EXPECT_EQ(parentAfter, parentBefore) << "values of a subkey are not the parent's";
  Key child(reg);
  ASSERT_EQ(Win32Error(child.Create(parent, "NewChild")), ERROR_SUCCESS);
  ASSERT_EQ(Read(parent.LastWrite(), parentAfter), ERROR_SUCCESS);
  EXPECT_GT(parentAfter, parentBefore);
  // Stamps survive the file.
  Registry fresh(file);
  Key reread(fresh);
  ASSERT_EQ(Win32Error(reread.Open(Hive::LocalMachine, "Software\\Velt\\Services")), ERROR_SUCCESS);
  uint64_t stored = 0;
  ASSERT_EQ(Read(reread.LastWrite(), stored), ERROR_SUCCESS);
  EXPECT_EQ(stored, last);
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\Threads")), ERROR_SUCCESS);
  constexpr int kThreads = 4, kEach = 15;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Key mine(reg);
      if (!mine.Open(Hive::LocalMachine, "Software\\Threads").ok()) ++failures;
      for (int i = 0; i < kEach; ++i)
        if (!mine.SetDword("t" + std::to_string(t) + "_" + std::to_string(i), static_cast<uint32_t>(i)).ok())
          ++failures;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<NamedValue> values;
  ASSERT_EQ(Read(key.EnumValues(), values), ERROR_SUCCESS);
  EXPECT_EQ(values.size(), static_cast<size_t>(kThreads * kEach));
}

// Each child process writes its own values to the same key.
int WriteValuesInChild(const fs::path& file, int process, int count) {
  Registry reg(file);
  Key key(reg);
  if (!key.Create(Hive::LocalMachine, "Software\\Shared").ok()) return 1;
  for (int i = 0; i < count; ++i) {
    if (!key.SetString("p" + std::to_string(process) + "_" + std::to_string(i), std::to_string(i * process)).ok())
      return 2;
  }
  return 0;
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kEach = 40;
  std::vector<pid_t> children;
  for (int p = 1; p <= 2; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(WriteValuesInChild(file, p, kEach));
    children.push_back(pid);
  }
  // While they write, every state of the file that a reader sees parses.
  int checks = 0, bad = 0;
  std::vector<int> statuses;
  while (statuses.size() < children.size()) {
    for (pid_t& pid : children) {
      int status = 0;
      if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
        statuses.push_back(status);
        pid = 0;
      }
    }
    Registry reader(file);
    if (!reader.Check().ok()) ++bad;
    ++checks;
  }
  for (int status : statuses) {
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_EQ(bad, 0) << "of " << checks << " reads";
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Open(Hive::LocalMachine, "Software\\Shared")), ERROR_SUCCESS);
  std::vector<NamedValue> values;
  ASSERT_EQ(Read(key.EnumValues(), values), ERROR_SUCCESS);
  EXPECT_EQ(values.size(), 2u * kEach);
  for (int p = 1; p <= 2; ++p) {
    for (int i = 0; i < kEach; ++i) {
      std::string s;
      EXPECT_EQ(Read(key.GetString("p" + std::to_string(p) + "_" + std::to_string(i)), s), ERROR_SUCCESS);
      EXPECT_EQ(s, std::to_string(i * p));
    }
  }
}

TEST_F(RegistryTest, AnotherProcessesWriteMovesTheStampSeenHere) {
  Registry reg(file);
  Key key(reg);
  ASSERT_EQ(Win32Error(key.Create(Hive::LocalMachine, "Software\\Velt\\Services")), ERROR_SUCCESS);
  ASSERT_EQ(Win32Error(key.SetString("qsc", "old")), ERROR_SUCCESS);
  uint64_t before = 0;
  ASSERT_EQ(Read(key.LastWrite(), before), ERROR_SUCCESS);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Registry mine(file);
    Key k(mine);
    int rc = k.Open(Hive::LocalMachine, "Software\\Velt\\Services").ok() && k.SetString("qsc", "new").ok() ? 0 : 1;
    ::_exit(rc);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  uint64_t after = 0;
  ASSERT_EQ(Read(key.LastWrite(), after), ERROR_SUCCESS);
  EXPECT_GT(after, before);
  std::string s;
  EXPECT_EQ(Read(key.GetString("qsc"), s), ERROR_SUCCESS);
  EXPECT_EQ(s, "new");
}

TEST_F(RegistryTest, DefaultRegistryFollowsTheEnvironment) {
  ::setenv("QUOR_REGISTRY", file.c_str(), 1);
  Registry& reg = Registry::Default();
  EXPECT_EQ(reg.Path(), file);
  EXPECT_EQ(&Registry::Default(), &reg);
  Key key;  // a key without a registry uses the default one
  ASSERT_EQ(Win32Error(key.Create(Hive::CurrentUser, "Software\\Test")), ERROR_SUCCESS);
  EXPECT_NE(ReadAll(file).find("[HKEY_CURRENT_USER\\Software\\Test]"), std::string::npos);
  ::unsetenv("QUOR_REGISTRY");
  EXPECT_EQ(Registry::Default().Path(), fs::path(Registry::kDefaultPath));
}

}  // namespace
