#include "core/query/ResultRewriter.h"

#include <new>
#include <optional>

#include "core/KeywordTable.h"
#include "core/XmlHelpers.h"
#include "platform/com/errorinfo.h"

namespace quor::core {
namespace {

std::string_view Word(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }

bool IsElementNamed(const xml::NodePtr& node, KeywordIndex index) {
  return node->nodeType() == xml::NodeType::Element && node->nodeName() == Word(index);
}

xml::NodePtr Create(const xml::DocumentPtr& doc, KeywordIndex index) {
  xml::NodePtr element = doc->createElement(Word(index));
  if (!element) throw com::ComError(E_FAIL);
  return element;
}

void Append(const xml::NodePtr& parent, const xml::NodePtr& child) {
  if (!parent->appendChild(child)) throw com::ComError(E_FAIL);
}

// The first pattern that renames column `column` of table `tableName`: its
// table is not named or is that table, and its matched name is the column's.
const UnifyPattern* FindPattern(const UnifyTableEntry& entry, const com::Bstr& tableName, const com::Bstr& column) {
  for (const UnifyPattern& pattern : entry.Patterns()) {
    const bool tableFits = pattern.tableName.IsNull() || (!tableName.IsNull() && pattern.tableName == tableName);
    if (tableFits && !pattern.rid.IsNull() && pattern.rid == column) return &pattern;
  }
  return nullptr;
}

}  // namespace

std::string CResultRewriter::StripTableQualifier(std::string_view tableName) {
  const size_t dot = tableName.find('.');
  return std::string(dot == std::string_view::npos ? tableName : tableName.substr(dot + 1));
}

HRESULT CResultRewriter::RewriteColumn(const xml::NodePtr& source, const xml::NodePtr& target,
                                       const com::Bstr& tableName, const UnifyTableEntry& entry) const {
  std::string name;
  std::optional<std::string> type;
  const UnifyPattern* nameMatch = nullptr;
  const UnifyPattern* formerMatch = nullptr;
  for (const xml::Attribute& attribute : source->attributes()) {
    if (attribute.name == Word(KW_NAME)) {
      name = attribute.value;
      nameMatch = FindPattern(entry, tableName, com::Bstr::FromUtf8(name));
    } else if (attribute.name == Word(KW_ORGINALNAME)) {
      formerMatch = FindPattern(entry, tableName, com::Bstr::FromUtf8(attribute.value));
    } else if (attribute.name == Word(KW_TYPE)) {
      type = attribute.value;
    } else {
      SetElementAttribute(target, attribute.name, attribute.value);
    }
  }

  // A column renamed before keeps the name it was first given.
  const UnifyPattern* match = formerMatch ? formerMatch : nameMatch;
  SetElementAttribute(target, Word(KW_NAME), match ? match->lid.ToUtf8() : name);
  if (type) SetElementAttribute(target, Word(KW_TYPE), *type);
  if (match) SetElementAttribute(target, Word(KW_ORGINALNAME), match->rid.ToUtf8());

  if (source->hasChildNodes()) {
    for (xml::NodePtr child = source->firstChild(); child; child = child->nextSibling())
      Append(target, CopyXmlTree(child));
  }
  return S_OK;
}

xml::NodePtr CResultRewriter::RewriteResponse(const xml::NodePtr& response, const UnifyTableEntry& entry) const {
  if (!response || !IsElementNamed(response, KW_RESPONSE)) return nullptr;
  try {
    const xml::DocumentPtr doc = xml::Document::Create();
    const xml::NodePtr rewritten = Create(doc, KW_RESPONSE);
    for (xml::NodePtr table = response->firstChild(); table; table = table->nextSibling()) {
      if (!IsElementNamed(table, KW_TABLE)) continue;
      const xml::NodePtr newTable = Create(doc, KW_TABLE);
      com::Bstr tableName;
      for (const xml::Attribute& attribute : table->attributes()) {
        SetElementAttribute(newTable, attribute.name, attribute.value);
        if (attribute.name == Word(KW_NAME)) tableName = com::Bstr::FromUtf8(StripTableQualifier(attribute.value));
      }
      SetElementAttribute(newTable, Word(KW_UNIFY), unify_.ToUtf8());

      for (xml::NodePtr record = table->firstChild(); record; record = record->nextSibling()) {
        if (!IsElementNamed(record, KW_RECORD)) continue;
        const xml::NodePtr newRecord = Create(doc, KW_RECORD);
        for (xml::NodePtr column = record->firstChild(); column; column = column->nextSibling()) {
          if (!IsElementNamed(column, KW_COLUMN)) continue;
          const xml::NodePtr newColumn = Create(doc, KW_COLUMN);
          RewriteColumn(column, newColumn, tableName, entry);
          Append(newRecord, newColumn);
        }
        Append(newTable, newRecord);
      }
      Append(rewritten, newTable);
    }
    return rewritten;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace quor::core
