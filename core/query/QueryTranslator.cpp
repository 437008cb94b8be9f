#include "core/query/QueryTranslator.h"

#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

using xml::DocumentPtr;
using xml::NodePtr;
using xml::NodeType;

// Element names of both documents.
constexpr std::string_view kQuery = "query";
constexpr std::string_view kSqlQuery = "sqlquery";
constexpr std::string_view kTransaction = "transaction";
constexpr std::string_view kStatement = "statement";
constexpr std::string_view kSubstatement = "substatement";
constexpr std::string_view kSql = "sql";
constexpr std::string_view kTarget = "target";
constexpr std::string_view kProvider = "provider";
constexpr std::string_view kDsn = "dsn";
constexpr std::string_view kCatalog = "catalog";
constexpr std::string_view kTable = "table";
constexpr std::string_view kRequestUri = "request-uri";
constexpr std::string_view kSchema = "schema";
constexpr std::string_view kProcedure = "procedure";
constexpr std::string_view kParameter = "parameter";
constexpr std::string_view kCondition = "condition";
constexpr std::string_view kValue = "value";
constexpr std::string_view kValues = "values";
constexpr std::string_view kSet = "set";
constexpr std::string_view kContent = "content";
constexpr std::string_view kField = "field";
constexpr std::string_view kGroup = "group";
constexpr std::string_view kOrder = "order";
constexpr std::string_view kOption = "option";
constexpr std::string_view kRowCount = "rowcount";
constexpr std::string_view kTransform = "transform";
constexpr std::string_view kStore = "store";
constexpr std::string_view kNoUnify = "nounify";
constexpr std::string_view kSelect = "select";
constexpr std::string_view kFrom = "from";
constexpr std::string_view kWhere = "where";
constexpr std::string_view kInsert = "insert";
constexpr std::string_view kInto = "into";
constexpr std::string_view kUpdate = "update";
constexpr std::string_view kDelete = "delete";
constexpr std::string_view kExec = "exec";
constexpr std::string_view kGet = "get";
constexpr std::string_view kPut = "put";
constexpr std::string_view kReplace = "replace";

bool IsElement(const NodePtr& node) { return node && node->nodeType() == NodeType::Element; }
bool IsText(const NodePtr& node) {
  return node && (node->nodeType() == NodeType::Text || node->nodeType() == NodeType::CData);
}
bool IsBlank(std::string_view text) { return text::TrimAscii(text).empty(); }

Result<NodePtr> NewElement(const DocumentPtr& doc, std::string_view name, std::string_view value = {}) {
  NodePtr element = doc->createElement(name);
  if (!element) return Status(E_FAIL);
  if (!value.empty() && !element->setText(value)) return Status(E_FAIL);
  return element;
}

Status Append(const NodePtr& parent, const NodePtr& child) {
  if (!parent->appendChild(child)) return Status(E_FAIL);
  return Status();
}

// Appends a new element `name` holding `value` to `parent`.
Status AppendNew(const NodePtr& parent, const DocumentPtr& doc, std::string_view name, std::string_view value = {}) {
  QUOR_ASSIGN_OR_RETURN(const NodePtr element, NewElement(doc, name, value));
  return Append(parent, element);
}

std::string Join(const std::vector<std::string>& items, std::string_view separator) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += separator;
    joined += item;
  }
  return joined;
}

// One condition goes in as written. Several are each bracketed, so that an OR
// inside one of them cannot bind across the AND that joins them.
std::string JoinConditions(const std::vector<std::string>& conditions) {
  if (conditions.size() == 1) return conditions.front();
  std::string joined;
  for (const std::string& condition : conditions) {
    if (!joined.empty()) joined += " AND ";
    joined += '(';
    joined += condition;
    joined += ')';
  }
  return joined;
}

// The text of an element all of whose children are text; none when another
// kind of node is among them.
std::optional<std::string> TextOnly(const NodePtr& element) {
  std::string text;
  for (NodePtr child = element->firstChild(); child; child = child->nextSibling()) {
    if (!IsText(child)) return std::nullopt;
    text += child->nodeValue().value_or(std::string());
  }
  return text;
}

