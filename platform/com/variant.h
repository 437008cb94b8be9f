// Variant (a typed value of the component contract) and SafeArray (its typed,
// bounded arrays). Type numbers are the platform's VARTYPE values, because
// callers test them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/unknown.h"

namespace quor::com {

using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_DATE = 7,  // days since 1899-12-30, as a double
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,  // an HRESULT; DISP_E_PARAMNOTFOUND marks an omitted argument
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI1 = 17,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_TYPEMASK = 0x0FFF,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

// Whether `vt` is one of the element types above (not EMPTY/NULL/VARIANT).
bool IsScalarType(VARTYPE vt);

class Variant;

// A one- or two-dimensional array of one element type. Storage order is the
// platform's: the first index varies fastest. Indices are given in dimension
// order (dimension 1 first) and are checked against the bounds.
class SafeArray {
 public:
  struct Bound {
    int32_t lower = 0;
    uint32_t count = 0;
  };

  SafeArray() = default;  // no element type, no dimensions
  // Throws ComError: DISP_E_BADVARTYPE for an unsupported element type,
  // E_INVALIDARG for other than one or two dimensions.
  SafeArray(VARTYPE elementType, Bound bound);
  SafeArray(VARTYPE elementType, Bound first, Bound second);
  static HRESULT Create(VARTYPE elementType, std::span<const Bound> bounds, SafeArray& out);

  SafeArray(const SafeArray&);
  SafeArray& operator=(const SafeArray&);
  SafeArray(SafeArray&&) noexcept;
  SafeArray& operator=(SafeArray&&) noexcept;
  ~SafeArray();

  VARTYPE ElementType() const { return vt_; }
  uint32_t Dimensions() const { return static_cast<uint32_t>(bounds_.size()); }
  // `dimension` counts from 1. DISP_E_BADINDEX for a dimension not there.
  HRESULT GetLBound(uint32_t dimension, int32_t& lower) const;
  HRESULT GetUBound(uint32_t dimension, int32_t& upper) const;
  uint32_t Count(uint32_t dimension) const;
  size_t ElementCount() const;

  // DISP_E_BADINDEX for a wrong number of indices or one out of bounds.
  HRESULT GetElement(std::span<const int32_t> indices, Variant& out) const;
  // The value is converted to the element type (DISP_E_TYPEMISMATCH when it
  // cannot be).
  HRESULT PutElement(std::span<const int32_t> indices, const Variant& value);
  // The contiguous storage of a VT_UI1 array; empty for other types.
  std::span<uint8_t> Bytes();
  std::span<const uint8_t> Bytes() const;

 private:
  HRESULT Offset(std::span<const int32_t> indices, size_t& offset) const;

  VARTYPE vt_ = VT_EMPTY;
  std::vector<Bound> bounds_;
  std::vector<uint8_t> bytes_;   // VT_UI1 elements
  std::vector<Variant> items_;   // elements of every other type
};

class Variant {
 public:
  Variant() noexcept { u_.i8 = 0; }
  Variant(int32_t v) : vt_(VT_I4) { u_.i4 = v; }
  Variant(int16_t v) : vt_(VT_I2) { u_.i2 = v; }
  Variant(uint8_t v) : vt_(VT_UI1) { u_.ui1 = v; }
  Variant(uint32_t v) : vt_(VT_UI4) { u_.ui4 = v; }
  Variant(int64_t v) : vt_(VT_I8) { u_.i8 = v; }
  Variant(double v) : vt_(VT_R8) { u_.r8 = v; }
  Variant(bool v) : vt_(VT_BOOL) { u_.b = v ? VARIANT_TRUE : VARIANT_FALSE; }
  Variant(Bstr v) : vt_(VT_BSTR), bstr_(std::move(v)) { u_.i8 = 0; }
  Variant(std::u16string_view v) : Variant(Bstr(v)) {}
  Variant(const std::u16string& v) : Variant(Bstr(v)) {}
  Variant(const char16_t* v) : Variant(Bstr(v)) {}
  // Takes a new reference.
  Variant(IDispatch* v);
  Variant(IUnknown* v);
  Variant(SafeArray array);
  // Narrow text must be converted on purpose (Bstr::FromUtf8).
  Variant(const char*) = delete;
  Variant(std::nullptr_t) = delete;

