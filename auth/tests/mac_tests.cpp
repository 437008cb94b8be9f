// The token handlers end to end: a console-side handler and a server-side
// handler that share a session key exchange request tokens and answers over
// real OpenSSL, and the server refuses what it must refuse.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <set>

#include "auth/config.h"
#include "auth/mac.h"
#include "auth/util/codec.h"
#include "auth/util/crypto.h"
#include "helpers.h"

// The largest single allocation made through operator new, so that a test can
// show that a refusal allocated nothing large.
namespace {
std::atomic<size_t> g_largestAllocation{0};
// Out of line, so that the compiler does not pair malloc and free across the
// replaced operators.
[[gnu::noinline]] void* RawAllocate(std::size_t n) { return std::malloc(n ? n : 1); }
[[gnu::noinline]] void RawFree(void* p) { std::free(p); }
}  // namespace

void* operator new(std::size_t n) {
  size_t seen = g_largestAllocation.load(std::memory_order_relaxed);
  while (n > seen && !g_largestAllocation.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
  }
  if (void* p = RawAllocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
// The standard library (e.g. stable_sort's temporary buffer) allocates with the
// non-throwing forms; they must come from the same heap as the deletes below.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return operator new(n, std::nothrow); }
void operator delete(void* p) noexcept { RawFree(p); }
void operator delete(void* p, std::size_t) noexcept { RawFree(p); }
void operator delete[](void* p) noexcept { RawFree(p); }
void operator delete[](void* p, std::size_t) noexcept { RawFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { RawFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { RawFree(p); }

namespace quor::auth {
namespace {

using testing::AuthTest;
using testing::Must;
using util::Base64Decode;
using util::Base64Encode;
using util::WidenAscii;

struct Item {
  uint32_t kind;
  std::u16string name;
  Bstr value;
};

// A client and a server handler joined the way a session joins them: the
// client's seed goes to the server, and one RC2 key reaches the server as a
// key blob and the client wrapped under the public key of its seed.
struct Pair {
  TokenHandlerPtr client, server;
  util::CryptProvider keys;
  util::CryptKey key;
  Bstr seed;

  explicit Pair(const Bstr& scheme = Bstr(u"")) {
    EXPECT_EQ(AcquireClientTokenHandler(scheme, &client), S_OK);
    Bstr normalised;
    EXPECT_EQ(GetTokenScheme(client.get(), &normalised), S_OK);
    EXPECT_EQ(GetTokenSeed(client.get(), &seed), S_OK);
    EXPECT_EQ(AcquireTokenHandler(normalised, &server), S_OK);
    EXPECT_EQ(SetTokenSeed(server.get(), seed), S_OK);
    Must(keys.AcquireContext(std::nullopt, std::nullopt, 0, crypt::CRYPT_VERIFYCONTEXT));
    key = Must(keys.GenKey(crypt::CALG_RC2, crypt::CRYPT_EXPORTABLE));
    util::CryptKey clientPublic = Must(keys.ImportKey(Base64Decode(SplitText(seed.View(), u';').second), 0, nullptr));
    EXPECT_EQ(SetTokenItem(server.get(), Bstr(kSessionKeyItem),
                           Bstr(WidenAscii(Base64Encode(Must(key.ExportKey(crypt::OPAQUEKEYBLOB, nullptr)))))),
              S_OK);
    EXPECT_EQ(SetTokenItem(client.get(), Bstr(kSessionKeyItem),
                           Bstr(WidenAscii(Base64Encode(Must(key.ExportKey(crypt::SIMPLEBLOB, &clientPublic)))))),
              S_OK);
    EXPECT_EQ(SetTokenItem(client.get(), Bstr(kOpaqueItem), Bstr(u"VERIFIER")), S_OK);
  }

  // The client's request over `items`; `sent` receives the values as they
  // travel.
  Bstr Request(const std::vector<Item>& items, std::vector<Bstr>* sent = nullptr) {
    for (uint32_t i = 0; i < items.size(); ++i)
      EXPECT_EQ(SetTokenData(client.get(), i, items[i].kind, Bstr(items[i].name), items[i].value), S_OK);
    Bstr token;
    EXPECT_EQ(ConstructToken(client.get(), &token), S_OK);
    if (sent) {
      sent->clear();
      for (uint32_t i = 0; i < items.size(); ++i) {
        Bstr encoded;
        EXPECT_EQ(GetTokenData(client.get(), i, nullptr, nullptr, &encoded), S_OK);
        sent->push_back(encoded);
      }
    }
    return token;
  }

  // The server sets the items as received (flags 0, as the service core
  // does) and validates the token.
  HRESULT Validate(const std::vector<Item>& items, const std::vector<Bstr>& received, const Bstr& token) {
    for (uint32_t i = 0; i < items.size(); ++i)
      EXPECT_EQ(SetTokenData(server.get(), i, 0, Bstr(items[i].name), received[i]), S_OK);
    return ValidateToken(server.get(), token);
  }

  Bstr Decoded(TokenHandler* h, uint32_t index) {
    Bstr value;
    EXPECT_EQ(GetTokenData(h, index, nullptr, nullptr, &value), S_OK);
    return value;
  }

  // A token sealed with the session key over a hand-made inner text.
  Bstr Craft(std::string_view inner) {
    util::Bytes bytes(inner.begin(), inner.end());
    bytes.push_back(0);
    return Bstr(WidenAscii(Base64Encode(Must(key.Encrypt(bytes, true)))) + u":VERIFIER");
  }

  // The digest a token over these names and received values carries.
  std::string Digest(const std::vector<std::pair<std::u16string, Bstr>>& items) {
    util::CryptHash hash = Must(keys.CreateHash(crypt::CALG_SHA1));
    Must(hash.HashSessionKey(key));
    auto wide = [&](std::u16string_view s) {
      if (!s.empty()) Must(hash.HashData(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size() * 2)));
    };
    for (auto& [name, value] : items) {
      wide(name);
      wide(value.View());
    }
    return util::HexEncode(Must(hash.GetHashValue()));
  }
};

std::string Table(std::initializer_list<std::pair<uint32_t, uint32_t>> entries) {
  util::Bytes bytes;
  for (auto [kind, length] : entries)
    for (uint32_t v : {kind, length})
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return util::HexEncode(bytes);
}

// A time this far ahead of the clock: within the server's window of five
// minutes unless told otherwise.
std::string Later(int seconds = 60) {
  return text::Narrow(FormatTokenTime(time::Now() + std::chrono::seconds(seconds)));
}

// A fresh nonce in the form the console makes it: hex of 8 random bytes.
std::string Nonce() {
  static std::atomic<uint64_t> next{0x1234'5678'9ABC'0000};
  uint64_t n = next++;
  util::Bytes bytes(8);
  for (auto& b : bytes) b = static_cast<uint8_t>(n), n >>= 8;
  return util::HexEncode(bytes);
}

Bstr MegabyteOfText() {
  std::u16string big;
  big.reserve(1 << 20);
  for (size_t i = 0; big.size() < (1 << 20); ++i) big += static_cast<char16_t>(u'A' + (i * 7919) % 61);
  return Bstr(std::move(big));
}

// ---- Round trips ------------------------------------------------------------------

TEST_F(AuthTest, RequestsAndAnswersRoundTripInEveryKind) {
  Pair pair;
  const std::vector<Bstr> values = {Bstr(u""), Bstr(u"日本語のテキスト, Ärger, \U0001F600"), Bstr(u"line\r\nnext\r\n\r\n"),
                                    MegabyteOfText()};
  for (uint32_t kind : {kKindPlain, kKindCompressed, kKindEncrypted, kKindCompressedEncrypted}) {
    std::vector<Item> items = {{0, u"GetShareField", Bstr(u"")}};
    for (size_t v = 0; v < values.size(); ++v) items.push_back({kind, u"arg" + WidenAscii(std::to_string(v)), values[v]});
    std::vector<Bstr> sent;
    const Bstr token = pair.Request(items, &sent);
    if (kind != kKindPlain) {
      EXPECT_NE(sent[4], values[3]);  // not sent as it is
    }
    ASSERT_EQ(pair.Validate(items, sent, token), S_OK) << kind;
    for (size_t v = 0; v < values.size(); ++v) {
      uint32_t gotKind = 99;
      Bstr value, decoded;
      ASSERT_EQ(GetTokenData(pair.server.get(), static_cast<uint32_t>(v + 1), &gotKind, &value, &decoded), S_OK);
      EXPECT_EQ(gotKind, kind);
      EXPECT_EQ(value, sent[v + 1]);
      EXPECT_TRUE(decoded == values[v]) << "kind " << kind << " value " << v;
    }

    // The answer, as the service core wraps it: method name and "result".
    for (size_t v = 0; v < values.size(); ++v) {
      ASSERT_EQ(SetTokenData(pair.server.get(), 0, 0, Bstr(u"GetShareField"), Bstr()), S_OK);
      ASSERT_EQ(SetTokenData(pair.server.get(), 1, kind, Bstr(u"result"), values[v]), S_OK);
      Bstr reskey, wire;
      ASSERT_EQ(ConstructToken(pair.server.get(), &reskey), S_OK);
      EXPECT_EQ(reskey.View().back(), u':');
      ASSERT_EQ(GetTokenData(pair.server.get(), 1, nullptr, nullptr, &wire), S_OK);
      ASSERT_EQ(SetTokenData(pair.client.get(), 0, 0, Bstr(u"GetShareField"), Bstr(u"")), S_OK);
      ASSERT_EQ(SetTokenData(pair.client.get(), 1, 0, Bstr(u"result"), wire), S_OK);
      ASSERT_EQ(ValidateToken(pair.client.get(), reskey), S_OK) << kind << " " << v;
      EXPECT_TRUE(pair.Decoded(pair.client.get(), 1) == values[v]);
    }
  }
}

TEST_F(AuthTest, AnAnswerHeldAsUtf8HashesAsItsUtf16Form) {
  // The service's large answers stay UTF-8 (hashed a piece at a time); a
  // client holding the same text as UTF-16 must come to the same digest,
  // characters of every length falling across the pieces' ends.
  Pair pair;
  const std::vector<Item> items = {{0, u"GetVOContent", Bstr(u"")}};
  std::vector<Bstr> sent;
  const Bstr token = pair.Request(items, &sent);
  ASSERT_EQ(pair.Validate(items, sent, token), S_OK);
  std::string big;
  while (big.size() < 300000) big += "abc\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80 <&>\n";  // 17 bytes
  const Bstr utf8 = Bstr::TakeUtf8(std::move(big));
  ASSERT_EQ(SetTokenData(pair.server.get(), 0, 0, Bstr(u"GetVOContent"), Bstr()), S_OK);
  ASSERT_EQ(SetTokenData(pair.server.get(), 1, kKindPlain, Bstr(u"result"), utf8), S_OK);
  Bstr reskey;
  ASSERT_EQ(ConstructToken(pair.server.get(), &reskey), S_OK);
  ASSERT_EQ(SetTokenData(pair.client.get(), 0, 0, Bstr(u"GetVOContent"), Bstr(u"")), S_OK);
  ASSERT_EQ(SetTokenData(pair.client.get(), 1, 0, Bstr(u"result"), Bstr(std::u16string(utf8.View()))), S_OK);
  EXPECT_EQ(ValidateToken(pair.client.get(), reskey), S_OK);
}

// ---- Answers hashed as they are sent ----------------------------------------------

// How a value is cut into the pieces it is sent in.
enum class Cut { Whole, Characters, Bytes, Blocks };

std::vector<std::string_view> Pieces(std::string_view value, Cut cut) {
  std::vector<std::string_view> out;
  for (size_t at = 0; at < value.size();) {
    size_t n = value.size() - at;
    if (cut == Cut::Characters) {  // each ends before a byte that starts a character
      n = 1;
      while (at + n < value.size() && (static_cast<unsigned char>(value[at + n]) & 0xC0) == 0x80) ++n;
    } else if (cut == Cut::Bytes) {
      n = 1;
    } else if (cut == Cut::Blocks) {
      n = std::min(n, size_t{4099});
    }
    out.push_back(value.substr(at, n));
    at += n;
  }
  return out;
}

HRESULT Hash(TokenHandler* h, const std::vector<std::string_view>& pieces) {
  for (std::string_view piece : pieces)
    if (HRESULT hr = HashTokenStream(h, piece); hr != S_OK) return hr;
  return S_OK;
}

// The answer's items with the result to come as it is sent.
void StreamItems(TokenHandler* h, uint32_t kind = kKindPlain, const Bstr& value = Bstr()) {
  EXPECT_EQ(SetTokenData(h, 0, 0, Bstr(u"Query"), Bstr()), S_OK);
  EXPECT_EQ(SetTokenData(h, 1, kind, Bstr(u"result"), value), S_OK);
}

TEST_F(AuthTest, StreamedAnswersAreTheBufferedOnesAndValidateBothWays) {
  Pair pair;
  const std::vector<Item> items = {{0, u"Query", Bstr(u"")}};
  std::vector<Bstr> sent;
  const Bstr request = pair.Request(items, &sent);
  ASSERT_EQ(pair.Validate(items, sent, request), S_OK);

  std::string big;  // characters of 1 to 4 bytes across every 64 KiB and piece end
  while (big.size() < 200000) big += "row;\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n";
  // Cut sequences ended by another byte, overlong and surrogate forms, stray
  // continuation bytes, a bad lead byte, a run of continuation bytes longer
  // than a hashed chunk, and a sequence cut by the end of the text.
  const std::string invalid = std::string("a\xE2\x82") + "b\xC0\x80\xED\xA0\x80\x80\x80\xF8\xF0\x9F\x98" + "c" +
                              std::string(70000, '\x80') + "d\xF0\x9F\x98";
  const std::vector<std::string> values = {"", "<root>\xE6\x97\xA5\xE6\x9C\xAC, \xC3\x84rger, \xF0\x9F\x98\x80</root>",
                                           big, invalid};
  for (size_t v = 0; v < values.size(); ++v) {
    const std::string& value = values[v];
    StreamItems(pair.server.get(), kKindPlain, Bstr::FromUtf8(value));
    Bstr buffered;
    ASSERT_EQ(ConstructToken(pair.server.get(), &buffered), S_OK);
    // The client holding the text as UTF-16 hashes it whole.
    StreamItems(pair.client.get(), kKindPlain, Bstr(text::Widen(value)));
    ASSERT_EQ(ValidateToken(pair.client.get(), buffered), S_OK) << v;

    for (Cut cut : {Cut::Whole, Cut::Characters, Cut::Bytes, Cut::Blocks}) {
      const std::vector<std::string_view> pieces = Pieces(value, cut);
      StreamItems(pair.server.get());
      ASSERT_EQ(BeginTokenStream(pair.server.get()), S_OK);
      ASSERT_EQ(Hash(pair.server.get(), pieces), S_OK);
      Bstr streamed;
      ASSERT_EQ(EndTokenStream(pair.server.get(), &streamed), S_OK);
      EXPECT_EQ(streamed, buffered) << v << " cut " << static_cast<int>(cut);

      StreamItems(pair.client.get());
      ASSERT_EQ(BeginValidateStream(pair.client.get()), S_OK);
      ASSERT_EQ(Hash(pair.client.get(), pieces), S_OK);
      EXPECT_EQ(EndValidateStream(pair.client.get(), streamed), S_OK) << v << " cut " << static_cast<int>(cut);
      uint32_t kind = 99;
      Bstr decoded(u"stale");
      ASSERT_EQ(GetTokenData(pair.client.get(), 1, &kind, nullptr, &decoded), S_OK);
      EXPECT_EQ(kind, kKindPlain);
      EXPECT_TRUE(decoded.IsNull());
    }
  }
}

TEST_F(AuthTest, StreamedAnswersRefuseChangedPiecesAndMisuse) {
  Pair pair;
  TokenHandler* const server = pair.server.get();
  TokenHandler* const client = pair.client.get();
  Bstr token;
  EXPECT_EQ(BeginTokenStream(server), E_INVALIDARG);  // no items
  EXPECT_EQ(HashTokenStream(server, "x"), E_UNEXPECTED);
  EXPECT_EQ(EndTokenStream(server, &token), E_UNEXPECTED);
  EXPECT_EQ(HashTokenStream(client, "x"), E_UNEXPECTED);
  EXPECT_EQ(EndValidateStream(client, Bstr(u"x:")), E_UNEXPECTED);
  EXPECT_EQ(BeginValidateStream(server), E_NOTIMPL);
  EXPECT_EQ(BeginTokenStream(client), E_NOTIMPL);

  const std::vector<Item> items = {{0, u"Query", Bstr(u"")}};
  std::vector<Bstr> sent;
  const Bstr request = pair.Request(items, &sent);
  ASSERT_EQ(pair.Validate(items, sent, request), S_OK);

  // Only a last item that is plain and absent streams; a refused Begin
  // leaves no stream.
  for (const auto& [kind, value] : std::vector<std::pair<uint32_t, Bstr>>{
           {kKindCompressed, Bstr()}, {kKindPlain, Bstr(u"")}, {kKindPlain, Bstr(u"v")}}) {
    StreamItems(server, kind, value);
    StreamItems(client, kind, value);
    EXPECT_EQ(BeginTokenStream(server), E_INVALIDARG);
    EXPECT_EQ(BeginValidateStream(client), E_INVALIDARG);
    EXPECT_EQ(HashTokenStream(server, "x"), E_UNEXPECTED);
    EXPECT_EQ(HashTokenStream(client, "x"), E_UNEXPECTED);
  }

  const std::vector<std::string_view> pieces = {"<root>", "\xE6\x97\xA5\xE6\x9C\xAC rows", "</root>"};
  StreamItems(server);
  ASSERT_EQ(BeginTokenStream(server), S_OK);
  ASSERT_EQ(Hash(server, pieces), S_OK);
  Bstr answer;
  ASSERT_EQ(EndTokenStream(server, &answer), S_OK);
  EXPECT_EQ(HashTokenStream(server, "x"), E_UNEXPECTED);  // ended
  auto check = [&](const std::vector<std::string_view>& got, const Bstr& token) {
    StreamItems(client);
    EXPECT_EQ(BeginValidateStream(client), S_OK);
    EXPECT_EQ(Hash(client, got), S_OK);
    return EndValidateStream(client, token);
  };
  std::string changed(pieces[1]);
  changed[3] ^= 0x01;
  EXPECT_EQ(check({pieces[0], changed, pieces[2]}, answer), E_FAIL);
  EXPECT_EQ(check({pieces[0], pieces[2]}, answer), E_FAIL);
  EXPECT_EQ(check(pieces, answer), S_OK);
  EXPECT_EQ(HashTokenStream(client, "x"), E_UNEXPECTED);  // ended

  // A packed result cannot be decoded from pieces that were never held:
  // its answer fails even over the very text sent.
  StreamItems(server, kKindCompressed, Bstr(u"<root/>"));
  ASSERT_EQ(ConstructToken(server, &answer), S_OK);
  Bstr wire;
  ASSERT_EQ(GetTokenData(server, 1, nullptr, nullptr, &wire), S_OK);
  const std::string packed = wire.ToUtf8();
  EXPECT_EQ(check({packed}, answer), E_FAIL);
}

TEST_F(AuthTest, AbsentValuesAndEmptyItemListsTravelToo) {
  Pair pair;
  // An absent value stays absent in every kind and counts in the table.
  const std::vector<Item> items = {{0, u"M", Bstr()}, {1, u"a", Bstr()}, {2, u"b", Bstr()}, {3, u"", Bstr(u"")}};
  std::vector<Bstr> sent;
  const Bstr token = pair.Request(items, &sent);
  EXPECT_TRUE(sent[1].IsNull());
  EXPECT_TRUE(sent[2].IsNull());
  ASSERT_EQ(pair.Validate(items, sent, token), S_OK);
  EXPECT_TRUE(pair.Decoded(pair.server.get(), 1).IsNull());
  EXPECT_TRUE(pair.Decoded(pair.server.get(), 3) == Bstr(u""));

  // No items at all: the table is empty and the digest covers the key alone.
  const std::string inner = Nonce() + ":" + Later() + ":" + pair.Digest({}) + ":";
  TokenHandlerPtr fresh;
  ASSERT_EQ(AcquireTokenHandler(Bstr(u""), &fresh), S_OK);
  ASSERT_EQ(SetTokenSeed(fresh.get(), pair.seed), S_OK);
  ASSERT_EQ(SetTokenItem(fresh.get(), Bstr(kSessionKeyItem),
                         Bstr(WidenAscii(Base64Encode(Must(pair.key.ExportKey(crypt::OPAQUEKEYBLOB, nullptr)))))),
            S_OK);
  EXPECT_EQ(ValidateToken(fresh.get(), pair.Craft(inner)), S_OK);
}

TEST_F(AuthTest, StrongerHashSchemesWorkEndToEnd) {
  Pair pair(Bstr(u",,,CALG_SHA_256"));
  Bstr scheme;
  ASSERT_EQ(GetTokenScheme(pair.server.get(), &scheme), S_OK);
  EXPECT_EQ(scheme, u"Microsoft Base Cryptographic Provider v1.0,PROV_RSA_FULL,CALG_RC2,CALG_SHA_256");
  const std::vector<Item> items = {{0, u"M", Bstr(u"")}, {1, u"x", Bstr(u"payload")}};
  std::vector<Bstr> sent;
  const Bstr token = pair.Request(items, &sent);
  EXPECT_EQ(pair.Validate(items, sent, token), S_OK);
}

// ---- Refusals ---------------------------------------------------------------------

TEST_F(AuthTest, ReplaysAndAlteredItemsAreRefusedWithoutAdvancing) {
  Pair pair;
  const std::vector<Item> items = {{0, u"Delete", Bstr(u"")}, {0, u"uri", Bstr(u"urn:vocontent:vodb000:1")},
                                   {1, u"body", Bstr(u"text")}};
  std::vector<Bstr> sent;
  const Bstr token = pair.Request(items, &sent);

  std::vector<Bstr> altered = sent;
  altered[1] = Bstr(u"urn:vocontent:vodb000:2");
  EXPECT_EQ(pair.Validate(items, altered, token), E_FAIL);
  std::vector<Item> renamed = items;
  renamed[1].name = u"URI";
  EXPECT_EQ(pair.Validate(renamed, sent, token), E_FAIL);
  std::vector<Item> fewer(items.begin(), items.end() - 1);
  EXPECT_EQ(pair.Validate(fewer, sent, token), E_FAIL);

  // The failures left the last accepted time alone: the real one passes once.
  EXPECT_EQ(pair.Validate(items, sent, token), S_OK);
  EXPECT_EQ(pair.Validate(items, sent, token), E_FAIL);

  // A well-made token no later than the last accepted time is a replay too.
  const std::vector<Item> one = {{0, u"M", Bstr(u"")}};
  const std::string digest = pair.Digest({{u"M", Bstr(u"")}});
  const std::string old = text::Narrow(FormatTokenTime(time::Now() - std::chrono::hours(1)));
  EXPECT_EQ(pair.Validate(one, {Bstr(u"")}, pair.Craft(Nonce() + ":" + old + ":" + digest + ":" + Table({{0, 0}}))), E_FAIL);
  EXPECT_EQ(pair.Validate(one, {Bstr(u"")}, pair.Craft(Nonce() + ":" + Later() + ":" + digest + ":" + Table({{0, 0}}))), S_OK);
}

TEST_F(AuthTest, NoFlippedBitOrSwappedBlockOfAnAcceptedTokenPassesAgain) {
  // Captured after it was accepted, a token is changed as an attacker on the
  // wire could: each bit of its sealed part flipped in turn (moving its time
  // forward garbles the block before), and each two blocks swapped. An
  // answer is changed alike on its way to the client.
  Pair pair;
  const std::vector<Item> items = {{0, u"PutLog", Bstr(u"")}, {0, u"log", Bstr(u"once only")}};
  size_t variants = 0;
  for (int round = 0; round < 4; ++round) {
    std::vector<Bstr> sent;
    const Bstr token = pair.Request(items, &sent);
    ASSERT_EQ(pair.Validate(items, sent, token), S_OK);
    const std::u16string_view text = token.View();
    const util::Bytes sealed = Base64Decode(text.substr(0, text.find(u':')));
    const auto refused = [&](const util::Bytes& changed) {
      ++variants;
      return pair.Validate(items, sent, Bstr(WidenAscii(Base64Encode(changed)) + u":VERIFIER")) != S_OK;
    };
    for (size_t bit = 0; bit < sealed.size() * 8; ++bit) {
      util::Bytes changed = sealed;
      changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      ASSERT_TRUE(refused(changed)) << "bit " << bit << " of round " << round;
    }
    for (size_t a = 0; a + 8 <= sealed.size(); a += 8)
      for (size_t b = a + 8; b + 8 <= sealed.size(); b += 8) {
        util::Bytes changed = sealed;
        std::swap_ranges(changed.begin() + a, changed.begin() + a + 8, changed.begin() + b);
        ASSERT_TRUE(refused(changed)) << "blocks " << a / 8 << " and " << b / 8;
      }
    // The client opens the answer as strictly.
    ASSERT_EQ(pair.Validate(items, sent, pair.Request(items, &sent)), S_OK);
    ASSERT_EQ(SetTokenData(pair.server.get(), 0, 0, Bstr(u"PutLog"), Bstr()), S_OK);
    ASSERT_EQ(SetTokenData(pair.server.get(), 1, 0, Bstr(u"result"), Bstr(u"<root>0</root>")), S_OK);
    Bstr answer;
    ASSERT_EQ(ConstructToken(pair.server.get(), &answer), S_OK);
    ASSERT_EQ(SetTokenData(pair.client.get(), 0, 0, Bstr(u"PutLog"), Bstr(u"")), S_OK);
    ASSERT_EQ(SetTokenData(pair.client.get(), 1, 0, Bstr(u"result"), Bstr(u"<root>0</root>")), S_OK);
    const util::Bytes answered = Base64Decode(answer.View().substr(0, answer.Length() - 1));
    for (size_t bit = 0; bit < answered.size() * 8; ++bit) {
      util::Bytes changed = answered;
      changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      ++variants;
      ASSERT_NE(ValidateToken(pair.client.get(), Bstr(WidenAscii(Base64Encode(changed)) + u":")), S_OK) << bit;
    }
    EXPECT_EQ(ValidateToken(pair.client.get(), answer), S_OK);
  }
  EXPECT_GT(variants, 4000u);
  // None of them moved the session on.
  std::vector<Bstr> sent;
  const Bstr next = pair.Request(items, &sent);
  EXPECT_EQ(pair.Validate(items, sent, next), S_OK);
}

TEST_F(AuthTest, ForeignTruncatedAndGarbageTokensAreRefused) {
  Pair pair, other;
  const std::vector<Item> items = {{0, u"M", Bstr(u"")}, {2, u"secret", Bstr(u"value")}};
  std::vector<Bstr> sent;
  const Bstr token = other.Request(items, &sent);
  // Under another session key: the padding fails, or the text is nonsense.
  HRESULT hr = pair.Validate(items, sent, token);
  EXPECT_TRUE(hr == crypt::NTE_BAD_DATA || hr == E_INVALIDARG || hr == E_FAIL) << std::hex << hr;

  const Bstr mine = pair.Request(items, &sent);
  const std::u16string_view text = mine.View();
  EXPECT_EQ(pair.Validate(items, sent, Bstr(text.substr(0, text.find(u':') - 5))), crypt::NTE_BAD_DATA);
  com::ClearErrorInfo();
  EXPECT_EQ(pair.Validate(items, sent, Bstr(u"!!!!not a token at all")), crypt::NTE_BAD_DATA);
  auto info = com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"CryptDecrypt");
  EXPECT_EQ(pair.Validate(items, sent, Bstr(u"")), E_INVALIDARG);
  EXPECT_EQ(pair.Validate(items, sent, Bstr()), E_INVALIDARG);
  EXPECT_EQ(pair.Validate(items, sent, Bstr(u":only the verifier")), crypt::NTE_BAD_DATA);
  // Still good for the real one afterwards.
  EXPECT_EQ(pair.Validate(items, sent, mine), S_OK);
}

TEST_F(AuthTest, MalformedInnerTextsAreRefusedByThePartsRules) {
  Pair pair;
  const std::string digest = pair.Digest({{u"M", Bstr(u"v")}});
  const std::vector<Item> items = {{0, u"M", Bstr(u"v")}};
  const std::vector<Bstr> sent = {Bstr(u"v")};
  auto check = [&](std::string inner) { return pair.Validate(items, sent, pair.Craft(inner)); };
  EXPECT_EQ(check(":" + Later() + ":" + digest + ":" + Table({{0, 0}})), E_INVALIDARG);  // no nonce
  EXPECT_EQ(check(Nonce() + "::" + digest + ":" + Table({{0, 0}})), E_INVALIDARG);               // no time
  EXPECT_EQ(check(Nonce() + ":" + Later() + "::" + Table({{0, 0}})), E_INVALIDARG);              // no digest
  EXPECT_EQ(check("no fields"), E_INVALIDARG);
  // Each field exactly as the console writes it, and nothing more.
  const std::string table = Table({{0, 0}});
  EXPECT_EQ(check("AB:" + Later() + ":" + digest + ":" + table), E_INVALIDARG);  // a nonce of one byte
  EXPECT_EQ(check(text::ToLowerAscii(Nonce()) + ":" + Later() + ":" + digest + ":" + table), E_INVALIDARG);
  EXPECT_EQ(check(Nonce() + "0:" + Later() + ":" + digest + ":" + table), E_INVALIDARG);  // half a byte
  EXPECT_EQ(check(Nonce() + Nonce() + ":" + Later() + ":" + digest + ":" + table), E_INVALIDARG);  // 16 bytes
  EXPECT_EQ(check(Nonce() + ":" + Later().substr(1) + ":" + digest + ":" + table), E_INVALIDARG);
  EXPECT_EQ(check(Nonce() + ":20261302030405678:" + digest + ":" + table), E_INVALIDARG);  // month 13
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + "00:" + table), E_INVALIDARG);
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + ":" + table + "0"), E_INVALIDARG);
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + ":" + table + ":"), E_INVALIDARG);
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + ":" + table + std::string(1, '\0') + "X"), E_INVALIDARG);
  // A time outside the window around the server's clock.
  EXPECT_EQ(check(Nonce() + ":" + Later(301) + ":" + digest + ":" + table), E_FAIL);
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + ":" + Table({})), E_FAIL);  // table too short
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + ":" + Table({{0, 0}, {0, 0}})), E_FAIL);
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + text::ToLowerAscii(digest) + ":" + Table({{0, 0}})), E_INVALIDARG);
  // A kind the format does not define.
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + ":" + Table({{4, 0}})), E_INVALIDARG);
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + ":" + Table({{0x10000, 0}})), E_INVALIDARG);
  EXPECT_EQ(check(Nonce() + ":" + Later() + ":" + digest + ":" + Table({{0, 0}}) + ":extra:fields"), E_INVALIDARG);
  // The failures changed nothing: a well-made token passes, and its nonce
  // does not pass again, even at a later time.
  const std::string nonce = Nonce();
  EXPECT_EQ(check(nonce + ":" + Later(1) + ":" + digest + ":" + table), S_OK);
  EXPECT_EQ(check(nonce + ":" + Later(2) + ":" + digest + ":" + table), E_FAIL);
  EXPECT_EQ(check(Nonce() + ":" + Later(3) + ":" + digest + ":" + table), S_OK);
}

