#include "auth/mac_handler.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <iterator>
#include <vector>

#include "auth/fail.h"
#include "auth/util/error.h"
#include "auth/util/names.h"
#include "platform/text/text.h"

namespace quor::auth {

using util::Base64Decode;
using util::Base64Encode;
using util::CryptHash;
using util::CryptKey;
using util::WidenAscii;

namespace {

// UTF-16LE bytes of a text with its terminating zero character.
Bytes WideBytesWithTerminator(std::u16string_view text) {
  Bytes out((text.size() + 1) * 2, 0);
  for (size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    out[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
  return out;
}

// The text in UTF-16LE bytes up to its first zero character, read only within
// the bytes (an odd last byte is no character).
Bstr TextFromWideBytes(std::span<const uint8_t> bytes) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (c == 0) break;
    out += c;
  }
  return Bstr(std::move(out));
}

// The narrow text in the bytes up to their first zero byte, within the bytes.
std::u16string NarrowTextIn(std::span<const uint8_t> bytes) {
  size_t n = 0;
  while (n < bytes.size() && bytes[n] != 0) ++n;
  return text::Widen(std::string_view(reinterpret_cast<const char*>(bytes.data()), n));
}

// The narrow form of a text, as bytes, with a terminating zero byte or not.
Bytes NarrowBytes(std::u16string_view text, bool terminator) {
  std::string narrow = text::Narrow(text);
  Bytes out(narrow.begin(), narrow.end());
  if (terminator) out.push_back(0);
  return out;
}

// Hashes UTF-16 text as UTF-16LE bytes.
Status HashUtf16(CryptHash& hash, std::u16string_view text) {
  if (text.empty()) return {};
  if constexpr (std::endian::native == std::endian::little) {
    return hash.HashData(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size() * 2));
  } else {
    Bytes bytes = WideBytesWithTerminator(text);
    bytes.resize(bytes.size() - 2);
    return hash.HashData(bytes);
  }
}

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The bytes of the sequence a byte leads; 1 for one that stands alone.
size_t SequenceLength(char lead) {
  const auto b = static_cast<unsigned char>(lead);
  if ((b & 0xE0) == 0xC0) return 2;
  if ((b & 0xF0) == 0xE0) return 3;
  if ((b & 0xF8) == 0xF0) return 4;
  return 1;
}

// Hashes UTF-8 text as the UTF-16LE bytes of text::Widen of it, 64 KiB at a
// time, so that its UTF-16 form (twice its size) is never made whole. Widen
// starts a sequence at every byte that is no continuation byte and never
// reads past one, so cutting the text before such a byte changes nothing,
// valid text or not.
Status HashUtf8(CryptHash& hash, std::string_view text) {
  constexpr size_t kChunk = size_t{64} << 10;
  while (!text.empty()) {
    size_t end = std::min(kChunk, text.size());
    while (end > 0 && end < text.size() && IsContinuation(text[end])) --end;
    if (end == 0)  // a run of continuation bytes, each U+FFFD on its own
      for (end = kChunk; end < text.size() && IsContinuation(text[end]);) ++end;
    QUOR_RETURN_IF_ERROR(HashUtf16(hash, text::Widen(text.substr(0, end))));
    text.remove_prefix(end);
  }
  return {};
}

// The length of `text` without a last sequence its end may have cut short:
// a lead byte followed by fewer continuation bytes than it needs.
size_t UncutLength(std::string_view text) {
  for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const char c = text[text.size() - back];
    if (!IsContinuation(c)) return SequenceLength(c) > back ? text.size() - back : text.size();
  }
  return text.size();
}

