// What the two providers share with the front of the directory layer; not
// part of the public interface.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/directory.h"

namespace quor::dir::detail {

class ObjectImpl {
 public:
  virtual ~ObjectImpl() = default;
  virtual Provider GetProvider() const = 0;
  virtual std::string Path() const = 0;
  virtual std::string Name() const = 0;
  virtual std::string Class() const = 0;
  virtual std::string Parent() const = 0;
  virtual std::string Dn() const { return {}; }
  virtual HRESULT Get(std::string_view name, Property& out) const = 0;
  virtual std::vector<std::string> PropertyNames() const = 0;
  virtual HRESULT Children(std::span<const std::string> classFilter, std::vector<Object>& out) const = 0;
  virtual HRESULT Members(std::vector<Object>& out) const = 0;
  virtual HRESULT IsMember(std::string_view memberPath, bool& out) const = 0;
  virtual HRESULT Groups(std::vector<Object>& out) const = 0;
  virtual HRESULT ExecuteSearch(std::string_view, std::span<const std::string>, const SearchOptions&,
                                SearchCursor&) const {
    return E_NOINTERFACE;
  }
};

class SearchState {
 public:
  virtual ~SearchState() = default;
  virtual HRESULT NextRow(Row& row) = 0;
};

// The calling thread's extended error.
void ClearLastError();
// Records the provider's error and returns `status`.
HRESULT Fail(HRESULT status, uint32_t code, std::string text, std::string_view provider);

inline constexpr std::string_view kLdapProvider = "LDAP Provider";
inline constexpr std::string_view kWinNTProvider = "WinNT Provider";

// `user` null: bind as the service. Otherwise `user` and `password` are not
// empty (the front has refused empty ones).
HRESULT LdapBind(const AdsPath& path, const std::string* user, std::string_view password, uint32_t flags,
                 const Options& options, Object& out);
HRESULT WinNTBind(const AdsPath& path, const std::string* user, std::string_view password, const Options& options,
                  Object& out);

}  // namespace quor::dir::detail