TEST_F(AuthTest, DeclaredUnpackedLengthsAreCheckedBeforeAnythingIsAllocated) {
  Pair pair;
  // A real compressed value: "hello" in UTF-16LE with its terminator.
  const std::u16string hello = u"hello";
  util::Bytes raw(reinterpret_cast<const uint8_t*>(hello.c_str()),
                  reinterpret_cast<const uint8_t*>(hello.c_str()) + (hello.size() + 1) * 2);
  const Bstr packed(WidenAscii(Base64Encode(Must(CompressBuffer(raw)))));
  const std::vector<Item> items = {{0, u"M", Bstr(u"")}, {0, u"v", packed}};
  const std::vector<Bstr> sent = {Bstr(u""), packed};
  const std::string digest = pair.Digest({{u"M", Bstr(u"")}, {u"v", packed}});
  auto check = [&](uint32_t kind, uint32_t declared) {
    return pair.Validate(items, sent, pair.Craft(Nonce() + ":" + Later() + ":" + digest + ":" + Table({{0, 0}, {kind, declared}})));
  };
  g_largestAllocation = 0;
  EXPECT_EQ(check(1, 0xFFFFFFFF), E_OUTOFMEMORY);
  EXPECT_EQ(check(1, kMaxUnpackedBytes + 2), E_OUTOFMEMORY);
  EXPECT_EQ(check(1, 60u << 20), E_OUTOFMEMORY);  // under the cap, but more than the data can hold
  EXPECT_EQ(check(3, 0xFFFFFFFF), E_OUTOFMEMORY);
  EXPECT_LT(g_largestAllocation.load(), size_t{64} << 10) << "a refusal allocated a large buffer";
  EXPECT_EQ(check(1, 4), E_OUTOFMEMORY);  // zlib: the buffer is too small
  EXPECT_EQ(check(1, static_cast<uint32_t>(raw.size())), S_OK);
  EXPECT_TRUE(pair.Decoded(pair.server.get(), 1) == Bstr(hello));

  // Data that is not zlib's: any other zlib error is a bad argument.
  const Bstr junk(u"AAAAAAAAAAAA");
  const std::string junkDigest = pair.Digest({{u"M", Bstr(u"")}, {u"v", junk}});
  EXPECT_EQ(pair.Validate({{0, u"M", Bstr(u"")}, {0, u"v", junk}}, {Bstr(u""), junk},
                          pair.Craft(Nonce() + ":" + Later(120) + ":" + junkDigest + ":" + Table({{0, 0}, {1, 100}}))),
            E_INVALIDARG);
}

