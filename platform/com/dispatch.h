// Late binding without hand-written Invoke code.
//
// A class lists its members once:
//
//   class Echo : public DispatchObject<Echo, IDispatch> {
//    public:
//     HRESULT Convert(const Bstr& src, const Bstr& rule, Bstr* result);
//     static std::span<const DispatchEntry<Echo>> DispatchTable() {
//       static const DispatchEntry<Echo> table[] = {
//           Method<&Echo::Convert>(u"Convert", 1, {u"src", u"rule", u"result"})};
//       return table;
//     }
//   };
//
// and gets GetIDsOfNames (names without case) and Invoke, which converts the
// argument variants to the member's parameter types by its signature:
// in-parameters Bstr, int32_t, int64_t, uint32_t, uint8_t, bool, double,
// Variant, SafeArray (by value or const&), IDispatch*, IUnknown*; [out] and
// [in, out] parameters as pointers to those (IDispatch**, IUnknown** for
// interfaces). The last pointer parameter is the [out, retval] value that
// Invoke hands back as its result (pass RetVal::None when there is none).
// A member that fails (returns a failure status or throws ComError) makes
// Invoke answer DISP_E_EXCEPTION with the exception record filled from the
// thread's error information.
#pragma once

#include <initializer_list>
#include <new>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/errorinfo.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "platform/text/text.h"

namespace quor::com {

enum class MemberKind { Method, PropertyGet, PropertyPut };
enum class ParamDirection { In, Out, RetVal };  // Out covers [in, out] too

struct ParamInfo {
  std::u16string name;  // empty when the table gives none
  VARTYPE type = VT_EMPTY;  // VT_VARIANT for Variant, VT_BYREF | type for Out
  ParamDirection direction = ParamDirection::In;
};

struct MemberInfo {
  std::u16string name;
  DISPID id = DISPID_UNKNOWN;
  MemberKind kind = MemberKind::Method;
  std::vector<ParamInfo> params;
};

// What a caller that binds by parameter name needs to know about a
// dispatch object's members (their parameters, in order, and which are
// outputs). Every DispatchObject answers it.
struct IDispatchInfo : IUnknown {
  QUOR_COM_INTERFACE(IUnknown, "{8A3C5E71-2F4B-4D1A-9C6E-3B7D2A915F40}");
  virtual HRESULT GetMembers(std::vector<MemberInfo>& members) = 0;

