// The query document translator: each input is a Query operation's "query"
// document, loaded as the engine loads it and translated into the statement
// document the accessor reads.
#include "core/query/QueryTranslator.h"
#include "fuzz/fuzz_util.h"
#include "platform/com/errorinfo.h"

using namespace quor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const xml::DocumentPtr request = xml::Document::Create();
  if (!request->loadXML(com::Bstr::FromUtf8(fuzz::AsText(data, size)).View())) return 0;
  const xml::DocumentPtr output = xml::Document::Create();
  core::CQueryTranslator translator;
  try {
    if (SUCCEEDED(translator.Translate(request, output))) (void)output->xml();
  } catch (const std::exception&) {
    // What the engine turns into a failed query's status (a ComError for a
    // change the document refused).
  }
  com::ClearErrorInfo();
  return 0;
}
