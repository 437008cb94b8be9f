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
  // A change the document refuses is a failing status, never an exception.
  if (translator.Translate(request, output).ok()) (void)output->xml();
  com::ClearErrorInfo();
  return 0;
}
