// The XML loader: a file as the configuration readers load it (byte order
// mark and declared encoding honoured), and the same bytes as UTF-8 and as
// UTF-16 text as the components' string arguments arrive; a loaded document
// is written out again.
#include "fuzz/fuzz_util.h"
#include "platform/xml/dom.h"

using namespace quor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = fuzz::AsText(data, size);

  const xml::DocumentPtr fromFile = xml::Document::Create();
  if (fromFile->load(fuzz::WriteTemp("input.xml", bytes).string())) (void)fromFile->xml();

  const xml::DocumentPtr narrow = xml::Document::Create();
  if (narrow->loadXML(bytes)) (void)narrow->xml();

  const xml::DocumentPtr wide = xml::Document::Create();
  if (wide->loadXML(std::u16string_view(fuzz::AsWide(bytes)))) (void)wide->xml();
  return 0;
}