TEST_F(AuthTest, AnswersAreBoundToTheRequestTheyAnswer) {
  Pair pair;
  // Before any request: an empty nonce and the seed's time.
  SetTokenData(pair.server.get(), 0, 0, Bstr(u"M"), Bstr());
  Bstr early;
  ASSERT_EQ(ConstructToken(pair.server.get(), &early), S_OK);
  util::Bytes plain = Must(pair.key.Decrypt(Base64Decode(early.View().substr(0, early.Length() - 1)), true));
  const std::string inner(plain.begin(), plain.end() - 1);
  EXPECT_EQ(inner.front(), ':');
  EXPECT_EQ(inner.substr(1, 17).size(), 17u);
  EXPECT_TRUE(ParseTokenTime(text::Widen(inner.substr(1, 17))).has_value());

  const std::vector<Item> items = {{0, u"M", Bstr(u"")}};
  std::vector<Bstr> sent;
  Bstr first = pair.Request(items, &sent);
  ASSERT_EQ(pair.Validate(items, sent, first), S_OK);
  Bstr answer;
  ASSERT_EQ(ConstructToken(pair.server.get(), &answer), S_OK);
  // The client has moved on to another request: the old answer is not its.
  Bstr second = pair.Request(items, &sent);
  EXPECT_EQ(ValidateToken(pair.client.get(), answer), E_FAIL);
  // An answer made before any request has no nonce.
  EXPECT_EQ(ValidateToken(pair.client.get(), early), E_INVALIDARG);

  // An answer with the right time and digest but a nonce that was not made
  // with the seed key (which only the server that took the seed holds).
  util::Bytes sealed = Must(pair.key.Decrypt(Base64Decode(second.View().substr(0, second.View().find(u':'))), true));
  const std::vector<std::string> fields = text::Split(std::string(sealed.begin(), sealed.end() - 1), ':');
  ASSERT_EQ(fields.size(), 4u);
  const std::string digest = pair.Digest({{u"M", Bstr(u"")}});
  EXPECT_EQ(ValidateToken(pair.client.get(), pair.Craft("0123456789ABCDEF:" + fields[1] + ":" + digest + ":" +
                                                         Table({{0, 0}}))),
            E_FAIL);
  // The server's real answer to it passes.
  ASSERT_EQ(pair.Validate(items, sent, second), S_OK);
  ASSERT_EQ(ConstructToken(pair.server.get(), &answer), S_OK);
  EXPECT_EQ(ValidateToken(pair.client.get(), answer), S_OK);
}

