// The dispatcher's streamed results, in process: the test component's
// Pieces (registered by the real quor-regsvr) writes its result through the
// call context's sink, and a writer that keeps what it is handed shows what
// a connection would get: one Start, pieces of about 64 KiB, then Finish or
// Abort, the bytes those of the whole answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/soap/dispatcher.h"
#include "testing/EchoPieces.h"
#include "testing/PluginEnv.h"

using namespace quor;
using namespace quor::soap;
using com::Bstr;

namespace {

const Endpoint kEcho{"/QuorTest/Echo.sod", "QuorTest.Echo"};

// Keeps the calls made and the bytes handed; the Write numbered `failAt`
// (from 0; Start counts as -1) fails, and every one after it.
class KeepingWriter : public AnswerWriter {
 public:
  explicit KeepingWriter(int failAt = 1 << 30) : failAt_(failAt) {}

  Status Start(std::string_view contentType, std::string piece) override {
    calls.push_back("start");
    type = contentType;
    return Take(std::move(piece));
  }
  Status Write(std::string piece) override {
    calls.push_back("write");
    sizes.push_back(piece.size());
    return Take(std::move(piece));
  }
  Status Finish(std::string piece) override {
    calls.push_back("finish");
    return Take(std::move(piece));
  }
  void Abort() override { calls.push_back("abort"); }

  std::vector<std::string> calls;
  std::vector<size_t> sizes;  // of the Write pieces
  std::string type, bytes;

 private:
  Status Take(std::string piece) {
    if (next_++ >= failAt_) return Status(E_ABORT, "The client went.");
    bytes += piece;
    return Status();
  }
  int failAt_;
  int next_ = -1;
};

using quor::test::PiecesRequest;

class DispatcherStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto plugin = std::filesystem::path(QUOR_LIB_DIR) / "libquor_test_plugin.so";
    ASSERT_EQ(transform::testing::RunRegsvr({plugin.string()}), 0);
    ::setenv("QUOR_EVENTLOG", events_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("QUOR_EVENTLOG"); }
  std::string Events() const { return transform::testing::ReadFile(events_); }

  transform::testing::TempRegistry registry_;
  std::filesystem::path events_ = registry_.File().parent_path() / "events.log";
  eventlog::EventSource log_{"QuorServer"};
};

}  // namespace

TEST_F(DispatcherStreamTest, PiecesReachTheWriterAsTheWholeAnswerInBoundedPieces) {
  Dispatcher dispatcher({}, &log_);
  // Characters of one to four bytes, markup, a carriage return, U+FFFF,
  // U+0001 and a byte that is not UTF-8 (the component makes them of '~',
  // '^' and '`'; each is written as U+FFFD), in a length that puts the cuts
  // everywhere; many pieces, and one piece larger than the threshold.
  const std::string text = "a<\r&\xC3\xA9\xE6\x97\xA5~\xF0\x9F\x98\x80^`>";
  std::string big;
  while (big.size() < 3 * Dispatcher::kStreamAfter) big += text;
  const struct {
    std::string text;
    int count;
    std::string ns;
  } cases[] = {{text, 60000, ""}, {text, 60000, "urn:quor-service:Echo"}, {big, 1, ""}};
  for (const auto& c : cases) {
    const CallResult whole = dispatcher.Call(kEcho, PiecesRequest(c.text, c.count, true, -1, c.ns));
    ASSERT_FALSE(whole.fault) << whole.body;
    EXPECT_EQ(whole.body.find("\xEF\xBF\xBF"), std::string::npos);
    EXPECT_NE(whole.body.find("&lt;&#13;&amp;\xC3\xA9\xE6\x97\xA5\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD&gt;"),
              std::string::npos);

    KeepingWriter writer;
    const CallResult streamed = dispatcher.Call(kEcho, PiecesRequest(c.text, c.count, false, -1, c.ns), "", &writer);
    EXPECT_TRUE(streamed.streamed);
    EXPECT_FALSE(streamed.fault);
    EXPECT_EQ(streamed.body, "");
    EXPECT_EQ(writer.type, kAnswerContentType);
    ASSERT_GE(writer.calls.size(), 3u);
    EXPECT_EQ(writer.calls.front(), "start");
    EXPECT_EQ(writer.calls.back(), "finish");
    EXPECT_TRUE(writer.bytes == whole.body) << writer.bytes.size() << " bytes, not " << whole.body.size();
    for (const size_t size : writer.sizes) {
      EXPECT_GE(size, size_t{64} << 10);
      EXPECT_LT(size, size_t{160} << 10);
    }
  }
}

