#include "accessor/legacy_db_accessor_impl.h"

#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "accessor/config_obj.h"
#include "accessor/oledb_connect.h"
#include "accessor/sql_parser.h"
#include "platform/com/callcontext.h"
#include "platform/com/errorinfo.h"

namespace quor::accessor {
namespace {

// What a statement names as its target, and whether it only reads. An exec
// may change data, so only a select reads.
struct StatementTarget {
  std::string provider;
  std::string dsn;
  std::string catalog;
  bool reading = false;
};

StatementTarget ReadTarget(xml::NodePtr node) {
  StatementTarget target;
  while (IsStatementElement(node)) node = node->firstChild();
  for (; node; node = node->nextSibling()) {
    if (node->nodeType() != xml::NodeType::Element) continue;
    const std::string name = node->nodeName();
    if (name == "provider") target.provider = xml::ElementText(*node);
    else if (name == "dsn") target.dsn = xml::ElementText(*node);
    else if (name == "catalog") target.catalog = xml::ElementText(*node);
    else if (name == "sql") {
      target.reading = xml::IsElement(node->firstChild(), "select");
      break;
    }
  }
  return target;
}

// Every entry of the configuration list, read before anything runs: one
// entry that is not a data source refuses the whole list.
Status ParseConfigList(const xml::NodePtr& configRoot, std::vector<std::shared_ptr<const CConfigObj>>& entries) {
  for (xml::NodePtr child = configRoot->firstChild(); child; child = child->nextSibling()) {
    auto entry = std::make_shared<CConfigObj>();
    if (const Status status = entry->ParseConfigDOM(child); !status.ok()) return status;
    entries.push_back(std::move(entry));
  }
  return {};
}

// One statement run on one data source.
struct RunRecord {
  std::unique_ptr<CSQLParser> parser;
  std::shared_ptr<CQueryObj> connection;  // shared by the statements of one source
  bool reading = false;
  bool ran = false;
  Status status;  // of a record that failed before or when it ran
  AnswerText result;
};

// Connections in the order they were opened. Whatever is still inside a
// transaction when the run ends, however it ends, is rolled back.
class ConnectionSet {
 public:
  ConnectionSet() = default;
  ConnectionSet(const ConnectionSet&) = delete;
  ConnectionSet& operator=(const ConnectionSet&) = delete;
  ~ConnectionSet() { RollBackAll(); }

  void Add(const std::shared_ptr<CQueryObj>& connection) { connections_.push_back(connection); }

  void RollBackAll() {
    for (const auto& connection : connections_) {
      if (oledb::Session* session = connection->session(); session && session->InTransaction()) session->Abort();
    }
  }

  // Commits every open transaction in order. At the first commit that fails,
  // the ones not yet committed are rolled back; those committed already stay.
  Status CommitAll() {
    for (const auto& connection : connections_) {
      oledb::Session* session = connection->session();
      if (!session || !session->InTransaction()) continue;
      if (FAILED(session->Commit())) {
        RollBackAll();
        return Status(kTransactionFailed);
      }
    }
    return {};
  }

