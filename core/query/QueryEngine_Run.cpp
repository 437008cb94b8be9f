// One data statement on every configured source it names: the answers
// appended, or unified step by step by the unify rules.
#include <memory>
#include <string>
#include <vector>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/AccessorCall.h"
#include "core/query/QueryEngine.h"
#include "core/query/QueryEngine_Detail.h"

namespace quor::core {

using detail::Named;

xml::NodePtr CQueryEngine::ParseAnswer(const com::Bstr& answer, HRESULT& status) {
  const xml::DocumentPtr doc = xml::Document::Create();
  if (answer.IsNull() || !doc->loadXML(answer.View()) || !doc->firstChild()) {
    status = QS_E_XML_LOAD_FAILED;
    return nullptr;
  }
  status = S_OK;
  return detail::AsResponse(doc->firstChild());
}

xml::NodePtr CQueryEngine::AskAccessor(const com::Bstr& queryText, const com::Bstr& configText,
                                       std::u16string_view progID, std::u16string_view method, HRESULT& status) {
  com::Bstr answer;
  status = CallAccessor(queryText, configText, progID, method, answer);
  if (FAILED(status)) return nullptr;
  return ParseAnswer(answer, status);
}

ResultPart CQueryEngine::AskAccessorPart(const com::Bstr& queryText, const com::Bstr& configText,
                                         std::u16string_view progID, std::u16string_view method, HRESULT& status) {
  com::Bstr answer;
  status = CallAccessor(queryText, configText, progID, method, answer);
  if (FAILED(status)) return {};
  ResultPart part;
  if (TakeWrittenResponse(answer, part)) {
    status = S_OK;
    return part;
  }
  return ResultPart(ParseAnswer(answer, status));
}

namespace {

// The accessor and method that serve `def`: its own, else the default ones.
struct Binding {
  std::u16string_view progID, method;
};

Binding BindingOf(const DataSourceDefinition& def, const com::Bstr& defaultProgID, const com::Bstr& defaultMethod) {
  const bool own = !def.GetProgID().IsNull() && !def.GetProgID().Empty();
  const com::Bstr& method =
      own && !def.GetMethod().IsNull() && !def.GetMethod().Empty() ? def.GetMethod() : defaultMethod;
  return {own ? def.GetProgID().View() : defaultProgID.View(), method.View()};
}

}  // namespace

xml::NodePtr CQueryEngine::AskSource(const com::Bstr& queryText, const DataSourceDefinition& def, HRESULT& status) {
  const Binding binding = BindingOf(def, defaultProgID_, defaultMethod_);
  return AskAccessor(queryText, def.GetConfigText(), binding.progID, binding.method, status);
}

ResultPart CQueryEngine::AskSourcePart(const com::Bstr& queryText, const DataSourceDefinition& def,
                                       HRESULT& status) {
  const Binding binding = BindingOf(def, defaultProgID_, defaultMethod_);
  return AskAccessorPart(queryText, def.GetConfigText(), binding.progID, binding.method, status);
}

bool CQueryEngine::UnifiesUnchanged(const ResultPart& answer, const DataSourceDefinition& def, HRESULT& status) {
  status = S_OK;
  if (!answer.IsText() || !answer.inResponse || answer.element.tag != CKeywordTable::Instance()[KW_TABLE].View())
    return false;
  if (!EnsureUnifyTable()) {
    status = QS_E_UNIFICATION_EXCEPTION;
    return false;
  }
  // The key GetResultTableName gives: the table's name after its first '.'.
  com::Bstr table;
  if (const auto& name = answer.element.name) {
    const std::u16string_view whole(*name);
    const size_t dot = whole.find(u'.');
    table = com::Bstr(dot == std::u16string_view::npos ? whole : whole.substr(dot + 1));
  }
  const UnifyTableEntry* entry = nullptr;
  FindUnifyTableEntry(def.GetProvider(), def.GetDataSource(), def.GetInitialCatalog(), def.GetSchema(), table,
                      settings_.UnifyTable.get(), entry);
  return !entry;
}

ResultPart CQueryEngine::AskOnlySource(const com::Bstr& queryText, const DataSourceDefinition& def, bool append,
                                       HRESULT& status) {
  ResultPart answer = AskSourcePart(queryText, def, status);
  if (!answer || append) return answer;
  if (UnifiesUnchanged(answer, def, status)) return answer;
  if (status != S_OK) return {};
  xml::NodePtr accumulated;
  const DataSourceDefinition* startDef = nullptr;
  const xml::NodePtr node = answer.Node();
  if (!Accumulate(node, def, false, accumulated, startDef, status)) return {};
  return ResultPart(accumulated ? detail::AsResponse(accumulated) : node);
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
  return RunStatementPart(statement, status).Node();
}

ResultPart CQueryEngine::RunStatementPart(const xml::NodePtr& statement, HRESULT& status) {
  status = S_OK;
  if (!statement) {
    status = QS_E_QUERY_ARG_INVALID;
    return {};
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
        return {};
      }
      if (Named(verb, KW_EXEC)) {
        append = true;
      } else if (!Named(verb, KW_SELECT)) {
        append = direct = true;
      }
    }
  }

  const com::Bstr queryText = com::Bstr::FromUtf8(statement->xml());
  if (direct) {
    // A change goes whole to the default accessor with every configured
    // source; the accessor picks the ones it names.
    const std::shared_ptr<const com::Bstr> config = settings_.ConfigText;
    if (!config) {
      status = QS_E_CONFIG_NOT_EXIST;
      return {};
    }
    return AskAccessorPart(queryText, *config, defaultProgID_.View(), defaultMethod_.View(), status);
  }

  std::vector<const DataSourceDefinition*> serving;
  for (const auto& def : settings_.QueryDataSources)
    if (detail::Serves(*def, keys)) serving.push_back(def.get());
  if (serving.empty() && !keys.provider.empty()) {
    status = QS_E_QUERY_ARG_INVALID;
    return {};
  }
  if (serving.size() == 1) return AskOnlySource(queryText, *serving.front(), append, status);

  xml::NodePtr accumulated;  // R
  xml::NodePtr last;         // N
  const DataSourceDefinition* startDef = nullptr;
  for (const DataSourceDefinition* def : serving) {
    last = AskSource(queryText, *def, status);
    if (!last) return {};
    if (!Accumulate(last, *def, append, accumulated, startDef, status)) return {};
  }
  return ResultPart(accumulated ? detail::AsResponse(accumulated) : last);
}

}  // namespace quor::core