// The value of an element's first child when that child is text.
std::optional<std::string> FirstText(const NodePtr& element) {
  const NodePtr first = element->firstChild();
  if (!IsText(first)) return std::nullopt;
  return first->nodeValue();
}

// The data source a write or exec statement goes to.
struct SourceKeys {
  std::optional<std::string> provider;
  std::optional<std::string> dsn;
  std::optional<std::string> catalog;
  bool operator==(const SourceKeys&) const = default;
};

Status AppendKeys(const DocumentPtr& doc, const NodePtr& statement, const SourceKeys& keys) {
  if (keys.provider) QUOR_RETURN_IF_ERROR(AppendNew(statement, doc, kProvider, *keys.provider));
  if (keys.dsn) QUOR_RETURN_IF_ERROR(AppendNew(statement, doc, kDsn, *keys.dsn));
  if (keys.catalog) QUOR_RETURN_IF_ERROR(AppendNew(statement, doc, kCatalog, *keys.catalog));
  return Status();
}

// A failed allocation and the like become `onException`; the status of a
// refused DOM change goes on to the caller.
template <class Body>
Status Guarded(HRESULT onException, Body&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    return Status(onException, e.what());
  }
}

enum class WriteVerb { Delete, Insert, Update };

Status BuildWrite(const DocumentPtr& doc, const NodePtr& request, const NodePtr& transaction, WriteVerb verb) {
  SourceKeys keys;
  bool haveTarget = false;
  std::vector<std::string> tables;
  std::vector<std::string> conditions;
  std::vector<std::string> items;  // values of an insert, set clauses of an update

  for (NodePtr child = request->firstChild(); child; child = child->nextSibling()) {
    if (!IsElement(child)) return Status(QS_E_QUERY_TAG_UNSUPPORTED);
    const std::string name = child->nodeName();
    if (name == kTarget) {
      SourceKeys these;
      for (NodePtr item = child->firstChild(); item; item = item->nextSibling()) {
        if (!IsElement(item)) return Status(QS_E_TARGET_TAG_UNSUPPORTED);
        const std::string itemName = item->nodeName();
        std::optional<std::string>* key = itemName == kProvider ? &these.provider
                                          : itemName == kDsn    ? &these.dsn
                                          : itemName == kCatalog ? &these.catalog
                                                                 : nullptr;
        if (key) {
          // An element without text names nothing and is passed over.
          if (auto text = FirstText(item)) *key = std::move(*text);
        } else if (itemName == kTable) {
          if (auto text = FirstText(item)) tables.push_back(std::move(*text));
        } else {
          return Status(QS_E_TARGET_TAG_UNSUPPORTED);
        }
      }
      // One statement runs on one data source: a second target must name the
      // same one, never lend its keys to or borrow them from the first.
      if (haveTarget && these != keys) return Status(QS_E_QUERY_TARGET_INVALID);
      keys = std::move(these);
      haveTarget = true;
    } else if (name == kCondition && verb != WriteVerb::Insert) {
      const auto text = TextOnly(child);
      if (!text) return Status(QS_E_CONDITION_TAG_INVALID);
      if (!IsBlank(*text)) conditions.push_back(*text);
    } else if ((name == kValue && verb == WriteVerb::Insert) || (name == kSet && verb == WriteVerb::Update)) {
      const auto text = TextOnly(child);
      if (!text) return Status(QS_E_TARGET_TAG_UNSUPPORTED);
      if (!IsBlank(*text)) items.push_back(*text);
    } else {
      return Status(QS_E_QUERY_TAG_UNSUPPORTED);
    }
  }

  const std::string tableList = tables.empty() ? std::string("*") : Join(tables, ", ");
  QUOR_ASSIGN_OR_RETURN(const NodePtr statement, NewElement(doc, kStatement));
  QUOR_ASSIGN_OR_RETURN(const NodePtr sql, NewElement(doc, kSql));
  switch (verb) {
    case WriteVerb::Delete:
      QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kDelete));
      QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kFrom, tableList));
      break;
    case WriteVerb::Insert:
      QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kInsert));
      QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kInto, tableList));
      QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kValues, Join(items, ", ")));
      break;
    case WriteVerb::Update:
      QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kUpdate, tableList));
      QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kSet, Join(items, ", ")));
      break;
  }
  if (!conditions.empty()) QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kWhere, JoinConditions(conditions)));
  QUOR_RETURN_IF_ERROR(AppendKeys(doc, statement, keys));
  QUOR_RETURN_IF_ERROR(Append(statement, sql));
  QUOR_RETURN_IF_ERROR(Append(transaction, statement));
  return Status();
}

