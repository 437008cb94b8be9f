#include "core/query/TransformerChain.h"

#include <exception>
#include <string>
#include <vector>

#include "core/KeywordTable.h"
#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "core/query/AccessorCall.h"
#include "platform/com/classstore.h"
#include "platform/com/errorinfo.h"
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

// The parser turns CR LF and a lone CR into LF. A CR a transformer wrote raw
// (CDATA sections keep it so; text may) becomes a character reference, which
// the parser keeps; markup, comments and instructions stay as written, and a
// text without CR is not touched.
std::string KeepCarriageReturns(std::string_view xml) {
  if (xml.find('\r') == std::string_view::npos) return std::string(xml);
  constexpr std::string_view kCdataOpen = "<![CDATA[", kCdataClose = "]]>";
  std::string out;
  out.reserve(xml.size() + 64);
  size_t at = 0;
  while (at < xml.size()) {
    const std::string_view rest = xml.substr(at);
    if (rest.starts_with(kCdataOpen)) {
      const size_t close = rest.find(kCdataClose, kCdataOpen.size());
      if (close == std::string_view::npos) {  // not XML: the parser says so
        out += rest;
        break;
      }
      const std::string_view data = rest.substr(kCdataOpen.size(), close - kCdataOpen.size());
      // The section is cut at every CR, each CR written between the pieces.
      for (size_t start = 0;;) {
        const size_t cr = data.find('\r', start);
        const std::string_view piece = data.substr(start, cr == std::string_view::npos ? data.npos : cr - start);
        if (!piece.empty() || (start == 0 && cr == std::string_view::npos))
          ((out += kCdataOpen) += piece) += kCdataClose;
        if (cr == std::string_view::npos) break;
        out += "&#13;";
        start = cr + 1;
      }
      at += close + kCdataClose.size();
    } else if (rest.front() == '<') {
      size_t end;
      if (rest.starts_with("<!--")) {
        end = rest.find("-->");
        end = end == std::string_view::npos ? rest.size() : end + 3;
      } else if (rest.starts_with("<?")) {
        end = rest.find("?>");
        end = end == std::string_view::npos ? rest.size() : end + 2;
      } else {
        // A tag: it ends at the first '>' outside a quoted attribute value.
        char quote = 0;
        for (end = 1; end < rest.size(); ++end) {
          const char c = rest[end];
          if (quote) {
            if (c == quote) quote = 0;
          } else if (c == '"' || c == '\'') {
            quote = c;
          } else if (c == '>') {
            break;
          }
        }
        end = end < rest.size() ? end + 1 : rest.size();
      }
      out += rest.substr(0, end);
      at += end;
    } else {
      const size_t next = rest.find_first_of("<\r");
      out += rest.substr(0, next);
      if (next == std::string_view::npos) break;
      at += next;
      if (rest[next] == '\r') {
        out += "&#13;";
        ++at;
      }
    }
  }
  return out;
}

// The text of an entry's child element; null when it is missing or empty.
com::Bstr EntryText(const xml::NodePtr& entry, std::string_view name) {
  com::Bstr text;
  MatchXmlNodes(entry, name, text).Ignore();  // only fails for a missing entry
  return text;
}

// The definitions' entry named `name`: its ProgID, method and rule.
struct TransformerEntry {
  com::Bstr progID, method, rule;
};

Result<TransformerEntry> FindTransformer(CServiceConfig& settings, const com::Bstr& name) {
  if (!settings.TransformDocument) {
    QUOR_RETURN_IF_ERROR(settings.LoadTransformDirectory());
    if (!settings.TransformDocument) return Status(QS_E_TRANSFORMER_CONFIG_INVALID);
  }
  const xml::DocumentPtr& definitions = settings.TransformDocument;
  if (!definitions->firstChild()) return Status(QS_E_TRANSFORMER_CONFIG_INVALID);
  const xml::NodePtr top = FindTopLevel(definitions, CKeywordTable::Instance().Narrow(KW_QUORTRANSFORM));
  if (!top) return Status(QS_E_TRANSFORMER_CONFIG_INVALID);

  for (xml::NodePtr entry = top->firstChild(); entry; entry = entry->nextSibling()) {
    const com::Bstr transID = EntryText(entry, CKeywordTable::Instance().Narrow(KW_TRANSID));
    com::Bstr progID = EntryText(entry, CKeywordTable::Instance().Narrow(KW_PROGID_CAP));
    if ((transID.IsNull() || transID != name) && (progID.IsNull() || progID != name)) continue;
    return TransformerEntry{std::move(progID), EntryText(entry, CKeywordTable::Instance().Narrow(KW_METHOD_CAP)),
                            EntryText(entry, CKeywordTable::Instance().Narrow(KW_RULE))};
  }
  return Status(QS_E_TRANSFORMER_NOT_SPECIFIED);
}

