#include "core/KeywordTable.h"

#include <algorithm>
#include <cassert>
#include <string>

#include "platform/com/hresult.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

// In entry order, from entry 1.
constexpr std::array<std::string_view, CKeywordTable::kCount> kWords = {
    "QuorAccessor.CollabDBAccessor", "Query", "root", "resumeID",
    "resultCode", "Description", "attendee", "<fault>",
    "statement", "provider", "dsn", "catalog",
    "sql", "select", "from", "where",
    "insert", "into", "value", "values",
    "delete", "update", "set", "author",
    "name", "owner", "message", "VOACL",
    "uri", "createdate", "updatedate", "lock_status",
    "field", "acl", "ipaddress", "active",
    "true", "false", "OLEDBSetting", "Provider",
    "DataSource", "UserName", "Password", "InitialCatalog",
    "IntegratedSecurity", "CacheAuthentication", "EncryptPassword", "MaskPassword",
    "PersistEncrypted", "PersistSecurityInfo", "AsynchronousProcessing", "WindowHandle",
    "ImpersonationLevel", "LocaleIdentifier", "Location", "Mode",
    "OLEDBServices", "Prompt", "ProtectionLevel", "ExtendedProperties",
    "ConnectTimeout", "BindFlags", "LockOwner", "GeneralTimeout",
    "True", "False", "quorservice", "progID",
    "method", "table", "Schema", "Encoding",
    "UseProcedureforPrepare", "AutoTranslate", "PacketSize", "UseEncryptionforData",
    "Tagwithcolumncollationwhenpossible", "WorkStationID", "ServerName", "NetworkProtocol",
    "ServerPortAddress", "HAServerName", "HAServerPortAddress", "CharacterSet",
    "Language", "ApplicationName", "OptimizePrepare", "SelectMethod",
    "RaiseErrorBehavior", "PrintStatementBehavior", "ExtendedErrorInfo", "StoredProcRowCount",
    "RowCacheSize", "EnableQuotedIdentifiers", "DefaultLengthForLongData", "CurrentLanguage",
    "InitialFileName", "NetworkAddress", "NetworkLibrary", "Replicationservernameconnectoption",
    "ADSIFlag", "ProviderString", "JetOLEDB:", "XMLColumn",
    "alias", "QuorAccessor.HTTPAccessor", "response", "QuorTransform",
    "transform", "transID", "ProgID", "Method",
    "Rule", "query", "sqlquery", "column",
    "unified", "transformed", "store", "schema",
    "substatement", "subresponse", "transaction", "request-uri",
    "nounify", "exec", "view", "QuorAccessor.LogDBAccessor",
    "*", "logID", "logcount", "QuorAccessor.LegacyDBAccessor",
    "config", "unifier", "unifyrule", "resumelist",
    "control", "user", "access", "rwdarawad",
    "group", "fault", "faultactor", "detail",
    "ErrorInfo", "number", "description", "content",
    "lid", "rid", "pattern", "destination",
    "target", "condition", "get", "put",
    "replace", "targets", "order", "option",
    "procedure", "synonym", "rowcount", "parameter",
    "xml", "record", "orginalname", "full outer join",
    "left outer join", "right outer join", "cross join", "union join",
    "left inner join", "right inner join", "max inner join", "min inner join",
    "equiv join", "type", "QuorAccessor.VODBAccessor", "modulename",
    "voresourceurl", "VORESOURCEURL", "VORESOURCEURI", "voresourcedir",
    "VORESOURCEDIR", "MODULENAME", "ACCESSLIST", "NAME",
    "Dsn", "Catalog", "unify",
};
static_assert(kWords[KW_DSN_CAP - 1] == "Dsn" && kWords[KW_UNIFY - 1] == "unify");
static_assert(std::ranges::none_of(kWords, [](std::string_view w) { return w.empty(); }));

Status BadIndex(int index) {
  return Status(DISP_E_BADINDEX,
                text::Format("Keyword index %d is outside 1 to %d", index, CKeywordTable::kCount));
}

}  // namespace

CKeywordTable::CKeywordTable() {
  for (int i = 0; i < kCount; ++i) entries_[i] = com::Bstr::FromUtf8(kWords[i]);
}

const CKeywordTable& CKeywordTable::Instance() {
  // A union member's destructor only runs when asked for: the table outlives
  // every static that might still read it at exit or unload.
  static const union Holder {
    Holder() : table() {}
    ~Holder() {}
    CKeywordTable table;
  } holder;
  return holder.table;
}

const com::Bstr& CKeywordTable::Get(KeywordIndex index) const {
  assert(IsValidIndex(index));
  return entries_[index - kFirst];
}

std::string_view CKeywordTable::Narrow(KeywordIndex index) const {
  assert(IsValidIndex(index));
  return kWords[index - kFirst];
}

Result<const com::Bstr*> CKeywordTable::Find(int index) const {
  if (!IsValidIndex(index)) return BadIndex(index);
  return &entries_[index - kFirst];
}

Result<std::string_view> CKeywordTable::FindNarrow(int index) const {
  if (!IsValidIndex(index)) return BadIndex(index);
  return kWords[index - kFirst];
}

}  // namespace quor::core