// Hashes one piece of a UTF-8 text that arrives in pieces, so that the
// pieces hash as HashUtf8 of all of them together: `cut` keeps a sequence
// the piece's end cut short until the next piece decides it.
Status HashUtf8Piece(CryptHash& hash, std::string& cut, std::string_view piece) {
  if (!cut.empty()) {
    const size_t need = SequenceLength(cut[0]);
    size_t take = 0;
    while (take < piece.size() && cut.size() + take < need && IsContinuation(piece[take])) ++take;
    cut.append(piece.substr(0, take));
    piece.remove_prefix(take);
    if (cut.size() < need && piece.empty()) return {};
    // Whole, or ended by a byte that starts a sequence of its own.
    QUOR_RETURN_IF_ERROR(HashUtf16(hash, text::Widen(cut)));
    cut.clear();
  }
  const size_t uncut = UncutLength(piece);
  QUOR_RETURN_IF_ERROR(HashUtf8(hash, piece.substr(0, uncut)));
  cut.assign(piece.substr(uncut));
  return {};
}

// Hashes a text as UTF-16LE without its terminator; an absent text adds nothing.
Status HashWide(CryptHash& hash, const Bstr& text) {
  if (text.Empty()) return {};
  // A large answer held as UTF-8 is hashed a piece at a time.
  if (text.HoldsUtf8() && text.Utf8().size() > (size_t{64} << 10)) return HashUtf8(hash, text.Utf8());
  return HashUtf16(hash, text.View());
}

void PutLe32(Bytes& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const Bytes& in, size_t at) {
  return static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
         static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
}

// zlib's memory and buffer errors are out-of-memory conditions to the caller,
// every other one a bad argument.
Status ZlibFailure(const Status& zlib, std::string_view call) {
  return Fail(zlib.code() == Z_MEM_ERROR || zlib.code() == Z_BUF_ERROR ? E_OUTOFMEMORY : E_INVALIDARG, call);
}

Result<Bytes> Pack(std::span<const uint8_t> bytes) {
  if (bytes.size() > kMaxUnpackedBytes) return Fail(E_OUTOFMEMORY, "compress");
  Result<Bytes> packed = CompressBuffer(bytes);
  if (!packed.ok()) return ZlibFailure(packed.status(), "compress");
  return packed;
}

// zlib packs at most about 1032 to 1; a declared length beyond what the packed
// bytes can hold, or beyond the cap, is refused before any buffer is made.
Status CheckDeclaredLength(uint32_t length, size_t packedBytes) {
  if (length > kMaxUnpackedBytes || length > uint64_t{packedBytes} * 1032 + 64) return Fail(E_OUTOFMEMORY, "uncompress");
  return {};
}

Result<Bytes> Unpack(std::span<const uint8_t> bytes, uint32_t length) {
  QUOR_RETURN_IF_ERROR(CheckDeclaredLength(length, bytes.size()));
  Result<Bytes> unpacked = UncompressBuffer(bytes, length);
  if (!unpacked.ok()) return ZlibFailure(unpacked.status(), "uncompress");
  return unpacked;
}

Status UnknownKind() { return Fail(E_INVALIDARG, "unknown token item kind"); }

}  // namespace

// ---- Shared operations -------------------------------------------------------------

Status MacHandlerBase::Init(const Bstr& scheme) {
  const std::u16string_view text = scheme.View();
  std::u16string parts[4];
  size_t start = 0;
  for (int i = 0; i < 4 && start != std::u16string_view::npos; ++i) {
    const size_t comma = text.find(u',', start);
    parts[i] = std::u16string(text.substr(start, comma == std::u16string_view::npos ? comma : comma - start));
    start = comma == std::u16string_view::npos ? comma : comma + 1;
  }
  const std::u16string_view defaults[4] = {kDefaultProviderName, kDefaultProviderType, kDefaultCipher, kDefaultHash};
  for (int i = 0; i < 4; ++i)
    if (parts[i].empty()) parts[i] = defaults[i];
  scheme_ = parts[0] + u"," + parts[1] + u"," + parts[2] + u"," + parts[3];
  QUOR_RETURN_IF_ERROR(AcquireProvider(text::Narrow(parts[0]), util::ProvTypeFromName(std::u16string_view(parts[1]))));
  sessionCipher_ = seedCipher_ = util::AlgIdFromName(std::u16string_view(parts[2]));
  hashAlg_ = seedHashAlg_ = util::AlgIdFromName(std::u16string_view(parts[3]));
  return {};
}

