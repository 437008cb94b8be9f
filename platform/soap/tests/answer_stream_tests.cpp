// Answers read as they arrive: cut anywhere, they decode to exactly the texts
// the console's DOM reads from the whole answer, in bounded pieces; what is
// no answer fails, and stays failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/soap/answer_stream.h"
#include "platform/soap/envelope.h"
#include "platform/xml/dom.h"

using namespace quor;
using namespace quor::soap;
using com::Bstr;

namespace {

// What the events saw.
struct Seen {
  std::vector<std::string> responses;
  std::map<size_t, std::string> texts;
  std::vector<size_t> ends;
  size_t pieces = 0;
  size_t largest = 0;
};

AnswerStream::Events Record(Seen& seen) {
  return {
      .response =
          [&seen](std::string_view name) {
            seen.responses.emplace_back(name);
            return true;
          },
      .text =
          [&seen](size_t index, std::string_view piece) {
            EXPECT_FALSE(piece.empty());
            seen.texts[index].append(piece);
            ++seen.pieces;
            seen.largest = std::max(seen.largest, piece.size());
            return true;
          },
      .end =
          [&seen](size_t index) {
            seen.ends.push_back(index);
            return true;
          },
  };
}

// Feeds `answer` in pieces of `cut` bytes (0: random sizes of 1 to 9000).
HRESULT Read(std::string_view answer, size_t cut, Seen& seen, std::string* error = nullptr) {
  AnswerStream stream(Record(seen));
  std::mt19937 random(7);
  HRESULT hr = S_OK;
  for (size_t at = 0; at < answer.size() && SUCCEEDED(hr);) {
    const size_t n = std::min(answer.size() - at, cut ? cut : 1 + random() % 9000);
    hr = stream.Feed(answer.substr(at, n));
    at += n;
  }
  if (SUCCEEDED(hr)) hr = stream.Finish();
  if (error) *error = stream.Error();
  return hr;
}

// The outputs' texts as the console reads them from the whole answer.
std::vector<std::string> DomTexts(std::string_view answer) {
  auto doc = xml::Document::Create();
  EXPECT_TRUE(doc->loadXML(answer)) << doc->parseError().reason;
  std::vector<std::string> texts;
  for (const auto& child : doc->documentElement()->firstChild()->firstChild()->childNodes())
    texts.push_back(child->text());
  return texts;
}

}  // namespace

TEST(AnswerStreamTest, AnswersCutAnywhereDecodeAsTheWholeAnswerDoes) {
  std::string big;  // references, characters of 1 to 4 bytes, line ends, across every cut
  while (big.size() < 300000) big += "row & <b>'\"</b>\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\r\n";
  const std::vector<std::string> results = {"", "plain", "a\rb\r\nc\x01" "d]]>e", big};
  for (const std::string& result : results) {
    const std::string answer =
        WriteAnswer("Query", std::vector<NamedValue>{{"result", Bstr::FromUtf8(result)}, {"reskey", Bstr(u"K:1&2")}});
    const std::vector<std::string> dom = DomTexts(answer);
    ASSERT_EQ(dom.size(), 2u);
    for (size_t cut : {size_t{1}, size_t{3}, size_t{4096}, size_t{0}, answer.size()}) {
      if (cut == 1 && result.size() > 1000) continue;  // byte by byte only where it stays quick
      Seen seen;
      std::string error;
      ASSERT_EQ(Read(answer, cut, seen, &error), S_OK) << error;
      EXPECT_EQ(seen.responses, std::vector<std::string>{"QueryResponse"});
      EXPECT_TRUE(seen.texts[0] == dom[0]) << "cut " << cut;
      EXPECT_EQ(seen.texts[1], dom[1]);
      EXPECT_EQ(seen.texts[1], "K:1&2");
      EXPECT_EQ(seen.ends, (std::vector<size_t>{0, 1}));
      // Joined into pieces of at most 64 KiB and what one feed brought.
      EXPECT_LE(seen.largest, 64 * 1024 + std::max<size_t>(cut ? cut : 9000, 4096)) << "cut " << cut;
    }
  }
  // The DOM turned the control character into U+FFFD and kept the carriage
  // returns: so did the stream.
  const std::string odd =
      WriteAnswer("X", std::vector<NamedValue>{{"result", Bstr::FromUtf8("a\rb\r\nc\x01")}});
  Seen seen;
  ASSERT_EQ(Read(odd, 2, seen), S_OK);
  EXPECT_EQ(seen.texts[0], "a\rb\r\nc\xEF\xBF\xBD");

  // Prefixes, namespaces, white space between elements and an empty output
  // read as ParseAnswer reads them.
  const std::string loose =
      "<?xml version='1.0'?>\n<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'>\n <e:Body>\n"
      "  <t:GetResponse xmlns:t='urn:x'>\n   <result>one<![CDATA[<two>]]>&#x33;</result>\n   <other/>\n"
      "  </t:GetResponse>\n </e:Body>\n</e:Envelope>\n";
  Seen l;
  ASSERT_EQ(Read(loose, 5, l), S_OK);
  EXPECT_EQ(l.responses, std::vector<std::string>{"GetResponse"});
  EXPECT_EQ(l.texts[0], "one<two>3");
  EXPECT_EQ(l.texts.count(1), 0u);
  EXPECT_EQ(l.ends, (std::vector<size_t>{0, 1}));
}

