// The SOAP envelope reader and the dispatcher's binding of a request to a
// component's parameters: each input is read as a request and as an answer
// (whole, and as it arrives, cut where its first byte says), then dispatched
// to a small registered component as the listener would.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_util.h"
#include "platform/soap/answer_stream.h"
#include "platform/soap/dispatcher.h"
#include "platform/soap/envelope.h"

using namespace quor;

namespace {

soap::Dispatcher* g_dispatcher = nullptr;
const soap::Endpoint kEndpoint{"/QuorService/QuorServiceCore.sod", "QuorFuzz.Shapes"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A registry file of our own, holding only the fuzz component.
  ::setenv("QUOR_REGISTRY", (fuzz::TempDir::Path() / "registry.reg").c_str(), 1);
  void* library = ::dlopen(QUOR_FUZZ_COMPONENT, RTLD_NOW | RTLD_LOCAL);
  auto* registerServer = library ? reinterpret_cast<HRESULT (*)()>(::dlsym(library, "DllRegisterServer")) : nullptr;
  if (!registerServer || FAILED(registerServer())) {
    std::fprintf(stderr, "cannot register %s: %s\n", QUOR_FUZZ_COMPONENT, library ? "" : ::dlerror());
    std::abort();
  }
  // Kept loaded: libFuzzer holds on to the coverage counters it registered.
  static soap::Dispatcher dispatcher;
  g_dispatcher = &dispatcher;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body = fuzz::AsText(data, size);
  (void)soap::ParseRequest(body, {}).ok();
  (void)soap::ParseAnswer(body).ok();
  size_t text = 0;
  soap::AnswerStream stream({.response = [](std::string_view) { return true; },
                             .text =
                                 [&text](size_t, std::string_view piece) {
                                   text += piece.size();
                                   return true;
                                 },
                             .end = [](size_t) { return true; }});
  const size_t step = 1 + (size ? data[0] % 64 : 0);
  for (size_t at = 0; at < body.size(); at += step) (void)stream.Feed(body.substr(at, step));
  (void)stream.Finish();
  (void)g_dispatcher->Call(kEndpoint, body);
  return 0;
}
