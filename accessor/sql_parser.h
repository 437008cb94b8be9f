// The query argument document read into a statement record, the SQL text
// made from that record, and the parser's small text operations.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "accessor/status.h"
#include "accessor/text_converter.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

enum class TargetKind : std::int32_t {
  Statement = 0,
  Table = 1,       // a select reads the whole table, without its condition
  Columns = 2,     // columns of the named tables; tables when the table is "*"
  Views = 3,
  Aliases = 4,
  Synonyms = 5,
  Procedures = 6,
};

enum class StatementKind : std::int32_t { Select = 0, Insert = 1, Update = 2, Delete = 3, Exec = 4 };

// The statement templates. They name the shape of a statement; the SQL text
// itself is put together in code (BuildSqlText), never by formatting these.
namespace sqltemplate {
inline constexpr std::string_view kSelect = "SELECT %s FROM %s";
inline constexpr std::string_view kSelectWhere = "SELECT %s FROM %s WHERE %s";
inline constexpr std::string_view kInsert = "INSERT INTO %s VALUES (%s)";
inline constexpr std::string_view kUpdate = "UPDATE %s SET %s";
inline constexpr std::string_view kUpdateWhere = "UPDATE %s SET %s WHERE %s";
inline constexpr std::string_view kDelete = "DELETE FROM %s";
inline constexpr std::string_view kDeleteWhere = "DELETE FROM %s WHERE %s";
}  // namespace sqltemplate

// One statement of a query document. An empty text is an absent one.
struct QueryStatement {
  std::string provider;
  std::string dsn;
  std::string catalog;
  TargetKind targetKind = TargetKind::Statement;
  StatementKind statementKind = StatementKind::Select;
  bool hasVerb = false;     // a verb element was read
  std::string sqlTemplate;  // one of sqltemplate::*, or the parameter list of an exec
  std::string selectList;
  std::string tableName;
  std::string whereClause;
  std::string valueList;
  std::string groupBy;
  std::string orderBy;
  std::string optionClause;
  std::string procedureName;
  std::int32_t rowCount = 0;  // 0: no limit
};

// One column of the target table of a change made through a rowset.
struct ColumnValue {
  std::string name;
  std::optional<std::string> value;  // none: no value given
  std::uint32_t size = 0;            // value length plus one
  bool writable = false;
};

class CSQLParser {
 public:
  // Reads the query document whose first node is `node` into statement
  // record 0. A failure keeps what was read so far.
  Status ParseQueryDOM(const xml::NodePtr& node);
  // Reads the children of a "sql" element, from `first` on, into record
  // `index`.
  Status CreateSQLStatement(const xml::NodePtr& first, std::size_t index);

  // The configured schema; none leaves the current one. A text that is not
  // valid UTF-16 is refused with the system's conversion error.
  Status SetSchemaName(std::optional<std::u16string_view> schema);
  // Rewrites record 0's table list (or, without one, its procedure name) as
  // names separated by ", ". "*" and qualified names stay as they are.
  Status ConvertTableNamewithSchema();
  bool SetInTransaction() {
    inTransaction_ = true;
    return true;
  }

  // Splits an insert's values text over the writable columns, in order.
  // kValueInvalid, with nothing assigned, when the text has more values than
  // there are writable columns or cannot be read.
  Status SetUpdateValue(std::span<ColumnValue> columns, std::optional<std::string_view> values) const;
  // Assigns the name=value pairs of an update's set text. kSetInvalid, with
  // nothing assigned, when a name matches no column or the text cannot be
  // read.
  Status SetUpdateValueforUpdate(std::span<ColumnValue> columns, std::optional<std::string_view> set) const;

  bool convertFlag() const { return convertFlag_; }
  void setConvertFlag(bool on) { convertFlag_ = on; }
  bool inTransaction() const { return inTransaction_; }
  const std::optional<std::string>& schemaName() const { return schemaName_; }
  TextConverter* textConverter() const { return textConverter_.get(); }
  void setTextConverter(std::unique_ptr<TextConverter> converter) { textConverter_ = std::move(converter); }

  std::uint32_t statementCount() const { return static_cast<std::uint32_t>(statements_.size()); }
  const QueryStatement& statement(std::size_t index) const { return statements_.at(index); }
  QueryStatement& statement(std::size_t index) { return statements_.at(index); }

 private:
  bool convertFlag_ = false;
  std::unique_ptr<TextConverter> textConverter_;
  bool inTransaction_ = false;
  std::optional<std::string> schemaName_;
  std::vector<QueryStatement> statements_;
};

// Whether `node` is a "statement" or "substatement" element.
bool IsStatementElement(const xml::NodePtr& node);

// The SQL text of a statement record for one table text (the record's table
// or one qualified name of a table list). Refuses a record whose template
// does not fit its kind or condition (0x82000022), a change without a table
// or whose table is "*" (0x8200001c insert, 0x8200001b update, 0x8200001a
// delete and select), an insert without values (0x8200001d) and an update
// without a set text (0x8200001e).
Result<std::string> BuildSqlText(const QueryStatement& statement, std::string_view tableText);

// Cuts the next name off a comma-separated list, moving `list` behind its
// comma; none when the list is empty. A name that starts with a digit or
// holds a blank, hyphen, quote or semicolon comes back as a quoted
// identifier, its double quotes doubled.
std::optional<std::string> NextQuotedName(std::string_view& list);
// `name` as a double-quoted identifier, embedded double quotes doubled.
std::string QuoteIdentifier(std::string_view name);
// The smaller of `maxCount` and the number of items of `list`; `maxCount`
// itself when it is 0 or less, or when the list is absent or "*".
std::int32_t CountListItems(std::int32_t maxCount, std::optional<std::string_view> list);
bool TextListContains(std::span<const std::string> list, std::optional<std::string_view> text);

}  // namespace quor::accessor
