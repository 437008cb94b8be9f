// The message-authentication token reader and the session-key and seed
// readers. Keys are made once: a console handler with its key-exchange key,
// and one session key that the server handler of each input imports. The
// first byte chooses what the rest is:
//   0  a request token as sent, then NUL-separated item names and values,
//      validated by a fresh server handler holding the session key;
//   1  the same, but the token's inner text, which is sealed here with the
//      session key (so the reader gets past decryption);
//   2  an answer's inner text, sealed and validated by the console handler;
//   3  a session key, a seed and a token scheme as the handlers read them.
// Bit 4 of the first byte sends every text as UTF-16 instead of UTF-8.
#include <cstdlib>
#include <optional>

#include "auth/mac.h"
#include "auth/util/codec.h"
#include "auth/util/crypto.h"
#include "fuzz/fuzz_util.h"
#include "platform/com/errorinfo.h"

using namespace quor;
using namespace quor::auth;

namespace {

struct Keys {
  TokenHandlerPtr client;
  Bstr scheme, seed, serverKey;
  util::CryptProvider provider;
  util::CryptKey key;
};
Keys* g_keys = nullptr;

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) {
    std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    std::abort();
  }
}

// The value of a set-up step, which must not fail.
template <typename T>
T Must(Result<T> result, const char* what) {
  Check(result.status().code(), what);
  return std::move(result).value();
}

Bstr Text(std::string_view bytes, bool wide) {
  return wide ? Bstr(fuzz::AsWide(bytes)) : Bstr::FromUtf8(bytes);
}

// `inner` plus its zero byte, encrypted with the session key, as a token.
Bstr Seal(std::string_view inner, std::u16string_view tail) {
  util::Bytes bytes(inner.begin(), inner.end());
  bytes.push_back(0);
  return Bstr(util::WidenAscii(util::Base64Encode(Must(g_keys->key.Encrypt(bytes, true), "CryptEncrypt"))) +
              std::u16string(tail));
}

TokenHandlerPtr ServerHandler() {
  TokenHandlerPtr server;
  Check(AcquireTokenHandler(g_keys->scheme, &server), "AcquireTokenHandler");
  Check(SetTokenSeed(server.get(), g_keys->seed), "SetTokenSeed");
  Check(SetTokenItem(server.get(), Bstr(kSessionKeyItem), g_keys->serverKey), "SetTokenItem");
  return server;
}

// Sets the NUL-separated names and values as the service core does, validates
// and reads every item back.
void Validate(TokenHandler* handler, const Bstr& token, std::span<const std::string_view> items, bool wide) {
  for (uint32_t i = 0; i + 1 < items.size(); i += 2)
    if (FAILED(SetTokenData(handler, i / 2, 0, Text(items[i], wide), Text(items[i + 1], wide)))) return;
  if (FAILED(ValidateToken(handler, token))) return;
  for (uint32_t i = 0; i + 1 < items.size(); i += 2) {
    uint32_t kind = 0;
    Bstr value, encoded;
    (void)GetTokenData(handler, i / 2, &kind, &value, &encoded);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("QUOR_KEYDIR", (fuzz::TempDir::Path() / "keys").c_str(), 1);
  ::setenv("QUOR_REGISTRY", (fuzz::TempDir::Path() / "registry.reg").c_str(), 1);
  static Keys keys;
  g_keys = &keys;
  Check(AcquireClientTokenHandler(Bstr(u""), &keys.client), "AcquireClientTokenHandler");
  Check(GetTokenScheme(keys.client.get(), &keys.scheme), "GetTokenScheme");
  Check(GetTokenSeed(keys.client.get(), &keys.seed), "GetTokenSeed");
  Check(keys.provider.AcquireContext(std::nullopt, std::nullopt, 0, crypt::CRYPT_VERIFYCONTEXT).code(),
        "CryptAcquireContext");
  keys.key = Must(keys.provider.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE), "CryptGenKey");
  keys.serverKey = Bstr(util::WidenAscii(
      util::Base64Encode(Must(keys.key.ExportKey(crypt::OPAQUEKEYBLOB, nullptr), "CryptExportKey"))));
  const std::u16string seed(keys.seed.View());
  util::CryptKey clientPublic =
      Must(keys.provider.ImportKey(util::Base64Decode(seed.substr(seed.find(u';') + 1)), 0, nullptr), "CryptImportKey");
  Check(SetTokenItem(keys.client.get(), Bstr(kSessionKeyItem),
                     Bstr(util::WidenAscii(util::Base64Encode(
                         Must(keys.key.ExportKey(crypt::SIMPLEBLOB, &clientPublic), "CryptExportKey"))))),
        "SetTokenItem");
  Check(SetTokenItem(keys.client.get(), Bstr(kOpaqueItem), Bstr(u"VERIFIER")), "SetTokenItem");
  // A request, so that the console handler has one to match answers with.
  Check(SetTokenData(keys.client.get(), 0, 0, Bstr(u"Method"), Bstr(u"GetShareField")), "SetTokenData");
  Bstr token;
  Check(ConstructToken(keys.client.get(), &token), "ConstructToken");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0] & 0x0F;
  const bool wide = data[0] & 0x10;
  const std::string_view rest = fuzz::AsText(data + 1, size - 1);
  const std::vector<std::string_view> parts = fuzz::Parts(rest, 9);
  const std::span<const std::string_view> items(parts.begin() + 1, parts.end());
  switch (mode) {
    case 0: {
      TokenHandlerPtr server = ServerHandler();
      Validate(server.get(), Text(parts[0], wide), items, wide);
      break;
    }
    case 1: {
      TokenHandlerPtr server = ServerHandler();
      Validate(server.get(), Seal(parts[0], u":VERIFIER"), items, wide);
      break;
    }
    case 2:
      (void)ValidateToken(g_keys->client.get(), Seal(parts[0], u""));
      break;
    case 3: {
      TokenHandlerPtr server;
      Check(AcquireTokenHandler(g_keys->scheme, &server), "AcquireTokenHandler");
      (void)SetTokenItem(server.get(), Bstr(kSessionKeyItem), Text(parts[0], wide));
      (void)SetTokenSeed(server.get(), Text(parts[1], wide));
      TokenHandlerPtr other;
      if (SUCCEEDED(AcquireTokenHandler(Text(parts[2], wide), &other))) (void)ReleaseTokenHandler(other);
      break;
    }
    default:
      break;
  }
  com::ClearErrorInfo();
  return 0;
}
