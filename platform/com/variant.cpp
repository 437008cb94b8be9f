#include "platform/com/variant.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::com {

bool IsScalarType(VARTYPE vt) {
  switch (vt) {
    case VT_I2:
    case VT_I4:
    case VT_R8:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_UI1:
    case VT_UI4:
    case VT_I8:
      return true;
    default:
      return false;
  }
}

// ---- SafeArray ---------------------------------------------------------------------

namespace {
bool ValidElementType(VARTYPE vt) { return IsScalarType(vt) || vt == VT_VARIANT; }
}  // namespace

HRESULT SafeArray::Create(VARTYPE elementType, std::span<const Bound> bounds, SafeArray& out) {
  if (!ValidElementType(elementType)) return DISP_E_BADVARTYPE;
  if (bounds.empty() || bounds.size() > 2) return E_INVALIDARG;
  size_t total = 1;
  for (const Bound& b : bounds) {
    if (b.count > 0 && static_cast<int64_t>(b.lower) + b.count - 1 > std::numeric_limits<int32_t>::max())
      return E_INVALIDARG;
    total *= b.count;
  }
  SafeArray made;
  made.vt_ = elementType;
  made.bounds_.assign(bounds.begin(), bounds.end());
  if (elementType == VT_UI1) {
    made.bytes_.assign(total, 0);
  } else {
    made.items_.resize(total);
    if (elementType != VT_VARIANT) {
      // Every element starts as the zero value of its type.
      Variant zero;
      switch (elementType) {
        case VT_BSTR: zero = Variant(Bstr()); break;
        case VT_DISPATCH: zero = Variant::AttachDispatch(nullptr); break;
        case VT_UNKNOWN: zero = Variant::AttachUnknown(nullptr); break;
        case VT_ERROR: zero = Variant::Error(S_OK); break;
        default: Variant(int32_t{0}).ChangeType(elementType, zero); break;
      }
      for (auto& item : made.items_) item = zero;
    }
  }
  out = std::move(made);
  return S_OK;
}

SafeArray::SafeArray(VARTYPE elementType, Bound bound) {
  Bound b[1] = {bound};
  if (HRESULT hr = Create(elementType, b, *this); FAILED(hr)) throw ComError(hr);
}

SafeArray::SafeArray(VARTYPE elementType, Bound first, Bound second) {
  Bound b[2] = {first, second};
  if (HRESULT hr = Create(elementType, b, *this); FAILED(hr)) throw ComError(hr);
}

SafeArray::SafeArray(const SafeArray&) = default;
SafeArray& SafeArray::operator=(const SafeArray&) = default;
SafeArray::SafeArray(SafeArray&&) noexcept = default;
SafeArray& SafeArray::operator=(SafeArray&&) noexcept = default;
SafeArray::~SafeArray() = default;

HRESULT SafeArray::GetLBound(uint32_t dimension, int32_t& lower) const {
  if (dimension < 1 || dimension > bounds_.size()) return DISP_E_BADINDEX;
  lower = bounds_[dimension - 1].lower;
  return S_OK;
}

HRESULT SafeArray::GetUBound(uint32_t dimension, int32_t& upper) const {
  if (dimension < 1 || dimension > bounds_.size()) return DISP_E_BADINDEX;
  const Bound& b = bounds_[dimension - 1];
  upper = static_cast<int32_t>(static_cast<int64_t>(b.lower) + b.count - 1);
  return S_OK;
}

uint32_t SafeArray::Count(uint32_t dimension) const {
  return dimension >= 1 && dimension <= bounds_.size() ? bounds_[dimension - 1].count : 0;
}

size_t SafeArray::ElementCount() const { return vt_ == VT_UI1 ? bytes_.size() : items_.size(); }

