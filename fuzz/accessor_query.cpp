// The data accessor's readers: the query document and the configuration
// document of a Query call, NUL-separated (query, configuration, then a values
// or set text). Both are loaded as the accessor loads them; the configuration
// (one "OLEDBSetting" or a "config" list of them) and the statement are read,
// the schema is applied to the table list, the SQL text is built for every
// table named, and the third part is split over three columns as an insert's
// values and as an update's set text.
#include "accessor/config_obj.h"
#include "accessor/sql_parser.h"
#include "fuzz/fuzz_util.h"
#include "platform/text/text.h"

using namespace quor;
using namespace quor::accessor;

namespace {

xml::NodePtr Load(std::string_view utf8, xml::DocumentPtr& doc) {
  doc = xml::Document::Create();
  if (!doc->loadXML(std::u16string_view(text::Widen(utf8)))) return nullptr;
  return doc->firstChild();
}

void Run(std::string_view input) {
  const std::vector<std::string_view> parts = fuzz::Parts(input, 3);
  xml::DocumentPtr queryDoc, configDoc;
  const xml::NodePtr queryRoot = Load(parts[0], queryDoc);
  const xml::NodePtr configRoot = Load(parts[1], configDoc);

  CConfigObj config;
  if (configRoot && configRoot->nodeType() == xml::NodeType::Element && configRoot->nodeName() == "config") {
    for (xml::NodePtr child = configRoot->firstChild(); child; child = child->nextSibling()) {
      CConfigObj entry;
      if (!entry.ParseConfigDOM(child).ok()) break;
      (void)entry.Matches("SQLOLEDB", "server", "catalog");
    }
  } else if (configRoot) {
    config.ParseConfigDOM(configRoot).Ignore();
  }

  CSQLParser parser;
  if (!queryRoot || !parser.ParseQueryDOM(queryRoot).ok()) return;
  if (config.Schema()) {
    if (!parser.SetSchemaName(text::Widen(*config.Schema())).ok() || !parser.ConvertTableNamewithSchema().ok())
      return;
  }
  const QueryStatement& st = parser.statement(0);
  (void)BuildSqlText(st, st.tableName);
  std::string_view list = st.tableName;
  for (int i = 0; i < 64; ++i) {
    const std::optional<std::string> name = NextQuotedName(list);
    if (!name) break;
    (void)BuildSqlText(st, *name);
  }
  (void)CountListItems(st.rowCount, st.selectList);

  ColumnValue columns[3] = {{"a", {}, 0, true}, {"b", {}, 0, false}, {"c", {}, 0, true}};
  parser.SetUpdateValue(columns, parts[2]).Ignore();
  ColumnValue forUpdate[3] = {{"a", {}, 0, true}, {"b", {}, 0, true}, {"c", {}, 0, true}};
  parser.SetUpdateValueforUpdate(forUpdate, parts[2]).Ignore();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    Run(fuzz::AsText(data, size));
  } catch (const std::exception&) {
    // The accessor's Query answers its access failure for anything thrown.
  }
  return 0;
}
