#include "accessor/sql_parser.h"

#include "platform/text/text.h"

namespace quor::accessor {

bool IsStatementElement(const xml::NodePtr& node) {
  return xml::IsElement(node, "statement") || xml::IsElement(node, "substatement");
}

namespace {

// Reads a row limit the way "%d" would, but refuses a number out of range
// instead of wrapping it. Text that does not begin with a number is no limit.
std::optional<std::int32_t> ReadRowCount(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n'))
    ++pos;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return 0;
  return text::ScanInt32(text);
}

}  // namespace

Status CSQLParser::ParseQueryDOM(const xml::NodePtr& node) {
  if (!node) return Status(kQueryInvalid);
  xml::NodePtr statementElement;
  if (IsStatementElement(node)) {
    statementElement = node;
  } else if (node->nodeType() == xml::NodeType::Element) {
    for (xml::NodePtr child = node->firstChild(); child; child = child->nextSibling()) {
      if (IsStatementElement(child)) {
        statementElement = child;
        break;
      }
    }
  }
  if (!statementElement) return Status(kQueryInvalid);

  statements_.assign(1, QueryStatement{});
  QueryStatement& record = statements_[0];

  xml::NodePtr child = statementElement->firstChild();
  if (xml::IsElement(child, "substatement")) child = child->firstChild();

  bool sawSql = false;
  for (; child; child = child->nextSibling()) {
    if (child->nodeType() != xml::NodeType::Element) return Status(kUnsupportedTag);
    const std::string name = child->nodeName();
    if (name == "provider") record.provider = xml::ElementText(*child);
    else if (name == "dsn") record.dsn = xml::ElementText(*child);
    else if (name == "catalog") record.catalog = xml::ElementText(*child);
    else if (name == "schema" || name == "transform" || name == "store" || name == "nounify") continue;
    else if (name == "table") record.targetKind = TargetKind::Table;
    else if (name == "column") record.targetKind = TargetKind::Columns;
    else if (name == "view") record.targetKind = TargetKind::Views;
    else if (name == "alias") record.targetKind = TargetKind::Aliases;
    else if (name == "synonym") record.targetKind = TargetKind::Synonyms;
    else if (name == "procedure") record.targetKind = TargetKind::Procedures;
    else if (name == "sql") {
      // A second sql element would add its verb to the same record.
      if (sawSql) return Status(kQueryInvalid);
      sawSql = true;
      const xml::NodePtr first = child->firstChild();
      if (!first) return Status(kQueryInvalid);
      if (const Status status = CreateSQLStatement(first, 0); !status.ok()) return status;
    } else {
      return Status(kUnsupportedTag);  // "request-uri" among them: there is no HTTP accessor
    }
  }
  return {};
}

Status CSQLParser::CreateSQLStatement(const xml::NodePtr& first, std::size_t index) {
  if (!first || index >= statements_.size()) return Status(kQueryInvalid);
  QueryStatement& record = statements_[index];
  bool templateChosen = false;
  std::string paramList;

  const auto needs = [&](StatementKind kind) { return record.hasVerb && record.statementKind == kind; };
  const auto setVerb = [&](StatementKind kind) {
    if (record.hasVerb) return false;  // one verb per statement
    record.hasVerb = true;
    record.statementKind = kind;
    return true;
  };

  for (xml::NodePtr node = first; node; node = node->nextSibling()) {
    if (node->nodeType() != xml::NodeType::Element) return Status(kUnsupportedTag);
    const std::string name = node->nodeName();
    const std::string value = xml::ElementText(*node);
    if (name == "select") {
      if (!setVerb(StatementKind::Select)) return Status(kQueryInvalid);
      record.selectList = value.empty() ? "*" : value;
    } else if (name == "insert") {
      if (!setVerb(StatementKind::Insert)) return Status(kQueryInvalid);
      record.sqlTemplate = sqltemplate::kInsert;
      templateChosen = true;
    } else if (name == "update") {
      if (!setVerb(StatementKind::Update)) return Status(kQueryInvalid);
      if (value.empty()) return Status(kUpdateTableMissing);
      record.tableName = value;
    } else if (name == "delete") {
      if (!setVerb(StatementKind::Delete)) return Status(kQueryInvalid);
    } else if (name == "exec") {
      if (!setVerb(StatementKind::Exec)) return Status(kQueryInvalid);
      if (value.empty()) return Status(kQueryInvalid);
      record.procedureName = value;
    } else if (name == "from") {
      if (value.empty()) return Status(kFromTableMissing);
      record.tableName = value;
    } else if (name == "into") {
      if (!needs(StatementKind::Insert)) return Status(kQueryInvalid);
      if (value.empty()) return Status(kIntoTableMissing);
      record.tableName = value;
    } else if (name == "values") {
      if (!needs(StatementKind::Insert)) return Status(kQueryInvalid);
      if (value.empty()) return Status(kValuesMissing);
      record.valueList = value;
    } else if (name == "set") {
      if (!needs(StatementKind::Update)) return Status(kQueryInvalid);
      if (value.empty()) return Status(kSetMissing);
      record.valueList = value;
    } else if (name == "where") {
      if (!value.empty()) record.whereClause = value;
      if (!templateChosen && record.hasVerb) {
        const bool withWhere = !value.empty();
        switch (record.statementKind) {
          case StatementKind::Select:
            record.sqlTemplate = withWhere ? sqltemplate::kSelectWhere : sqltemplate::kSelect;
            templateChosen = true;
            break;
          case StatementKind::Update:
            record.sqlTemplate = withWhere ? sqltemplate::kUpdateWhere : sqltemplate::kUpdate;
            templateChosen = true;
            break;
          case StatementKind::Delete:
            record.sqlTemplate = withWhere ? sqltemplate::kDeleteWhere : sqltemplate::kDelete;
            templateChosen = true;
            break;
          default: break;
        }
      }
    } else if (name == "group") {
      if (value.empty()) return Status(kGroupInvalid);
      record.groupBy = value;
    } else if (name == "order") {
      if (value.empty()) return Status(kOrderInvalid);
      record.orderBy = value;
    } else if (name == "option") {
      if (value.empty()) return Status(kOptionInvalid);
      record.optionClause = value;
    } else if (name == "parameter") {
      if (!needs(StatementKind::Exec)) return Status(kQueryInvalid);
      if (paramList.empty()) paramList = "<paramlist>";
      paramList += node->xml();
    } else if (name == "rowcount") {
      if (!needs(StatementKind::Select)) return Status(kQueryInvalid);
      const std::optional<std::int32_t> count = ReadRowCount(node->text());
      if (!count) return Status(kRowCountInvalid);
      record.rowCount = *count;
    } else {
      return Status(kUnsupportedTag);
    }
  }

  if (record.hasVerb && !templateChosen) {
    const bool withWhere = !record.whereClause.empty();
    switch (record.statementKind) {
      case StatementKind::Select: record.sqlTemplate = sqltemplate::kSelect; break;
      case StatementKind::Update:
        record.sqlTemplate = withWhere ? sqltemplate::kUpdateWhere : sqltemplate::kUpdate;
        break;
      case StatementKind::Delete:
        record.sqlTemplate = withWhere ? sqltemplate::kDeleteWhere : sqltemplate::kDelete;
        break;
      default: break;
    }
  }
  if (record.hasVerb && record.statementKind == StatementKind::Exec) {
    paramList += "</paramlist>";
    record.sqlTemplate = paramList;
  }

  // "*" names every table of every configured source: fine to read, never to
  // change.
  if (text::TrimAscii(record.tableName) == "*") {
    if (needs(StatementKind::Insert)) return Status(kIntoTableMissing);
    if (needs(StatementKind::Update)) return Status(kUpdateTableMissing);
    if (needs(StatementKind::Delete)) return Status(kFromTableMissing);
  }
  return {};
}

}  // namespace quor::accessor