HRESULT SafeArray::Offset(std::span<const int32_t> indices, size_t& offset) const {
  if (indices.size() != bounds_.size() || bounds_.empty()) return DISP_E_BADINDEX;
  offset = 0;
  size_t stride = 1;
  // The first index varies fastest.
  for (size_t d = 0; d < bounds_.size(); ++d) {
    int64_t i = static_cast<int64_t>(indices[d]) - bounds_[d].lower;
    if (i < 0 || i >= static_cast<int64_t>(bounds_[d].count)) return DISP_E_BADINDEX;
    offset += static_cast<size_t>(i) * stride;
    stride *= bounds_[d].count;
  }
  return S_OK;
}

HRESULT SafeArray::GetElement(std::span<const int32_t> indices, Variant& out) const {
  size_t offset = 0;
  if (HRESULT hr = Offset(indices, offset); FAILED(hr)) return hr;
  if (vt_ == VT_UI1)
    out = Variant(bytes_[offset]);
  else
    out = items_[offset];
  return S_OK;
}

HRESULT SafeArray::PutElement(std::span<const int32_t> indices, const Variant& value) {
  size_t offset = 0;
  if (HRESULT hr = Offset(indices, offset); FAILED(hr)) return hr;
  if (vt_ == VT_VARIANT) {
    items_[offset] = value.Dereferenced();
    return S_OK;
  }
  Variant converted;
  if (HRESULT hr = value.ChangeType(vt_, converted); FAILED(hr)) return hr;
  if (vt_ == VT_UI1)
    bytes_[offset] = converted.UI1();
  else
    items_[offset] = std::move(converted);
  return S_OK;
}

std::span<uint8_t> SafeArray::Bytes() { return vt_ == VT_UI1 ? std::span<uint8_t>(bytes_) : std::span<uint8_t>(); }
std::span<const uint8_t> SafeArray::Bytes() const {
  return vt_ == VT_UI1 ? std::span<const uint8_t>(bytes_) : std::span<const uint8_t>();
}

// ---- Variant: life -------------------------------------------------------------------

Variant::Variant(IDispatch* v) : vt_(VT_DISPATCH) {
  u_.disp = v;
  if (v) v->AddRef();
}

Variant::Variant(IUnknown* v) : vt_(VT_UNKNOWN) {
  u_.unk = v;
  if (v) v->AddRef();
}

Variant::Variant(SafeArray array) : vt_(static_cast<VARTYPE>(VT_ARRAY | array.ElementType())) {
  u_.i8 = 0;
  array_ = std::make_unique<SafeArray>(std::move(array));
}

Variant Variant::Null() {
  Variant v;
  v.vt_ = VT_NULL;
  return v;
}

Variant Variant::Date(double days) {
  Variant v(days);
  v.vt_ = VT_DATE;
  return v;
}

Variant Variant::Error(HRESULT code) {
  Variant v;
  v.vt_ = VT_ERROR;
  v.u_.scode = code;
  return v;
}

Variant Variant::AttachDispatch(IDispatch* p) {
  Variant v;
  v.vt_ = VT_DISPATCH;
  v.u_.disp = p;
  return v;
}

Variant Variant::AttachUnknown(IUnknown* p) {
  Variant v;
  v.vt_ = VT_UNKNOWN;
  v.u_.unk = p;
  return v;
}

Variant Variant::MakeRef(VARTYPE vt, void* p) {
  Variant v;
  v.vt_ = static_cast<VARTYPE>(VT_BYREF | vt);
  v.u_.ref = p;
  return v;
}

