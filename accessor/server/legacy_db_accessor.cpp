// The accessor plug-in: QuorAccessor.LegacyDBAccessor, whose Query runs a
// query document against the configured data sources and answers the result
// document, or a fault document in its place, late-bound by name.
#include "accessor/legacy_db_accessor_impl.h"
#include "accessor/legacy_db_fault.h"
#include "platform/com/dispatch.h"
#include "platform/com/server.h"

namespace quor::accessor {

namespace {

constexpr com::CLSID kClsidLegacyDBAccessor = com::Guid::Literal("{8C8177A5-2185-402F-A2D7-26202AF051BE}");

struct ILegacyDBAccessor : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{1472D925-69EB-47FB-9594-133680A2ADF4}");
  virtual HRESULT Query(const com::Bstr& query, const com::Bstr& config, com::Bstr* result) = 0;
  virtual HRESULT QueryVa(const com::Variant& query, const com::Variant& config, com::Variant* result) = 0;

 protected:
  ~ILegacyDBAccessor() = default;
};

class LegacyDBAccessor : public com::DispatchObject<LegacyDBAccessor, ILegacyDBAccessor, com::ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorAccessor.LegacyDBAccessor";

  // Always S_OK: a failure is the fault document in `result`, which callers
  // recognise by its "<fault>" start.
  HRESULT Query(const com::Bstr& query, const com::Bstr& config, com::Bstr* result) override {
    if (!result) return E_POINTER;
    std::string answer;
    const Status status = worker_.Query(query.View(), config.View(), answer);
    *result = com::Bstr::FromUtf8(status.ok() ? answer : CreateLegacyDBFaultResult(status.code()));
    return S_OK;
  }

  // The same run for variant callers, which get the status itself instead
  // of a fault document.
  HRESULT QueryVa(const com::Variant& query, const com::Variant& config, com::Variant* result) override {
    if (!result) return E_POINTER;
    if (query.Type() != com::VT_BSTR || config.Type() != com::VT_BSTR) return E_FAIL;
    std::string answer;
    const Status status = worker_.Query(query.GetBstr().View(), config.GetBstr().View(), answer);
    // The code alone, as variant callers have always had it: no error
    // information of the accessor's own.
    if (!status.ok()) return status.code();
    *result = com::Variant(com::Bstr::FromUtf8(answer));
    return S_OK;
  }

  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override {
    return iid == ILegacyDBAccessor::kIid ? S_OK : S_FALSE;
  }

  static std::span<const com::DispatchEntry<LegacyDBAccessor>> DispatchTable() {
    static const com::DispatchEntry<LegacyDBAccessor> table[] = {
        com::Method<&LegacyDBAccessor::Query>(u"Query", 1, {u"Query", u"config", u"result"}),
        com::Method<&LegacyDBAccessor::QueryVa>(u"QueryVa", 2, {u"Query", u"config", u"result"}),
    };
    return table;
  }

 private:
  CLegacyDBAccessorImpl worker_;
};

const com::server::ClassInfo kClasses[] = {
    {kClsidLegacyDBAccessor, "QuorAccessor.LegacyDBAccessor.1", "QuorAccessor.LegacyDBAccessor",
     "LegacyDBAccessor Class", "Apartment", &com::server::CreateInstance<LegacyDBAccessor>},
};

}  // namespace

}  // namespace quor::accessor

QUOR_COM_SERVER_EXPORTS(quor::accessor::kClasses)