Status BuildExecStatement(const DocumentPtr& doc, const NodePtr& request, const NodePtr& transaction) {
  QUOR_ASSIGN_OR_RETURN(const NodePtr statement, NewElement(doc, kStatement));
  QUOR_ASSIGN_OR_RETURN(const NodePtr sql, NewElement(doc, kSql));
  SourceKeys keys;
  bool haveTarget = false;
  NodePtr exec;

  for (NodePtr child = request->firstChild(); child; child = child->nextSibling()) {
    if (!IsElement(child)) return Status(QS_E_QUERY_TAG_UNSUPPORTED);
    const std::string name = child->nodeName();
    if (name == kTarget) {
      SourceKeys these;
      std::optional<std::string> procedure;
      for (NodePtr item = child->firstChild(); item; item = item->nextSibling()) {
        if (!IsElement(item)) return Status(QS_E_QUERY_TARGET_INVALID);
        std::string text = item->text();
        if (text.empty()) return Status(QS_E_QUERY_TARGET_INVALID);
        const std::string itemName = item->nodeName();
        if (itemName == kProvider) these.provider = std::move(text);
        else if (itemName == kDsn) these.dsn = std::move(text);
        else if (itemName == kCatalog) these.catalog = std::move(text);
        else if (itemName == kProcedure) procedure = std::move(text);
        else return Status(QS_E_QUERY_TARGET_INVALID);
      }
      // Each target names its own procedure; the keys must agree as in the
      // write statements.
      if (!procedure) return Status(QS_E_QUERY_TARGET_INVALID);
      if (haveTarget && these != keys) return Status(QS_E_QUERY_TARGET_INVALID);
      keys = std::move(these);
      haveTarget = true;
      // A later target's procedure replaces the earlier one and follows the
      // parameters given so far.
      if (exec) sql->removeChild(exec);
      QUOR_ASSIGN_OR_RETURN(exec, NewElement(doc, kExec, *procedure));
      QUOR_RETURN_IF_ERROR(Append(sql, exec));
    } else if (name == kParameter) {
      QUOR_ASSIGN_OR_RETURN(const NodePtr parameter, CopyXmlTree(child));
      QUOR_RETURN_IF_ERROR(Append(sql, parameter));
    } else {
      return Status(QS_E_QUERY_TAG_UNSUPPORTED);
    }
  }
  // Parameters alone call nothing.
  if (!haveTarget) return Status(QS_E_QUERY_TARGET_INVALID);

  QUOR_RETURN_IF_ERROR(AppendKeys(doc, statement, keys));
  QUOR_RETURN_IF_ERROR(Append(statement, sql));
  QUOR_RETURN_IF_ERROR(Append(transaction, statement));
  return Status();
}

// ---- get -------------------------------------------------------------------

// What a "content" element asks for.
struct Selection {
  std::string select;  // text of "select"; empty writes an empty element
  std::string kind;    // name of the listing element, empty for none
};

// The select list "*" is assigned as one character: GCC 12 at -O3 warns
// falsely (-Wrestrict) about copying the literal over a fresh string.
Status ReadContent(const NodePtr& content, Selection& selection) {
  selection = Selection{};
  const NodePtr first = content->firstChild();
  if (!first) {
    selection.select.assign(1, '*');
    return Status();
  }
  if (!IsText(first)) return Status();
  const std::string value = first->nodeValue().value_or(std::string());
  // Blanks around the word come from indented requests.
  const std::string_view word = text::TrimAscii(value);
  if (word == "table") {
    selection.select.assign(1, '*');
  } else if (word == "record") {
    // The fields follow the word; without any, every column.
    NodePtr field = first->nextSibling();
    if (!field) {
      selection.select.assign(1, '*');
      return Status();
    }
    std::vector<std::string> fields;
    for (; IsElement(field) && field->nodeName() == kField; field = field->nextSibling()) {
      std::string name = field->text();
      if (!IsBlank(name)) fields.push_back(std::move(name));
    }
    selection.select = Join(fields, ",");
  } else if (word == "column" || word == "view" || word == "alias" || word == "synonym" || word == "procedure" ||
             word == "transform") {
    selection.select.assign(1, '*');
    selection.kind = std::string(word);
  } else {
    return Status(QS_E_TARGET_TAG_UNSUPPORTED);
  }
  return Status();
}

