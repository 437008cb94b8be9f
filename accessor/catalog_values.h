// The columns of a catalog listing's row as the listings and the procedure
// call read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/oledb/oledb.h"

namespace quor::accessor {

// A column as raw text, an integer in decimal digits. A NULL column, and one
// the driver does not list, has no value, so that the reader's own default
// stands: no attribute in a listing, no schema to compare.
std::optional<std::string> CatalogText(const oledb::Rowset& rows, std::string_view column);

// A column that holds an integer; none for NULL, a missing column or any
// other kind. Digits held as text are not taken: the rowset translates the
// catalog's ODBC codes into OLE DB's on integers alone, so they would be
// untranslated codes.
std::optional<std::int64_t> CatalogNumber(const oledb::Rowset& rows, std::string_view column);

}  // namespace quor::accessor
