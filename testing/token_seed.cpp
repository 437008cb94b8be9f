// quor-token-seed: prints a token scheme and a seed made by the console's
// token code, one a line, for SOAP clients that open sessions without that
// code (the standard-client tests). The key-exchange key behind the seed
// stays in the user's key container, as the console's does.
#include <cstdio>

#include "auth/mac.h"

int main() {
  using quor::com::Bstr;
  quor::auth::TokenHandlerPtr handler;
  Bstr scheme, seed;
  if (FAILED(quor::auth::AcquireClientTokenHandler(Bstr(), &handler)) || !handler ||
      FAILED(quor::auth::GetTokenScheme(handler.get(), &scheme)) ||
      FAILED(quor::auth::GetTokenSeed(handler.get(), &seed))) {
    std::fputs("quor-token-seed: no token handler\n", stderr);
    return 1;
  }
  std::printf("%s\n%s\n", scheme.ToUtf8().c_str(), seed.ToUtf8().c_str());
  return 0;
}