Variant Variant::ByRef(Bstr* p) { return MakeRef(VT_BSTR, p); }
Variant Variant::ByRef(int32_t* p) { return MakeRef(VT_I4, p); }
Variant Variant::ByRef(int16_t* p) { return MakeRef(VT_I2, p); }
Variant Variant::ByRef(uint32_t* p) { return MakeRef(VT_UI4, p); }
Variant Variant::ByRef(int64_t* p) { return MakeRef(VT_I8, p); }
Variant Variant::ByRef(double* p) { return MakeRef(VT_R8, p); }
Variant Variant::ByRef(Variant* p) { return MakeRef(VT_VARIANT, p); }
Variant Variant::ByRef(IDispatch** p) { return MakeRef(VT_DISPATCH, p); }
Variant Variant::ByRef(IUnknown** p) { return MakeRef(VT_UNKNOWN, p); }
Variant Variant::ByRef(SafeArray* p) { return MakeRef(static_cast<VARTYPE>(VT_ARRAY | p->ElementType()), p); }
Variant Variant::ByRefBool(VARIANT_BOOL* p) { return MakeRef(VT_BOOL, p); }

void Variant::CopyFrom(const Variant& other) {
  vt_ = other.vt_;
  u_ = other.u_;
  bstr_ = other.bstr_;
  if (other.array_) array_ = std::make_unique<SafeArray>(*other.array_);
  if ((vt_ == VT_DISPATCH || vt_ == VT_UNKNOWN) && u_.unk) {
    if (vt_ == VT_DISPATCH)
      u_.disp->AddRef();
    else
      u_.unk->AddRef();
  }
}

Variant::Variant(const Variant& other) { CopyFrom(other); }

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant::Variant(Variant&& other) noexcept
    : vt_(std::exchange(other.vt_, VT_EMPTY)), u_(other.u_), bstr_(std::move(other.bstr_)),
      array_(std::move(other.array_)) {
  other.u_.i8 = 0;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    Clear();
    vt_ = std::exchange(other.vt_, VT_EMPTY);
    u_ = other.u_;
    other.u_.i8 = 0;
    bstr_ = std::move(other.bstr_);
    array_ = std::move(other.array_);
  }
  return *this;
}

Variant::~Variant() { Clear(); }

void Variant::Clear() {
  if (vt_ == VT_DISPATCH && u_.disp) u_.disp->Release();
  if (vt_ == VT_UNKNOWN && u_.unk) u_.unk->Release();
  vt_ = VT_EMPTY;
  u_.i8 = 0;
  bstr_.Clear();
  array_.reset();
}

// ---- Variant: reads ------------------------------------------------------------------------

namespace {
[[noreturn]] void Mismatch() { throw ComError(DISP_E_TYPEMISMATCH); }
}  // namespace

int32_t Variant::I4() const { return vt_ == VT_I4 ? u_.i4 : (Mismatch(), 0); }
int16_t Variant::I2() const { return vt_ == VT_I2 ? u_.i2 : (Mismatch(), int16_t{0}); }
uint8_t Variant::UI1() const { return vt_ == VT_UI1 ? u_.ui1 : (Mismatch(), uint8_t{0}); }
uint32_t Variant::UI4() const { return vt_ == VT_UI4 ? u_.ui4 : (Mismatch(), 0u); }
int64_t Variant::I8() const { return vt_ == VT_I8 ? u_.i8 : (Mismatch(), int64_t{0}); }
double Variant::R8() const { return vt_ == VT_R8 ? u_.r8 : (Mismatch(), 0.0); }
double Variant::DateValue() const { return vt_ == VT_DATE ? u_.r8 : (Mismatch(), 0.0); }
bool Variant::Bool() const { return vt_ == VT_BOOL ? u_.b != VARIANT_FALSE : (Mismatch(), false); }
HRESULT Variant::ErrorCode() const { return vt_ == VT_ERROR ? u_.scode : (Mismatch(), S_OK); }

const Bstr& Variant::GetBstr() const {
  if (vt_ != VT_BSTR) Mismatch();
  return bstr_;
}
Bstr& Variant::GetBstr() {
  if (vt_ != VT_BSTR) Mismatch();
  return bstr_;
}

IDispatch* Variant::Dispatch() const {
  if (vt_ != VT_DISPATCH) Mismatch();
  return u_.disp;
}

