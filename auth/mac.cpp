#include "auth/mac.h"

#include <zlib.h>

#include <chrono>

#include "auth/mac_handler.h"
#include "auth/util/error.h"
#include "platform/text/text.h"

namespace quor::auth {
namespace {

// The outer edge of every flat function: a failure inside becomes the
// result; the error information stays as the failure left it.
template <typename Fn>
HRESULT Edge(Fn&& fn) noexcept {
  return util::CatchAtEdge(u"", com::GUID_NULL, std::forward<Fn>(fn));
}

template <typename Handler>
HRESULT Acquire(const Bstr& scheme, TokenHandlerPtr* handler) {
  if (!handler) return E_POINTER;
  return Edge([&]() -> Status {
    Bstr effective = scheme.Empty() ? Bstr(kDefaultProviderName) : scheme;
    auto made = std::make_unique<Handler>();
    QUOR_RETURN_IF_ERROR(made->Init(effective));
    *handler = std::move(made);
    return {};
  });
}

}  // namespace

HRESULT AcquireTokenHandler(const Bstr& scheme, TokenHandlerPtr* handler) {
  return Acquire<ServerMACImpl>(scheme, handler);
}

HRESULT AcquireClientTokenHandler(const Bstr& scheme, TokenHandlerPtr* handler) {
  return Acquire<ClientMACImpl>(scheme, handler);
}

HRESULT ReleaseTokenHandler(TokenHandlerPtr& handler) {
  handler.reset();
  return S_OK;
}

HRESULT GetTokenScheme(TokenHandler* handler, Bstr* scheme) {
  if (!scheme) return E_POINTER;
  return Edge([&] { return handler->GetTokenScheme(scheme); });
}

HRESULT SetTokenSeed(TokenHandler* handler, const Bstr& seed) {
  return Edge([&] { return handler->SetTokenSeed(seed); });
}

HRESULT GetTokenSeed(TokenHandler* handler, Bstr* seed) {
  if (!seed) return E_POINTER;
  return Edge([&] { return handler->GetTokenSeed(seed); });
}

HRESULT SetTokenItem(TokenHandler* handler, const Bstr& name, const Bstr& value) {
  return Edge([&] { return handler->SetTokenItem(name, value); });
}

HRESULT GetTokenItem(TokenHandler* handler, const Bstr& name, Bstr* value) {
  if (!value) return E_POINTER;
  return Edge([&] { return handler->GetTokenItem(name, value); });
}

HRESULT SetTokenData(TokenHandler* handler, uint32_t index, uint32_t flags, const Bstr& name, const Bstr& value) {
  return Edge([&] { return handler->SetTokenData(index, flags, name, value); });
}

HRESULT GetTokenData(TokenHandler* handler, uint32_t index, uint32_t* kind, Bstr* value, Bstr* encoded) {
  if (!encoded) return E_POINTER;
  return Edge([&] { return handler->GetTokenData(index, kind, value, encoded); });
}

HRESULT ConstructToken(TokenHandler* handler, Bstr* token) {
  if (!token) return E_POINTER;
  return Edge([&] { return handler->ConstructToken(token); });
}

HRESULT ValidateToken(TokenHandler* handler, const Bstr& token) {
  return Edge([&] { return handler->ValidateToken(token); });
}

HRESULT BeginTokenStream(TokenHandler* handler) {
  return Edge([&] { return handler->BeginTokenStream(); });
}

HRESULT EndTokenStream(TokenHandler* handler, Bstr* token) {
  if (!token) return E_POINTER;
  return Edge([&] { return handler->EndTokenStream(token); });
}

HRESULT BeginValidateStream(TokenHandler* handler) {
  return Edge([&] { return handler->BeginValidateStream(); });
}

HRESULT EndValidateStream(TokenHandler* handler, const Bstr& token) {
  return Edge([&] { return handler->EndValidateStream(token); });
}

HRESULT HashTokenStream(TokenHandler* handler, std::string_view utf8) {
  return Edge([&] { return handler->HashTokenStream(utf8); });
}

// ---- Compression ------------------------------------------------------------------

Result<Bytes> CompressBuffer(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  Bytes out(n + (n + 12) / 1000 + 13);
  uLongf length = static_cast<uLongf>(out.size());
  int rc = compress(out.data(), &length, bytes.data(), static_cast<uLong>(n));
  if (rc != Z_OK) return Status(rc < 0 ? rc : Z_DATA_ERROR);
  out.resize(length);
  return out;
}

Result<Bytes> UncompressBuffer(std::span<const uint8_t> bytes, size_t size) {
  if (size > kMaxUnpackedBytes) return Status(Z_MEM_ERROR);
  Bytes out(size);
  uLongf length = static_cast<uLongf>(size);
  int rc = uncompress(out.data(), &length, bytes.data(), static_cast<uLong>(bytes.size()));
  if (rc != Z_OK) return Status(rc < 0 ? rc : Z_DATA_ERROR);
  out.resize(length);
  return out;
}

// ---- Token clock ------------------------------------------------------------------

std::u16string FormatTokenTime(time::TimePoint t) {
  const time::SystemTime u = time::ToUtc(t);
  return text::Widen(text::Format("%u%02u%02u%02u%02u%02u%03u", u.year, u.month, u.day, u.hour, u.minute, u.second,
                                  u.milliseconds));
}

std::u16string FormatTokenTime() { return FormatTokenTime(time::Now()); }

std::optional<time::TimePoint> ParseTokenTime(std::u16string_view text) {
  if (text.size() != 17 || !text::IsAsciiDigits(text)) return std::nullopt;
  auto number = [&](size_t at, size_t width) {
    int v = 0;
    for (size_t i = at; i < at + width; ++i) v = v * 10 + (text[i] - u'0');
    return v;
  };
  using namespace std::chrono;
  const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(4, 2))},
                            day{static_cast<unsigned>(number(6, 2))}};
  const int hour = number(8, 2), minute = number(10, 2), second = number(12, 2), ms = number(14, 3);
  // Years the clock can hold (nanoseconds from 1970 run out in 2262).
  if (!date.ok() || date.year() < year{1970} || date.year() > year{2200} || hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  return time_point_cast<time::TimePoint::duration>(sys_days{date} + hours{hour} + minutes{minute} +
                                                     seconds{second} + milliseconds{ms});
}

}  // namespace quor::auth
