#include "accessor/catalog_values.h"

namespace quor::accessor {

std::optional<std::string> CatalogText(const oledb::Rowset& rows, std::string_view column) {
  odbc::Value value;
  if (rows.Get(column, value) != S_OK || value.IsNull()) return std::nullopt;
  if (value.kind == odbc::Value::Kind::Integer) return std::to_string(value.integer);
  return value.text;
}

std::optional<std::int64_t> CatalogNumber(const oledb::Rowset& rows, std::string_view column) {
  odbc::Value value;
  if (rows.Get(column, value) != S_OK || value.kind != odbc::Value::Kind::Integer) return std::nullopt;
  return value.integer;
}

}  // namespace quor::accessor