IUnknown* Variant::Unknown() const {
  if (vt_ == VT_DISPATCH) return u_.disp;
  if (vt_ != VT_UNKNOWN) Mismatch();
  return u_.unk;
}

const SafeArray& Variant::Array() const {
  if (!(vt_ & VT_ARRAY) || (vt_ & VT_BYREF) || !array_) Mismatch();
  return *array_;
}
SafeArray& Variant::Array() {
  if (!(vt_ & VT_ARRAY) || (vt_ & VT_BYREF) || !array_) Mismatch();
  return *array_;
}

Variant* Variant::VariantRef() const {
  if (vt_ != (VT_BYREF | VT_VARIANT)) Mismatch();
  return static_cast<Variant*>(u_.ref);
}

Bstr* Variant::BstrRef() const {
  if (vt_ != (VT_BYREF | VT_BSTR)) Mismatch();
  return static_cast<Bstr*>(u_.ref);
}

void* Variant::RefPointer() const {
  if (!(vt_ & VT_BYREF)) Mismatch();
  return u_.ref;
}

Variant Variant::Dereferenced() const {
  if (!(vt_ & VT_BYREF)) return *this;
  void* p = u_.ref;
  if (!p) return Variant();
  VARTYPE target = vt_ & static_cast<VARTYPE>(~VT_BYREF);
  if (target & VT_ARRAY) return Variant(*static_cast<SafeArray*>(p));
  switch (target) {
    case VT_VARIANT: return static_cast<Variant*>(p)->Dereferenced();
    case VT_BSTR: return Variant(*static_cast<Bstr*>(p));
    case VT_I4: return Variant(*static_cast<int32_t*>(p));
    case VT_I2: return Variant(*static_cast<int16_t*>(p));
    case VT_UI4: return Variant(*static_cast<uint32_t*>(p));
    case VT_I8: return Variant(*static_cast<int64_t*>(p));
    case VT_R8: return Variant(*static_cast<double*>(p));
    case VT_BOOL: return Variant(*static_cast<VARIANT_BOOL*>(p) != VARIANT_FALSE);
    case VT_DISPATCH: return Variant(*static_cast<IDispatch**>(p));
    case VT_UNKNOWN: return Variant(*static_cast<IUnknown**>(p));
    default: return Variant();
  }
}

HRESULT Variant::AssignThroughRef(const Variant& value) const {
  if (!(vt_ & VT_BYREF) || !u_.ref) return E_INVALIDARG;
  void* p = u_.ref;
  VARTYPE target = vt_ & static_cast<VARTYPE>(~VT_BYREF);
  if (target == VT_VARIANT) {
    *static_cast<Variant*>(p) = value.Dereferenced();
    return S_OK;
  }
  if (target & VT_ARRAY) {
    Variant v = value.Dereferenced();
    if (v.Type() != target) return DISP_E_TYPEMISMATCH;
    *static_cast<SafeArray*>(p) = v.Array();
    return S_OK;
  }
  Variant converted;
  if (HRESULT hr = value.ChangeType(target, converted); FAILED(hr)) return hr;
  switch (target) {
    case VT_BSTR: *static_cast<Bstr*>(p) = std::move(converted.bstr_); break;
    case VT_I4: *static_cast<int32_t*>(p) = converted.u_.i4; break;
    case VT_I2: *static_cast<int16_t*>(p) = converted.u_.i2; break;
    case VT_UI4: *static_cast<uint32_t*>(p) = converted.u_.ui4; break;
    case VT_I8: *static_cast<int64_t*>(p) = converted.u_.i8; break;
    case VT_R8: *static_cast<double*>(p) = converted.u_.r8; break;
    case VT_BOOL: *static_cast<VARIANT_BOOL*>(p) = converted.u_.b; break;
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      // The variable owns one reference, like any [out] interface pointer.
      auto** slot = static_cast<IUnknown**>(p);
      IUnknown* old = *slot;
      *slot = target == VT_DISPATCH ? static_cast<IUnknown*>(converted.u_.disp) : converted.u_.unk;
      converted.vt_ = VT_EMPTY;  // hand the reference over
      if (old) old->Release();
      break;
    }
    default: return DISP_E_BADVARTYPE;
  }
  return S_OK;
}

