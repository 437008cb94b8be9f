// A test accessor standing for a third-party one: QuorTest.CannedAccessor,
// whose Query answers a file of a folder instead of asking a database, so
// that the tests can give the engine answers of any shape (ones the real
// accessor never writes included).
//
// The folder is the text of the first <Location> of the configuration the
// engine passes. The answer is <folder>/<from>.xml, <from> being the text of
// the query's first <from> (characters a file name cannot hold as '_'), else
// <folder>/default.xml. A <name>.status file instead holds a status in hex
// that the call fails with. Nothing found: a null answer.
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "platform/com/dispatch.h"
#include "platform/com/server.h"

using namespace quor::com;

namespace {

constexpr CLSID kClsidCanned = Guid::Literal("{3E9A7C14-52B8-4D06-9F1A-6C2B8D4E7F30}");

struct ICannedAccessor : IDispatch {
  QUOR_COM_INTERFACE(IDispatch, "{A4D2E6F8-1B3C-4E5D-8F70-9A1B2C3D4E5F}");
  virtual HRESULT Query(const Bstr& query, const Bstr& config, Bstr* result) = 0;
};

// The text between the first <tag> and the </tag> after it.
std::optional<std::string> Inner(const std::string& text, const std::string& tag) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  const size_t start = text.find(open);
  if (start == std::string::npos) return std::nullopt;
  const size_t end = text.find(close, start + open.size());
  if (end == std::string::npos) return std::nullopt;
  return text.substr(start + open.size(), end - start - open.size());
}

std::optional<std::string> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CannedAccessor : public DispatchObject<CannedAccessor, ICannedAccessor, ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorTest.CannedAccessor";

  HRESULT Query(const Bstr& query, const Bstr& config, Bstr* result) override {
    if (!result) return E_POINTER;
    const std::optional<std::string> folder = Inner(config.ToUtf8(), "Location");
    if (!folder) return RaiseError(E_INVALIDARG, Bstr(kErrorSource), u"no Location in the configuration");
    std::string name = "default";
    if (std::optional<std::string> from = Inner(query.ToUtf8(), "from")) {
      for (char& c : *from)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
      if (std::filesystem::exists(*folder + "/" + *from + ".xml") ||
          std::filesystem::exists(*folder + "/" + *from + ".status"))
        name = *from;
    }
    const std::string base = *folder + "/" + name;
    if (const std::optional<std::string> status = ReadFile(base + ".status")) {
      const HRESULT code = static_cast<HRESULT>(std::strtoul(status->c_str(), nullptr, 16));
      return RaiseError(code, Bstr(kErrorSource), u"a canned failure");
    }
    const std::optional<std::string> answer = ReadFile(base + ".xml");
    *result = answer ? Bstr::FromUtf8(*answer) : Bstr();
    return S_OK;
  }

  HRESULT InterfaceSupportsErrorInfo(const IID& iid) override {
    return iid == ICannedAccessor::kIid ? S_OK : S_FALSE;
  }

  static std::span<const DispatchEntry<CannedAccessor>> DispatchTable() {
    static const DispatchEntry<CannedAccessor> table[] = {
        Method<&CannedAccessor::Query>(u"Query", 1, {u"Query", u"config", u"result"}),
    };
    return table;
  }
};

const server::ClassInfo kClasses[] = {
    {kClsidCanned, "QuorTest.CannedAccessor.1", "QuorTest.CannedAccessor", "CannedAccessor Class", "Apartment",
     &server::CreateInstance<CannedAccessor>},
};

}  // namespace

QUOR_COM_SERVER_EXPORTS(kClasses)
