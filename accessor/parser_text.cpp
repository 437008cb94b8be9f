#include "accessor/sql_parser.h"

#include "platform/text/text.h"

namespace quor::accessor {

Status CSQLParser::SetSchemaName(std::optional<std::u16string_view> schema) {
  if (!schema) return {};
  std::string narrow;
  if (!text::Utf16ToUtf8(*schema, narrow)) return Status(kErrorNoUnicodeTranslation);
  schemaName_ = std::move(narrow);
  return {};
}

Status CSQLParser::ConvertTableNamewithSchema() {
  if (statements_.empty()) return {};
  QueryStatement& record = statements_[0];
  std::string& field = record.tableName.empty() ? record.procedureName : record.tableName;
  const std::string_view in = field;
  if (in.empty() || in == "*" || in.find('.') != std::string_view::npos) return {};

  const auto isSeparator = [](char c) { return c == ' ' || c == ','; };
  std::string out;
  size_t pos = 0;
  while (pos < in.size() && in[pos] == ' ') ++pos;
  const auto copyToken = [&] {
    const size_t start = pos;
    while (pos < in.size() && !isSeparator(in[pos])) ++pos;
    out.append(in.substr(start, pos - start));
  };
  copyToken();
  while (pos < in.size()) {
    while (pos < in.size() && isSeparator(in[pos])) ++pos;
    if (pos >= in.size()) break;
    out.append(", ");
    copyToken();
  }
  field = std::move(out);
  return {};
}

std::string QuoteIdentifier(std::string_view name) {
  std::string out = "\"";
  for (const char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::optional<std::string> NextQuotedName(std::string_view& list) {
  if (list.empty()) return std::nullopt;
  size_t pos = 0;
  while (pos < list.size() && list[pos] == ' ') ++pos;
  const size_t start = pos;
  bool quote = pos < list.size() && list[pos] >= '0' && list[pos] <= '9';
  while (pos < list.size() && list[pos] != ',') {
    const char c = list[pos];
    // Characters that would end or break a bare identifier in SQL text.
    if (c == ' ' || c == '-' || c == '"' || c == '\'' || c == ';') quote = true;
    ++pos;
  }
  const std::string_view name = list.substr(start, pos - start);
  list.remove_prefix(pos < list.size() ? pos + 1 : pos);
  return quote ? QuoteIdentifier(name) : std::string(name);
}

std::int32_t CountListItems(std::int32_t maxCount, std::optional<std::string_view> list) {
  if (maxCount <= 0 || !list || *list == "*") return maxCount;
  std::int64_t items = 1;
  for (const char c : *list)
    if (c == ',') ++items;
  return items < maxCount ? static_cast<std::int32_t>(items) : maxCount;
}

bool TextListContains(std::span<const std::string> list, std::optional<std::string_view> text) {
  if (!text) return false;
  for (const std::string& entry : list)
    if (entry == *text) return true;
  return false;
}

}  // namespace quor::accessor
