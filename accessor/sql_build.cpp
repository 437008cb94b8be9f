#include "accessor/sql_parser.h"

#include "platform/text/text.h"

namespace quor::accessor {
namespace {

// The failure of a statement of `kind` that names no usable table.
Status MissingTable(StatementKind kind) {
  switch (kind) {
    case StatementKind::Insert: return Status(kIntoTableMissing);
    case StatementKind::Update: return Status(kUpdateTableMissing);
    default: return Status(kFromTableMissing);
  }
}

// Whether the record's template is the one its kind and condition call for.
// A template chosen under another verb, or one that would leave out a
// condition the document gave (or expect one it did not), does not fit.
bool TemplateFits(const QueryStatement& st) {
  const bool withWhere = !st.whereClause.empty();
  switch (st.statementKind) {
    case StatementKind::Select:
      return st.sqlTemplate == (withWhere ? sqltemplate::kSelectWhere : sqltemplate::kSelect);
    case StatementKind::Insert: return st.sqlTemplate == sqltemplate::kInsert && !withWhere;
    case StatementKind::Update:
      return st.sqlTemplate == (withWhere ? sqltemplate::kUpdateWhere : sqltemplate::kUpdate);
    case StatementKind::Delete:
      return st.sqlTemplate == (withWhere ? sqltemplate::kDeleteWhere : sqltemplate::kDelete);
    default: return false;
  }
}

}  // namespace

Result<std::string> BuildSqlText(const QueryStatement& st, std::string_view tableText) {
  if (!st.hasVerb || st.statementKind == StatementKind::Exec || !TemplateFits(st)) return Status(kInvalidSql);
  const std::string_view table = text::TrimAscii(tableText);
  if (table.empty()) return MissingTable(st.statementKind);
  if (st.statementKind != StatementKind::Select && table == "*") return MissingTable(st.statementKind);

  std::string out;
  switch (st.statementKind) {
    case StatementKind::Select:
      out.append("SELECT ").append(st.selectList.empty() ? std::string_view("*") : st.selectList);
      out.append(" FROM ").append(tableText);
      if (!st.whereClause.empty()) out.append(" WHERE ").append(st.whereClause);
      if (!st.groupBy.empty()) out.append(" GROUP BY ").append(st.groupBy);
      if (!st.orderBy.empty()) out.append(" ORDER BY ").append(st.orderBy);
      break;
    case StatementKind::Insert:
      if (st.valueList.empty()) return Status(kValuesMissing);
      out.append("INSERT INTO ").append(tableText).append(" VALUES (").append(st.valueList).append(")");
      break;
    case StatementKind::Update:
      if (st.valueList.empty()) return Status(kSetMissing);
      out.append("UPDATE ").append(tableText).append(" SET ").append(st.valueList);
      if (!st.whereClause.empty()) out.append(" WHERE ").append(st.whereClause);
      break;
    case StatementKind::Delete:
      out.append("DELETE FROM ").append(tableText);
      if (!st.whereClause.empty()) out.append(" WHERE ").append(st.whereClause);
      break;
    default: return Status(kInvalidSql);
  }
  if (!st.optionClause.empty()) out.append(" ").append(st.optionClause);
  return out;
}

}  // namespace quor::accessor