Status MacHandlerBase::GetTokenScheme(Bstr* scheme) {
  if (!scheme) return Status(E_POINTER);
  *scheme = Bstr(scheme_);
  return {};
}

Status MacHandlerBase::GetTokenSeed(Bstr* seed) {
  if (!seed) return Status(E_POINTER);
  std::u16string time;
  QUOR_ASSIGN_OR_RETURN(std::u16string made, MakeSeed(time));
  *seed = Bstr(std::move(made));
  return {};
}

Status MacHandlerBase::SetTokenItem(const Bstr& name, const Bstr& value) {
  if (name == kOpaqueItem) {
    opaque_ = value;
    return {};
  }
  if (name == kSessionKeyItem) {
    const Bytes blob = Base64Decode(value.View());
    QUOR_ASSIGN_OR_RETURN(sessionKey_, provider_.ImportKey(blob, crypt::CRYPT_EXPORTABLE,
                                                           importKey_.IsSet() ? &importKey_ : nullptr));
    return {};
  }
  return Status(E_UNEXPECTED);
}

Status MacHandlerBase::GetTokenItem(const Bstr& name, Bstr* value) {
  if (!value) return Status(E_POINTER);
  *value = Bstr();
  if (name == kOpaqueItem) {
    *value = opaque_;
    return {};
  }
  if (name == kSessionKeyItem) {
    QUOR_ASSIGN_OR_RETURN(const CryptKey exchange, provider_.GetExchangeKey());
    QUOR_ASSIGN_OR_RETURN(const Bytes blob, sessionKey_.ExportKey(crypt::SIMPLEBLOB, &exchange));
    *value = Bstr(WidenAscii(Base64Encode(blob)));
    return {};
  }
  return Status(E_UNEXPECTED);
}

Status MacHandlerBase::SetTokenData(uint32_t index, uint32_t flags, const Bstr& name, const Bstr& value) {
  if ((flags & kKindMask) > kKindCompressedEncrypted) return Status(E_INVALIDARG);
  if (index == 0) items_.clear();
  if (index != items_.size()) return Status(E_INVALIDARG);
  items_.push_back({flags & ~kItemOwnsEncoded, name, value, Bstr()});
  return {};
}

Status MacHandlerBase::GetTokenData(uint32_t index, uint32_t* kind, Bstr* value, Bstr* encoded) {
  if (!encoded) return Status(E_POINTER);
  if (index >= items_.size()) return Status(E_INVALIDARG);
  TokenItem& item = items_[index];
  if (kind) *kind = item.flags & kKindMask;
  if (value) *value = item.value;
  *encoded = item.encoded;
  item.flags &= ~kItemOwnsEncoded;
  return {};
}

Result<CryptHash> MacHandlerBase::NewDigest() const {
  QUOR_ASSIGN_OR_RETURN(CryptHash digest, provider_.CreateHash(hashAlg_));
  QUOR_RETURN_IF_ERROR(digest.HashSessionKey(sessionKey_));
  return digest;
}

Result<Bytes> MacHandlerBase::EncodeItems(CryptHash& digest) {
  Bytes table(items_.size() * 8, 0);
  for (size_t i = 0; i < items_.size(); ++i) {
    TokenItem& item = items_[i];
    const uint32_t kind = item.flags & kKindMask;
    uint32_t length = 0;
    switch (kind) {
      case kKindPlain:
        item.encoded = item.value;
        item.flags &= ~kItemOwnsEncoded;
        break;
      case kKindCompressed:
      case kKindEncrypted:
      case kKindCompressedEncrypted: {
        if (item.value.IsNull()) {
          item.encoded = Bstr();
          item.flags &= ~kItemOwnsEncoded;
          break;
        }
        Bytes bytes = WideBytesWithTerminator(item.value.View());
        if (kind != kKindEncrypted) {
          length = static_cast<uint32_t>(bytes.size());
          QUOR_ASSIGN_OR_RETURN(bytes, Pack(bytes));
        }
        if (kind != kKindCompressed) {
          QUOR_ASSIGN_OR_RETURN(bytes, sessionKey_.Encrypt(bytes, true));
        }
        item.encoded = Bstr(WidenAscii(Base64Encode(bytes)));
        item.flags |= kItemOwnsEncoded;
        break;
      }
      default:
        return UnknownKind();
    }
    PutLe32(table, 8 * i, kind);
    PutLe32(table, 8 * i + 4, length);
    QUOR_RETURN_IF_ERROR(HashWide(digest, item.name));
    QUOR_RETURN_IF_ERROR(HashWide(digest, item.encoded));
  }
  return table;
}

