// Helpers the content store's resource sources share; not part of its
// interface.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/StatusCodes.h"
#include "core/store/StoreRows.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/com/variant.h"

namespace quor::core::resource {

// Success when `acl` grants `user` every token of `rights`; else the check's
// own status (when `checkStatus` and it gave one) or `ownCode`.
inline Status CheckResourceRights(const Caller& caller, std::u16string_view rights, const com::Bstr& acl,
                                  HRESULT ownCode, bool checkStatus = true) {
  Status status = store::StoreRows::CheckRights(caller, rights, acl, ownCode);
  return checkStatus || status.ok() ? status : Status(ownCode);
}

// A write that must change a row: the plain result on success,
// QS_E_VESK_CONTENT_NOT_FOUND when it fails or changes nothing.
inline Status RunResourceWrite(const store::StoreRows& rows, std::string_view sql,
                               std::span<const com::Variant> params, com::Bstr& result) {
  Status status = rows.Write(sql, params, result);
  return status.ok() || status.code() == QS_E_NATIVE_DB_NOT_INSTALLED ? status : Status(QS_E_VESK_CONTENT_NOT_FOUND);
}

// A description keeps its first 500 characters.
inline com::Bstr Cut(const com::Bstr& description) {
  constexpr size_t kMax = 500;
  if (description.IsNull() || description.Length() <= kMax) return description;
  return com::Bstr(description.View().substr(0, kMax));
}

// A time stamp as year, month, day, hour, minute, second, for comparison.
using Stamp = std::array<int, 6>;

// Reads the two stored layouts ("2004/3/7 9:5:1", year first, and
// "03/07/2004 09:05:01", month first) and a client's date with or without
// its time ("2004/10/1", "2004-10-01 00:00:00"). None for anything else.
inline std::optional<Stamp> ParseStamp(std::u16string_view text) {
  std::array<int, 6> f{};
  int count = 0;
  std::array<int, 6> digits{};
  bool inNumber = false;
  for (char16_t c : text) {
    if (c >= u'0' && c <= u'9') {
      if (!inNumber) {
        if (count == 6) return std::nullopt;
        inNumber = true;
        ++count;
      }
      if (++digits[count - 1] > 4) return std::nullopt;
      f[count - 1] = f[count - 1] * 10 + (c - u'0');
    } else if (c == u'/' || c == u'-' || c == u':' || c == u' ' || c == u'T') {
      if (!inNumber && count != 0 && c != u' ') return std::nullopt;
      inNumber = false;
    } else {
      return std::nullopt;
    }
  }
  if (count != 3 && count != 6) return std::nullopt;
  Stamp stamp{};
  if (digits[0] == 4) {
    stamp = {f[0], f[1], f[2], f[3], f[4], f[5]};
  } else if (digits[2] == 4) {
    stamp = {f[2], f[0], f[1], f[3], f[4], f[5]};
  } else {
    return std::nullopt;
  }
  if (stamp[1] < 1 || stamp[1] > 12 || stamp[2] < 1 || stamp[2] > 31 || stamp[3] > 23 || stamp[4] > 59 || stamp[5] > 60)
    return std::nullopt;
  return stamp;
}

}  // namespace quor::core::resource
