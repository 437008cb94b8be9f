// Conversion rate of the two transformers against a plain serialisation of
// the same response document, side by side in one run.
//
//   transform_bench [rows] [repeats]     (defaults: 100000 rows, 3 repeats)
//
// Every figure covers what one Convert call does: the UTF-16 source text is
// parsed into a new document, converted (or, for the plain serialisation,
// left as it is) and written out as XML text back in UTF-16; "parse only"
// shows what the parsing alone costs. The best of the repeats is shown.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <span>
#include <string>

#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"
#include "transform/common/conversion.h"
#include "transform/flatconvert/csv_convert.h"
#include "transform/gridpage/xhtml_convert.h"

using namespace quor;

namespace {

constexpr int kColumns = 8;
constexpr transform::FaultSource kFaults{"IBench", {}};

// A response document of one table, `rows` records of kColumns columns, with
// a few values that need quoting or escaping mixed in.
std::u16string MakeSource(int rows) {
  std::string xml = "<response><table name=\"bench\">";
  for (int r = 0; r < rows; ++r) {
    xml += "<record>";
    for (int c = 0; c < kColumns; ++c) {
      xml += text::Format("<column name=\"COL%d\">", c);
      if (c == 3 && r % 10 == 0)
        xml += "a, &quot;b&quot; &amp; &lt;c&gt;";
      else
        xml += text::Format("value %d.%d", r, c);
      xml += "</column>";
    }
    xml += "</record>";
  }
  xml += "</table></response>";
  return text::Widen(xml);
}

struct Case {
  const char* name;
  std::function<com::Bstr()> run;
  double best = 0;  // seconds
  size_t outputChars = 0;
  bool fault = false;
};

// The cases take turns, round after round, so that each meets the heap and
// the machine in the same state; the best round of each counts.
void Measure(std::span<Case> cases, int repeats) {
  for (int round = 0; round < repeats; ++round) {
    for (Case& c : cases) {
      auto start = std::chrono::steady_clock::now();
      com::Bstr out = c.run();
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (round == 0 || seconds < c.best) c.best = seconds;
      c.outputChars = out.Length();
      c.fault = out.View().starts_with(u"<fault>");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? text::ParseInt32(argv[1]).value_or(100000) : 100000;
  const int repeats = argc > 2 ? text::ParseInt32(argv[2]).value_or(3) : 3;
  if (rows <= 0 || repeats <= 0) {
    std::fprintf(stderr, "usage: transform_bench [rows] [repeats]\n");
    return 2;
  }
  // Freed memory stays with the process: otherwise each round pays again for
  // faulting fresh pages in, which on a virtual machine swamps the figures.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_MAX, 0);
  const com::Bstr source(MakeSource(rows));
  std::printf("source: %d rows x %d columns, %zu UTF-16 characters; best of %d\n", rows, kColumns, source.Length(),
              repeats);

  const transform::CTransCSVImpl csv;
  const transform::CTransXHTMLImpl xhtml;
  Case cases[] = {
      {"parse only (loadXML)",
       [&] {
         xml::DocumentPtr doc = xml::Document::Create();
         doc->loadXML(source.View());
         return com::Bstr();
       }},
      {"plain serialisation (load + xml())",
       [&] {
         xml::DocumentPtr doc = xml::Document::Create();
         doc->loadXML(source.View());
         return com::Bstr::FromUtf8(doc->xml());
       }},
      {"FlatConvert.TransCSV Convert",
       [&] {
         return com::Bstr::FromUtf8(transform::RunConvert(
             source.View(), kFaults, [&](xml::Document& d, xml::NodePtr& o) { return csv.Convert(d, o); }));
       }},
      {"GridPage.TransXHTML Convert",
       [&] {
         return com::Bstr::FromUtf8(transform::RunConvert(
             source.View(), kFaults, [&](xml::Document& d, xml::NodePtr& o) { return xhtml.Convert(d, o); }));
       }},
  };
  Measure(cases, repeats);
  std::printf("%-36s %10s %14s %14s\n", "", "ms", "rows/second", "output chars");
  int status = 0;
  for (const Case& c : cases) {
    std::printf("%-36s %10.1f %14.0f %14zu%s\n", c.name, c.best * 1000, rows / c.best, c.outputChars,
                c.fault ? "  (fault!)" : "");
    if (c.fault) status = 1;
  }
  return status;
}