Status MacHandlerBase::DecodeItems(CryptHash& digest, const Bytes& table) {
  for (size_t i = 0; i < items_.size(); ++i) {
    TokenItem& item = items_[i];
    QUOR_RETURN_IF_ERROR(HashWide(digest, item.name));
    QUOR_RETURN_IF_ERROR(HashWide(digest, item.value));
    QUOR_RETURN_IF_ERROR(DecodeItem(item, GetLe32(table, 8 * i), GetLe32(table, 8 * i + 4)));
  }
  return {};
}

Status MacHandlerBase::DecodeItem(TokenItem& item, uint32_t kind, uint32_t length) {
  if (kind > kKindCompressedEncrypted) return UnknownKind();
  item.flags = kind;
  if (kind == kKindPlain) {
    item.encoded = item.value;
    return {};
  }
  if (item.value.IsNull()) {
    item.encoded = Bstr();
    return {};
  }
  // Before decoding anything: can the packed text hold what it declares?
  if (kind != kKindEncrypted) QUOR_RETURN_IF_ERROR(CheckDeclaredLength(length, item.value.Length() / 4 * 3));
  Bytes bytes = Base64Decode(item.value.View());
  if (kind != kKindCompressed) {
    QUOR_ASSIGN_OR_RETURN(bytes, sessionKey_.Decrypt(bytes, true));
  }
  if (kind != kKindEncrypted) {
    QUOR_ASSIGN_OR_RETURN(bytes, Unpack(bytes, length));
  }
  item.encoded = TextFromWideBytes(bytes);
  item.flags |= kItemOwnsEncoded;
  return {};
}

Result<MacHandlerBase::Stream> MacHandlerBase::NewStream() const {
  if (items_.empty() || (items_.back().flags & kKindMask) != kKindPlain || !items_.back().value.IsNull())
    return Status(E_INVALIDARG);
  QUOR_ASSIGN_OR_RETURN(CryptHash digest, NewDigest());
  Stream stream;
  stream.digest = std::move(digest);
  stream.items = items_.size();
  return stream;
}

Status MacHandlerBase::HashTokenStream(std::string_view utf8) {
  if (!stream_) return Status(E_UNEXPECTED);
  return HashUtf8Piece(stream_->digest, stream_->cut, utf8);
}

Result<Bytes> MacHandlerBase::FinishStream(Stream& ended) {
  ended = std::move(*stream_);
  stream_.reset();
  QUOR_RETURN_IF_ERROR(HashUtf16(ended.digest, text::Widen(ended.cut)));
  return ended.digest.GetHashValue();
}

Result<std::u16string> MacHandlerBase::Seal(std::u16string_view inner) {
  QUOR_ASSIGN_OR_RETURN(const Bytes sealed, sessionKey_.Encrypt(NarrowBytes(inner, true), true));
  return WidenAscii(Base64Encode(sealed));
}

Result<std::u16string> MacHandlerBase::ReplyNonce(std::u16string_view nonce) {
  QUOR_ASSIGN_OR_RETURN(const Bytes sealed, seedKey_.Encrypt(NarrowBytes(nonce, false), true));
  return Hex(sealed);
}

Result<CryptKey> MacHandlerBase::DeriveSeedKey(std::span<const uint8_t> seedBytes) const {
  QUOR_ASSIGN_OR_RETURN(CryptHash hash, provider_.CreateHash(seedHashAlg_));
  QUOR_RETURN_IF_ERROR(hash.HashData(seedBytes));
  return provider_.DeriveKey(seedCipher_, hash, 0);
}

