#include "core/query/ResultRewriter.h"

#include <new>
#include <optional>

#include "core/KeywordTable.h"
#include "core/XmlHelpers.h"

namespace quor::core {
namespace {

std::string_view Word(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }

bool IsElementNamed(const xml::NodePtr& node, KeywordIndex index) {
  return xml::IsElement(*node, Word(index));
}

Result<xml::NodePtr> Create(const xml::DocumentPtr& doc, KeywordIndex index) {
  xml::NodePtr element = doc->createElement(Word(index));
  if (!element) return Status(E_FAIL);
  return element;
}

Status Append(const xml::NodePtr& parent, const xml::NodePtr& child) {
  if (!parent->appendChild(child)) return Status(E_FAIL);
  return Status();
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

Status CResultRewriter::RewriteColumn(const xml::NodePtr& source, const xml::NodePtr& target,
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
      QUOR_RETURN_IF_ERROR(SetElementAttribute(target, attribute.name, attribute.value));
    }
  }

  // A column renamed before keeps the name it was first given.
  const UnifyPattern* match = formerMatch ? formerMatch : nameMatch;
  QUOR_RETURN_IF_ERROR(SetElementAttribute(target, Word(KW_NAME), match ? match->lid.ToUtf8() : name));
  if (type) QUOR_RETURN_IF_ERROR(SetElementAttribute(target, Word(KW_TYPE), *type));
  if (match) QUOR_RETURN_IF_ERROR(SetElementAttribute(target, Word(KW_ORGINALNAME), match->rid.ToUtf8()));

  if (source->hasChildNodes()) {
    for (xml::NodePtr child = source->firstChild(); child; child = child->nextSibling()) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(child));
      QUOR_RETURN_IF_ERROR(Append(target, copy));
    }
  }
  return Status();
}

Result<xml::NodePtr> CResultRewriter::RewriteResponse(const xml::NodePtr& response,
                                                      const UnifyTableEntry& entry) const {
  if (!response || !IsElementNamed(response, KW_RESPONSE)) return xml::NodePtr();
  try {
    const xml::DocumentPtr doc = xml::Document::Create();
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr rewritten, Create(doc, KW_RESPONSE));
    for (xml::NodePtr table = response->firstChild(); table; table = table->nextSibling()) {
      if (!IsElementNamed(table, KW_TABLE)) continue;
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr newTable, Create(doc, KW_TABLE));
      com::Bstr tableName;
      for (const xml::Attribute& attribute : table->attributes()) {
        QUOR_RETURN_IF_ERROR(SetElementAttribute(newTable, attribute.name, attribute.value));
        if (attribute.name == Word(KW_NAME)) tableName = com::Bstr::FromUtf8(StripTableQualifier(attribute.value));
      }
      QUOR_RETURN_IF_ERROR(SetElementAttribute(newTable, Word(KW_UNIFY), unify_.ToUtf8()));

      for (xml::NodePtr record = table->firstChild(); record; record = record->nextSibling()) {
        if (!IsElementNamed(record, KW_RECORD)) continue;
        QUOR_ASSIGN_OR_RETURN(const xml::NodePtr newRecord, Create(doc, KW_RECORD));
        for (xml::NodePtr column = record->firstChild(); column; column = column->nextSibling()) {
          if (!IsElementNamed(column, KW_COLUMN)) continue;
          QUOR_ASSIGN_OR_RETURN(const xml::NodePtr newColumn, Create(doc, KW_COLUMN));
          QUOR_RETURN_IF_ERROR(RewriteColumn(column, newColumn, tableName, entry));
          QUOR_RETURN_IF_ERROR(Append(newRecord, newColumn));
        }
        QUOR_RETURN_IF_ERROR(Append(newTable, newRecord));
      }
      QUOR_RETURN_IF_ERROR(Append(rewritten, newTable));
    }
    return rewritten;
  } catch (const std::bad_alloc&) {
    return xml::NodePtr();
  }
}

}  // namespace quor::core
