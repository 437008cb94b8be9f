// Status codes of the component contract. They keep the platform's numeric
// values because callers compare them, print them and pass them across
// component boundaries; they are global like the contract itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

using HRESULT = int32_t;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT MAKE_HRESULT(uint32_t severity, uint32_t facility, uint32_t code) {
  return static_cast<HRESULT>((severity << 31) | ((facility & 0x1FFF) << 16) | (code & 0xFFFF));
}
constexpr uint32_t HRESULT_CODE(HRESULT hr) { return static_cast<uint32_t>(hr) & 0xFFFF; }
constexpr uint32_t HRESULT_FACILITY(HRESULT hr) { return (static_cast<uint32_t>(hr) >> 16) & 0x1FFF; }

constexpr uint32_t FACILITY_DISPATCH = 2;
constexpr uint32_t FACILITY_ITF = 4;
constexpr uint32_t FACILITY_WIN32 = 7;

// A platform error number (as the registry returns it) as a status.
constexpr HRESULT HRESULT_FROM_WIN32(long error) {
  return error <= 0 ? static_cast<HRESULT>(error)
                    : static_cast<HRESULT>((static_cast<uint32_t>(error) & 0xFFFF) | (FACILITY_WIN32 << 16) |
                                           0x80000000u);
}

#define QUOR_HR(value) static_cast<HRESULT>(static_cast<uint32_t>(value))

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;

constexpr HRESULT E_UNEXPECTED = QUOR_HR(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = QUOR_HR(0x80004001);
constexpr HRESULT E_NOINTERFACE = QUOR_HR(0x80004002);
constexpr HRESULT E_POINTER = QUOR_HR(0x80004003);
constexpr HRESULT E_ABORT = QUOR_HR(0x80004004);
constexpr HRESULT E_FAIL = QUOR_HR(0x80004005);
constexpr HRESULT E_ACCESSDENIED = QUOR_HR(0x80070005);
constexpr HRESULT E_HANDLE = QUOR_HR(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = QUOR_HR(0x8007000E);
constexpr HRESULT E_INVALIDARG = QUOR_HR(0x80070057);

constexpr HRESULT DISP_E_UNKNOWNINTERFACE = QUOR_HR(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = QUOR_HR(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = QUOR_HR(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = QUOR_HR(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = QUOR_HR(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = QUOR_HR(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = QUOR_HR(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = QUOR_HR(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = QUOR_HR(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = QUOR_HR(0x8002000B);
constexpr HRESULT DISP_E_BADPARAMCOUNT = QUOR_HR(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = QUOR_HR(0x8002000F);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = QUOR_HR(0x8002802B);

constexpr HRESULT CLASS_E_NOAGGREGATION = QUOR_HR(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = QUOR_HR(0x80040111);
constexpr HRESULT REGDB_E_READREGDB = QUOR_HR(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = QUOR_HR(0x80040151);
constexpr HRESULT REGDB_E_CLASSNOTREG = QUOR_HR(0x80040154);
constexpr HRESULT SELFREG_E_TYPELIB = QUOR_HR(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = QUOR_HR(0x80040201);
constexpr HRESULT CO_E_NOTINITIALIZED = QUOR_HR(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = QUOR_HR(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = QUOR_HR(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = QUOR_HR(0x800401F9);

// A file that exists but is not a loadable library.
constexpr HRESULT HRESULT_BAD_EXE_FORMAT = HRESULT_FROM_WIN32(193);

#undef QUOR_HR

namespace quor::com {

// A short English text for the standard codes above ("Unspecified error" for
// E_FAIL ...); for other codes "Error 0x%08X". Never empty.
std::string HResultText(HRESULT hr);

// The system's message text for a platform error number, with its trailing
// line break, as the system message table words it; none for a number the
// table does not hold.
std::optional<std::string> SystemMessageText(uint32_t error);

}  // namespace quor::com
