// The two token handlers and what they share.
//
// Token text (both directions): Base64 of the sealed inner text, ":", then
// in a request the session's verifier (the "Opaque" item), in an answer
// nothing. Sealed: the inner text in the narrow code page plus one zero byte,
// encrypted with the session key in one final run. Inner text: nonce ":"
// timestamp ":" digest ":" item table, where
//   - a request's nonce is the hex of 8 to 15 random bytes; an answer's is
//     the hex of the request's nonce encrypted with the seed key;
//   - the timestamp is the request's (repeated in the answer), FormatTokenTime;
//   - the digest is the hex of the hash (the scheme's hash) over the session
//     key and then, per item in order, its name and its encoded value as
//     UTF-16LE without terminator;
//   - the item table is the hex of 8 bytes per item, little-endian: the kind,
//     and for kinds 1 and 3 the byte length of the value in UTF-16LE with its
//     terminator (0 otherwise).
// Encoded values: kind 0 the value itself; 1 Base64 of the zlib-compressed
// UTF-16LE bytes with terminator; 2 Base64 of those bytes encrypted with the
// session key; 3 compressed, then encrypted. An absent value stays absent.
//
// A sealed part carries no integrity of its own (CBC: a flipped bit garbles
// one block and flips the same bit in the next), so both ends open it
// strictly: exactly the four fields with nothing after them, each in
// exactly the form and length its maker writes (upper-case hex, 17 digits
// of a real time), and the plain text ends at its one zero byte. A block
// garbled by tampering then passes only by chance (its 8 bytes must all
// fall in 17 of 256 values: about once in 2^31). The server also refuses a
// time further than its window from its own clock, and a nonce it accepted
// within that window.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "auth/mac.h"
#include "auth/util/crypto.h"

namespace quor::auth {

struct TokenItem {
  uint32_t flags = 0;
  Bstr name;
  Bstr value;
  Bstr encoded;  // encoded after ConstructToken, decoded after ValidateToken
};

// State and operations both ends share.
class MacHandlerBase : public TokenHandler {
 public:
  Status Init(const Bstr& scheme) override;
  Status GetTokenScheme(Bstr* scheme) override;
  Status GetTokenSeed(Bstr* seed) override;
  Status SetTokenItem(const Bstr& name, const Bstr& value) override;
  Status GetTokenItem(const Bstr& name, Bstr* value) override;
  Status SetTokenData(uint32_t index, uint32_t flags, const Bstr& name, const Bstr& value) override;
  Status GetTokenData(uint32_t index, uint32_t* kind, Bstr* value, Bstr* encoded) override;
  Status HashTokenStream(std::string_view utf8) override;

 protected:
  // A token over a last value hashed as it passes (TokenHandler's streams).
  struct Stream {
    util::CryptHash digest;
    // The bytes of a character the last piece cut short, hashed once the
    // next piece completes it (or at the end, as Widen reads a cut one).
    std::string cut;
    size_t items = 0;
    // The server's answer as ConstructToken would make it at Begin.
    Bytes table;
    std::u16string nonce, timestamp;
  };
  // Checks the items for a stream (E_INVALIDARG) and starts its digest.
  Result<Stream> NewStream() const;
  // Ends the stream (stream_ is empty after it): the digest's value, the
  // stream itself in `ended`.
  Result<Bytes> FinishStream(Stream& ended);

  // The provider context for a scheme's provider name and type.
  virtual Status AcquireProvider(std::string_view providerName, uint32_t providerType) = 0;

  // A hash of the scheme's hash algorithm with the session key in it.
  Result<util::CryptHash> NewDigest() const;
  // Encodes every item by its kind into its encoded value, hashing names and
  // encoded values into `digest`; gives the item table.
  Result<Bytes> EncodeItems(util::CryptHash& digest);
  // Hashes names and received values into `digest` and decodes every value
  // by the kind the item table gives it. The table must have 8 bytes per item.
  Status DecodeItems(util::CryptHash& digest, const Bytes& table);
  // Decodes one received item by the kind and length its table entry gives.
  Status DecodeItem(TokenItem& item, uint32_t kind, uint32_t length);
  // The sealed text of an inner text.
  Result<std::u16string> Seal(std::u16string_view inner);
  // Hex of the nonce (narrow, no terminator) encrypted with the seed key.
  Result<std::u16string> ReplyNonce(std::u16string_view nonce);
  // Derives the seed key from seed bytes.
  Result<util::CryptKey> DeriveSeedKey(std::span<const uint8_t> seedBytes) const;
  // A seed text, with the time it carries.
  Result<std::u16string> MakeSeed(std::u16string& time);
  // The random count n with low <= n <= low + mask, drawn from the provider.
  Result<size_t> RandomCount(size_t low, uint8_t mask) const;

