#include <limits>
#include <vector>

#include "accessor/sql_parser.h"

namespace quor::accessor {
namespace {

constexpr size_t kMaxColumnName = 255;

void SkipBlanks(std::string_view text, size_t& pos) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
}

// Splits an insert's values text into its values. False for a quoted value
// followed by anything but the end, a comma, a blank or a second quote.
bool SplitInsertValues(std::string_view text, std::vector<std::string>& values) {
  size_t pos = 0;
  const size_t n = text.size();
  while (pos < n) {
    if (text[pos] == '\'' && text.find('\'', pos + 1) != std::string_view::npos) {
      std::string value;
      size_t from = pos + 1;
      size_t quote = text.find('\'', from);
      while (true) {
        value.append(text.substr(from, quote - from));
        if (quote + 1 < n && text[quote + 1] == '\'') {
          const size_t next = text.find('\'', quote + 2);
          if (next == std::string_view::npos) {
            // A doubled quote with nothing closing it: what came before is a
            // value, and a new one starts behind the pair.
            values.push_back(std::move(value));
            pos = quote + 2;
            break;
          }
          value += '\'';
          from = quote + 2;
          quote = next;
          continue;
        }
        values.push_back(std::move(value));
        pos = quote + 1;
        if (pos < n) {
          if (text[pos] != ',' && text[pos] != ' ') return false;
          ++pos;
          SkipBlanks(text, pos);
        }
        break;
      }
      continue;
    }
    // A bare value; an opening quote without a closing one is dropped.
    if (text[pos] == '\'') ++pos;
    const size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) {
      values.emplace_back(text.substr(pos));
      break;
    }
    values.emplace_back(text.substr(pos, comma - pos));
    pos = comma + 1;
    SkipBlanks(text, pos);
    if (pos >= n) values.emplace_back();  // a trailing comma gives one more, empty value
  }
  return true;
}

bool Assign(ColumnValue& column, std::string value) {
  if (value.size() >= std::numeric_limits<std::uint32_t>::max()) return false;
  column.size = static_cast<std::uint32_t>(value.size() + 1);
  column.value = std::move(value);
  return true;
}

}  // namespace

Status CSQLParser::SetUpdateValue(std::span<ColumnValue> columns, std::optional<std::string_view> values) const {
  if (!values) return {};
  std::vector<std::string> parts;
  if (!SplitInsertValues(*values, parts)) return Status(kValueInvalid);
  // Work on a copy so that a text that does not fit changes nothing.
  std::vector<ColumnValue> result(columns.begin(), columns.end());
  size_t cursor = 0;
  for (std::string& part : parts) {
    while (cursor < result.size() && !result[cursor].writable) ++cursor;
    if (cursor >= result.size()) return Status(kValueInvalid);
    if (!Assign(result[cursor], std::move(part))) return Status(kValueInvalid);
    ++cursor;
  }
  std::move(result.begin(), result.end(), columns.begin());
  return {};
}

Status CSQLParser::SetUpdateValueforUpdate(std::span<ColumnValue> columns, std::optional<std::string_view> set) const {
  if (!set) return {};
  const std::string_view text = *set;
  std::vector<ColumnValue> result(columns.begin(), columns.end());
  size_t pos = 0;
  const size_t n = text.size();
  while (pos < n) {
    const size_t eq = text.find('=', pos);
    if (eq == std::string_view::npos) return Status(kSetInvalid);
    const std::string_view name = text.substr(pos, eq - pos);
    if (name.empty() || name.size() > kMaxColumnName) return Status(kSetInvalid);
    ColumnValue* column = nullptr;
    for (ColumnValue& entry : result) {
      if (entry.name == name) {
        column = &entry;
        break;
      }
    }
    if (!column) return Status(kSetInvalid);

    std::string value;
    size_t at = eq + 1;
    if (at < n && text[at] == '\'') {
      size_t from = at + 1;
      bool doubled = false;
      while (true) {
        const size_t quote = text.find('\'', from);
        if (quote == std::string_view::npos) {
          if (doubled) return Status(kSetInvalid);  // an escaped quote but no closing one
          value.append(text.substr(from));
          pos = n;
          break;
        }
        value.append(text.substr(from, quote - from));
        if (quote + 1 < n && text[quote + 1] == '\'') {
          value += '\'';
          doubled = true;
          from = quote + 2;
          continue;
        }
        pos = quote + 1;
        while (pos < n && (text[pos] == ' ' || text[pos] == ',')) ++pos;
        break;
      }
    } else {
      const size_t comma = text.find(',', at);
      if (comma == std::string_view::npos) {
        value.assign(text.substr(at));
        pos = n;
      } else {
        value.assign(text.substr(at, comma - at));
        pos = comma + 1;
        SkipBlanks(text, pos);
      }
    }
    if (!Assign(*column, std::move(value))) return Status(kSetInvalid);
  }
  std::move(result.begin(), result.end(), columns.begin());
  return {};
}

}  // namespace quor::accessor