TEST_F(AuthTest, RequestTimesAlwaysIncreaseAndNoncesDiffer) {
  Pair pair;
  time::SetFixedTime(time::Now());
  const std::vector<Item> items = {{0, u"M", Bstr(u"")}};
  std::set<std::string> nonces, times;
  for (int i = 0; i < 20; ++i) {
    std::vector<Bstr> sent;
    const Bstr token = pair.Request(items, &sent);
    util::Bytes plain = Must(pair.key.Decrypt(Base64Decode(token.View().substr(0, token.View().find(u':'))), true));
    const std::vector<std::string> fields = text::Split(std::string(plain.begin(), plain.end() - 1), ':');
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_GE(fields[0].size(), 16u);
    EXPECT_LE(fields[0].size(), 30u);
    nonces.insert(fields[0]);
    times.insert(fields[1]);
    // Within one frozen millisecond, every token still passes.
    ASSERT_EQ(pair.Validate(items, sent, token), S_OK) << i;
  }
  EXPECT_EQ(nonces.size(), 20u);
  EXPECT_EQ(times.size(), 20u);
  // The token carries the verifier after the sealed part.
  std::vector<Bstr> sent;
  EXPECT_TRUE(pair.Request(items, &sent).View().ends_with(u":VERIFIER"));
}