// The clauses that belong to one target.
struct Clauses {
  std::vector<std::string> conditions;
  std::vector<std::string> groups;
  std::vector<std::string> orders;
  std::vector<std::string> options;
  std::string rowcount;
};

// One target of a get, read and waiting to be written as a substatement.
struct GetTarget {
  Selection selection;
  std::vector<std::pair<std::string, std::string>> keys;  // provider, dsn, catalog, request-uri as given
  std::string schema;
  std::optional<std::string> from;
  Clauses clauses;
};

Status ReadGetTarget(const NodePtr& target, GetTarget& built) {
  // Everything here is this target's own: nothing is inherited from the
  // target before it.
  int counted = 0;
  bool catalogSeen = false;
  for (NodePtr item = target->firstChild(); item; item = item->nextSibling()) {
    if (!IsElement(item)) return Status(QS_E_TARGET_TAG_UNSUPPORTED);
    const std::string name = item->nodeName();
    std::string text = item->text();
    if (name == kDsn || name == kProvider || name == kCatalog) {
      if (!text.empty()) {
        if (name == kCatalog) catalogSeen = true;
        built.keys.emplace_back(name, std::move(text));
      }
      ++counted;
    } else if (name == kTable) {
      // With a catalog named first, the table is taken as the catalog
      // qualifies it and no schema is split off.
      built.schema = catalogSeen ? std::string() : CQueryTranslator::TableSchemaPrefix(text);
      built.from = text.empty() ? std::string("*") : std::move(text);
      ++counted;
    } else if (name == kRequestUri) {
      if (!text.empty()) built.keys.emplace_back(name, std::move(text));
      counted = 4;
    } else {
      return Status(QS_E_TARGET_TAG_UNSUPPORTED);
    }
  }
  // A data source needs its four keys, or a request URI given last.
  if (counted != 4) return Status(QS_E_QUERY_TARGET_INVALID);
  return Status();
}

Status WriteSubstatement(const DocumentPtr& doc, const NodePtr& statement, const GetTarget& target, bool noUnify) {
  QUOR_ASSIGN_OR_RETURN(const NodePtr sub, NewElement(doc, kSubstatement));
  if (!target.selection.kind.empty()) QUOR_RETURN_IF_ERROR(AppendNew(sub, doc, target.selection.kind));
  for (const auto& [name, text] : target.keys) QUOR_RETURN_IF_ERROR(AppendNew(sub, doc, name, text));
  if (!target.schema.empty()) QUOR_RETURN_IF_ERROR(AppendNew(sub, doc, kSchema, target.schema));

  QUOR_ASSIGN_OR_RETURN(const NodePtr sql, NewElement(doc, kSql));
  QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kSelect, target.selection.select));
  if (target.from) QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kFrom, *target.from));
  const Clauses& clauses = target.clauses;
  if (!clauses.conditions.empty()) QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kWhere, JoinConditions(clauses.conditions)));
  if (!clauses.groups.empty()) QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kGroup, Join(clauses.groups, " ")));
  if (!clauses.orders.empty()) QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kOrder, Join(clauses.orders, " , ")));
  if (!clauses.options.empty()) QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kOption, Join(clauses.options, " ")));
  if (!clauses.rowcount.empty()) QUOR_RETURN_IF_ERROR(AppendNew(sql, doc, kRowCount, clauses.rowcount));
  QUOR_RETURN_IF_ERROR(Append(sub, sql));
  if (noUnify) QUOR_RETURN_IF_ERROR(AppendNew(sub, doc, kNoUnify));
  QUOR_RETURN_IF_ERROR(Append(statement, sub));
  return Status();
}

