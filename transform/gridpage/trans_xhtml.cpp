// The GridPage plug-in: GridPage.TransXHTML, whose Convert turns a
// response document into XHTML tables, late-bound by name.
#include "platform/com/dispatch.h"
#include "platform/com/server.h"
#include "platform/com/streamconvert.h"
#include "transform/common/conversion.h"
#include "transform/gridpage/xhtml_convert.h"

namespace quor::transform {

namespace {

constexpr com::CLSID kClsidTransXHTML = com::Guid::Literal("{29C4231A-6C13-44B2-AD4C-7A469557CECE}");

constexpr StringEntry kStrings[] = {
    {101, "Source XML is invalid."},
    {102, "Source XML document is NULL."},
    {103, "Record node on source XML is NULL."},
    {104, "Table node on source XML is NULL."},
};
constexpr FaultSource kFaults{"IGridPage", kStrings};

struct ITransXHTML : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{4CBDDEAC-7F84-4C37-A390-1D87EA427006}");
  virtual HRESULT Convert(const com::Bstr& src, const com::Bstr& rule, com::Bstr* result) = 0;

 protected:
  ~ITransXHTML() = default;
};

class TransXHTML : public com::DispatchObject<TransXHTML, ITransXHTML, com::ISupportErrorInfo, com::IStreamConvert> {
 public:
  static constexpr std::u16string_view kErrorSource = u"GridPage.TransXHTML";

  // `rule` is not used. Always S_OK: a failure is the fault document in `result`.
  HRESULT Convert(const com::Bstr& src, const com::Bstr& /*rule*/, com::Bstr* result) override {
    if (!result) return E_POINTER;
    *result = com::Bstr::FromUtf8(RunConvert(src.View(), kFaults, [this](xml::Document& source, xml::NodePtr& out) {
      return worker_.Convert(source, out);
    }));
    return S_OK;
  }

  // The same conversion on a source read piece by piece; `rule` is not used.
  HRESULT BeginConvert(const com::Bstr& /*rule*/, com::ResultSink* out) override {
    return stream_.Begin<CTransXHTMLStream>(out);
  }
  HRESULT ConvertPiece(std::string_view piece) override { return stream_.Feed(piece); }
  HRESULT EndConvert() override { return stream_.End(); }

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override { return iid == ITransXHTML::kIid ? S_OK : S_FALSE; }

  static std::span<const com::DispatchEntry<TransXHTML>> DispatchTable() {
    static const com::DispatchEntry<TransXHTML> table[] = {
        com::Method<&TransXHTML::Convert>(u"Convert", 1, {u"src", u"rule", u"result"}),
    };
    return table;
  }

 private:
  CTransXHTMLImpl worker_;
  StreamSlot stream_;
};

const com::server::ClassInfo kClasses[] = {
    {kClsidTransXHTML, "GridPage.TransXHTML.1", "GridPage.TransXHTML", "TransXHTML Class", "Apartment",
     &com::server::CreateInstance<TransXHTML>},
};

}  // namespace

}  // namespace quor::transform

QUOR_COM_SERVER_EXPORTS(quor::transform::kClasses)