TEST(AnswerStreamTest, FaultsAreOnlyCheckedAndWhatIsNoAnswerFails) {
  Fault fault;
  fault.status = static_cast<HRESULT>(0x80040205);
  fault.description = "denied";
  fault.actor = "/x.sod";
  {
    Seen seen;
    AnswerStream stream(Record(seen));
    ASSERT_EQ(stream.Feed(WriteFault(fault)), S_OK) << stream.Error();
    ASSERT_EQ(stream.Finish(), S_OK);
    EXPECT_TRUE(stream.IsFault());
    EXPECT_EQ(seen.responses, std::vector<std::string>{"Fault"});
    EXPECT_TRUE(seen.texts.empty());
    EXPECT_TRUE(seen.ends.empty());
  }

  const std::string good = WriteAnswer("Q", std::vector<NamedValue>{{"result", Bstr(u"r")}, {"reskey", Bstr(u"k")}});
  std::string deep = "<E:Envelope xmlns:E='e'><E:Body><QResponse><result>x</result></QResponse>";
  for (int i = 0; i < 40; ++i) deep += "<d>";
  struct Case {
    std::string bytes;
    std::string why;  // part of the reason
  };
  const std::vector<Case> cases = {
      {"<html><body>Welcome</body></html>", "not a SOAP envelope"},
      {"<E:Envelope xmlns:E='e'><E:Header/><E:Body/></E:Envelope>", "not its Body"},
      {"<E:Envelope xmlns:E='e'><E:Body><QResponse><result>a<b/>c</result></QResponse></E:Body></E:Envelope>",
       "holds an element <b>"},
      {"<?xml version='1.0'?><!DOCTYPE E [<!ENTITY a 'aaaa'><!ENTITY b '&a;&a;&a;'>]>"
       "<E:Envelope xmlns:E='e'><E:Body><QResponse><result>&b;</result></QResponse></E:Body></E:Envelope>",
       "document type declaration"},
      {"<E:Envelope xmlns:E='e'><E:Body><QResponse><result>&unknown;</result></QResponse></E:Body></E:Envelope>",
       "not well-formed"},
      {good + "<more/>", "not well-formed"},
      {good.substr(0, good.size() - 20), "ends before its envelope does"},
      {"", "ends before its envelope does"},
      {"<E:Envelope xmlns:E='e'><E:Body/></E:Envelope>", "holds no answer"},
      {deep, "too deep"},
  };
  for (const Case& c : cases) {
    Seen seen;
    std::string error;
    EXPECT_EQ(Read(c.bytes, 7, seen, &error), E_INVALIDARG) << c.bytes;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
  }

  // An event that says stop stops it for good; the failure stays.
  AnswerStream stream({.response = nullptr, .text = [](size_t, std::string_view) { return false; }, .end = nullptr});
  EXPECT_EQ(stream.Feed(good), E_ABORT);
  EXPECT_EQ(stream.Feed("x"), E_ABORT);
  EXPECT_EQ(stream.Finish(), E_ABORT);
  EXPECT_FALSE(stream.Error().empty());
}