// ---- Set-up and item rules --------------------------------------------------------

TEST_F(AuthTest, SchemesDefaultAndUnknownProviderTypesHandOutNothing) {
  for (const char16_t* scheme : {u"", u",,,", u"Microsoft Base Cryptographic Provider v1.0",
                                 u",PROV_RSA_FULL,,CALG_SHA1,anything,after"}) {
    TokenHandlerPtr h;
    ASSERT_EQ(AcquireTokenHandler(Bstr(scheme), &h), S_OK);
    Bstr normalised;
    ASSERT_EQ(GetTokenScheme(h.get(), &normalised), S_OK);
    EXPECT_EQ(normalised, u"Microsoft Base Cryptographic Provider v1.0,PROV_RSA_FULL,CALG_RC2,CALG_SHA1");
  }
  TokenHandlerPtr h;
  EXPECT_EQ(AcquireTokenHandler(Bstr(u",PROV_NOTHING"), &h), crypt::NTE_BAD_PROV_TYPE);
  EXPECT_FALSE(h);
  EXPECT_EQ(AcquireTokenHandler(Bstr(u"No Such Provider"), &h), crypt::NTE_KEYSET_NOT_DEF);
  EXPECT_EQ(AcquireTokenHandler(Bstr(u""), nullptr), E_POINTER);
  EXPECT_EQ(ReleaseTokenHandler(h), S_OK);
}