// ---- Variant: conversion ------------------------------------------------------------------

namespace {

// Round half to even, as the platform converts reals to integers.
std::optional<int64_t> RoundToInt64(double d) {
  if (!std::isfinite(d)) return std::nullopt;
  double r = std::nearbyint(d);  // default rounding mode: to nearest, ties to even
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return std::nullopt;
  return static_cast<int64_t>(r);
}

std::string FormatReal(double d) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15G", d);
  return buffer;
}

// A number read from a source variant: integral or real.
struct Number {
  bool integral = true;
  int64_t i = 0;
  double d = 0;
};

HRESULT ParseNumber(const Bstr& text, Number& out) {
  std::string narrow = text.ToUtf8();
  std::string_view trimmed = text::TrimAscii(narrow);
  if (auto i = text::ParseInt64(trimmed)) {
    out = {true, *i, static_cast<double>(*i)};
    return S_OK;
  }
  if (!trimmed.empty() && trimmed.find_first_not_of("0123456789+-.eE") == std::string_view::npos) {
    if (auto d = text::ParseDouble(trimmed)) {
      out = {false, 0, *d};
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

}  // namespace

HRESULT Variant::ChangeType(VARTYPE to, Variant& out) const {
  if (vt_ & VT_BYREF) return Dereferenced().ChangeType(to, out);
  if (to == vt_) {
    out = *this;
    return S_OK;
  }
  if ((to & VT_ARRAY) || (vt_ & VT_ARRAY)) return DISP_E_TYPEMISMATCH;
  if (to == VT_EMPTY) {
    out = Variant();
    return S_OK;
  }
  if (to != VT_NULL && !IsScalarType(to)) return DISP_E_BADVARTYPE;
  if (to == VT_NULL || to == VT_ERROR || vt_ == VT_NULL || vt_ == VT_ERROR) return DISP_E_TYPEMISMATCH;

  if (to == VT_DISPATCH || to == VT_UNKNOWN) {
    if (vt_ != VT_DISPATCH && vt_ != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    if (to == VT_UNKNOWN) {
      out = Variant(static_cast<IUnknown*>(u_.disp));
      return S_OK;
    }
    if (!u_.unk) {
      out = AttachDispatch(nullptr);
      return S_OK;
    }
    void* p = nullptr;
    if (FAILED(u_.unk->QueryInterface(IDispatch::kIid, &p))) return DISP_E_TYPEMISMATCH;
    out = AttachDispatch(static_cast<IDispatch*>(p));
    return S_OK;
  }

  if (to == VT_BSTR) {
    switch (vt_) {
      case VT_EMPTY: out = Variant(Bstr(u"")); return S_OK;
      case VT_BOOL: out = Variant(Bstr(u_.b ? u"-1" : u"0")); return S_OK;
      case VT_I2: out = Variant(Bstr::FromUtf8(std::to_string(u_.i2))); return S_OK;
      case VT_I4: out = Variant(Bstr::FromUtf8(std::to_string(u_.i4))); return S_OK;
      case VT_UI1: out = Variant(Bstr::FromUtf8(std::to_string(u_.ui1))); return S_OK;
      case VT_UI4: out = Variant(Bstr::FromUtf8(std::to_string(u_.ui4))); return S_OK;
      case VT_I8: out = Variant(Bstr::FromUtf8(std::to_string(u_.i8))); return S_OK;
      case VT_R8: out = Variant(Bstr::FromUtf8(FormatReal(u_.r8))); return S_OK;
      default: return DISP_E_TYPEMISMATCH;
    }
  }

  // Numeric and boolean targets.
  Number n;
  switch (vt_) {
    case VT_EMPTY: break;
    case VT_BOOL: n.i = u_.b ? -1 : 0; break;
    case VT_I2: n.i = u_.i2; break;
    case VT_I4: n.i = u_.i4; break;
    case VT_UI1: n.i = u_.ui1; break;
    case VT_UI4: n.i = u_.ui4; break;
    case VT_I8: n.i = u_.i8; break;
    case VT_R8:
    case VT_DATE: n = {false, 0, u_.r8}; break;
    case VT_BSTR:
      if (to == VT_BOOL) {
        std::string narrowText = bstr_.ToUtf8();
        std::string_view narrow = text::TrimAscii(narrowText);
        if (text::EqualsNoCase(narrow, "true")) {
          out = Variant(true);
          return S_OK;
        }
        if (text::EqualsNoCase(narrow, "false")) {
          out = Variant(false);
          return S_OK;
        }
      }
      if (HRESULT hr = ParseNumber(bstr_, n); FAILED(hr)) return hr;
      break;
    default: return DISP_E_TYPEMISMATCH;
  }
  if (to == VT_BOOL) {
    out = Variant(n.integral ? n.i != 0 : n.d != 0.0);
    return S_OK;
  }
  if (to == VT_R8 || to == VT_DATE) {
    double d = n.integral ? static_cast<double>(n.i) : n.d;
    out = to == VT_R8 ? Variant(d) : Date(d);
    return S_OK;
  }
  int64_t i = n.i;
  if (!n.integral) {
    auto rounded = RoundToInt64(n.d);
    if (!rounded) return DISP_E_OVERFLOW;
    i = *rounded;
  }
  auto fits = [i](int64_t lo, int64_t hi) { return i >= lo && i <= hi; };
  switch (to) {
    case VT_I2:
      if (!fits(INT16_MIN, INT16_MAX)) return DISP_E_OVERFLOW;
      out = Variant(static_cast<int16_t>(i));
      return S_OK;
    case VT_I4:
      if (!fits(INT32_MIN, INT32_MAX)) return DISP_E_OVERFLOW;
      out = Variant(static_cast<int32_t>(i));
      return S_OK;
    case VT_UI1:
      if (!fits(0, UINT8_MAX)) return DISP_E_OVERFLOW;
      out = Variant(static_cast<uint8_t>(i));
      return S_OK;
    case VT_UI4:
      if (!fits(0, UINT32_MAX)) return DISP_E_OVERFLOW;
      out = Variant(static_cast<uint32_t>(i));
      return S_OK;
    case VT_I8: out = Variant(i); return S_OK;
    default: return DISP_E_BADVARTYPE;
  }
}

HRESULT Variant::ChangeTypeInPlace(VARTYPE to) {
  Variant out;
  HRESULT hr = ChangeType(to, out);
  if (SUCCEEDED(hr)) *this = std::move(out);
  return hr;
}

HRESULT Variant::ToBstr(Bstr& out) const {
  Variant v;
  if (HRESULT hr = ChangeType(VT_BSTR, v); FAILED(hr)) return hr;
  out = std::move(v.bstr_);
  return S_OK;
}

HRESULT Variant::ToI4(int32_t& out) const {
  Variant v;
  if (HRESULT hr = ChangeType(VT_I4, v); FAILED(hr)) return hr;
  out = v.u_.i4;
  return S_OK;
}

HRESULT Variant::ToBool(bool& out) const {
  Variant v;
  if (HRESULT hr = ChangeType(VT_BOOL, v); FAILED(hr)) return hr;
  out = v.u_.b != VARIANT_FALSE;
  return S_OK;
}

HRESULT Variant::ToR8(double& out) const {
  Variant v;
  if (HRESULT hr = ChangeType(VT_R8, v); FAILED(hr)) return hr;
  out = v.u_.r8;
  return S_OK;
}

}  // namespace quor::com
