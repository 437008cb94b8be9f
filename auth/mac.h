// The message-authentication core: the token-handler interface through which
// both ends of a session make and check message-authentication tokens, the
// flat functions that call it and report its failures as statuses, and the
// helpers both handlers share (compression, the token clock).
//
// A token binds the data items of one request or answer (item 0 the method
// name, then the arguments in order, or "result" for an answer) to the
// session key, orders them in time and says how each item's value was
// encoded. The server's handler (AcquireTokenHandler) and the console's
// (AcquireClientTokenHandler) share one implementation of the format; see
// mac_handler.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"
#include "platform/time/clock.h"

namespace quor::auth {

using com::Bstr;
using Bytes = std::vector<uint8_t>;

// Flags of a token data item: the low 16 bits are the encoding kind.
inline constexpr uint32_t kKindMask = 0xFFFF;
inline constexpr uint32_t kKindPlain = 0;
inline constexpr uint32_t kKindCompressed = 1;
inline constexpr uint32_t kKindEncrypted = 2;
inline constexpr uint32_t kKindCompressedEncrypted = 3;
// The item holds copies of its name and value. Items here always hold their
// own copies; the bit is kept for callers that pass it.
inline constexpr uint32_t kItemOwnsCopies = 0x40000000;
// The item owns its encoded (or decoded) value until GetTokenData hands it out.
inline constexpr uint32_t kItemOwnsEncoded = 0x80000000;

// The two named token items.
inline constexpr std::u16string_view kSessionKeyItem = u"SessionKey";
inline constexpr std::u16string_view kOpaqueItem = u"Opaque";

// The token scheme's defaults, in the order provider, provider type, cipher,
// hash.
inline constexpr std::u16string_view kDefaultProviderName = u"Microsoft Base Cryptographic Provider v1.0";
inline constexpr std::u16string_view kDefaultProviderType = u"PROV_RSA_FULL";
inline constexpr std::u16string_view kDefaultCipher = u"CALG_RC2";
inline constexpr std::u16string_view kDefaultHash = u"CALG_SHA1";

// How far a request token's time may be from the server's clock, unless the
// service's settings say otherwise.
inline constexpr std::chrono::seconds kDefaultTokenSkew{300};

// The largest unpacked value a token may declare (64 MiB): a declared length
// above it, or above what its packed data can hold, is refused before
// anything is allocated.
inline constexpr uint32_t kMaxUnpackedBytes = 64u << 20;

// The token-handler interface. Every operation returns a status: a refusal
// of its arguments or of a token is a plain code, any other failure carries
// its text and error information (auth/util/error.h), which the flat
// functions below report. Out strings are set on success.
class TokenHandler {
 public:
  virtual ~TokenHandler() = default;
  // Parses and applies a token scheme: provider name "," provider-type name
  // "," cipher name "," hash name; empty parts take the defaults above.
  virtual Status Init(const Bstr& scheme) = 0;
  // The normalised scheme: the four parts joined by ",".
  virtual Status GetTokenScheme(Bstr* scheme) = 0;
  // Takes the seed text made by the other end's GetTokenSeed.
  virtual Status SetTokenSeed(const Bstr& seed) = 0;
  // Makes a seed text: Base64(random bytes) ":" Base64(sealed time) ";"
  // Base64(public key-exchange key).
  virtual Status GetTokenSeed(Bstr* seed) = 0;
  // The named items "SessionKey" (a key blob in Base64) and "Opaque";
  // E_UNEXPECTED for any other name (compared exactly).
  virtual Status SetTokenItem(const Bstr& name, const Bstr& value) = 0;
  virtual Status GetTokenItem(const Bstr& name, Bstr* value) = 0;
  // Data items are set strictly in order; index 0 starts a new list. Kinds
  // other than 0 to 3 are refused (E_INVALIDARG).
  virtual Status SetTokenData(uint32_t index, uint32_t flags, const Bstr& name, const Bstr& value) = 0;
  // The item's kind, its value as set, and its encoded value (after
  // ConstructToken) or decoded value (after ValidateToken). `kind` and
  // `value` may be null.
  virtual Status GetTokenData(uint32_t index, uint32_t* kind, Bstr* value, Bstr* encoded) = 0;
  virtual Status ConstructToken(Bstr* token) = 0;
  virtual Status ValidateToken(const Bstr& token) = 0;

