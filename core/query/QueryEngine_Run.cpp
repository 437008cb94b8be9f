// One data statement on every configured source it names: the answers
// appended, or unified step by step by the unify rules.
#include <string>

#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/AccessorCall.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"

namespace quor::core {

using detail::Named;

xml::NodePtr CQueryEngine::AskAccessor(const com::Bstr& queryText, const com::Bstr& configText,
                                       std::u16string_view progID, std::u16string_view method, HRESULT& status) {
  com::Bstr answer;
  status = CallAccessor(queryText, configText, progID, method, answer);
  if (FAILED(status)) return nullptr;
  const xml::DocumentPtr doc = xml::Document::Create();
  if (answer.IsNull() || !doc->loadXML(answer.View()) || !doc->firstChild()) {
    status = QS_E_XML_LOAD_FAILED;
    return nullptr;
  }
  status = S_OK;
  return detail::AsResponse(doc->firstChild());
}

xml::NodePtr CQueryEngine::AskSource(const com::Bstr& queryText, const DataSourceDefinition& def, HRESULT& status) {
  const bool own = !def.GetProgID().IsNull() && !def.GetProgID().Empty();
  const com::Bstr& method =
      own && !def.GetMethod().IsNull() && !def.GetMethod().Empty() ? def.GetMethod() : defaultMethod_;
  return AskAccessor(queryText, def.GetConfigText(), own ? def.GetProgID().View() : defaultProgID_.View(),
                     method.View(), status);
}

bool CQueryEngine::Accumulate(const xml::NodePtr& answer, const DataSourceDefinition& def, bool append,
                              xml::NodePtr& accumulated, const DataSourceDefinition*& startDef, HRESULT& status) {
  status = S_OK;
  if (append) {
    if (!accumulated) accumulated = answer;
    else CopyXmlTreeWithText(accumulated, answer);
    return true;
  }
  // The answer first comes into the unified vocabulary, then joins the
  // answers so far. A step with nothing to give leaves them as they are.
  const xml::NodePtr unified = Unify(answer, nullptr, &def, nullptr, status);
  if (status != S_OK) return false;
  if (!unified) return true;
  if (!accumulated) {
    accumulated = unified;
    startDef = &def;
    return true;
  }
  const xml::NodePtr joined = Unify(accumulated, unified, startDef, &def, status);
  if (status != S_OK) return false;
  if (joined) accumulated = joined;
  return true;
}

xml::NodePtr CQueryEngine::RunStatement(const xml::NodePtr& statement, HRESULT& status) {
  status = S_OK;
  if (!statement) {
    status = QS_E_QUERY_ARG_INVALID;
    return nullptr;
  }
  detail::SourceKeys keys;
  bool append = false, direct = false;
  for (xml::NodePtr child = statement->firstChild(); child; child = child->nextSibling()) {
    if (Named(child, KW_PROVIDER)) keys.provider = child->text();
    else if (Named(child, KW_DSN)) keys.dsn = child->text();
    else if (Named(child, KW_CATALOG)) keys.catalog = child->text();
    else if (Named(child, KW_SCHEMA_LC)) keys.schema = child->text();
    else if (Named(child, KW_COLUMN) || Named(child, KW_NOUNIFY)) append = true;
    else if (Named(child, KW_SQL)) {
      const xml::NodePtr verb = child->firstChild();
      if (!verb) {
        status = QS_E_QUERY_ARG_INVALID;
        return nullptr;
      }
      if (Named(verb, KW_EXEC)) {
        append = true;
      } else if (!Named(verb, KW_SELECT)) {
        append = direct = true;
      }
    }
  }

  const com::Bstr queryText = com::Bstr::FromUtf8(statement->xml());
  bool matched = false;
  xml::NodePtr accumulated;  // R
  xml::NodePtr last;         // N
  const DataSourceDefinition* startDef = nullptr;

  if (direct) {
    // A change goes whole to the default accessor with every configured
    // source; the accessor picks the ones it names.
    matched = true;
    const xml::NodePtr config = settings_.ConfigDocument ? settings_.ConfigDocument->firstChild() : nullptr;
    if (!config) {
      status = QS_E_CONFIG_NOT_EXIST;
      return nullptr;
    }
    last = AskAccessor(queryText, com::Bstr::FromUtf8(config->xml()), defaultProgID_.View(), defaultMethod_.View(),
                       status);
    if (!last) return nullptr;
    accumulated = last;
  } else {
    for (const auto& def : settings_.QueryDataSources) {
      if (!detail::Serves(*def, keys)) continue;
      matched = true;
      last = AskSource(queryText, *def, status);
      if (!last) return nullptr;
      if (!Accumulate(last, *def, append, accumulated, startDef, status)) return nullptr;
    }
  }

  if (!matched && !keys.provider.empty()) {
    status = QS_E_QUERY_ARG_INVALID;
    return nullptr;
  }
  if (accumulated) return detail::AsResponse(accumulated);
  return last;
}

}  // namespace quor::core