TEST_F(AuthTest, BadSeedsAreRefusedAndLeaveTheHandlerAsItWas) {
  Pair pair;
  for (const char16_t* seed : {u"", u"no separators", u"R:T", u":T;P", u"R:;P", u"R:T;", u"RT;P"})
    EXPECT_EQ(SetTokenSeed(pair.server.get(), Bstr(seed)), E_INVALIDARG) << text::Narrow(seed);
  EXPECT_EQ(SetTokenSeed(pair.client.get(), Bstr(u"R:T")), E_INVALIDARG);
  // Still set up as before: a request passes.
  const std::vector<Item> items = {{0, u"M", Bstr(u"")}};
  std::vector<Bstr> sent;
  const Bstr token = pair.Request(items, &sent);
  EXPECT_EQ(pair.Validate(items, sent, token), S_OK);

  // The client's own seed intake takes a server's seed text.
  TokenHandlerPtr server;
  ASSERT_EQ(AcquireTokenHandler(Bstr(u""), &server), S_OK);
  Bstr serverSeed;
  ASSERT_EQ(GetTokenSeed(server.get(), &serverSeed), S_OK);
  EXPECT_EQ(SetTokenSeed(pair.client.get(), serverSeed), S_OK);
}

TEST_F(AuthTest, DataItemsAreSetInOrderAndHandedOutOnce) {
  Pair pair;
  TokenHandler* h = pair.server.get();
  ASSERT_EQ(SetTokenData(h, 0, 0, Bstr(u"M"), Bstr(u"")), S_OK);
  EXPECT_EQ(SetTokenData(h, 2, 0, Bstr(u"x"), Bstr(u"")), E_INVALIDARG);
  EXPECT_EQ(SetTokenData(h, 1, 4, Bstr(u"x"), Bstr(u"")), E_INVALIDARG);
  EXPECT_EQ(SetTokenData(h, 1, 0xFFFF, Bstr(u"x"), Bstr(u"")), E_INVALIDARG);
  ASSERT_EQ(SetTokenData(h, 1, kItemOwnsCopies | kKindCompressed, Bstr(u"x"), Bstr(u"y")), S_OK);
  uint32_t kind = 0;
  Bstr value, encoded;
  ASSERT_EQ(GetTokenData(h, 1, &kind, &value, &encoded), S_OK);
  EXPECT_EQ(kind, kKindCompressed);
  EXPECT_EQ(value, u"y");
  EXPECT_EQ(GetTokenData(h, 2, &kind, &value, &encoded), E_INVALIDARG);
  EXPECT_EQ(GetTokenData(h, 0, &kind, &value, nullptr), E_POINTER);
  // Index 0 starts over.
  ASSERT_EQ(SetTokenData(h, 0, 0, Bstr(u"N"), Bstr(u"")), S_OK);
  EXPECT_EQ(GetTokenData(h, 1, &kind, &value, &encoded), E_INVALIDARG);

  EXPECT_EQ(SetTokenItem(h, Bstr(u"sessionkey"), Bstr(u"AAAA")), E_UNEXPECTED);
  EXPECT_EQ(SetTokenItem(h, Bstr(u"Other"), Bstr(u"")), E_UNEXPECTED);
  Bstr item(u"stale");
  EXPECT_EQ(GetTokenItem(h, Bstr(kOpaqueItem), &item), S_OK);
  EXPECT_TRUE(item.IsNull());
  EXPECT_EQ(GetTokenItem(pair.client.get(), Bstr(kOpaqueItem), &item), S_OK);
  EXPECT_EQ(item, u"VERIFIER");
  // The session key goes out wrapped under the handler's own exchange key.
  EXPECT_EQ(GetTokenItem(h, Bstr(kSessionKeyItem), &item), S_OK);
  EXPECT_EQ(Base64Decode(item.View()).size(), 8u + 4u + 256u);
  EXPECT_EQ(SetTokenItem(h, Bstr(kSessionKeyItem), Bstr(u"garbage")), crypt::NTE_BAD_DATA);
  EXPECT_EQ(ConstructToken(h, nullptr), E_POINTER);
}

