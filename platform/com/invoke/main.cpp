// quor-invoke: creates a component by ProgID and calls one of its methods by
// name with the texts of two files, as a caller of the component would.
//
//   quor-invoke <ProgID> <Method> <file1> <file2>
//
// Both files are read as UTF-8 text (a byte order mark is dropped) and passed
// as string arguments in that order; the string result goes to stdout as
// UTF-8. The registry is the file named by QUOR_REGISTRY. Exit status: 0
// done, 1 usage, 2 a file cannot be read or is not UTF-8, 3 the component
// cannot be created, 4 the call failed.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/classstore.h"
#include "platform/com/dispatch.h"
#include "platform/com/errorinfo.h"
#include "platform/com/hresult.h"
#include "platform/text/text.h"

namespace {

using namespace quor;

constexpr const char* kUsage =
    "usage: quor-invoke <ProgID> <Method> <file1> <file2>\n"
    "  creates the component <ProgID> (registry: $QUOR_REGISTRY), calls its\n"
    "  method <Method> with the UTF-8 texts of <file1> and <file2> and prints\n"
    "  the text it returns\n";

int Usage(FILE* to, int status) {
  std::fputs(kUsage, to);
  return status;
}

std::optional<std::string> ReadText(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "quor-invoke: %s: %s\n", path, std::strerror(errno));
    return std::nullopt;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::fprintf(stderr, "quor-invoke: %s: cannot be read\n", path);
    return std::nullopt;
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  if (!text::IsValidUtf8(text)) {
    std::fprintf(stderr, "quor-invoke: %s: not UTF-8 text\n", path);
    return std::nullopt;
  }
  return text;
}

// The status and what went wrong: the component's own description when it
// left one, the status's text otherwise.
int Fail(std::string_view what, HRESULT hr, std::string description, int status) {
  if (description.empty()) {
    if (auto info = com::GetErrorInfo()) description = info->description.ToUtf8();
  }
  if (description.empty()) description = com::HResultText(hr);
  std::fprintf(stderr, "quor-invoke: %.*s: 0x%08X %s\n", static_cast<int>(what.size()), what.data(),
               static_cast<unsigned>(hr), description.c_str());
  return status;
}

int Invoke(std::string_view progId, std::string_view method, const std::string& first, const std::string& second) {
  com::ComPtr<com::IDispatch> object;
  com::ClearErrorInfo();
  if (HRESULT hr = com::CreateObject(text::Widen(progId), object); FAILED(hr) || !object)
    return Fail("cannot create " + std::string(progId), FAILED(hr) ? hr : E_NOINTERFACE, {}, 3);

  const com::Variant args[] = {com::Variant(com::Bstr::FromUtf8(first)), com::Variant(com::Bstr::FromUtf8(second))};
  com::Variant result;
  com::ExcepInfo exception;
  const std::string call = std::string(progId) + "." + std::string(method);
  HRESULT hr = com::InvokeByName(object.Get(), text::Widen(method), com::DISPATCH_METHOD, args, &result, &exception);
  if (hr == DISP_E_EXCEPTION) {
    return Fail(call, FAILED(exception.scode) ? exception.scode : hr, exception.description.ToUtf8(), 4);
  }
  if (FAILED(hr)) return Fail(call, hr, {}, 4);

  com::Bstr text;
  if (result.Type() != com::VT_EMPTY && result.Type() != com::VT_NULL) {
    if (hr = result.ToBstr(text); FAILED(hr)) return Fail(call + " result", hr, {}, 4);
  }
  const std::string out = text.ToUtf8();
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "quor-invoke: cannot write the result: %s\n", std::strerror(errno));
    return 4;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h"))
    return Usage(stdout, 0);
  if (argc != 5 || !*argv[1] || !*argv[2]) return Usage(stderr, 1);

  const auto first = ReadText(argv[3]);
  if (!first) return 2;
  const auto second = ReadText(argv[4]);
  if (!second) return 2;

  com::CoInitialize();
  const int status = Invoke(argv[1], argv[2], *first, *second);
  // The object is gone: let its server detach before the process ends.
  com::CoFreeUnusedLibraries();
  com::CoUninitialize();
  return status;
}