Result<std::u16string> MacHandlerBase::MakeSeed(std::u16string& time) {
  time = FormatTokenTime();
  QUOR_ASSIGN_OR_RETURN(const size_t count, RandomCount(32, 0x1F));
  QUOR_ASSIGN_OR_RETURN(Bytes seedBytes, provider_.GenRandom(count));
  QUOR_ASSIGN_OR_RETURN(CryptKey seedKey, DeriveSeedKey(seedBytes));
  QUOR_ASSIGN_OR_RETURN(const CryptKey exchange, provider_.GetExchangeKey());
  QUOR_ASSIGN_OR_RETURN(const Bytes publicKey, exchange.ExportKey(crypt::PUBLICKEYBLOB, nullptr));
  QUOR_ASSIGN_OR_RETURN(const Bytes sealedTime, seedKey.Encrypt(NarrowBytes(time, true), true));
  std::u16string seed = WidenAscii(Base64Encode(seedBytes)) + u":" + WidenAscii(Base64Encode(sealedTime)) + u";" +
                        WidenAscii(Base64Encode(publicKey));
  seedBytes_ = std::move(seedBytes);
  seedKey_ = std::move(seedKey);
  return seed;
}

Result<size_t> MacHandlerBase::RandomCount(size_t low, uint8_t mask) const {
  QUOR_ASSIGN_OR_RETURN(const Bytes random, provider_.GenRandom(1));
  return low + (random[0] & mask);
}

namespace {

bool IsUpperHex(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(), [](char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); });
}

// Hex of `min` to `max` whole bytes.
bool IsHexOfBytes(std::u16string_view text, size_t min, size_t max) {
  return text.size() % 2 == 0 && text.size() / 2 >= min && text.size() / 2 <= max && IsUpperHex(text);
}

}  // namespace

Result<MacHandlerBase::Fields> MacHandlerBase::OpenToken(std::u16string_view token, size_t minNonceBytes,
                                                        size_t maxNonceBytes) {
  QUOR_ASSIGN_OR_RETURN(const Bytes plain, sessionKey_.Decrypt(Base64Decode(token.substr(0, token.find(u':'))), true));
  // The text and its one zero byte, nothing else: hex, digits and ":".
  if (plain.empty() || plain.back() != 0) return Status(E_INVALIDARG);
  std::u16string inner;
  inner.reserve(plain.size() - 1);
  for (size_t i = 0; i + 1 < plain.size(); ++i) {
    const char c = static_cast<char>(plain[i]);
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == ':')) return Status(E_INVALIDARG);
    inner += static_cast<char16_t>(c);
  }
  const std::vector<std::u16string_view> parts = text::SplitViews(std::u16string_view(inner), u':');
  if (parts.size() != 4) return Status(E_INVALIDARG);
  Fields f{std::u16string(parts[0]), std::u16string(parts[1]), std::u16string(parts[2]), std::u16string(parts[3])};
  QUOR_ASSIGN_OR_RETURN(const size_t digits, DigestDigits());
  if (!IsHexOfBytes(f.nonce, minNonceBytes, maxNonceBytes) || !ParseTokenTime(f.timestamp) ||
      f.digest.size() != digits || f.table.size() % 16 != 0)
    return Status(E_INVALIDARG);
  return f;
}

Result<size_t> MacHandlerBase::DigestDigits() {
  if (digestDigits_ == 0) {
    QUOR_ASSIGN_OR_RETURN(CryptHash probe, provider_.CreateHash(hashAlg_));
    QUOR_ASSIGN_OR_RETURN(const Bytes value, probe.GetHashValue());
    digestDigits_ = value.size() * 2;
  }
  return digestDigits_;
}

std::u16string MacHandlerBase::Hex(std::span<const uint8_t> bytes) { return WidenAscii(util::HexEncode(bytes)); }

