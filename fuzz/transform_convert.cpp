// The transformers' input: each input is a Convert call's source text, run
// through FlatConvert's and GridPage's conversions exactly as their Convert
// runs them (parse, convert, serialise or answer the fault document).
#include "fuzz/fuzz_util.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string src = text::Widen(fuzz::AsText(data, size));
  const CTransCSVImpl csv;
  (void)RunConvert(src, {"IFlatConvert", kStrings},
                   [&](xml::Document& source, xml::NodePtr& out) { return csv.Convert(source, out); });
  const CTransXHTMLImpl xhtml;
  (void)RunConvert(src, {"IGridPage", kStrings},
                   [&](xml::Document& source, xml::NodePtr& out) { return xhtml.Convert(source, out); });
  return 0;
}
