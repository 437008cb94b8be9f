#include "platform/com/hresult.h"

#include "platform/text/text.h"

namespace quor::com {

std::string HResultText(HRESULT hr) {
  switch (hr) {
    case S_OK: return "The operation completed successfully";
    case S_FALSE: return "The operation completed with a false result";
    case E_UNEXPECTED: return "Catastrophic failure";
    case E_NOTIMPL: return "Not implemented";
    case E_NOINTERFACE: return "No such interface supported";
    case E_POINTER: return "Invalid pointer";
    case E_ABORT: return "Operation aborted";
    case E_FAIL: return "Unspecified error";
    case E_ACCESSDENIED: return "Access is denied";
    case E_HANDLE: return "Invalid handle";
    case E_OUTOFMEMORY: return "Out of memory";
    case E_INVALIDARG: return "The parameter is incorrect";
    case DISP_E_UNKNOWNINTERFACE: return "Unknown interface";
    case DISP_E_MEMBERNOTFOUND: return "Member not found";
    case DISP_E_PARAMNOTFOUND: return "Parameter not found";
    case DISP_E_TYPEMISMATCH: return "Type mismatch";
    case DISP_E_UNKNOWNNAME: return "Unknown name";
    case DISP_E_NONAMEDARGS: return "No named arguments";
    case DISP_E_BADVARTYPE: return "Bad variable type";
    case DISP_E_EXCEPTION: return "Exception occurred";
    case DISP_E_OVERFLOW: return "Out of present range";
    case DISP_E_BADINDEX: return "Invalid index";
    case DISP_E_BADPARAMCOUNT: return "Invalid number of parameters";
    case DISP_E_PARAMNOTOPTIONAL: return "Parameter not optional";
    case TYPE_E_ELEMENTNOTFOUND: return "Element not found";
    case CLASS_E_NOAGGREGATION: return "Class does not support aggregation";
    case CLASS_E_CLASSNOTAVAILABLE: return "Class factory cannot supply requested class";
    case REGDB_E_READREGDB: return "Could not read key from registry";
    case REGDB_E_WRITEREGDB: return "Could not write key to registry";
    case REGDB_E_CLASSNOTREG: return "Class not registered";
    case SELFREG_E_TYPELIB: return "Server was unable to complete the registration of its type libraries";
    case SELFREG_E_CLASS: return "Server was unable to complete the registration of its classes";
    case CO_E_NOTINITIALIZED: return "The component runtime has not been initialized";
    case CO_E_CLASSSTRING: return "Invalid class string";
    case CO_E_DLLNOTFOUND: return "Component server library not found";
    case CO_E_ERRORINDLL: return "Error in the component server library";
    case HRESULT_BAD_EXE_FORMAT: return "Not a valid shared library";
    default: break;
  }
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && FAILED(hr))
    return text::Format("System error %u", HRESULT_CODE(hr));
  return text::Format("Error 0x%08X", static_cast<uint32_t>(hr));
}

std::optional<std::string> SystemMessageText(uint32_t error) {
  // The errors this system's components can raise; the texts are the ones
  // callers have always been shown.
  static constexpr struct {
    uint32_t error;
    std::string_view text;
  } kMessages[] = {
      {1, "Incorrect function."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough storage is available to process this command."},
      {13, "The data is invalid."},
      {14, "Not enough storage is available to complete this operation."},
      {32, "The process cannot access the file because it is being used by another process."},
      {87, "The parameter is incorrect."},
      {112, "There is not enough space on the disk."},
      {122, "The data area passed to a system call is too small."},
      {183, "Cannot create a file when that file already exists."},
      {193, "%1 is not a valid Win32 application."},
      {1009, "The configuration registry database is corrupt."},
      {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
      {1326, "The user name or password is incorrect."},
  };
  for (const auto& message : kMessages) {
    if (message.error == error) return std::string(message.text) + "\r\n";
  }
  return std::nullopt;
}

}  // namespace quor::com