TEST(AuthCompression, BuffersRefuseWhatDoesNotFit) {
  util::Bytes data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 13);
  const util::Bytes packed = Must(CompressBuffer(data));
  EXPECT_LT(packed.size(), data.size());
  EXPECT_EQ(Must(UncompressBuffer(packed, data.size())), data);
  EXPECT_EQ(Must(UncompressBuffer(packed, data.size() + 100)), data);
  EXPECT_EQ(UncompressBuffer(packed, data.size() - 1).status().code(), Z_BUF_ERROR);
  EXPECT_EQ(UncompressBuffer(packed, size_t{kMaxUnpackedBytes} + 1).status().code(), Z_MEM_ERROR);
  EXPECT_FALSE(Must(CompressBuffer({})).empty());
}

TEST(AuthTokenTime, SeventeenDigitsInTimeOrder) {
  const time::TimePoint t = *time::ParseUtc("2026-01-02T03:04:05.678Z");
  EXPECT_EQ(FormatTokenTime(t), u"20260102030405678");
  EXPECT_EQ(ParseTokenTime(u"20260102030405678"), t);
  EXPECT_LT(FormatTokenTime(t), FormatTokenTime(t + std::chrono::milliseconds(1)));
  EXPECT_FALSE(ParseTokenTime(u"2026010203040567"));
  EXPECT_FALSE(ParseTokenTime(u"20261302030405678"));
  EXPECT_FALSE(ParseTokenTime(u"2026010203040567x"));
  // Years the clock cannot hold.
  EXPECT_FALSE(ParseTokenTime(u"02261209161440828"));
  EXPECT_FALSE(ParseTokenTime(u"99991231235959999"));
}

}  // namespace
}  // namespace quor::auth
