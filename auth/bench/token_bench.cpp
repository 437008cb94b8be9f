// token_bench: what the server's token work costs per call, next to the bare
// hash and cipher work on the same bytes, measured side by side in one run.
//
// Per call the server (through its session, as the service core drives it)
// sets the request's items, validates the request token, reads the decoded
// values, sets the method name and the result, constructs the answer token
// and reads the encoded result. The baseline is one SHA-1 and one RC2-CBC
// encryption (OpenSSL directly) over the bytes those items carry.
//
//   token_bench [calls for the small result] [calls for the 64 KB result]
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "auth/mac.h"
#include "auth/session.h"
#include "auth/ticket.h"
#include "testing/TempDir.h"

using namespace quor::auth;
using Clock = std::chrono::steady_clock;

namespace {

struct Bare {
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER* base = nullptr;
  OSSL_PROVIDER* legacy = nullptr;
  EVP_MD* sha1 = nullptr;
  EVP_CIPHER* rc2 = nullptr;
  Bare() {
    base = OSSL_PROVIDER_load(ctx, "default");
    legacy = OSSL_PROVIDER_load(ctx, "legacy");
    sha1 = EVP_MD_fetch(ctx, "SHA1", nullptr);
    rc2 = EVP_CIPHER_fetch(ctx, "RC2-CBC", nullptr);
  }
  ~Bare() {
    EVP_MD_free(sha1);
    EVP_CIPHER_free(rc2);
    OSSL_PROVIDER_unload(legacy);
    OSSL_PROVIDER_unload(base);
    OSSL_LIB_CTX_free(ctx);
  }
  void Hash(const std::vector<uint8_t>& bytes, unsigned char* out) const {
    unsigned n = 0;
    EVP_Digest(bytes.data(), bytes.size(), out, &n, sha1, nullptr);
  }
  void Encrypt(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& out) const {
    static const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    static const unsigned char iv[8] = {};
    out.resize(bytes.size() + 8);
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    int n = 0, m = 0;
    EVP_EncryptInit_ex2(c, rc2, key, iv, nullptr);
    EVP_EncryptUpdate(c, out.data(), &n, bytes.data(), static_cast<int>(bytes.size()));
    EVP_EncryptFinal_ex(c, out.data() + n, &m);
    EVP_CIPHER_CTX_free(c);
  }
};

void Append(std::vector<uint8_t>& out, std::u16string_view text) {
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
}

std::u16string Result(size_t characters) {
  std::u16string out = u"<root>";
  for (int i = 0; out.size() + 40 < characters; ++i)
    out += u"<field id=\"" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u"\">value " +
           std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) + u"</field>";
  out += u"</root>";
  out.resize(characters, u' ');
  return out;
}

double Micro(Clock::duration d, int calls) {
  return std::chrono::duration<double, std::micro>(d).count() / calls;
}

struct Setup {
  TokenHandlerPtr client;
  std::shared_ptr<SessionImpl> session;

  Setup() {
    AcquireClientTokenHandler(Bstr(u""), &client);
    Bstr scheme, seed;
    GetTokenScheme(client.get(), &scheme);
    GetTokenSeed(client.get(), &seed);
    session = std::make_shared<SessionImpl>(std::make_unique<TicketImpl>(TicketImpl::Issued(u"BENCH", u"user", 1, 2)),
                                            u"qsc");
    quor::Result<std::u16string> key = session->Init(scheme, seed);
    if (!key.ok()) {
      std::fprintf(stderr, "token_bench: the session cannot be set up (0x%08X)\n",
                   static_cast<unsigned>(key.status().code()));
      std::exit(1);
    }
    SetTokenItem(client.get(), Bstr(kSessionKeyItem), Bstr(*key));
    SetTokenItem(client.get(), Bstr(kOpaqueItem), Bstr(u"verifier"));
  }
};

const std::u16string kMethod = u"GetShareField";
const std::u16string kArgNames[] = {u"user", u"uri"};
const std::u16string kArgValues[] = {u"", u"urn:vocontent:vodb000:0123456789"};

// The request tokens the client would send, made ahead, with the values as
// they travel.
std::vector<Bstr> MakeRequests(Setup& s, int calls, std::vector<Bstr>& sent) {
  std::vector<Bstr> tokens;
  for (int i = 0; i < calls; ++i) {
    SetTokenData(s.client.get(), 0, 0, Bstr(kMethod), Bstr(u""));
    for (uint32_t a = 0; a < 2; ++a) SetTokenData(s.client.get(), a + 1, 0, Bstr(kArgNames[a]), Bstr(kArgValues[a]));
    Bstr token;
    ConstructToken(s.client.get(), &token);
    tokens.push_back(std::move(token));
  }
  sent.clear();
  for (uint32_t a = 0; a < 3; ++a) {
    Bstr v;
    GetTokenData(s.client.get(), a, nullptr, nullptr, &v);
    sent.push_back(v);
  }
  return tokens;
}

