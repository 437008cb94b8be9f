// The ticket and verifier readers, with a server secret key and machine
// signature key made once. The first byte chooses what the rest is:
//   0  a ticket as sent;   1  a ticket's plain text, sealed and signed here;
//   2  a verifier as sent; 3  a verifier's plain text, sealed and signed here;
//   4  a request token whose verifier (under the process's own key) is looked
//      up in an empty session table.
// Bit 4 of the first byte reads the rest as UTF-16 instead of UTF-8.
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "auth/sealed.h"
#include "auth/session.h"
#include "auth/ticket.h"
#include "auth/util/crypto.h"
#include "fuzz/fuzz_util.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

using namespace quor;
using namespace quor::auth;

namespace {

util::Bytes* g_secret = nullptr;

// The value of a set-up step, which must not fail.
template <typename T>
T Must(Result<T> result, const char* what) {
  if (!result.ok()) {
    std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(result.status().code()));
    std::abort();
  }
  return std::move(result).value();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("QUOR_KEYDIR", (fuzz::TempDir::Path() / "keys").c_str(), 1);
  ::setenv("QUOR_REGISTRY", (fuzz::TempDir::Path() / "registry.reg").c_str(), 1);
  util::CryptProvider provider;
  if (!provider.AcquireContext(std::nullopt, std::nullopt, 0, crypt::CRYPT_VERIFYCONTEXT).ok()) std::abort();
  const util::CryptKey key = Must(provider.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE), "CryptGenKey");
  static util::Bytes secret = Must(key.ExportKey(crypt::OPAQUEKEYBLOB, nullptr), "CryptExportKey");
  g_secret = &secret;
  // Makes the machine's signature key now rather than during the first input.
  (void)SealAndSign(u"ready", secret);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0] & 0x0F;
  const std::string_view rest = fuzz::AsText(data + 1, size - 1);
  const std::u16string input = (data[0] & 0x10) ? fuzz::AsWide(rest) : text::Widen(rest);
  // A refusal is a failing status, as the readers report one.
  switch (mode) {
    case 0: (void)ParseTicket(input, *g_secret); break;
    case 1:
      if (Result<std::u16string> sealed = SealAndSign(input, *g_secret); sealed.ok())
        (void)ParseTicket(*sealed, *g_secret);
      break;
    case 2: (void)ParseVerifier(input, *g_secret); break;
    case 3:
      if (Result<std::u16string> sealed = SealAndSign(input, *g_secret); sealed.ok())
        (void)ParseVerifier(*sealed, *g_secret);
      break;
    case 4:
      (void)FindByVerifier(input, [](const std::u16string&) { return std::shared_ptr<SessionImpl>(); });
      break;
    default: break;
  }
  com::ClearErrorInfo();
  return 0;
}