Status BuildGetStatement(const DocumentPtr& doc, const NodePtr& request, const NodePtr& transaction) {
  QUOR_ASSIGN_OR_RETURN(const NodePtr statement, NewElement(doc, kStatement));
  QUOR_RETURN_IF_ERROR(Append(transaction, statement));

  std::optional<Selection> selection;  // none until a "content"
  std::vector<GetTarget> targets;
  std::optional<GetTarget> open;
  Clauses pending;  // clauses met since the open target began (before the first: for the first)
  std::vector<std::string> transforms;
  std::vector<std::string> stores;
  bool noUnify = false;

  const auto close = [&] {
    if (!open) return;
    open->clauses = std::exchange(pending, Clauses{});
    targets.push_back(std::move(*open));
    open.reset();
  };

  for (NodePtr child = request->firstChild(); child; child = child->nextSibling()) {
    if (!IsElement(child)) return Status(QS_E_QUERY_TAG_UNSUPPORTED);
    const std::string name = child->nodeName();
    if (name == kContent) {
      Selection read;
      QUOR_RETURN_IF_ERROR(ReadContent(child, read));
      selection = std::move(read);
    } else if (name == kTarget) {
      close();
      if (!selection) return Status(QS_E_CONTENT_TAG_MISSING);
      GetTarget built;
      built.selection = *selection;
      QUOR_RETURN_IF_ERROR(ReadGetTarget(child, built));
      open = std::move(built);
    } else if (name == kNoUnify) {
      noUnify = true;
    } else {
      // The rest carry a text that must not be empty.
      struct Clause {
        std::string_view name;
        HRESULT whenEmpty;
      };
      static constexpr Clause kClauses[] = {
          {kCondition, QS_E_CONDITION_TAG_INVALID}, {kGroup, QS_E_GROUP_TAG_INVALID},
          {kOrder, QS_E_ORDER_TAG_INVALID},         {kOption, QS_E_OPTION_TAG_INVALID},
          {kRowCount, QS_E_ROWCOUNT_TAG_INVALID},   {kTransform, QS_E_TRANSFORM_TAG_INVALID},
          {kStore, QS_E_STORE_TAG_INVALID},
      };
      const Clause* clause = nullptr;
      for (const Clause& known : kClauses)
        if (known.name == name) clause = &known;
      if (!clause) return Status(QS_E_QUERY_TAG_UNSUPPORTED);
      // Blanks alone (kept in a CDATA section) say nothing either.
      std::string text = child->text();
      if (IsBlank(text)) return Status(clause->whenEmpty);
      if (name == kCondition) pending.conditions.push_back(std::move(text));
      else if (name == kGroup) pending.groups.push_back(std::move(text));
      else if (name == kOrder) pending.orders.push_back(std::move(text));
      else if (name == kOption) pending.options.push_back(std::move(text));
      else if (name == kRowCount) pending.rowcount = std::move(text);
      else if (name == kTransform) transforms.push_back(std::move(text));
      else stores.push_back(std::move(text));
    }
  }
  close();

  for (const GetTarget& target : targets) QUOR_RETURN_IF_ERROR(WriteSubstatement(doc, statement, target, noUnify));
  // Several transform elements make one text, joined by a blank as the store
  // texts are; only a comma inside a text starts another transformer.
  if (!transforms.empty()) QUOR_RETURN_IF_ERROR(AppendNew(statement, doc, kTransform, Join(transforms, " ")));
  if (!stores.empty()) QUOR_RETURN_IF_ERROR(AppendNew(statement, doc, kStore, Join(stores, " ")));
  return Status();
}

// The arguments every builder needs; a missing request element is a bad
// query, a missing document or transaction a caller's mistake.
Status CheckBuilderArguments(const DocumentPtr& output, const NodePtr& request, const NodePtr& transaction) {
  if (!output || !transaction) return Status(E_POINTER);
  if (!request) return Status(QS_E_QUERY_ARG_INVALID);
  return Status();
}

}  // namespace