bool ServerCall(SessionImpl& session, const Bstr& token, const std::vector<Bstr>& sent, uint32_t kind,
                const Bstr& result) {
  if (!session.SetTokenData(0, 0, Bstr(kMethod), sent[0]).ok()) return false;
  for (uint32_t a = 0; a < 2; ++a)
    if (!session.SetTokenData(a + 1, 0, Bstr(kArgNames[a]), sent[a + 1]).ok()) return false;
  quor::Result<bool> valid = session.ValidateToken(token);
  if (!valid.ok() || !*valid) return false;
  Bstr decoded;
  for (uint32_t a = 0; a < 3; ++a)
    if (!session.GetTokenData(a, nullptr, nullptr, &decoded).ok()) return false;
  if (!session.SetTokenData(0, 0, Bstr(kMethod), Bstr()).ok()) return false;
  if (!session.SetTokenData(1, kind, Bstr(u"result"), result).ok()) return false;
  quor::Result<Bstr> reskey = session.ConstructToken();
  Bstr wire;
  if (!reskey.ok() || !session.GetTokenData(1, nullptr, nullptr, &wire).ok()) return false;
  return !reskey->Empty() && !wire.Empty();
}

}  // namespace

int main(int argc, char** argv) {
  const int smallCalls = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int largeCalls = argc > 2 ? std::atoi(argv[2]) : 500;

  // Keys go to a folder of our own.
  const quor::test::TempDir temp("quor-token-bench");
  const std::filesystem::path& folder = temp.Path();
  ::setenv("QUOR_KEYDIR", (folder / "keys").c_str(), 1);
  ::setenv("QUOR_REGISTRY", (folder / "registry.reg").c_str(), 1);

  Setup setup;
  Bare bare;
  std::printf("token_bench: server token work per call (validate the request, construct the answer)\n");
  std::printf("next to bare SHA-1 and RC2-CBC over the same bytes (OpenSSL, same run)\n\n");
  std::printf("%-10s %-25s %7s %12s %12s %12s %8s\n", "result", "answer kind", "calls", "token work", "bare SHA-1",
              "bare RC2", "ratio");

  struct Case {
    const char* label;
    size_t characters;
    int calls;
  };
  const char* kindNames[] = {"plain (0)", "compressed (1)", "encrypted (2)", "compressed+encrypted (3)"};
  int status = 0;
  for (const Case& c : {Case{"small", 120, smallCalls}, Case{"64 KB", 65536, largeCalls}}) {
    const Bstr result(Result(c.characters));
    // The bytes the token work covers: the request's items and the answer's.
    std::vector<uint8_t> bytes;
    Append(bytes, kMethod);
    for (int a = 0; a < 2; ++a) {
      Append(bytes, kArgNames[a]);
      Append(bytes, kArgValues[a]);
    }
    Append(bytes, kMethod);
    Append(bytes, u"result");
    Append(bytes, result.View());

    for (uint32_t kind : {0u, 1u, 2u, 3u}) {
      std::vector<Bstr> sent;
      const std::vector<Bstr> tokens = MakeRequests(setup, c.calls + 10, sent);
      for (int i = 0; i < 10; ++i) ServerCall(*setup.session, tokens[i], sent, kind, result);  // warm up
      auto start = Clock::now();
      for (int i = 0; i < c.calls; ++i)
        if (!ServerCall(*setup.session, tokens[i + 10], sent, kind, result)) {
          std::fprintf(stderr, "token_bench: call %d was refused\n", i);
          status = 1;
          break;
        }
      const double token = Micro(Clock::now() - start, c.calls);

      unsigned char digest[EVP_MAX_MD_SIZE];
      std::vector<uint8_t> cipher;
      start = Clock::now();
      for (int i = 0; i < c.calls; ++i) bare.Hash(bytes, digest);
      const double sha = Micro(Clock::now() - start, c.calls);
      start = Clock::now();
      for (int i = 0; i < c.calls; ++i) bare.Encrypt(bytes, cipher);
      const double rc2 = Micro(Clock::now() - start, c.calls);

      std::printf("%-10s %-25s %7d %9.1f us %9.1f us %9.1f us %7.2fx\n", c.label, kindNames[kind], c.calls, token, sha,
                  rc2, token / (sha + rc2));
    }
  }
  std::printf("\nratio = token work / (bare SHA-1 + bare RC2) over the same bytes\n");
  return status;
}
