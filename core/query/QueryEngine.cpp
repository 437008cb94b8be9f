// Setting up the engine for a call, and the call itself: the request parsed,
// translated and dispatched.
#include "core/query/QueryEngine.h"

#include <exception>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/query/QueryTranslator.h"

namespace quor::core {

Status CQueryEngine::Init() {
  try {
    CServiceConfig& settings = settings_;
    if (settings.HomeDir.IsNull()) settings.ReadHomeDir();
    CKeywordTable::Instance();
    if (!settings.ConfigDocument) {
      QUOR_RETURN_IF_ERROR(settings.LoadConfigDirectory());
    }
    if (!settings.UnifierDocument) {
      QUOR_RETURN_IF_ERROR(settings.LoadUnifierDirectory());
    }
    if (!settings.UnifyTable) {
      QUOR_RETURN_IF_ERROR(settings.BuildUnifyTable(settings.UnifierDocument));
    }
    if (!settings.TransformDocument) {
      QUOR_RETURN_IF_ERROR(settings.LoadTransformDirectory());
    }
    defaultProgID_ = settings.DefaultAccessorProgID;
    defaultMethod_ = settings.DefaultAccessorMethod;
    if (settings.LogLevel == LOGLEVEL_NOT_READ) {
      if (const HRESULT hr = settings.ReadLogLevel(); FAILED(hr)) return Status(hr);
    }
    if (settings.CompressThreshold == -1) settings.ReadCompressThreshold();
    return Status();
  } catch (const std::exception& e) {
    return Status(QS_E_QUERY_EXECUTE_EXCEPTION, e.what());
  }
}

Status CQueryEngine::Execute(const com::Bstr& queryText, com::Bstr& result, com::ResultSink* stream) {
  result = com::Bstr();
  try {
    const xml::DocumentPtr target = xml::Document::Create();
    QUOR_RETURN_IF_ERROR(LoadQuery(queryText, target));
    // A document or component call that broke inside the walk gives its own
    // status; a component's error information stays for the caller.
    Status status = DispatchQuery(target, result, stream);
    if (!status.ok()) result = com::Bstr();
    return status;
  } catch (const std::exception& e) {
    result = com::Bstr();
    return Status(QS_E_QUERY_EXECUTE_EXCEPTION, e.what());
  }
}

Status CQueryEngine::LoadQuery(const com::Bstr& queryText, const xml::DocumentPtr& target) {
  try {
    const xml::DocumentPtr request = xml::Document::Create();
    if (queryText.IsNull() || !request->loadXML(queryText.View())) return Status(QS_E_XML_LOAD_FAILED);
    CQueryTranslator translator;
    return translator.Translate(request, target);
  } catch (const std::exception& e) {
    return Status(QS_E_QUERY_CONVERSION_EXCEPTION, e.what());
  }
}

}  // namespace quor::core
