#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/eventlog/eventlog.h"
#include "platform/text/text.h"

using namespace quor::eventlog;

namespace {

std::vector<Entry> ReadEntries(const std::string& path) {
  std::ifstream in(path);
  std::vector<Entry> entries;
  for (std::string line; std::getline(in, line);) {
    Entry e;
    EXPECT_TRUE(ParseLine(line, e)) << line;
    entries.push_back(e);
  }
  return entries;
}

}  // namespace

TEST(EventLog, EntriesReachTheFileWithTheirStrings) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("quor-events-" + std::to_string(::getpid()) + ".log")).string();
  std::filesystem::remove(path);
  ::setenv("QUOR_EVENTLOG", path.c_str(), 1);

  EventSource source("QuorService");
  source.Report(EventType::Error, 1000, {"[0x81000004] failure", "line\nwith\ttab and \\"});
  source.Report(EventType::Information, 7, {});
  EventSource("Other").Report(EventType::Warning, 2, {""});

  const auto entries = ReadEntries(path);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].source, "QuorService");
  EXPECT_EQ(entries[0].type, "Error");
  EXPECT_EQ(entries[0].eventId, 1000u);
  EXPECT_EQ(entries[0].strings, (std::vector<std::string>{"[0x81000004] failure", "line\nwith\ttab and \\"}));
  EXPECT_EQ(entries[1].type, "Information");
  EXPECT_TRUE(entries[1].strings.empty());
  EXPECT_EQ(entries[2].source, "Other");
  EXPECT_EQ(entries[2].strings, std::vector<std::string>{""});
  EXPECT_EQ(entries[0].time.size(), 23u);  // YYYY-MM-DD HH:MM:SS.mmm

  ::unsetenv("QUOR_EVENTLOG");
  std::filesystem::remove(path);
}

TEST(EventLog, ControlCharactersAndStrayBytesKeepAnEntryOnOnePrintableLine) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("quor-events-ctl-" + std::to_string(::getpid()) + ".log")).string();
  std::filesystem::remove(path);
  ::setenv("QUOR_EVENTLOG", path.c_str(), 1);
  std::string every;
  for (int c = 0; c < 256; ++c) every.push_back(static_cast<char>(c));
  // Text that must stay as it is: UTF-8 beyond the C1 range, and text that
  // merely looks like an escape.
  const std::vector<std::string> strings = {every, "/a\\x00b\\", "caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80",
                                            std::string("/x\0y", 4) + "\xC2\x85\xC2"};
  EventSource("Quor\x01Server").Report(EventType::Warning, 23, std::span<const std::string>(strings));

  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file.find('\n'), file.size() - 1) << "one line";
  for (unsigned char c : file.substr(0, file.size() - 1))
    EXPECT_TRUE(c == '\t' || (c >= 0x20 && c != 0x7F)) << "byte " << int(c);
  EXPECT_TRUE(quor::text::IsValidUtf8(file));
  EXPECT_NE(file.find("\tcaf\xC3\xA9 "), std::string::npos) << "UTF-8 text stays readable";
  EXPECT_NE(file.find("/x\\x00y\\xC2\\x85\\xC2\n"), std::string::npos) << file;

  const auto entries = ReadEntries(path);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "Quor\x01Server");
  EXPECT_EQ(entries[0].strings, strings);
  ::unsetenv("QUOR_EVENTLOG");
  std::filesystem::remove(path);
}

TEST(EventLog, UnwritableFileDoesNotFailTheCaller) {
  ::setenv("QUOR_EVENTLOG", "/nonexistent-folder/events.log", 1);
  EventSource("QuorService").Report(EventType::Error, 1, {"lost"});
  ::unsetenv("QUOR_EVENTLOG");
  EXPECT_FALSE(std::filesystem::exists("/nonexistent-folder/events.log"));
}

TEST(EventLog, MalformedLinesAreRejected) {
  Entry e;
  EXPECT_FALSE(ParseLine("only\tthree\tfields", e));
  EXPECT_FALSE(ParseLine("t\ts\tError\tnotanumber", e));
}
