// The reader of accessor answers into compact tables, against the document
// model: given the whole text or cut anywhere, it gives the same outcome,
// and what it gives (tables written out, or the text it hands over) is what
// the document model makes of the answer.
#include "core/query/CompactReader.h"
#include "fuzz/fuzz_util.h"
#include "platform/xml/dom.h"

using namespace quor;
using core::compact::AnswerReader;

namespace {

struct Read {
  bool compact = false;
  std::string text;  // the tables written out, or the text handed over
};

Read ReadIn(std::string_view bytes, size_t cut) {
  core::compact::Heads heads;
  AnswerReader reader(heads, core::compact::Hold());
  std::string_view rest = bytes;
  if (cut > 0 && cut < bytes.size()) {
    if (!reader.Write(bytes.substr(0, cut)).ok()) std::abort();
    rest = bytes.substr(cut);
  }
  Result<AnswerReader::Outcome> outcome = reader.Finish(rest);
  if (!outcome.ok()) std::abort();
  Read read;
  if (outcome->response) {
    read.compact = true;
    core::compact::TextOut out(read.text);
    if (!core::compact::WriteResponse(*outcome->response, heads, out).ok()) std::abort();
  } else {
    read.text = std::move(outcome->text);
  }
  return read;
}

std::string_view WithoutMark(std::string_view s) {
  if (s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = fuzz::AsText(data, size);
  const Read whole = ReadIn(bytes, 0);
  const Read cut = ReadIn(bytes, size > 0 ? data[0] % (size + 1) : 0);
  if (whole.compact != cut.compact || whole.text != cut.text) std::abort();

  const xml::DocumentPtr original = xml::Document::Create();
  const bool loaded = original->loadXML(WithoutMark(bytes)) && original->firstChild();
  if (whole.compact) {
    // Held as tables: one response (or a lone table) and nothing more.
    if (!loaded || original->firstChild()->nextSibling()) std::abort();
    const xml::NodePtr root = original->firstChild();
    std::string expected = root->xml();
    if (root->nodeName() == "table") expected = "<response>" + expected + "</response>";
    if (expected != whole.text) std::abort();
    return 0;
  }
  const xml::DocumentPtr handed = xml::Document::Create();
  const bool handedLoaded = handed->loadXML(WithoutMark(whole.text)) && handed->firstChild();
  if (loaded != handedLoaded) std::abort();
  if (loaded && original->xml() != handed->xml()) std::abort();
  return 0;
}
