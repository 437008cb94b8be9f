// The component contract's base interfaces: IUnknown (identity and reference
// counting), IDispatch (late binding by name), IClassFactory and
// ISupportErrorInfo, and ComPtr, the owning smart pointer.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"

// Declares an interface's identifier and its base interface, so that
// QueryInterface can answer for the interface and every interface it extends.
#define QUOR_COM_INTERFACE(BaseInterface, guidText)                        \
  using Base = BaseInterface;                                              \
  static constexpr ::quor::com::Guid kIid = ::quor::com::Guid::Literal(guidText)

namespace quor::com {

class Variant;

using DISPID = int32_t;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;

// Invoke flags.
inline constexpr uint16_t DISPATCH_METHOD = 0x1;
inline constexpr uint16_t DISPATCH_PROPERTYGET = 0x2;
inline constexpr uint16_t DISPATCH_PROPERTYPUT = 0x4;
inline constexpr uint16_t DISPATCH_PROPERTYPUTREF = 0x8;

// The exception record of a failed late-bound call.
struct ExcepInfo {
  uint16_t wCode = 0;  // a 16-bit error code, or 0 when scode is used
  Bstr source;
  Bstr description;
  Bstr helpFile;
  uint32_t helpContext = 0;
  HRESULT scode = S_OK;
};

struct IUnknown {
  QUOR_COM_INTERFACE(void, "{00000000-0000-0000-C000-000000000046}");
  virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IDispatch : IUnknown {
  QUOR_COM_INTERFACE(IUnknown, "{00020400-0000-0000-C000-000000000046}");
  // names[0] is a member name, names[1..] names of its parameters. Names
  // compare without case. Every unknown name gets DISPID_UNKNOWN and the call
  // answers DISP_E_UNKNOWNNAME. `ids` must have room for every name.
  virtual HRESULT GetIDsOfNames(std::span<const std::u16string_view> names, std::span<DISPID> ids) = 0;
  // Calls a member with positional arguments in their natural order (the
  // first argument first). [out] arguments are VT_BYREF variants. A failure
  // inside the member gives DISP_E_EXCEPTION with `excepInfo` filled in; a
  // bad argument gives DISP_E_TYPEMISMATCH or DISP_E_PARAMNOTOPTIONAL with
  // its index in `argError`.
  virtual HRESULT Invoke(DISPID member, uint16_t flags, std::span<const Variant> args, Variant* result,
                         ExcepInfo* excepInfo, uint32_t* argError) = 0;

  // One member name.
  HRESULT GetIDOfName(std::u16string_view name, DISPID& id) {
    std::u16string_view names[1] = {name};
    DISPID ids[1] = {DISPID_UNKNOWN};
    HRESULT hr = GetIDsOfNames(names, ids);
    id = ids[0];
    return hr;
  }

 protected:
  ~IDispatch() = default;
};

struct IClassFactory : IUnknown {
  QUOR_COM_INTERFACE(IUnknown, "{00000001-0000-0000-C000-000000000046}");
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) = 0;
  virtual HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

struct ISupportErrorInfo : IUnknown {
  QUOR_COM_INTERFACE(IUnknown, "{DF0B3D60-548F-101B-8E65-08002B2BD119}");
  // S_OK when the interface reports failures through error information.
  virtual HRESULT InterfaceSupportsErrorInfo(const IID& iid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

// Owns one reference to an interface.
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference (AddRef); use Attach to adopt one.
  explicit ComPtr(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <typename U>
    requires std::is_convertible_v<U*, T*>
  ComPtr(const ComPtr<U>& other) noexcept : ComPtr(static_cast<T*>(other.Get())) {}
  template <typename U>
    requires std::is_convertible_v<U*, T*>
  ComPtr(ComPtr<U>&& other) noexcept : p_(other.Detach()) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  static ComPtr Adopt(T* p) noexcept {
    ComPtr out;
    out.p_ = p;
    return out;
  }
  void Attach(T* p) noexcept {
    Reset();
    p_ = p;
  }
  [[nodiscard]] T* Detach() noexcept { return std::exchange(p_, nullptr); }
  void Reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // The address to receive a new reference (the current one is released).
  T** Put() noexcept {
    Reset();
    return &p_;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

  template <typename U>
  HRESULT As(ComPtr<U>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(U::kIid, out.PutVoid());
  }
  template <typename U>
  ComPtr<U> As() const {
    ComPtr<U> out;
    As(out);
    return out;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace quor::com