 protected:
  ~IDispatchInfo() = default;
};

struct InvokeOutcome {
  HRESULT hr = S_OK;
  bool called = false;  // false: the arguments were refused before the call
  uint32_t argIndex = 0;
};

template <typename C>
struct DispatchEntry {
  std::u16string_view name;
  DISPID id = DISPID_UNKNOWN;
  MemberKind kind = MemberKind::Method;
  InvokeOutcome (*invoke)(C& self, std::span<const Variant> args, Variant* result) = nullptr;
  std::vector<ParamInfo> params;
};

enum class RetVal { Auto, None };

namespace detail {

template <typename F>
struct Sig;
template <typename C, typename... P>
struct Sig<HRESULT (C::*)(P...)> {
  using Class = C;
  using Args = std::tuple<P...>;
  static constexpr size_t N = sizeof...(P);
};
template <typename C, typename... P>
struct Sig<HRESULT (C::*)(P...) noexcept> : Sig<HRESULT (C::*)(P...)> {};

// Conversions of the value types.
template <typename T>
struct Value;
template <>
struct Value<Bstr> {
  static constexpr VARTYPE vt = VT_BSTR;
  static HRESULT From(const Variant& v, Bstr& out) {
    Variant d = v.Dereferenced();
    // A null string stays null.
    if (d.Type() == VT_BSTR) {
      out = d.GetBstr();
      return S_OK;
    }
    return d.ToBstr(out);
  }
  static Variant To(Bstr&& b) { return Variant(std::move(b)); }
};
template <>
struct Value<int32_t> {
  static constexpr VARTYPE vt = VT_I4;
  static HRESULT From(const Variant& v, int32_t& out) { return v.ToI4(out); }
  static Variant To(int32_t i) { return Variant(i); }
};
template <>
struct Value<bool> {
  static constexpr VARTYPE vt = VT_BOOL;
  static HRESULT From(const Variant& v, bool& out) { return v.ToBool(out); }
  static Variant To(bool b) { return Variant(b); }
};
template <>
struct Value<double> {
  static constexpr VARTYPE vt = VT_R8;
  static HRESULT From(const Variant& v, double& out) { return v.ToR8(out); }
  static Variant To(double d) { return Variant(d); }
};
template <typename T, VARTYPE Vt>
struct Integral {
  static constexpr VARTYPE vt = Vt;
  static HRESULT From(const Variant& v, T& out) {
    Variant c;
    HRESULT hr = v.ChangeType(Vt, c);
    if (SUCCEEDED(hr)) {
      if constexpr (Vt == VT_I8) out = c.I8();
      if constexpr (Vt == VT_UI4) out = c.UI4();
      if constexpr (Vt == VT_UI1) out = c.UI1();
    }
    return hr;
  }
  static Variant To(T t) { return Variant(t); }
};
template <>
struct Value<int64_t> : Integral<int64_t, VT_I8> {};
template <>
struct Value<uint32_t> : Integral<uint32_t, VT_UI4> {};
template <>
struct Value<uint8_t> : Integral<uint8_t, VT_UI1> {};
template <>
struct Value<Variant> {
  static constexpr VARTYPE vt = VT_VARIANT;
  static HRESULT From(const Variant& v, Variant& out) {
    out = v;
    return S_OK;
  }
  static Variant To(Variant&& v) { return std::move(v); }
};
template <>
struct Value<SafeArray> {
  static constexpr VARTYPE vt = VT_ARRAY;
  static HRESULT From(const Variant& v, SafeArray& out) {
    Variant d = v.Dereferenced();
    if (!d.IsArray()) return DISP_E_TYPEMISMATCH;
    out = d.Array();
    return S_OK;
  }
  static Variant To(SafeArray&& a) { return Variant(std::move(a)); }
};

template <typename T>
concept ValueType = requires { Value<T>::vt; };
template <typename T>
concept InterfaceType = std::is_same_v<T, IDispatch> || std::is_same_v<T, IUnknown>;

template <typename P>
struct Arg;

// In: a value by value or const reference.
template <typename P>
  requires ValueType<std::remove_cvref_t<P>> && (!std::is_reference_v<P> || std::is_const_v<std::remove_reference_t<P>>)
struct Arg<P> {
  using T = std::remove_cvref_t<P>;
  static constexpr bool kOut = false;
  T value{};
  HRESULT Load(const Variant& a) { return Value<T>::From(a, value); }
  decltype(auto) Pass() {
    if constexpr (std::is_reference_v<P>)
      return static_cast<const T&>(value);
    else
      return std::move(value);
  }
  void WriteBack() {}
  static ParamInfo Info() { return {{}, Value<T>::vt, ParamDirection::In}; }
};

// In: an interface pointer, borrowed for the call.
template <InterfaceType I>
struct Arg<I*> {
  static constexpr bool kOut = false;
  Variant held;
  HRESULT Load(const Variant& a) {
    Variant d = a.Dereferenced();
    if (d.IsEmpty() || d.IsNull()) return S_OK;
    return d.ChangeType(std::is_same_v<I, IDispatch> ? VT_DISPATCH : VT_UNKNOWN, held);
  }
  I* Pass() {
    if (held.IsEmpty()) return nullptr;
    if constexpr (std::is_same_v<I, IDispatch>)
      return held.Dispatch();
    else
      return held.Unknown();
  }
  void WriteBack() {}
  static ParamInfo Info() { return {{}, std::is_same_v<I, IDispatch> ? VT_DISPATCH : VT_UNKNOWN, ParamDirection::In}; }
};

// Out or in/out: a pointer to a value. The argument must be VT_BYREF of the
// value's type or of VT_VARIANT (a plain variant is accepted for Variant*,
// its change then being lost).
template <ValueType T>
struct Arg<T*> {
  static constexpr bool kOut = true;
  T value{};
  const Variant* ref = nullptr;
  HRESULT Load(const Variant& a) {
    if (!a.IsByRef()) {
      if constexpr (std::is_same_v<T, Variant>) {
        value = a;
        return S_OK;
      }
      return DISP_E_TYPEMISMATCH;
    }
    VARTYPE target = a.Type() & static_cast<VARTYPE>(~VT_BYREF);
    bool fits = target == VT_VARIANT || (Value<T>::vt == VT_ARRAY ? (target & VT_ARRAY) != 0 : target == Value<T>::vt);
    if (!fits) return DISP_E_TYPEMISMATCH;
    ref = &a;
    // [in, out]: the member starts from the caller's value where it converts.
    Variant current = a.Dereferenced();
    if (!current.IsEmpty()) (void)Value<T>::From(current, value);
    return S_OK;
  }
  HRESULT LoadRetval() { return S_OK; }
  T* Pass() { return &value; }
  void WriteBack() {
    if (ref) (void)ref->AssignThroughRef(Value<T>::To(std::move(value)));
  }
  Variant Take() { return Value<T>::To(std::move(value)); }
  static ParamInfo Info() { return {{}, static_cast<VARTYPE>(VT_BYREF | Value<T>::vt), ParamDirection::Out}; }
};

// Out: an interface pointer the member hands over with one reference.
template <InterfaceType I>
struct Arg<I**> {
  static constexpr bool kOut = true;
  static constexpr VARTYPE vt = std::is_same_v<I, IDispatch> ? VT_DISPATCH : VT_UNKNOWN;
  I* value = nullptr;
  const Variant* ref = nullptr;
  Arg() = default;
  Arg(const Arg&) = delete;
  ~Arg() {
    if (value) value->Release();
  }
  HRESULT Load(const Variant& a) {
    VARTYPE t = a.Type();
    if (t != (VT_BYREF | VT_VARIANT) && t != (VT_BYREF | vt)) return DISP_E_TYPEMISMATCH;
    ref = &a;
    return S_OK;
  }
  HRESULT LoadRetval() { return S_OK; }
  I** Pass() { return &value; }
  void WriteBack() {
    if (ref) (void)ref->AssignThroughRef(Take());
  }
  Variant Take() {
    I* p = std::exchange(value, nullptr);
    if constexpr (std::is_same_v<I, IDispatch>)
      return Variant::AttachDispatch(p);
    else
      return Variant::AttachUnknown(p);
  }
  static ParamInfo Info() { return {{}, static_cast<VARTYPE>(VT_BYREF | vt), ParamDirection::Out}; }
};

template <auto M>
constexpr bool LastIsOut() {
  using S = Sig<decltype(M)>;
  if constexpr (S::N == 0)
    return false;
  else
    return Arg<std::tuple_element_t<S::N - 1, typename S::Args>>::kOut;
}

template <auto M, bool HasRetval, size_t... I>
InvokeOutcome CallImpl(typename Sig<decltype(M)>::Class& self, std::span<const Variant> args, Variant* result,
                       std::index_sequence<I...>) {
  using S = Sig<decltype(M)>;
  constexpr size_t kIn = S::N - (HasRetval ? 1 : 0);
  if (args.size() > kIn) return {DISP_E_BADPARAMCOUNT, false, static_cast<uint32_t>(kIn)};
  if (args.size() < kIn) return {DISP_E_PARAMNOTOPTIONAL, false, static_cast<uint32_t>(args.size())};
  std::tuple<Arg<std::tuple_element_t<I, typename S::Args>>...> holders;
  HRESULT failed = S_OK;
  uint32_t bad = 0;
  [[maybe_unused]] auto load = [&]<size_t K>(std::integral_constant<size_t, K>) -> bool {
    HRESULT hr;
    if constexpr (HasRetval && K == S::N - 1)
      hr = std::get<K>(holders).LoadRetval();
    else
      hr = std::get<K>(holders).Load(args[K]);
    if (FAILED(hr)) {
      failed = hr;
      bad = static_cast<uint32_t>(K);
      return false;
    }
    return true;
  };
  if (!(load(std::integral_constant<size_t, I>{}) && ...)) return {failed, false, bad};
  HRESULT hr = (self.*M)(std::get<I>(holders).Pass()...);
  [[maybe_unused]] auto finish = [&]<size_t K>(std::integral_constant<size_t, K>) {
    if constexpr (HasRetval && K == S::N - 1) {
      if (result && SUCCEEDED(hr)) *result = std::get<K>(holders).Take();
    } else {
      std::get<K>(holders).WriteBack();
    }
  };
  (finish(std::integral_constant<size_t, I>{}), ...);
  return {hr, true, 0};
}

template <auto M, bool HasRetval>
InvokeOutcome Call(typename Sig<decltype(M)>::Class& self, std::span<const Variant> args, Variant* result) {
  return CallImpl<M, HasRetval>(self, args, result, std::make_index_sequence<Sig<decltype(M)>::N>{});
}

template <auto M, size_t... I>
std::vector<ParamInfo> ParamInfos(std::index_sequence<I...>) {
  using S = Sig<decltype(M)>;
  return {Arg<std::tuple_element_t<I, typename S::Args>>::Info()...};
}

template <auto M>
DispatchEntry<typename Sig<decltype(M)>::Class> MakeEntry(std::u16string_view name, DISPID id, MemberKind kind,
                                                           std::initializer_list<std::u16string_view> names,
                                                           RetVal retval) {
  using S = Sig<decltype(M)>;
  DispatchEntry<typename S::Class> e;
  e.name = name;
  e.id = id;
  e.kind = kind;
  const bool hasRetval = retval == RetVal::Auto && LastIsOut<M>();
  if constexpr (LastIsOut<M>())
    e.invoke = hasRetval ? &Call<M, true> : &Call<M, false>;
  else
    e.invoke = &Call<M, false>;
  e.params = ParamInfos<M>(std::make_index_sequence<S::N>{});
  if (hasRetval) e.params.back().direction = ParamDirection::RetVal;
  size_t i = 0;
  for (auto n : names) {
    if (i < e.params.size()) e.params[i++].name = std::u16string(n);
  }
  return e;
}

}  // namespace detail

// Table entries. `paramNames` name the parameters in order (for callers that
// bind by name); they may be left out.
template <auto M>
auto Method(std::u16string_view name, DISPID id, std::initializer_list<std::u16string_view> paramNames = {},
            RetVal retval = RetVal::Auto) {
  return detail::MakeEntry<M>(name, id, MemberKind::Method, paramNames, retval);
}
template <auto M>
auto PropertyGet(std::u16string_view name, DISPID id) {
  static_assert(detail::LastIsOut<M>(), "a property getter ends with its [out, retval] parameter");
  return detail::MakeEntry<M>(name, id, MemberKind::PropertyGet, {}, RetVal::Auto);
}
template <auto M>
auto PropertyPut(std::u16string_view name, DISPID id) {
  return detail::MakeEntry<M>(name, id, MemberKind::PropertyPut, {}, RetVal::None);
}

// The IDispatch (and IDispatchInfo) implementation over Derived's table.
// Derived provides `static std::span<const DispatchEntry<Derived>>
// DispatchTable()` and may provide `static constexpr std::u16string_view
// kErrorSource` (the source of errors raised as ComError without one).
template <typename Derived, typename... Interfaces>
class DispatchObject : public ComObject<Derived, Interfaces..., IDispatchInfo> {
 public:
  HRESULT GetIDsOfNames(std::span<const std::u16string_view> names, std::span<DISPID> ids) override {
    if (names.empty() || ids.size() < names.size()) return E_INVALIDARG;
    for (auto& id : ids.first(names.size())) id = DISPID_UNKNOWN;
    const DispatchEntry<Derived>* member = nullptr;
    for (const auto& e : Derived::DispatchTable()) {
      if (text::EqualsNoCase(e.name, names[0])) {
        member = &e;
        break;
      }
    }
    if (!member) return DISP_E_UNKNOWNNAME;
    ids[0] = member->id;
    HRESULT hr = S_OK;
    for (size_t i = 1; i < names.size(); ++i) {
      for (size_t p = 0; p < member->params.size(); ++p)
        if (!member->params[p].name.empty() && text::EqualsNoCase(member->params[p].name, names[i]))
          ids[i] = static_cast<DISPID>(p);
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT Invoke(DISPID member, uint16_t flags, std::span<const Variant> args, Variant* result, ExcepInfo* excepInfo,
                 uint32_t* argError) override {
    const DispatchEntry<Derived>* entry = nullptr;
    for (const auto& e : Derived::DispatchTable()) {
      if (e.id != member) continue;
      bool matches = (e.kind == MemberKind::Method && (flags & DISPATCH_METHOD)) ||
                     (e.kind == MemberKind::PropertyGet && (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD))) ||
                     (e.kind == MemberKind::PropertyPut && (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)));
      if (matches) {
        entry = &e;
        break;
      }
    }
    if (!entry) return DISP_E_MEMBERNOTFOUND;
    if (result) result->Clear();
    if (excepInfo) *excepInfo = ExcepInfo{};
    InvokeOutcome outcome;
    try {
      outcome = entry->invoke(static_cast<Derived&>(*this), args, result);
    } catch (const ComError& e) {
      outcome = {StatusFromError(e, ErrorSource()), true, 0};
    } catch (const std::bad_alloc&) {
      outcome = {RaiseError(E_OUTOFMEMORY, Bstr(ErrorSource()), Bstr::FromUtf8(HResultText(E_OUTOFMEMORY))), true, 0};
    } catch (const std::exception& e) {
      outcome = {RaiseError(E_UNEXPECTED, Bstr(ErrorSource()), Bstr::FromUtf8(e.what())), true, 0};
    }
    if (!outcome.called) {
      if (argError) *argError = outcome.argIndex;
      return outcome.hr;
    }
    if (SUCCEEDED(outcome.hr)) return S_OK;
    if (excepInfo) {
      excepInfo->scode = outcome.hr;
      std::optional<ErrorInfo> info = GetErrorInfo();
      if (info) {
        excepInfo->source = std::move(info->source);
        excepInfo->description = std::move(info->description);
        excepInfo->helpFile = std::move(info->helpFile);
        excepInfo->helpContext = info->helpContext;
      } else {
        excepInfo->source = Bstr(ErrorSource());
        excepInfo->description = Bstr::FromUtf8(HResultText(outcome.hr));
      }
    }
    return DISP_E_EXCEPTION;
  }

  HRESULT GetMembers(std::vector<MemberInfo>& members) override {
    members.clear();
    for (const auto& e : Derived::DispatchTable())
      members.push_back({std::u16string(e.name), e.id, e.kind, e.params});
    return S_OK;
  }

 private:
  static std::u16string_view ErrorSource() {
    if constexpr (requires { Derived::kErrorSource; })
      return Derived::kErrorSource;
    else
      return {};
  }
};

// Calls a member by name: GetIDsOfNames, then Invoke.
inline HRESULT InvokeByName(IDispatch* target, std::u16string_view name, uint16_t flags,
                            std::span<const Variant> args, Variant* result, ExcepInfo* excepInfo = nullptr) {
  if (!target) return E_POINTER;
  DISPID id = DISPID_UNKNOWN;
  if (HRESULT hr = target->GetIDOfName(name, id); FAILED(hr)) return hr;
  return target->Invoke(id, flags, args, result, excepInfo, nullptr);
}

}  // namespace quor::com