  static Variant Null();
  static Variant Date(double days);
  static Variant Error(HRESULT code);
  // An omitted optional argument.
  static Variant Missing() { return Error(DISP_E_PARAMNOTFOUND); }
  // Adopts an existing reference instead of taking a new one.
  static Variant AttachDispatch(IDispatch* v);
  static Variant AttachUnknown(IUnknown* v);

  // References to the caller's variables, for [in, out] and [out] arguments.
  static Variant ByRef(Bstr* p);
  static Variant ByRef(int32_t* p);
  static Variant ByRef(int16_t* p);  // VT_I2
  static Variant ByRef(uint32_t* p);
  static Variant ByRef(int64_t* p);
  static Variant ByRef(double* p);
  static Variant ByRef(Variant* p);
  static Variant ByRef(IDispatch** p);
  static Variant ByRef(IUnknown** p);
  static Variant ByRef(SafeArray* p);  // VT_BYREF | VT_ARRAY | element type
  static Variant ByRefBool(VARIANT_BOOL* p);

  Variant(const Variant& other);
  Variant& operator=(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  void Clear();
  VARTYPE Type() const { return vt_; }
  bool IsEmpty() const { return vt_ == VT_EMPTY; }
  bool IsNull() const { return vt_ == VT_NULL; }
  bool IsByRef() const { return (vt_ & VT_BYREF) != 0; }
  bool IsArray() const { return (vt_ & VT_ARRAY) != 0; }

  // Type-checked reads: each throws ComError(DISP_E_TYPEMISMATCH) unless the
  // variant has exactly that type. Use ChangeType to convert.
  int32_t I4() const;
  int16_t I2() const;
  uint8_t UI1() const;
  uint32_t UI4() const;
  int64_t I8() const;
  double R8() const;
  double DateValue() const;
  bool Bool() const;
  HRESULT ErrorCode() const;
  const Bstr& GetBstr() const;
  Bstr& GetBstr();
  IDispatch* Dispatch() const;  // no new reference
  IUnknown* Unknown() const;    // VT_UNKNOWN or VT_DISPATCH; no new reference
  const SafeArray& Array() const;
  SafeArray& Array();
  // The target of a VT_BYREF | VT_VARIANT.
  Variant* VariantRef() const;
  Bstr* BstrRef() const;
  // The raw target of any VT_BYREF variant.
  void* RefPointer() const;

  // The value a VT_BYREF variant refers to (a copy); other variants copy
  // themselves.
  Variant Dereferenced() const;
  // Stores `value` into the variable a VT_BYREF variant refers to, converted
  // to that variable's type. E_INVALIDARG when this is not VT_BYREF.
  HRESULT AssignThroughRef(const Variant& value) const;

  // Converts to `to` (EMPTY, NULL, I2, I4, UI1, UI4, I8, R8, DATE, BOOL, BSTR,
  // DISPATCH, UNKNOWN). DISP_E_TYPEMISMATCH when the value does not convert,
  // DISP_E_OVERFLOW when it does not fit, DISP_E_BADVARTYPE for another `to`.
  // By-reference variants convert their target.
  HRESULT ChangeType(VARTYPE to, Variant& out) const;
  HRESULT ChangeTypeInPlace(VARTYPE to);
  HRESULT ToBstr(Bstr& out) const;
  HRESULT ToI4(int32_t& out) const;
  HRESULT ToBool(bool& out) const;
  HRESULT ToR8(double& out) const;

 private:
  union Scalar {
    int64_t i8;
    int32_t i4;
    int16_t i2;
    uint8_t ui1;
    uint32_t ui4;
    double r8;
    VARIANT_BOOL b;
    HRESULT scode;
    IUnknown* unk;
    IDispatch* disp;
    void* ref;
  };
  static Variant MakeRef(VARTYPE vt, void* p);
  void CopyFrom(const Variant& other);

  VARTYPE vt_ = VT_EMPTY;
  Scalar u_;
  Bstr bstr_;
  std::unique_ptr<SafeArray> array_;
};

}  // namespace quor::com
