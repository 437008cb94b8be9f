// ISession: what the service core calls on the session of one request (the
// object LookupSession hands out). Dual: also reachable by name, dispatch
// identifiers 1 to 7 in the order below.
#pragma once

#include <cstdint>
#include <string_view>

#include "auth/ids.h"
#include "platform/com/unknown.h"

namespace quor::auth {

struct ISession : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{715319E9-173A-4F47-A05D-6DC76B57FE24}");
  virtual HRESULT GetRealm(com::Bstr* realm) = 0;
  virtual HRESULT GetPrincipal(com::Bstr* principal) = 0;
  virtual HRESULT GetFullPrincipal(com::Bstr* fullPrincipal) = 0;
  // The answer token over the items set last.
  virtual HRESULT ConstructToken(com::Bstr* token) = 0;
  // `*valid` is -1 when the request token passed and 0 when not; S_OK both ways.
  virtual HRESULT ValidateToken(const com::Bstr& token, int32_t* valid) = 0;
  virtual HRESULT SetTokenData(uint32_t index, uint32_t flags, const com::Bstr& name, const com::Bstr& value) = 0;
  // `flags` the item's kind, `src` its value as set, `dst` its encoded or
  // decoded value.
  virtual HRESULT GetTokenData(uint32_t index, uint32_t* flags, com::Bstr* src, com::Bstr* dst) = 0;

  // An answer token over a last item whose value is made while it is sent
  // (not reachable by name). After SetTokenData for every item, the last
  // one plain (kind 0) with a null value: BeginTokenStream hashes all but
  // that value; HashTokenStream takes the value's pieces in order (UTF-8,
  // each ending on a whole character); EndTokenStream gives the token that
  // ConstructToken would have made with the whole value set.
  virtual HRESULT BeginTokenStream() = 0;
  virtual HRESULT HashTokenStream(std::string_view utf8) = 0;
  virtual HRESULT EndTokenStream(com::Bstr* token) = 0;

 protected:
  ~ISession() = default;
};

}  // namespace quor::auth
