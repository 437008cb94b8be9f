// The FlatConvert plug-in: FlatConvert.TransCSV, whose Convert turns a
// response document into comma-separated text, late-bound by name.
#include "platform/com/dispatch.h"
#include "platform/com/server.h"
#include "platform/com/streamconvert.h"
#include "transform/common/conversion.h"
#include "transform/flatconvert/csv_convert.h"

namespace quor::transform {

namespace {

constexpr com::CLSID kClsidTransCSV = com::Guid::Literal("{CB553C3A-0D7F-4E3C-858F-9160065F5506}");

constexpr StringEntry kStrings[] = {
    {101, "Source XML is Invalid."},
    {102, "Source XML document is NULL."},
    {103, "Record node on source XML is NULL."},
    {104, "Table node on source XML is NULL."},
};
constexpr FaultSource kFaults{"IFlatConvert", kStrings};

struct ITransCSV : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{C7749017-3DA2-4E9F-B84B-9E64864F6FC8}");
  virtual HRESULT Convert(const com::Bstr& src, const com::Bstr& rule, com::Bstr* result) = 0;

 protected:
  ~ITransCSV() = default;
};

class TransCSV : public com::DispatchObject<TransCSV, ITransCSV, com::ISupportErrorInfo, com::IStreamConvert> {
 public:
  static constexpr std::u16string_view kErrorSource = u"FlatConvert.TransCSV";

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
    return stream_.Begin<CTransCSVStream>(out);
  }
  HRESULT ConvertPiece(std::string_view piece) override { return stream_.Feed(piece); }
  HRESULT EndConvert() override { return stream_.End(); }

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override { return iid == ITransCSV::kIid ? S_OK : S_FALSE; }

  static std::span<const com::DispatchEntry<TransCSV>> DispatchTable() {
    static const com::DispatchEntry<TransCSV> table[] = {
        com::Method<&TransCSV::Convert>(u"Convert", 1, {u"src", u"rule", u"result"}),
    };
    return table;
  }

 private:
  CTransCSVImpl worker_;
  StreamSlot stream_;
};

const com::server::ClassInfo kClasses[] = {
    {kClsidTransCSV, "FlatConvert.TransCSV.1", "FlatConvert.TransCSV", "TransCSV Class", "Apartment",
     &com::server::CreateInstance<TransCSV>},
};

}  // namespace

}  // namespace quor::transform

QUOR_COM_SERVER_EXPORTS(quor::transform::kClasses)