Status CallTransformerUnguarded(CServiceConfig& settings, const com::Bstr& name, const com::Bstr& input,
                                const com::Bstr& rule, com::Bstr& output) {
  QUOR_ASSIGN_OR_RETURN(TransformerEntry found, FindTransformer(settings, name));
  const com::Bstr& progID = found.progID;
  const com::Bstr method = found.method.IsNull() ? com::Bstr(u"Convert") : found.method;
  const com::Bstr& useRule = !rule.IsNull() ? rule : found.rule;

  detail::LateBoundAnswer call;
  QUOR_RETURN_IF_ERROR(detail::CallLateBound(progID.View(), method.View(), input, useRule, call));
  output = com::Bstr();
  if (SUCCEEDED(call.invoked)) {
    if (!call.isText) return Status();
    if (!CServiceHelpers::IsFaultResult(call.text)) {
      output = std::move(call.text);
      return Status();
    }
    return com::StatusOf(com::ReportStatus(
        CServiceHelpers::ParseFaultResult(call.text, QS_E_TRANSFORMER_ACCESS_FAILED), progID.View()));
  }
  if (call.isText) {
    output = std::move(call.text);
    return com::StatusOf(call.invoked);
  }
  if (call.raised)
    output = CServiceHelpers::MakeTransformerFault(
        {call.exceptionCode, call.exceptionDescription, call.exceptionStatus});
  return Status(QS_E_TRANSFORMER_ACCESS_FAILED);
}

}  // namespace

Status CallTransformer(CServiceConfig& settings, const com::Bstr& name, const com::Bstr& input,
                       const com::Bstr& rule, com::Bstr& output) {
  try {
    return CallTransformerUnguarded(settings, name, input, rule, output);
  } catch (const std::exception& e) {
    return Status(QS_E_TRANSFORMER_EXECUTE_EXCEPTION, e.what());
  }
}

Result<com::ComPtr<com::IStreamConvert>> OpenStreamTransformer(CServiceConfig& settings, const com::Bstr& chain,
                                                               com::ResultSink& out) {
  try {
    const std::vector<ChainItem> items = SplitChain(chain.ToUtf8());
    if (items.size() != 1) return com::ComPtr<com::IStreamConvert>();
    Result<TransformerEntry> found = FindTransformer(settings, com::Bstr::FromUtf8(items[0].name));
    // What the chain would fail on, it fails on there.
    if (!found.ok()) return com::ComPtr<com::IStreamConvert>();
    const TransformerEntry& entry = *found;
    if (entry.progID.IsNull() || (!entry.method.IsNull() && !text::EqualsNoCase(entry.method.View(), u"Convert")))
      return com::ComPtr<com::IStreamConvert>();
    com::ComPtr<com::IStreamConvert> stream;
    if (FAILED(com::CreateObject(entry.progID.View(), stream)) || !stream) return com::ComPtr<com::IStreamConvert>();
    const com::Bstr rule = !items[0].rule.empty() ? com::Bstr::FromUtf8(items[0].rule) : entry.rule;
    if (FAILED(stream->BeginConvert(rule, &out))) return com::ComPtr<com::IStreamConvert>();
    return stream;
  } catch (const std::exception& e) {
    return Status(QS_E_TRANSFORMER_EXECUTE_EXCEPTION, e.what());
  }
}

Status TransformChain(CServiceConfig& settings, const com::Bstr& chain, const com::Bstr& input,
                      const com::Bstr& defaultRule, com::Bstr& output) {
  try {
    output = com::Bstr();
    com::Bstr current = input;
    Status status;
    for (const ChainItem& item : SplitChain(chain.ToUtf8())) {
      const com::Bstr rule = item.rule.empty() ? defaultRule : com::Bstr::FromUtf8(item.rule);
      com::Bstr out;
      status = CallTransformer(settings, com::Bstr::FromUtf8(item.name), current, rule, out);
      output = out;
      if (!status.ok()) break;
      current = std::move(out);
    }
    return status;
  } catch (const std::exception& e) {
    return Status(QS_E_TRANSFORMER_EXECUTE_EXCEPTION, e.what());
  }
}

Status TransformPart(CServiceConfig& settings, const ResultPart& result, const com::Bstr& chain,
                     const com::Bstr& defaultRule, ResultPart& transformed) {
  transformed = ResultPart();
  if (!result) return Status();
  Status status;
  try {
    com::Bstr output;
    status = TransformChain(settings, chain, result.Written(), defaultRule, output);
    if (output.IsNull()) return status;
    // Without a CR, KeepCarriageReturns leaves a written element as it is.
    if (IsWrittenElement(output.View())) {
      transformed.text = std::move(output);
      return status;
    }
    const xml::DocumentPtr doc = xml::Document::Create();
    if (!doc->loadXML(KeepCarriageReturns(output.ToUtf8()))) return status;
    transformed.node = doc->firstChild();
    return status;
  } catch (const std::exception& e) {
    transformed = ResultPart();
    return status.ok() ? Status(QS_E_TRANSFORMER_EXECUTE_EXCEPTION, e.what()) : status;
  }
}

Status TransformResult(CServiceConfig& settings, const xml::NodePtr& result, const com::Bstr& chain,
                       const com::Bstr& defaultRule, xml::NodePtr& transformed) {
  transformed = nullptr;
  ResultPart part;
  const Status status = TransformPart(settings, ResultPart(result), chain, defaultRule, part);
  Result<xml::NodePtr> node = part.Node();
  if (!node.ok()) return status.ok() ? Status(QS_E_TRANSFORMER_EXECUTE_EXCEPTION) : status;
  transformed = std::move(node).value();
  return status;
}

}  // namespace quor::core
