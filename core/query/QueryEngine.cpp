// Setting up the engine for a call, and the call itself: the request parsed,
// translated and dispatched.
#include "core/query/QueryEngine.h"

#include <exception>

#include "core/KeywordTable.h"
#include "core/ServiceModule.h"
#include "core/StatusCodes.h"
#include "core/query/QueryTranslator.h"
#include "platform/com/errorinfo.h"

namespace quor::core {

HRESULT CQueryEngine::Init() {
  try {
    CServiceConfig& settings = settings_;
    if (settings.HomeDir.IsNull()) settings.ReadHomeDir();
    CServiceModule::Instance().EnsureUtils();
    CKeywordTable::Instance();
    if (!settings.ConfigDocument) {
      if (const HRESULT hr = settings.LoadConfigDirectory().code(); FAILED(hr)) return hr;
    }
    if (!settings.UnifierDocument) {
      if (const HRESULT hr = settings.LoadUnifierDirectory().code(); FAILED(hr)) return hr;
    }
    if (!settings.UnifyTable) {
      if (const HRESULT hr = settings.BuildUnifyTable(settings.UnifierDocument).code(); FAILED(hr)) return hr;
    }
    if (!settings.TransformDocument) {
      if (const HRESULT hr = settings.LoadTransformDirectory().code(); FAILED(hr)) return hr;
    }
    defaultProgID_ = settings.DefaultAccessorProgID;
    defaultMethod_ = settings.DefaultAccessorMethod;
    if (settings.LogLevel == LOGLEVEL_NOT_READ) {
      if (const HRESULT hr = settings.ReadLogLevel(); FAILED(hr)) return hr;
    }
    if (settings.CompressThreshold == -1) settings.ReadCompressThreshold();
    return S_OK;
  } catch (const com::ComError& error) {
    return FAILED(error.Code()) ? error.Code() : QS_E_QUERY_EXECUTE_EXCEPTION;
  } catch (const std::exception&) {
    return QS_E_QUERY_EXECUTE_EXCEPTION;
  }
}

HRESULT CQueryEngine::Execute(const com::Bstr& queryText, com::Bstr& result) {
  result = com::Bstr();
  try {
    const xml::DocumentPtr target = xml::Document::Create();
    if (const HRESULT hr = LoadQuery(queryText, target); FAILED(hr)) return hr;
    const HRESULT status = DispatchQuery(target, result);
    if (FAILED(status)) result = com::Bstr();
    return status;
  } catch (const com::ComError& error) {
    // A document or component call that broke inside the walk: its own status.
    result = com::Bstr();
    return FAILED(error.Code()) ? error.Code() : QS_E_QUERY_EXECUTE_EXCEPTION;
  } catch (const std::exception&) {
    result = com::Bstr();
    return QS_E_QUERY_EXECUTE_EXCEPTION;
  }
}

HRESULT CQueryEngine::LoadQuery(const com::Bstr& queryText, const xml::DocumentPtr& target) {
  try {
    const xml::DocumentPtr request = xml::Document::Create();
    if (queryText.IsNull() || !request->loadXML(queryText.View())) return QS_E_XML_LOAD_FAILED;
    CQueryTranslator translator;
    return translator.Translate(request, target);
  } catch (const com::ComError& error) {
    return FAILED(error.Code()) ? error.Code() : QS_E_QUERY_CONVERSION_EXCEPTION;
  } catch (const std::exception&) {
    return QS_E_QUERY_CONVERSION_EXCEPTION;
  }
}

}  // namespace quor::core