namespace {

// Splits a seed "A:B;C" into its three parts; false when one is missing.
bool SplitSeed(const Bstr& seed, std::u16string_view& a, std::u16string_view& b, std::u16string_view& c) {
  const std::u16string_view text = seed.View();
  const size_t semicolon = text.find(u';');
  if (semicolon == std::u16string_view::npos) return false;
  const std::u16string_view left = text.substr(0, semicolon);
  const size_t colon = left.find(u':');
  if (colon == std::u16string_view::npos) return false;
  a = left.substr(0, colon);
  b = left.substr(colon + 1);
  c = text.substr(semicolon + 1);
  return !a.empty() && !b.empty() && !c.empty();
}

}  // namespace

// ---- Server ------------------------------------------------------------------------

Status ServerMACImpl::AcquireProvider(std::string_view providerName, uint32_t providerType) {
  return provider_.AcquireContext(std::nullopt, providerName, providerType, crypt::CRYPT_VERIFYCONTEXT);
}

Status ServerMACImpl::SetTokenSeed(const Bstr& seed) {
  std::u16string_view random, sealedTime, publicKey;
  if (seed.Empty() || !SplitSeed(seed, random, sealedTime, publicKey)) return Status(E_INVALIDARG);
  QUOR_ASSIGN_OR_RETURN(CryptKey seedKey, DeriveSeedKey(Base64Decode(random)));
  QUOR_ASSIGN_OR_RETURN(const Bytes plainTime, seedKey.Decrypt(Base64Decode(sealedTime), true));
  std::u16string time = NarrowTextIn(plainTime);
  // The client's public key is the session's business, not the handler's.
  seedKey_ = std::move(seedKey);
  lastTimestamp_ = std::move(time);
  return {};
}

Status ServerMACImpl::ConstructToken(Bstr* token) {
  if (!token) return Status(E_POINTER);
  QUOR_ASSIGN_OR_RETURN(CryptHash digest, NewDigest());
  QUOR_ASSIGN_OR_RETURN(const Bytes table, EncodeItems(digest));
  QUOR_ASSIGN_OR_RETURN(const Bytes hash, digest.GetHashValue());
  QUOR_ASSIGN_OR_RETURN(*token, Answer(replyNonce_.value_or(u""), lastTimestamp_.value_or(u""), hash, table));
  return {};
}

Result<Bstr> ServerMACImpl::Answer(std::u16string_view nonce, std::u16string_view timestamp, const Bytes& hash,
                                   const Bytes& table) {
  std::u16string inner;
  inner.append(nonce).append(u":").append(timestamp).append(u":").append(Hex(hash)).append(u":").append(Hex(table));
  QUOR_ASSIGN_OR_RETURN(const std::u16string sealed, Seal(inner));
  return Bstr(sealed + u":");
}

Status ServerMACImpl::BeginTokenStream() {
  stream_.reset();
  QUOR_ASSIGN_OR_RETURN(Stream stream, NewStream());
  // The last value is null, so its item adds its name alone.
  QUOR_ASSIGN_OR_RETURN(stream.table, EncodeItems(stream.digest));
  // Taken now: a request validated while the answer streams must not
  // change it.
  stream.nonce = replyNonce_.value_or(u"");
  stream.timestamp = lastTimestamp_.value_or(u"");
  stream_ = std::move(stream);
  return {};
}

Status ServerMACImpl::EndTokenStream(Bstr* token) {
  if (!token) return Status(E_POINTER);
  if (!stream_) return Status(E_UNEXPECTED);
  Stream ended;
  QUOR_ASSIGN_OR_RETURN(const Bytes hash, FinishStream(ended));
  QUOR_ASSIGN_OR_RETURN(*token, Answer(ended.nonce, ended.timestamp, hash, ended.table));
  return {};
}