  // The inner text's four fields.
  struct Fields {
    std::u16string nonce, timestamp, digest, table;
  };
  // Decrypts the sealed part of a token (the text before its first ":")
  // and splits it into its four fields, each in the form both ends write:
  // E_INVALIDARG for anything else (an empty nonce, time or digest
  // included); the crypto error when it does not decrypt. `nonceBytes` is
  // the range of bytes the nonce's hex may stand for.
  Result<Fields> OpenToken(std::u16string_view token, size_t minNonceBytes, size_t maxNonceBytes);
  static std::u16string Hex(std::span<const uint8_t> bytes);

  // Hex digits of a digest of the scheme's hash (0 until first needed).
  Result<size_t> DigestDigits();

  std::u16string scheme_;
  size_t digestDigits_ = 0;
  util::CryptProvider provider_;
  uint32_t sessionCipher_ = 0;
  util::CryptKey sessionKey_;
  uint32_t hashAlg_ = 0;
  uint32_t seedCipher_ = 0;
  util::CryptKey seedKey_;
  uint32_t seedHashAlg_ = 0;
  Bytes seedBytes_;
  util::CryptKey importKey_;  // unset: a SIMPLEBLOB is unwrapped with the context's exchange key
  std::optional<std::u16string> lastTimestamp_;
  std::optional<std::u16string> replyNonce_;
  Bstr opaque_;
  std::vector<TokenItem> items_;
  std::optional<Stream> stream_;
};

// The server's handler: one per open session.
class ServerMACImpl final : public MacHandlerBase {
 public:
  // Nonces remembered at most: their tokens are older than the last one
  // accepted, so one dropped early is still refused by its time.
  static constexpr size_t kRecentNonces = 1024;

  Status SetTokenSeed(const Bstr& seed) override;
  Status ConstructToken(Bstr* token) override;
  Status ValidateToken(const Bstr& token) override;
  Status BeginTokenStream() override;
  Status EndTokenStream(Bstr* token) override;
  Status BeginValidateStream() override { return Status(E_NOTIMPL); }
  Status EndValidateStream(const Bstr&) override { return Status(E_NOTIMPL); }

  // A request's time may be at most this far from the server's clock.
  void SetTimeWindow(std::chrono::seconds skew) { skew_ = skew; }

 protected:
  Status AcquireProvider(std::string_view providerName, uint32_t providerType) override;

 private:
  // The answer token over a digest and item table.
  Result<Bstr> Answer(std::u16string_view nonce, std::u16string_view timestamp, const Bytes& hash, const Bytes& table);
  // Forgets the nonces whose time left the window.
  void ForgetOldNonces(time::TimePoint now);

  std::chrono::seconds skew_ = kDefaultTokenSkew;
  // The nonces accepted within the window, oldest first, and the same as a set.
  std::deque<std::pair<time::TimePoint, std::u16string>> recentOrder_;
  std::unordered_set<std::u16string> recentNonces_;
};

// The console's handler.
class ClientMACImpl final : public MacHandlerBase {
 public:
  Status SetTokenSeed(const Bstr& seed) override;
  Status GetTokenSeed(Bstr* seed) override;
  Status ConstructToken(Bstr* token) override;
  Status ValidateToken(const Bstr& token) override;
  Status BeginTokenStream() override { return Status(E_NOTIMPL); }
  Status EndTokenStream(Bstr*) override { return Status(E_NOTIMPL); }
  Status BeginValidateStream() override;
  Status EndValidateStream(const Bstr& token) override;

 protected:
  Status AcquireProvider(std::string_view providerName, uint32_t providerType) override;

 private:
  // Opens an answer and checks all but its digest: that it answers the
  // request sent last and that its table has an entry per item.
  Result<Fields> OpenAnswer(const Bstr& token, Bytes& table);

  // The next request's time: now, or 1 ms after the last one sent, whichever
  // is later, so that the server (which refuses a time not later than the
  // last) never sees two requests with one time.
  std::u16string NextTimestamp() const;

  util::CryptKey peerKey_;
  std::optional<std::u16string> lastNonce_;
};

}  // namespace quor::auth