  // A token over items whose last value is hashed as it passes, never held
  // whole. The items are set first, the last one plain (kind 0) with a null
  // value; Begin hashes all but that value, HashTokenStream takes the
  // value's pieces in order (UTF-8, hashed as text::Widen of all of them
  // together would be), and End ends the stream, failed or not. One stream
  // at a time: a second Begin starts over. HashTokenStream and End without a
  // stream: E_UNEXPECTED; Begin on any other item list: E_INVALIDARG.
  //
  // The server's answer: EndTokenStream gives the token ConstructToken
  // would have made with the whole value set, at the time of Begin (a
  // request validated meanwhile changes nothing). The console's handler
  // refuses these (E_NOTIMPL).
  virtual Status BeginTokenStream() = 0;
  virtual Status EndTokenStream(Bstr* token) = 0;
  // The console's check of an answer: EndValidateStream does what
  // ValidateToken does with the value as received, and the answer's item
  // table must say the last item is plain. The server's handler refuses
  // these (E_NOTIMPL).
  virtual Status BeginValidateStream() = 0;
  virtual Status EndValidateStream(const Bstr& token) = 0;
  virtual Status HashTokenStream(std::string_view utf8) = 0;
};

using TokenHandlerPtr = std::unique_ptr<TokenHandler>;

// ---- Flat functions ---------------------------------------------------------------
// The entry points of the token code: each returns the operation's status
// (the thread's error information says which call failed). Missing out
// places give E_POINTER. None checks for a missing handler, except
// ReleaseTokenHandler.

// The server's handler: a verification context (keys in memory only). An
// empty scheme is the default scheme. A failure of Init is the result and
// no handler is handed out.
HRESULT AcquireTokenHandler(const Bstr& scheme, TokenHandlerPtr* handler);
// The console's handler: the user's default key container, which keeps the
// key-exchange key the server wraps the session key under.
HRESULT AcquireClientTokenHandler(const Bstr& scheme, TokenHandlerPtr* handler);
// Destroys the handler; S_OK also when there is none.
HRESULT ReleaseTokenHandler(TokenHandlerPtr& handler);
HRESULT GetTokenScheme(TokenHandler* handler, Bstr* scheme);
HRESULT SetTokenSeed(TokenHandler* handler, const Bstr& seed);
HRESULT GetTokenSeed(TokenHandler* handler, Bstr* seed);
HRESULT SetTokenItem(TokenHandler* handler, const Bstr& name, const Bstr& value);
HRESULT GetTokenItem(TokenHandler* handler, const Bstr& name, Bstr* value);
HRESULT SetTokenData(TokenHandler* handler, uint32_t index, uint32_t flags, const Bstr& name, const Bstr& value);
HRESULT GetTokenData(TokenHandler* handler, uint32_t index, uint32_t* kind, Bstr* value, Bstr* encoded);
HRESULT ConstructToken(TokenHandler* handler, Bstr* token);
HRESULT ValidateToken(TokenHandler* handler, const Bstr& token);
HRESULT BeginTokenStream(TokenHandler* handler);
HRESULT EndTokenStream(TokenHandler* handler, Bstr* token);
HRESULT BeginValidateStream(TokenHandler* handler);
HRESULT EndValidateStream(TokenHandler* handler, const Bstr& token);
HRESULT HashTokenStream(TokenHandler* handler, std::string_view utf8);

// ---- Compression ------------------------------------------------------------------

// A zlib failure is a status whose code is zlib's own (negative) code.

// zlib compression into a buffer of n + (n + 12) / 1000 + 13 bytes; the
// result has the compressed length.
Result<Bytes> CompressBuffer(std::span<const uint8_t> bytes);
// zlib decompression into a buffer of exactly `size` bytes (at most
// kMaxUnpackedBytes, else Z_MEM_ERROR); the result has the length zlib
// reports. Z_BUF_ERROR when the data unpack to more than `size`.
Result<Bytes> UncompressBuffer(std::span<const uint8_t> bytes, size_t size);

// ---- Token clock ------------------------------------------------------------------

// UTC as year, month, day, hour, minute, second and milliseconds, the year
// unpadded and the others two digits (milliseconds three): 17 digits for a
// four-digit year. Fixed width, so the text order is the time order.
std::u16string FormatTokenTime(time::TimePoint t);
std::u16string FormatTokenTime();
// The reverse, for texts of exactly 17 digits that name a valid time in the
// years 1970 to 2200.
std::optional<time::TimePoint> ParseTokenTime(std::u16string_view text);

}  // namespace quor::auth