Status ServerMACImpl::ValidateToken(const Bstr& token) {
  if (token.Empty()) return Status(E_INVALIDARG);
  // The client's nonce: the hex of 8 to 15 random bytes.
  QUOR_ASSIGN_OR_RETURN(const Fields f, OpenToken(token.View(), 8, 15));
  // Within the window around our clock; later than the last one accepted
  // (a replay is not); a nonce not seen within the window.
  const time::TimePoint now = time::Now();
  const time::TimePoint sent = *ParseTokenTime(f.timestamp);
  if (sent < now - skew_ || sent > now + skew_) return Status(E_FAIL);
  if (lastTimestamp_ && !(f.timestamp > *lastTimestamp_)) return Status(E_FAIL);
  ForgetOldNonces(now);
  if (recentNonces_.contains(f.nonce)) return Status(E_FAIL);
  const Bytes table = util::HexDecode(std::u16string_view(f.table));
  if (table.size() != 8 * items_.size()) return Status(E_FAIL);
  QUOR_ASSIGN_OR_RETURN(CryptHash digest, NewDigest());
  QUOR_RETURN_IF_ERROR(DecodeItems(digest, table));
  QUOR_ASSIGN_OR_RETURN(const Bytes hash, digest.GetHashValue());
  if (!crypt::EqualConstantTime(Hex(hash), f.digest)) return Status(E_FAIL);
  QUOR_ASSIGN_OR_RETURN(std::u16string reply, ReplyNonce(f.nonce));
  if (reply.empty()) return Status(E_UNEXPECTED);
  lastTimestamp_ = f.timestamp;
  replyNonce_ = std::move(reply);
  if (recentOrder_.size() >= kRecentNonces) {
    recentNonces_.erase(recentOrder_.front().second);
    recentOrder_.pop_front();
  }
  recentNonces_.insert(f.nonce);
  recentOrder_.emplace_back(sent, f.nonce);
  return {};
}

void ServerMACImpl::ForgetOldNonces(time::TimePoint now) {
  while (!recentOrder_.empty() && recentOrder_.front().first < now - skew_) {
    recentNonces_.erase(recentOrder_.front().second);
    recentOrder_.pop_front();
  }
}

// ---- Client ------------------------------------------------------------------------

Status ClientMACImpl::AcquireProvider(std::string_view providerName, uint32_t providerType) {
  return provider_.AcquireContext(std::nullopt, providerName, providerType, 0);
}

Status ClientMACImpl::SetTokenSeed(const Bstr& seed) {
  std::u16string_view random, sealedTime, peer;
  if (seed.Empty() || !SplitSeed(seed, random, sealedTime, peer)) return Status(E_INVALIDARG);
  QUOR_ASSIGN_OR_RETURN(CryptKey seedKey, DeriveSeedKey(Base64Decode(random)));
  QUOR_ASSIGN_OR_RETURN(const Bytes plainTime, seedKey.Decrypt(Base64Decode(sealedTime), true));
  std::u16string time = NarrowTextIn(plainTime);
  QUOR_ASSIGN_OR_RETURN(CryptKey peerKey, provider_.ImportKey(Base64Decode(peer), 0, nullptr));
  seedKey_ = std::move(seedKey);
  lastTimestamp_ = std::move(time);
  peerKey_ = std::move(peerKey);
  return {};
}

Status ClientMACImpl::GetTokenSeed(Bstr* seed) {
  if (!seed) return Status(E_POINTER);
  std::u16string time;
  QUOR_ASSIGN_OR_RETURN(std::u16string made, MakeSeed(time));
  *seed = Bstr(std::move(made));
  // The server starts from the seed's time: the first request must be later.
  lastTimestamp_ = std::move(time);
  return {};
}

std::u16string ClientMACImpl::NextTimestamp() const {
  time::TimePoint next = time::Now();
  if (lastTimestamp_)
    if (std::optional<time::TimePoint> last = ParseTokenTime(*lastTimestamp_))
      next = std::max(next, *last + std::chrono::milliseconds(1));
  return FormatTokenTime(next);
}

