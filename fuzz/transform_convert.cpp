// The transformers' input: each input is a Convert call's source text, run
// through FlatConvert's and GridPage's conversions exactly as their Convert
// runs them (parse, convert, serialise or answer the fault document), and
// through their conversions read piece by piece: where both read the source,
// the piece-by-piece output must be the whole one's parsed and written again.
#include <cstdlib>
#include <optional>

#include "fuzz/fuzz_util.h"
#include "platform/xml/dom.h"
#include "transform/common/stream_source.h"
#include "platform/text/text.h"
#include "transform/common/conversion.h"
#include "transform/flatconvert/csv_convert.h"
#include "transform/gridpage/xhtml_convert.h"

using namespace quor;
using namespace quor::transform;

namespace {

constexpr StringEntry kStrings[] = {
    {101, "Source XML is Invalid."},
    {102, "Source XML document is NULL."},
    {103, "Record node on source XML is NULL."},
    {104, "Table node on source XML is NULL."},
};

struct Kept final : com::ResultSink {
  Status Write(std::string_view piece) override {
    text += piece;
    return Status();
  }
  std::string text;
};

template <typename Conversion>
std::optional<std::string> Streamed(std::string_view src) {
  Kept out;
  StreamSlot slot;
  if (FAILED(slot.Begin<Conversion>(&out))) return std::nullopt;
  for (size_t at = 0; at < src.size();) {
    const size_t gt = src.find('>', at);
    const size_t end = gt == std::string_view::npos ? src.size() : gt + 1;
    if (FAILED(slot.Feed(src.substr(at, end - at)))) return std::nullopt;
    at = end;
  }
  if (FAILED(slot.End())) return std::nullopt;
  return std::move(out.text);
}

// A raw carriage return is the caller's to keep (the parser folds it), so
// such outputs are not compared.
void ExpectSame(const std::string& whole, const std::optional<std::string>& streamed, std::string_view src) {
  if (!streamed || !text::IsValidUtf8(src) || src.find('\r') != std::string_view::npos ||
      whole.find('\r') != std::string::npos)
    return;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!whole.starts_with("<response") || !doc->loadXML(whole) || !doc->documentElement()) return;
  if (doc->documentElement()->xml() != *streamed) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string src = text::Widen(fuzz::AsText(data, size));
  const std::string_view utf8 = fuzz::AsText(data, size);
  const CTransCSVImpl csv;
  const std::string csvWhole = RunConvert(
      src, {"IFlatConvert", kStrings}, [&](xml::Document& source, xml::NodePtr& out) { return csv.Convert(source, out); });
  ExpectSame(csvWhole, Streamed<CTransCSVStream>(utf8), utf8);
  const CTransXHTMLImpl xhtml;
  const std::string xhtmlWhole = RunConvert(src, {"IGridPage", kStrings}, [&](xml::Document& source, xml::NodePtr& out) {
    return xhtml.Convert(source, out);
  });
  ExpectSame(xhtmlWhole, Streamed<CTransXHTMLStream>(utf8), utf8);
  return 0;
}
