// The service core's shared vocabulary: the fixed words (element names, SQL
// words, column names, connection property names, accessor identifiers, fault
// tags, join kinds) that the stores, loaders, request frame and query engine
// read by number instead of spelling them out. The numbering is part of the
// interface; code names an entry by its constant below, never by a bare number.
#pragma once

#include <array>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/status.h"

namespace quor::core {

// Entry numbers of the keyword table, 1-based, each with its text. A name is
// KW_ and the text in capitals, other characters as '_', none at the ends
// ("<fault>" and "*" excepted). When two entries differ only in case, the
// later one adds _LC, _CAP or _UC for its spelling (KW_QUERY "Query",
// KW_QUERY_LC "query").
enum KeywordIndex : int {
  KW_QUORACCESSOR_COLLABDBACCESSOR = 1,         // "QuorAccessor.CollabDBAccessor"
  KW_QUERY = 2,                                 // "Query"
  KW_ROOT = 3,                                  // "root"
  KW_RESUMEID = 4,                              // "resumeID"
  KW_RESULTCODE = 5,                            // "resultCode"
  KW_DESCRIPTION = 6,                           // "Description"
  KW_ATTENDEE = 7,                              // "attendee"
  KW_FAULT_PREFIX = 8,                          // "<fault>"
  KW_STATEMENT = 9,                             // "statement"
  KW_PROVIDER = 10,                             // "provider"
  KW_DSN = 11,                                  // "dsn"
  KW_CATALOG = 12,                              // "catalog"
  KW_SQL = 13,                                  // "sql"
  KW_SELECT = 14,                               // "select"
  KW_FROM = 15,                                 // "from"
  KW_WHERE = 16,                                // "where"
  KW_INSERT = 17,                               // "insert"
  KW_INTO = 18,                                 // "into"
  KW_VALUE = 19,                                // "value"
  KW_VALUES = 20,                               // "values"
  KW_DELETE = 21,                               // "delete"
  KW_UPDATE = 22,                               // "update"
  KW_SET = 23,                                  // "set"
  KW_AUTHOR = 24,                               // "author"
  KW_NAME = 25,                                 // "name"
  KW_OWNER = 26,                                // "owner"
  KW_MESSAGE = 27,                              // "message"
  KW_VOACL = 28,                                // "VOACL"
  KW_URI = 29,                                  // "uri"
  KW_CREATEDATE = 30,                           // "createdate"
  KW_UPDATEDATE = 31,                           // "updatedate"
  KW_LOCK_STATUS = 32,                          // "lock_status"
  KW_FIELD = 33,                                // "field"
  KW_ACL = 34,                                  // "acl"
  KW_IPADDRESS = 35,                            // "ipaddress"
  KW_ACTIVE = 36,                               // "active"
  KW_TRUE = 37,                                 // "true"
  KW_FALSE = 38,                                // "false"
  KW_OLEDBSETTING = 39,                         // "OLEDBSetting"
  KW_PROVIDER_CAP = 40,                         // "Provider"
  KW_DATASOURCE = 41,                           // "DataSource"
  KW_USERNAME = 42,                             // "UserName"
  KW_PASSWORD = 43,                             // "Password"
  KW_INITIALCATALOG = 44,                       // "InitialCatalog"
  KW_INTEGRATEDSECURITY = 45,                   // "IntegratedSecurity"
  KW_CACHEAUTHENTICATION = 46,                  // "CacheAuthentication"
  KW_ENCRYPTPASSWORD = 47,                      // "EncryptPassword"
  KW_MASKPASSWORD = 48,                         // "MaskPassword"
  KW_PERSISTENCRYPTED = 49,                     // "PersistEncrypted"
  KW_PERSISTSECURITYINFO = 50,                  // "PersistSecurityInfo"
  KW_ASYNCHRONOUSPROCESSING = 51,               // "AsynchronousProcessing"
  KW_WINDOWHANDLE = 52,                         // "WindowHandle"
  KW_IMPERSONATIONLEVEL = 53,                   // "ImpersonationLevel"
  KW_LOCALEIDENTIFIER = 54,                     // "LocaleIdentifier"
  KW_LOCATION = 55,                             // "Location"
  KW_MODE = 56,                                 // "Mode"
  KW_OLEDBSERVICES = 57,                        // "OLEDBServices"
  KW_PROMPT = 58,                               // "Prompt"
  KW_PROTECTIONLEVEL = 59,                      // "ProtectionLevel"
  KW_EXTENDEDPROPERTIES = 60,                   // "ExtendedProperties"
  KW_CONNECTTIMEOUT = 61,                       // "ConnectTimeout"
  KW_BINDFLAGS = 62,                            // "BindFlags"
  KW_LOCKOWNER = 63,                            // "LockOwner"
  KW_GENERALTIMEOUT = 64,                       // "GeneralTimeout"
  KW_TRUE_CAP = 65,                             // "True"
  KW_FALSE_CAP = 66,                            // "False"
  KW_QUORSERVICE = 67,                          // "quorservice"
  KW_PROGID = 68,                               // "progID"
  KW_METHOD = 69,                               // "method"
  KW_TABLE = 70,                                // "table"
  KW_SCHEMA = 71,                               // "Schema"
  KW_ENCODING = 72,                             // "Encoding"
  KW_USEPROCEDUREFORPREPARE = 73,               // "UseProcedureforPrepare"
  KW_AUTOTRANSLATE = 74,                        // "AutoTranslate"
  KW_PACKETSIZE = 75,                           // "PacketSize"
  KW_USEENCRYPTIONFORDATA = 76,                 // "UseEncryptionforData"
  KW_TAGWITHCOLUMNCOLLATIONWHENPOSSIBLE = 77,   // "Tagwithcolumncollationwhenpossible"
  KW_WORKSTATIONID = 78,                        // "WorkStationID"
  KW_SERVERNAME = 79,                           // "ServerName"
  KW_NETWORKPROTOCOL = 80,                      // "NetworkProtocol"
  KW_SERVERPORTADDRESS = 81,                    // "ServerPortAddress"
  KW_HASERVERNAME = 82,                         // "HAServerName"
  KW_HASERVERPORTADDRESS = 83,                  // "HAServerPortAddress"
  KW_CHARACTERSET = 84,                         // "CharacterSet"
  KW_LANGUAGE = 85,                             // "Language"
  KW_APPLICATIONNAME = 86,                      // "ApplicationName"
  KW_OPTIMIZEPREPARE = 87,                      // "OptimizePrepare"
  KW_SELECTMETHOD = 88,                         // "SelectMethod"
  KW_RAISEERRORBEHAVIOR = 89,                   // "RaiseErrorBehavior"
  KW_PRINTSTATEMENTBEHAVIOR = 90,               // "PrintStatementBehavior"
  KW_EXTENDEDERRORINFO = 91,                    // "ExtendedErrorInfo"
  KW_STOREDPROCROWCOUNT = 92,                   // "StoredProcRowCount"
  KW_ROWCACHESIZE = 93,                         // "RowCacheSize"
  KW_ENABLEQUOTEDIDENTIFIERS = 94,              // "EnableQuotedIdentifiers"
  KW_DEFAULTLENGTHFORLONGDATA = 95,             // "DefaultLengthForLongData"
  KW_CURRENTLANGUAGE = 96,                      // "CurrentLanguage"
  KW_INITIALFILENAME = 97,                      // "InitialFileName"
  KW_NETWORKADDRESS = 98,                       // "NetworkAddress"
  KW_NETWORKLIBRARY = 99,                       // "NetworkLibrary"
  KW_REPLICATIONSERVERNAMECONNECTOPTION = 100,  // "Replicationservernameconnectoption"
  KW_ADSIFLAG = 101,                            // "ADSIFlag"
  KW_PROVIDERSTRING = 102,                      // "ProviderString"
  KW_JETOLEDB = 103,                            // "JetOLEDB:"
  KW_XMLCOLUMN = 104,                           // "XMLColumn"
  KW_ALIAS = 105,                               // "alias"
  KW_QUORACCESSOR_HTTPACCESSOR = 106,           // "QuorAccessor.HTTPAccessor"
  KW_RESPONSE = 107,                            // "response"
  KW_QUORTRANSFORM = 108,                       // "QuorTransform"
  KW_TRANSFORM = 109,                           // "transform"
  KW_TRANSID = 110,                             // "transID"
  KW_PROGID_CAP = 111,                          // "ProgID"
  KW_METHOD_CAP = 112,                          // "Method"
  KW_RULE = 113,                                // "Rule"
  KW_QUERY_LC = 114,                            // "query"
  KW_SQLQUERY = 115,                            // "sqlquery"
  KW_COLUMN = 116,                              // "column"
  KW_UNIFIED = 117,                             // "unified"
  KW_TRANSFORMED = 118,                         // "transformed"
  KW_STORE = 119,                               // "store"
  KW_SCHEMA_LC = 120,                           // "schema"
  KW_SUBSTATEMENT = 121,                        // "substatement"
  KW_SUBRESPONSE = 122,                         // "subresponse"
  KW_TRANSACTION = 123,                         // "transaction"
  KW_REQUEST_URI = 124,                         // "request-uri"
  KW_NOUNIFY = 125,                             // "nounify"
  KW_EXEC = 126,                                // "exec"
  KW_VIEW = 127,                                // "view"
  KW_QUORACCESSOR_LOGDBACCESSOR = 128,          // "QuorAccessor.LogDBAccessor"
  KW_ASTERISK = 129,                            // "*"
  KW_LOGID = 130,                               // "logID"
  KW_LOGCOUNT = 131,                            // "logcount"
  KW_QUORACCESSOR_LEGACYDBACCESSOR = 132,       // "QuorAccessor.LegacyDBAccessor"
  KW_CONFIG = 133,                              // "config"
  KW_UNIFIER = 134,                             // "unifier"
  KW_UNIFYRULE = 135,                           // "unifyrule"
  KW_RESUMELIST = 136,                          // "resumelist"
  KW_CONTROL = 137,                             // "control"
  KW_USER = 138,                                // "user"
  KW_ACCESS = 139,                              // "access"
  KW_RWDARAWAD = 140,                           // "rwdarawad"
  KW_GROUP = 141,                               // "group"
  KW_FAULT = 142,                               // "fault"
  KW_FAULTACTOR = 143,                          // "faultactor"
  KW_DETAIL = 144,                              // "detail"
  KW_ERRORINFO = 145,                           // "ErrorInfo"
  KW_NUMBER = 146,                              // "number"
  KW_DESCRIPTION_LC = 147,                      // "description"
  KW_CONTENT = 148,                             // "content"
  KW_LID = 149,                                 // "lid"
  KW_RID = 150,                                 // "rid"
  KW_PATTERN = 151,                             // "pattern"
  KW_DESTINATION = 152,                         // "destination"
  KW_TARGET = 153,                              // "target"
  KW_CONDITION = 154,                           // "condition"
  KW_GET = 155,                                 // "get"
  KW_PUT = 156,                                 // "put"
  KW_REPLACE = 157,                             // "replace"
  KW_TARGETS = 158,                             // "targets"
  KW_ORDER = 159,                               // "order"
  KW_OPTION = 160,                              // "option"
  KW_PROCEDURE = 161,                           // "procedure"
  KW_SYNONYM = 162,                             // "synonym"
  KW_ROWCOUNT = 163,                            // "rowcount"
  KW_PARAMETER = 164,                           // "parameter"
  KW_XML = 165,                                 // "xml"
  KW_RECORD = 166,                              // "record"
  KW_ORGINALNAME = 167,                         // "orginalname"
  KW_FULL_OUTER_JOIN = 168,                     // "full outer join"
  KW_LEFT_OUTER_JOIN = 169,                     // "left outer join"
  KW_RIGHT_OUTER_JOIN = 170,                    // "right outer join"
  KW_CROSS_JOIN = 171,                          // "cross join"
  KW_UNION_JOIN = 172,                          // "union join"
  KW_LEFT_INNER_JOIN = 173,                     // "left inner join"
  KW_RIGHT_INNER_JOIN = 174,                    // "right inner join"
  KW_MAX_INNER_JOIN = 175,                      // "max inner join"
  KW_MIN_INNER_JOIN = 176,                      // "min inner join"
  KW_EQUIV_JOIN = 177,                          // "equiv join"
  KW_TYPE = 178,                                // "type"
  KW_QUORACCESSOR_VODBACCESSOR = 179,           // "QuorAccessor.VODBAccessor"
  KW_MODULENAME = 180,                          // "modulename"
  KW_VORESOURCEURL = 181,                       // "voresourceurl"
  KW_VORESOURCEURL_UC = 182,                    // "VORESOURCEURL"
  KW_VORESOURCEURI = 183,                       // "VORESOURCEURI"
  KW_VORESOURCEDIR = 184,                       // "voresourcedir"
  KW_VORESOURCEDIR_UC = 185,                    // "VORESOURCEDIR"
  KW_MODULENAME_UC = 186,                       // "MODULENAME"
  KW_ACCESSLIST = 187,                          // "ACCESSLIST"
  KW_NAME_UC = 188,                             // "NAME"
  KW_DSN_CAP = 189,                             // "Dsn"
  KW_CATALOG_CAP = 190,                         // "Catalog"
  KW_UNIFY = 191,                               // "unify"
};

class CKeywordTable {
 public:
  static constexpr int kFirst = 1;
  static constexpr int kCount = 191;

  CKeywordTable();
  virtual ~CKeywordTable() = default;
  CKeywordTable(const CKeywordTable&) = delete;
  CKeywordTable& operator=(const CKeywordTable&) = delete;

  // The process's table, made on first use and never destroyed, so that code
  // running while the library's other objects go away can still read it.
  static const CKeywordTable& Instance();

  static constexpr bool IsValidIndex(int index) { return index >= kFirst && index <= kCount; }

  // A named entry. Every constant above is in the table; the same object
  // every time, so callers may keep the reference.
  const com::Bstr& Get(KeywordIndex index) const;
  const com::Bstr& operator[](KeywordIndex index) const { return Get(index); }
  // The same entry as narrow (UTF-8) text; the view lives as long as the
  // process.
  std::string_view Narrow(KeywordIndex index) const;

  // Entry `index` by number: DISP_E_BADINDEX, naming the index, for one
  // outside 1 to 191.
  Result<const com::Bstr*> Find(int index) const;
  Result<std::string_view> FindNarrow(int index) const;

 private:
  std::array<com::Bstr, kCount> entries_;
};

}  // namespace quor::core