Status CQueryTranslator::Translate(const DocumentPtr& request, const DocumentPtr& output) {
  if (!output) return Status(E_POINTER);
  if (!request || !request->hasChildNodes()) return Status(QS_E_QUERY_ARG_INVALID);
  return Guarded(QS_E_QUERY_CONVERSION_EXCEPTION, [&]() -> Status {
    NodePtr query;
    for (NodePtr node = request->firstChild(); node && !query; node = node->nextSibling())
      if (IsElement(node) && node->nodeName() == kQuery) query = node;
    if (!query) return Status(QS_E_QUERY_FORMAT_INVALID);

    QUOR_ASSIGN_OR_RETURN(const NodePtr sqlquery, NewElement(output, kSqlQuery));
    QUOR_ASSIGN_OR_RETURN(const NodePtr transaction, NewElement(output, kTransaction));
    bool write = false;
    for (NodePtr child = query->firstChild(); child; child = child->nextSibling()) {
      if (!IsElement(child)) return Status(QS_E_QUERY_TAG_UNSUPPORTED);
      const std::string name = child->nodeName();
      Status status;
      if (name == kGet) {
        status = BuildGet(output, child, transaction);
      } else if (name == kExec) {
        status = BuildExec(output, child, transaction);
      } else if (name == kPut || name == kInsert) {
        status = BuildPut(output, child, transaction);
        write = true;
      } else if (name == kUpdate || name == kReplace) {
        status = BuildUpdate(output, child, transaction);
        write = true;
      } else if (name == kDelete) {
        status = BuildDelete(output, child, transaction);
        write = true;
      } else {
        return Status(QS_E_QUERY_TAG_UNSUPPORTED);
      }
      QUOR_RETURN_IF_ERROR(status);
    }

    // A request that changes anything runs as one transaction, its reads and
    // calls included.
    if (write) {
      QUOR_RETURN_IF_ERROR(Append(sqlquery, transaction));
    } else {
      while (const NodePtr statement = transaction->firstChild()) QUOR_RETURN_IF_ERROR(Append(sqlquery, statement));
    }
    QUOR_RETURN_IF_ERROR(Append(output, sqlquery));
    return Status();
  });
}

Status CQueryTranslator::BuildDelete(const DocumentPtr& output, const NodePtr& request, const NodePtr& transaction) {
  QUOR_RETURN_IF_ERROR(CheckBuilderArguments(output, request, transaction));
  return Guarded(QS_E_SQL_BUILD_EXCEPTION,
                 [&] { return BuildWrite(output, request, transaction, WriteVerb::Delete); });
}

Status CQueryTranslator::BuildUpdate(const DocumentPtr& output, const NodePtr& request, const NodePtr& transaction) {
  QUOR_RETURN_IF_ERROR(CheckBuilderArguments(output, request, transaction));
  return Guarded(QS_E_SQL_BUILD_EXCEPTION,
                 [&] { return BuildWrite(output, request, transaction, WriteVerb::Update); });
}

Status CQueryTranslator::BuildPut(const DocumentPtr& output, const NodePtr& request, const NodePtr& transaction) {
  QUOR_RETURN_IF_ERROR(CheckBuilderArguments(output, request, transaction));
  return Guarded(QS_E_SQL_BUILD_EXCEPTION,
                 [&] { return BuildWrite(output, request, transaction, WriteVerb::Insert); });
}

Status CQueryTranslator::BuildExec(const DocumentPtr& output, const NodePtr& request, const NodePtr& transaction) {
  QUOR_RETURN_IF_ERROR(CheckBuilderArguments(output, request, transaction));
  return Guarded(QS_E_QUERY_CONVERSION_EXCEPTION, [&] { return BuildExecStatement(output, request, transaction); });
}

Status CQueryTranslator::BuildGet(const DocumentPtr& output, const NodePtr& request, const NodePtr& transaction) {
  QUOR_RETURN_IF_ERROR(CheckBuilderArguments(output, request, transaction));
  return Guarded(QS_E_SQL_BUILD_EXCEPTION, [&] { return BuildGetStatement(output, request, transaction); });
}

std::string CQueryTranslator::TableSchemaPrefix(std::string_view table) {
  // Double quotes are dropped; a "." or "," inside them belongs to the name.
  std::string collected;
  bool quoted = false;
  for (const char c : table) {
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '.') {
      return collected;
    } else if (!quoted && c == ',') {
      return {};
    } else {
      collected += c;
    }
  }
  return {};
}

}  // namespace quor::core