Status ClientMACImpl::ConstructToken(Bstr* token) {
  if (!token) return Status(E_POINTER);
  QUOR_ASSIGN_OR_RETURN(CryptHash digest, NewDigest());
  QUOR_ASSIGN_OR_RETURN(const Bytes table, EncodeItems(digest));
  QUOR_ASSIGN_OR_RETURN(const size_t count, RandomCount(8, 7));
  QUOR_ASSIGN_OR_RETURN(const Bytes random, provider_.GenRandom(count));
  std::u16string nonce = Hex(random);
  std::u16string timestamp = NextTimestamp();
  QUOR_ASSIGN_OR_RETURN(const Bytes hash, digest.GetHashValue());
  const std::u16string inner = nonce + u":" + timestamp + u":" + Hex(hash) + u":" + Hex(table);
  QUOR_ASSIGN_OR_RETURN(const std::u16string sealed, Seal(inner));
  *token = Bstr(sealed + u":" + std::u16string(opaque_.View()));
  lastNonce_ = std::move(nonce);
  lastTimestamp_ = std::move(timestamp);
  return {};
}

Result<MacHandlerBase::Fields> ClientMACImpl::OpenAnswer(const Bstr& token, Bytes& table) {
  if (token.Empty()) return Status(E_INVALIDARG);
  // The server's nonce: our nonce sealed with the seed key, whole blocks.
  QUOR_ASSIGN_OR_RETURN(Fields f, OpenToken(token.View(), 1, 64));
  // The answer to the request sent last: its time, and its nonce sealed with
  // the seed key, which only the server that took the seed can make.
  if (!lastTimestamp_ || f.timestamp != *lastTimestamp_) return Status(E_FAIL);
  if (!lastNonce_) return Status(E_FAIL);
  QUOR_ASSIGN_OR_RETURN(const std::u16string reply, ReplyNonce(*lastNonce_));
  if (!crypt::EqualConstantTime(std::u16string_view(f.nonce), reply)) return Status(E_FAIL);
  table = util::HexDecode(std::u16string_view(f.table));
  if (table.size() != 8 * items_.size()) return Status(E_FAIL);
  return f;
}

Status ClientMACImpl::ValidateToken(const Bstr& token) {
  Bytes table;
  QUOR_ASSIGN_OR_RETURN(const Fields f, OpenAnswer(token, table));
  QUOR_ASSIGN_OR_RETURN(CryptHash digest, NewDigest());
  QUOR_RETURN_IF_ERROR(DecodeItems(digest, table));
  QUOR_ASSIGN_OR_RETURN(const Bytes hash, digest.GetHashValue());
  if (!crypt::EqualConstantTime(Hex(hash), f.digest)) return Status(E_FAIL);
  return {};
}

Status ClientMACImpl::BeginValidateStream() {
  stream_.reset();
  QUOR_ASSIGN_OR_RETURN(Stream stream, NewStream());
  // Names and values as received; the last value is null, so its item adds
  // its name alone.
  for (const TokenItem& item : items_) {
    QUOR_RETURN_IF_ERROR(HashWide(stream.digest, item.name));
    QUOR_RETURN_IF_ERROR(HashWide(stream.digest, item.value));
  }
  stream_ = std::move(stream);
  return {};
}

Status ClientMACImpl::EndValidateStream(const Bstr& token) {
  if (!stream_) return Status(E_UNEXPECTED);
  Stream ended;
  QUOR_ASSIGN_OR_RETURN(const Bytes hash, FinishStream(ended));
  // The items hashed at Begin are the ones decoded now.
  if (items_.size() != ended.items) return Status(E_UNEXPECTED);
  Bytes table;
  QUOR_ASSIGN_OR_RETURN(const Fields f, OpenAnswer(token, table));
  const size_t last = items_.size() - 1;
  for (size_t i = 0; i < last; ++i)
    QUOR_RETURN_IF_ERROR(DecodeItem(items_[i], GetLe32(table, 8 * i), GetLe32(table, 8 * i + 4)));
  // A value hashed as it passed was never held, so it cannot be decoded:
  // the answer must have sent it plain.
  if (GetLe32(table, 8 * last) != kKindPlain) return Status(E_FAIL);
  QUOR_RETURN_IF_ERROR(DecodeItem(items_[last], kKindPlain, 0));
  if (!crypt::EqualConstantTime(Hex(hash), f.digest)) return Status(E_FAIL);
  return {};
}

}  // namespace quor::auth