 private:
  std::vector<std::shared_ptr<CQueryObj>> connections_;
};

// The run's status when it cannot be carried through: that of the last
// record that failed before it ran, else the transaction failure.
Status FailureStatus(const std::vector<RunRecord>& records) {
  Status status(kTransactionFailed);
  for (const RunRecord& record : records) {
    if (!record.ran && !record.status.ok()) status = record.status;
  }
  return status;
}

bool AnyFailedBeforeRunning(const std::vector<RunRecord>& records) {
  for (const RunRecord& record : records) {
    if (!record.ran && !record.status.ok()) return true;
  }
  return false;
}

// Runs the record's statement inside the session's transaction (started
// here for a change when none is open yet). True when it succeeded.
bool RunRecordStatement(RunRecord& record, bool alwaysTransaction) {
  oledb::Session* session = record.connection->session();
  if (!session) {
    record.status = Status(oledb::DB_E_NOTINITIALIZED);
    return false;
  }
  if ((alwaysTransaction || !record.reading) && !session->InTransaction()) {
    if (const HRESULT hr = session->StartTransaction(); FAILED(hr)) {
      record.status = com::StatusOf(hr);
      return false;
    }
  }
  record.result = AnswerText();
  record.ran = true;
  record.status = record.connection->DoQuery2(*record.parser, record.result);
  return record.status.ok() && CLegacyDBAccessorImpl::CheckTransactionResult(record.result);
}

Status PrepareParser(RunRecord& record, const xml::NodePtr& statement) {
  record.parser = std::make_unique<CSQLParser>();
  record.parser->SetInTransaction();
  return record.parser->ParseQueryDOM(statement);
}

Status Connect(const std::shared_ptr<const CConfigObj>& entry, std::shared_ptr<CQueryObj>& connection) {
  auto opened = std::make_shared<CQueryObj>();
  opened->SetConfig(entry).Ignore();
  if (const Status status = opened->ConnectBeforeQuery(); !status.ok()) return status;
  connection = std::move(opened);
  return {};
}

}  // namespace

Status CLegacyDBAccessorImpl::Query(std::u16string_view query, std::u16string_view config, std::string& result) {
  try {
    const xml::DocumentPtr queryDoc = xml::Document::Create();
    const xml::DocumentPtr configDoc = xml::Document::Create();
    if (!queryDoc->loadXML(query)) return Status(kXmlLoadFailed);
    if (!configDoc->loadXML(config)) return Status(kXmlLoadFailed);
    // A leading declaration is the first node: such a query is no statement.
    const xml::NodePtr queryRoot = queryDoc->firstChild();
    const xml::NodePtr configRoot = configDoc->firstChild();

    AnswerText answer;
    Status status;
    if (xml::IsElement(queryRoot, "transaction")) status = QueryUpdateOnTransaction(queryRoot, configRoot, answer);
    else if (xml::IsElement(configRoot, "config")) status = QueryOnTransaction(queryRoot, configRoot, answer);
    else {
      // One statement on one source: its rows may leave while they are read,
      // through the sink the caller gave.
      answer.StreamTo(com::CurrentCallContext().answerSink);
      status = Query2(queryRoot, configRoot, answer);
    }
    if (!status.ok()) return status;

    if (answer.Broken() || (answer.Top().empty() && !answer.Streamed())) return Status(kAccessException);
    result = answer.Take();
    return status;
  } catch (const std::exception&) {
    return Status(kAccessException);
  }
}

Status CLegacyDBAccessorImpl::Query2(const xml::NodePtr& queryRoot, const xml::NodePtr& configRoot,
                                     AnswerText& result) {
  auto config = std::make_shared<CConfigObj>();
  if (const Status status = config->ParseConfigDOM(configRoot); !status.ok()) return status;
  CSQLParser parser;
  if (const Status status = parser.ParseQueryDOM(queryRoot); !status.ok()) return status;
  CQueryObj connection;
  connection.SetConfig(config).Ignore();
  if (const Status status = connection.ConnectBeforeQuery(); !status.ok()) return status;
  const Status status = connection.DoQuery2(parser, result);
  connection.CloseSession().Ignore();
  return status;
}

Status CLegacyDBAccessorImpl::QueryOnTransaction(const xml::NodePtr& queryRoot, const xml::NodePtr& configRoot,
                                                 AnswerText& result) {
  if (!IsStatementElement(queryRoot)) return Status(kQueryInvalid);
  const StatementTarget target = ReadTarget(queryRoot);

  std::vector<std::shared_ptr<const CConfigObj>> entries;
  if (const Status status = ParseConfigList(configRoot, entries); !status.ok()) return status;

  // Every matching source gets the statement on a connection of its own;
  // all of them are ready before the first one runs.
  std::vector<RunRecord> records;
  ConnectionSet connections;
  for (const auto& entry : entries) {
    if (!entry->Matches(target.provider, target.dsn, target.catalog)) continue;
    RunRecord& record = records.emplace_back();
    record.reading = target.reading;
    if (record.status = PrepareParser(record, queryRoot); !record.status.ok()) continue;
    if (record.status = Connect(entry, record.connection); !record.status.ok()) continue;
    connections.Add(record.connection);
  }
  if (records.empty()) return Status(kTargetMissing);
  if (AnyFailedBeforeRunning(records)) return FailureStatus(records);

  for (RunRecord& record : records) {
    if (!RunRecordStatement(record, true)) {
      connections.RollBackAll();
      return FailureStatus(records);
    }
  }

  // The answer is the first source's; the others ran the same statement.
  const std::string_view answer = records.front().result.FirstChild();
  if (answer.empty()) return Status(kAccessException);
  if (const Status status = connections.CommitAll(); !status.ok()) return status;
  result.Element(answer);
  return {};
}

Status CLegacyDBAccessorImpl::QueryUpdateOnTransaction(const xml::NodePtr& queryRoot, const xml::NodePtr& configRoot,
                                                       AnswerText& result) {
  if (!xml::IsElement(queryRoot, "transaction")) return Status(E_FAIL);

  std::vector<std::shared_ptr<const CConfigObj>> entries;
  if (const Status status = ParseConfigList(configRoot, entries); !status.ok()) return status;

  // Plan the whole transaction first: every statement must name a configured
  // source, parse, and have its connection before anything runs.
  std::vector<RunRecord> records;
  std::vector<std::shared_ptr<CQueryObj>> byEntry(entries.size());
  ConnectionSet connections;
  for (xml::NodePtr statement = queryRoot->firstChild(); statement; statement = statement->nextSibling()) {
    const StatementTarget target = ReadTarget(statement);
    std::optional<std::size_t> match;
    if (!target.provider.empty() && !target.dsn.empty() && !target.catalog.empty()) {
      for (std::size_t i = 0; i < entries.size() && !match; ++i) {
        if (entries[i]->Matches(target.provider, target.dsn, target.catalog)) match = i;
      }
    }
    if (!match) return Status(kTargetMissing);

    RunRecord& record = records.emplace_back();
    record.reading = target.reading;
    if (record.status = PrepareParser(record, statement); !record.status.ok()) continue;
    // Statements on one source share its connection, and its transaction.
    if (!byEntry[*match]) {
      if (record.status = Connect(entries[*match], byEntry[*match]); !record.status.ok()) continue;
      connections.Add(byEntry[*match]);
    }
    record.connection = byEntry[*match];
  }
  if (records.empty()) return Status(kTargetMissing);
  if (AnyFailedBeforeRunning(records)) return FailureStatus(records);

  for (RunRecord& record : records) {
    if (!RunRecordStatement(record, false)) {
      connections.RollBackAll();
      return FailureStatus(records);
    }
  }

  AnswerText root;
  root.Open("root");
  for (const RunRecord& record : records) {
    if (record.result.Top().empty()) return Status(kAccessException);
    root.Append(record.result);
  }
  root.Close();
  if (const Status status = connections.CommitAll(); !status.ok()) return status;
  result.Append(root);
  return {};
}

}  // namespace quor::accessor