TEST_F(DispatcherStreamTest, HeldPiecesAreAnsweredAsAReturnedResultAndAnUnusedSinkChangesNothing) {
  Dispatcher dispatcher({}, &log_);
  const std::string text = "held <&>\r";
  for (const int count : {1, 5000}) {
    KeepingWriter writer;
    const CallResult streamed = dispatcher.Call(kEcho, PiecesRequest(text, count, false), "", &writer);
    EXPECT_FALSE(streamed.streamed);
    EXPECT_EQ(streamed.body, dispatcher.Call(kEcho, PiecesRequest(text, count, true)).body) << count;
    EXPECT_TRUE(writer.calls.empty()) << count;
  }
  // Nothing written: the value returned is the result.
  KeepingWriter writer;
  EXPECT_NE(dispatcher.Call(kEcho, PiecesRequest(text, 0, false), "", &writer)
                .body.find("<result>not the result: the pieces are</result><written>0</written>"),
            std::string::npos);
  // Failing before the threshold: the fault, as a call that returns it gets.
  const CallResult failed = dispatcher.Call(kEcho, PiecesRequest(text, 5000, false, 4000), "", &writer);
  EXPECT_TRUE(failed.fault);
  EXPECT_FALSE(failed.streamed);
  EXPECT_EQ(failed.status, static_cast<HRESULT>(0x80040205));
  EXPECT_EQ(failed.body, WriteFault({static_cast<HRESULT>(0x80040205), "failed after some pieces went",
                                     "QuorTest.Echo", kEcho.path}));
  EXPECT_TRUE(writer.calls.empty());
  // A call that returns its result: as ever.
  const std::string convert = WriteRequest("Convert", std::vector<NamedValue>{{"src", Bstr(u"a")}});
  EXPECT_EQ(dispatcher.Call(kEcho, convert, "", &writer).body, dispatcher.Call(kEcho, convert).body);
  EXPECT_TRUE(writer.calls.empty());
}

TEST_F(DispatcherStreamTest, AFailureAfterTheAnswerBeganAbortsItAndIsLogged) {
  Dispatcher dispatcher({}, &log_);
  const std::string text(100, 'f');
  // The component fails on its own.
  {
    KeepingWriter writer;
    const CallResult r = dispatcher.Call(kEcho, PiecesRequest(text, 10000, false, 5000), "", &writer);
    EXPECT_TRUE(r.fault);
    EXPECT_TRUE(r.streamed);
    EXPECT_EQ(r.status, static_cast<HRESULT>(0x80040205));
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(writer.calls.front(), "start");
    EXPECT_EQ(writer.calls.back(), "abort");
  }
  // The writer fails: at the start, or later; the call stops there.
  for (const int failAt : {-1, 0, 2}) {
    KeepingWriter writer(failAt);
    const CallResult r = dispatcher.Call(kEcho, PiecesRequest(text, 10000, false), "", &writer);
    EXPECT_TRUE(r.fault) << failAt;
    EXPECT_TRUE(r.streamed) << failAt;
    EXPECT_EQ(r.status, E_ABORT) << failAt;
    EXPECT_EQ(writer.calls.back(), "abort") << failAt;
    EXPECT_EQ(std::count(writer.calls.begin(), writer.calls.end(), "finish"), 0) << failAt;
    EXPECT_EQ(writer.calls.size(), static_cast<size_t>(failAt + 3)) << failAt << ": nothing after the failure";
  }
  const std::string events = Events();
  EXPECT_NE(events.find("QuorServer\tError\t27\t/QuorTest/Echo.sod\tThe streamed answer of \"Pieces\" was cut off: "
                        "failed after some pieces went (0x80040205)"),
            std::string::npos)
      << events;
  EXPECT_NE(events.find("\t27\t/QuorTest/Echo.sod\tThe streamed answer of \"Pieces\" was cut off: the sink refused "
                        "piece "),
            std::string::npos)
      << events;
  EXPECT_NE(events.find("The client went. (0x80004004)"), std::string::npos) << events;
}
