#include "core/query/TransformerChain.h"

#include <exception>
#include <string>
#include <vector>

#include "core/KeywordTable.h"
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/AccessorCall.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

struct ChainItem {
  std::string name;
  std::string rule;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The items of a chain text; empty items vanish, a third word is ignored.
std::vector<ChainItem> SplitChain(std::string_view text) {
  std::vector<ChainItem> items;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(',', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(at, end - at);
    std::vector<std::string_view> words;
    size_t pos = 0;
    while (pos < item.size() && words.size() < 2) {
      while (pos < item.size() && IsBlank(item[pos])) ++pos;
      const size_t start = pos;
      while (pos < item.size() && !IsBlank(item[pos])) ++pos;
      if (pos > start) words.push_back(item.substr(start, pos - start));
    }
    if (!words.empty()) items.push_back({std::string(words[0]), words.size() > 1 ? std::string(words[1]) : ""});
    at = end + 1;
  }
  return items;
}

// The text of an entry's child element; null when it is missing or empty.
com::Bstr EntryText(const xml::NodePtr& entry, std::string_view name) {
  com::Bstr text;
  MatchXmlNodes(entry, name, text);
  return text;
}

HRESULT CallTransformerUnguarded(CServiceConfig& settings, const com::Bstr& name, const com::Bstr& input,
                                 const com::Bstr& rule, com::Bstr& output) {
  if (!settings.TransformDocument) {
    if (const HRESULT hr = settings.LoadTransformDirectory(); FAILED(hr)) return hr;
    if (!settings.TransformDocument) return QS_E_TRANSFORMER_CONFIG_INVALID;
  }
  const xml::DocumentPtr& definitions = settings.TransformDocument;
  if (!definitions->firstChild()) return QS_E_TRANSFORMER_CONFIG_INVALID;
  const xml::NodePtr top = FindTopLevel(definitions, CKeywordTable::Instance().Narrow(KW_QUORTRANSFORM));
  if (!top) return QS_E_TRANSFORMER_CONFIG_INVALID;

  xml::NodePtr match;
  com::Bstr progID;
  for (xml::NodePtr entry = top->firstChild(); entry && !match; entry = entry->nextSibling()) {
    const com::Bstr transID = EntryText(entry, CKeywordTable::Instance().Narrow(KW_TRANSID));
    const com::Bstr entryProgID = EntryText(entry, CKeywordTable::Instance().Narrow(KW_PROGID_CAP));
    if ((!transID.IsNull() && transID == name) || (!entryProgID.IsNull() && entryProgID == name)) {
      match = entry;
      progID = entryProgID;
    }
  }
  if (!match) return QS_E_TRANSFORMER_NOT_SPECIFIED;

  com::Bstr method = EntryText(match, CKeywordTable::Instance().Narrow(KW_METHOD_CAP));
  if (method.IsNull()) method = com::Bstr(u"Convert");
  const com::Bstr useRule = !rule.IsNull() ? rule : EntryText(match, CKeywordTable::Instance().Narrow(KW_RULE));

  detail::LateBoundAnswer call;
  if (const HRESULT hr = detail::CallLateBound(progID.View(), method.View(), input, useRule, call); FAILED(hr))
    return hr;
  output = com::Bstr();
  if (SUCCEEDED(call.invoked)) {
    if (!call.isText) return S_OK;
    if (!CQuorServiceUtils::IsFaultResult(call.text)) {
      output = std::move(call.text);
      return S_OK;
    }
    return CQuorServiceUtils::ParseFaultResult(progID.View(), call.text, QS_E_TRANSFORMER_ACCESS_FAILED);
  }
  if (call.isText) {
    output = std::move(call.text);
    return call.invoked;
  }
  if (call.raised)
    output = CQuorServiceUtils::MakeTransformerFault(
        {call.exceptionCode, call.exceptionDescription, call.exceptionStatus});
  return QS_E_TRANSFORMER_ACCESS_FAILED;
}

}  // namespace

HRESULT CallTransformer(CServiceConfig& settings, const com::Bstr& name, const com::Bstr& input,
                        const com::Bstr& rule, com::Bstr& output) {
  try {
    return CallTransformerUnguarded(settings, name, input, rule, output);
  } catch (const std::exception&) {
    return QS_E_TRANSFORMER_EXECUTE_EXCEPTION;
  }
}

HRESULT TransformChain(CServiceConfig& settings, const com::Bstr& chain, const com::Bstr& input,
                       const com::Bstr& defaultRule, com::Bstr& output) {
  try {
    output = com::Bstr();
    com::Bstr current = input;
    HRESULT status = S_OK;
    for (const ChainItem& item : SplitChain(chain.ToUtf8())) {
      const com::Bstr rule = item.rule.empty() ? defaultRule : com::Bstr::FromUtf8(item.rule);
      com::Bstr out;
      status = CallTransformer(settings, com::Bstr::FromUtf8(item.name), current, rule, out);
      output = out;
      if (status != S_OK) break;
      current = std::move(out);
    }
    return status;
  } catch (const std::exception&) {
    return QS_E_TRANSFORMER_EXECUTE_EXCEPTION;
  }
}

xml::NodePtr TransformResult(CServiceConfig& settings, const xml::NodePtr& result, const com::Bstr& chain,
                             const com::Bstr& defaultRule, HRESULT& status) {
  status = S_OK;
  if (!result) return nullptr;
  try {
    com::Bstr output;
    status = TransformChain(settings, chain, com::Bstr::FromUtf8(result->xml()), defaultRule, output);
    if (output.IsNull()) return nullptr;
    const xml::DocumentPtr doc = xml::Document::Create();
    if (!doc->loadXML(output.View())) return nullptr;
    return doc->firstChild();
  } catch (const std::exception&) {
    if (status == S_OK) status = QS_E_TRANSFORMER_EXECUTE_EXCEPTION;
    return nullptr;
  }
}

}  // namespace quor::core
