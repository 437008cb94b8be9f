#include "platform/odbc/odbc.h"

#include <dlfcn.h>
#include <malloc.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/com/memory_budget.h"
#include "platform/text/text.h"

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC must use 2-byte SQLWCHAR");

namespace quor::odbc {

// The process's one ODBC environment, and the order of connecting,
// disconnecting and freeing connections in it.
//
// Connects, disconnects and frees never overlap, for every driver:
// - the SQLite driver keeps every connection of the environment in one list
//   that it walks and changes without a lock when a connection is allocated
//   (inside the connect) and freed (in the disconnect); two of those at once
//   leave a freed connection linked, and the next walk crashes or never ends;
// - psqlODBC locks its list when it adds a connection, but looks through it
//   without the lock when it removes one, while an add may move the list to
//   grow it; it also sets the process's locale while it connects;
// - the driver manager loads drivers through a loader whose own list has no
//   lock.
// A close never waits, though: a connect to an unreachable server holds the
// lock for its whole login time-out, so a connection closed meanwhile is left
// to the thread that holds the lock, which frees it before it lets go.
//
// Never destroyed: the drivers' environments live as long as their last
// connection, which may close while the process exits, and a free left to
// the lock's holder must find the environment still there.
class Environment {
 public:
  static Environment& Get() {
    static Environment& environment = *new Environment;
    return environment;
  }
  SQLHENV handle() const { return henv_; }

  // Runs `step` (a connect, or the free after a refused one) alone. (The
  // lock is let go by a guard, which the analysis does not follow.)
  template <typename Step>
  auto Alone(Step&& step) QUOR_NO_THREAD_SAFETY_ANALYSIS {
    struct Unlock {
      Environment* env;
      ~Unlock() { env->Unlock(); }
    };
    lifecycle_.lock();
    Unlock unlock{this};
    return step();
  }

  // Disconnects (when `connected`) and frees `dbc`, now or, while another
  // thread holds the lock, by that thread before it lets go.
  void Free(SQLHDBC dbc, bool connected) {
    {
      MutexLock lock(pendingLock_);
      pending_.push_back({dbc, connected});
    }
    TryFreeing();
  }

 private:
  struct Pending {
    SQLHDBC dbc;
    bool connected;
  };

  Environment() {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &henv_))) {
      henv_ = nullptr;
      return;
    }
    SQLSetEnvAttr(henv_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }

  void TryFreeing() QUOR_NO_THREAD_SAFETY_ANALYSIS {
    if (lifecycle_.try_lock()) Unlock();
  }

  // Frees what was left to the holder, then lets go. A free left after the
  // holder's last look but before it let go finds the lock taken and is
  // taken up again here.
  void Unlock() QUOR_NO_THREAD_SAFETY_ANALYSIS {
    while (true) {
      for (std::vector<Pending> batch = TakePending(); !batch.empty(); batch = TakePending()) {
        for (const Pending& p : batch) {
          if (p.connected) SQLDisconnect(p.dbc);
          SQLFreeHandle(SQL_HANDLE_DBC, p.dbc);
        }
      }
      lifecycle_.unlock();
      {
        MutexLock lock(pendingLock_);
        if (pending_.empty()) return;
      }
      if (!lifecycle_.try_lock()) return;  // the new holder frees them
    }
  }

  std::vector<Pending> TakePending() {
    MutexLock lock(pendingLock_);
    return std::exchange(pending_, {});
  }

  SQLHENV henv_ = nullptr;
  Mutex lifecycle_;
  Mutex pendingLock_;
  std::vector<Pending> pending_ QUOR_GUARDED_BY(pendingLock_);
};

namespace {

std::u16string W(std::string_view s) { return text::Widen(s); }
SQLWCHAR* WPtr(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

std::string FromW(const SQLWCHAR* p, size_t len) {
  return text::Narrow(std::u16string_view(reinterpret_cast<const char16_t*>(p), len));
}

// One diagnostic record a failed call left.
struct Diagnostic {
  std::string sqlState;
  std::string message;
  int32_t native = 0;
};

bool Contains(std::string_view haystack, std::string_view lowerNeedle) {
  return text::ToLowerAscii(haystack).find(lowerNeedle) != std::string::npos;
}

bool AnyState(const std::vector<Diagnostic>& records, std::string_view prefix) {
  for (const auto& r : records)
    if (r.sqlState.starts_with(prefix)) return true;
  return false;
}

// The code of a failure by its records: the first case that applies. The
// link being gone outranks the rest, since nothing more runs on it.
HRESULT CodeOf(const std::vector<Diagnostic>& records, bool connecting) {
  if (connecting) {
    for (const auto& r : records)
      if (r.sqlState.starts_with("28") || Contains(r.message, "authentication failed") || Contains(r.message, "password"))
        return DB_SEC_E_AUTH_FAILED;
  }
  if (AnyState(records, "08")) return DB_E_CANNOTCONNECT;
  if (connecting) return E_FAIL;
  for (const auto& r : records)
    if (r.sqlState == "42S02" || r.sqlState == "42P01" || Contains(r.message, "no such table")) return DB_E_NOTABLE;
  if (!records.empty() && records.front().sqlState == "22001") return DB_E_DATAOVERFLOW;
  for (const auto& r : records) {
    if (r.sqlState.starts_with("23")) return DB_E_INTEGRITYVIOLATION;
    // SQLite reports constraint failures as a general error with its own code.
    if (r.message.find("constraint failed") != std::string::npos) return DB_E_INTEGRITYVIOLATION;
  }
  return E_FAIL;
}

// The driver's messages, joined; "<function> failed" when it gave none. The
// diagnostic is the first record's, or the one that says the link is gone.
Status FailureOf(const std::vector<Diagnostic>& records, const char* function, bool connecting) {
  std::string out;
  const Diagnostic* first = records.empty() ? nullptr : &records.front();
  for (const auto& r : records) {
    if (!out.empty()) out += "; ";
    out += r.message.empty() ? text::Format("[%s]", r.sqlState) : r.message;
    if (r.sqlState.starts_with("08") && !first->sqlState.starts_with("08")) first = &r;
  }
  if (out.empty()) out = std::string(function) + " failed";
  Status failure(CodeOf(records, connecting), std::move(out));
  if (first) failure.SetDiagnostic(first->sqlState, first->native);
  return failure;
}

// A failure this layer finds itself, with the SQLSTATE a driver would give.
Status Failure(const char* function, const char* sqlState, std::string message) {
  return FailureOf({Diagnostic{sqlState, std::move(message), 0}}, function, false);
}

// The failure of a call on `handle`, from the records the driver left.
Status Collect(SQLSMALLINT type, SQLHANDLE handle, const char* function, bool connecting = false) {
  std::vector<Diagnostic> records;
  if (handle) {
    for (SQLSMALLINT i = 1; i < 20; ++i) {
      SQLWCHAR state[6] = {};
      SQLINTEGER native = 0;
      SQLWCHAR message[1024];
      SQLSMALLINT length = 0;
      const SQLRETURN r = SQLGetDiagRecW(type, handle, i, state, &native, message, 1024, &length);
      if (!SQL_SUCCEEDED(r)) break;
      length = std::min<SQLSMALLINT>(std::max<SQLSMALLINT>(length, 0), 1023);
      records.push_back(Diagnostic{FromW(state, 5), FromW(message, static_cast<size_t>(length)), native});
    }
  }
  return FailureOf(records, function, connecting);
}

// A statement's failure, noted on its connection when it says the link is gone.
Status CollectOn(Connection& connection, SQLHANDLE stmt, const char* function) {
  Status failure = Collect(SQL_HANDLE_STMT, stmt, function);
  connection.NoteFailure(failure);
  return failure;
}

bool IsIntegerType(SQLSMALLINT t) {
  return t == SQL_INTEGER || t == SQL_SMALLINT || t == SQL_TINYINT || t == SQL_BIGINT || t == SQL_BIT;
}

bool IsFloatType(SQLSMALLINT t) { return t == SQL_REAL || t == SQL_FLOAT || t == SQL_DOUBLE; }

bool IsBinaryType(SQLSMALLINT t) { return t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY; }

bool IsCharacterType(SQLSMALLINT t) {
  return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_LONGVARCHAR || t == SQL_WCHAR || t == SQL_WVARCHAR ||
         t == SQL_WLONGVARCHAR;
}

// Reads a long value with SQLGetData in chunks, appended to `out`: `unit`
// bytes per character and a terminating zero of one unit at the end of every
// chunk of text (none for binary). The first read tells the whole length; the
// rest then comes in one more call, straight into `out` at its exact size,
// since some drivers convert the remaining text on every call. Small at
// first: most values fit, and a longer one reports its length. `chunk` is
// the first read's buffer, kept by the caller so that its room is reused.
// SQL_NO_DATA on the first call is passed on; NULL leaves `null` set.
SQLRETURN GetChunked(SQLHSTMT stmt, SQLUSMALLINT col, SQLSMALLINT ctype, size_t unit, bool terminated,
                     std::string& chunk, std::string& out, bool& null) {
  chunk.resize(256 * unit);
  SQLLEN indicator = 0;
  null = false;
  SQLRETURN rc = SQLGetData(stmt, col, ctype, chunk.data(), static_cast<SQLLEN>(chunk.size()), &indicator);
  if (!SQL_SUCCEEDED(rc)) return rc;
  if (indicator == SQL_NULL_DATA) {
    null = true;
    return rc;
  }
  const size_t room = chunk.size() - (terminated ? unit : 0);
  // A driver may stop a narrow chunk short of a character it would split.
  auto taken = [&](const char* data, size_t got) {
    if (rc != SQL_SUCCESS && unit == 1 && terminated) got = strnlen(data, got);
    return got - got % unit;
  };
  if (indicator != SQL_NO_TOTAL) {
    const auto total = static_cast<size_t>(indicator);
    const size_t got = taken(chunk.data(), std::min(total, room));
    out.append(chunk.data(), got);
    if (rc == SQL_SUCCESS || total <= got) return SQL_SUCCESS;
    // The rest, at once, where it stays.
    const size_t start = out.size(), rest = total - got;
    out.resize(start + rest + (terminated ? unit : 0));
    SQLLEN left = 0;
    rc = SQLGetData(stmt, col, ctype, out.data() + start, static_cast<SQLLEN>(out.size() - start), &left);
    if (rc == SQL_NO_DATA) rc = SQL_SUCCESS;
    if (!SQL_SUCCEEDED(rc)) return rc;
    const size_t more = left == SQL_NO_TOTAL ? rest : std::min(rest, static_cast<size_t>(std::max<SQLLEN>(left, 0)));
    out.resize(start + taken(out.data() + start, more));
    if (rc == SQL_SUCCESS) return rc;
  } else {
    out.append(chunk.data(), taken(chunk.data(), room));
  }
  // A driver that tells no length: doubling pieces until it has none left.
  while (rc == SQL_SUCCESS_WITH_INFO) {
    chunk.resize(chunk.size() * 2);
    rc = SQLGetData(stmt, col, ctype, chunk.data(), static_cast<SQLLEN>(chunk.size()), &indicator);
    if (rc == SQL_NO_DATA) return SQL_SUCCESS;
    if (!SQL_SUCCEEDED(rc)) return rc;
    const size_t piece = chunk.size() - (terminated ? unit : 0);
    const size_t got = indicator == SQL_NO_TOTAL ? piece : std::min(static_cast<size_t>(indicator), piece);
    out.append(chunk.data(), taken(chunk.data(), got));
  }
  return rc;
}

// UTF-16 to UTF-8 appended to `out`, as text::Narrow converts: an unpaired
// surrogate becomes '?'. Here so that a column's buffer keeps its room; `out`
// grows by exactly what the text takes.
void AppendNarrow(std::string_view utf16Bytes, std::string& out) {
  const size_t count = utf16Bytes.size() / 2;
  auto unitAt = [&](size_t i) {
    char16_t c;
    std::memcpy(&c, utf16Bytes.data() + i * 2, 2);
    return c;
  };
  // A pair takes four bytes; a lone surrogate becomes '?', one.
  size_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const char16_t c = unitAt(i);
    if (c < 0x80) {
      bytes += 1;
    } else if (c < 0x800) {
      bytes += 2;
    } else if (c < 0xD800 || c > 0xDFFF) {
      bytes += 3;
    } else if (c < 0xDC00 && i + 1 < count && unitAt(i + 1) >= 0xDC00 && unitAt(i + 1) <= 0xDFFF) {
      bytes += 4;
      ++i;
    } else {
      bytes += 1;
    }
  }
  const size_t start = out.size();
  out.resize(start + bytes);
  char* p = out.data() + start;
  for (size_t i = 0; i < count; ++i) {
    char32_t cp = unitAt(i);
    if (cp < 0x80) {
      *p++ = static_cast<char>(cp);
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      const char16_t next = i + 1 < count ? unitAt(i + 1) : char16_t{0};
      if (cp >= 0xDC00 || next < 0xDC00 || next > 0xDFFF) {
        *p++ = '?';
        continue;
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    }
    if (cp < 0x800) {
      *p++ = static_cast<char>(0xC0 | (cp >> 6));
    } else if (cp < 0x10000) {
      *p++ = static_cast<char>(0xE0 | (cp >> 12));
      *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    } else {
      *p++ = static_cast<char>(0xF0 | (cp >> 18));
      *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Whether psqlODBC, on this connection, takes narrow input text as the UTF-8
// it sends and gives narrow text as the UTF-8 it received: it converts both
// ways through the process's character type when that is not its client
// encoding (or when its wide-character debugging is on). One statement with
// characters of every UTF-8 length, markup included, bound narrow and read
// back both ways.
bool NarrowIsUtf8On(SQLHDBC dbc) {
  static constexpr char kText[] = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80<&>";
  static constexpr char16_t kWide[] = u"a\u00E9\u65E5\U0001F600<&>";
  SQLHSTMT stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) return false;
  std::u16string sql = u"SELECT CAST(? AS text), CAST(? AS text)";
  SQLLEN nts = SQL_NTS;
  bool same = true;
  for (SQLUSMALLINT i = 1; i <= 2 && same; ++i)
    same = SQL_SUCCEEDED(SQLBindParameter(stmt, i, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_WVARCHAR, 8, 0,
                                          const_cast<char*>(kText), sizeof kText, &nts));
  same = same && SQL_SUCCEEDED(SQLExecDirectW(stmt, WPtr(sql), SQL_NTS)) && SQL_SUCCEEDED(SQLFetch(stmt));
  if (same) {
    char16_t wide[32] = {};
    char narrow[32] = {};
    SQLLEN wideLength = 0, narrowLength = 0;
    same = SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_WCHAR, wide, sizeof wide, &wideLength)) &&
           SQL_SUCCEEDED(SQLGetData(stmt, 2, SQL_C_CHAR, narrow, sizeof narrow, &narrowLength)) &&
           std::u16string_view(wide, static_cast<size_t>(std::max<SQLLEN>(wideLength, 0)) / 2) == kWide &&
           std::string_view(narrow, static_cast<size_t>(std::max<SQLLEN>(narrowLength, 0))) == kText;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return same;
}

// The first value of the first row of `sql`, run on a handle of its own
// and read whole, as text; none when it fails or has no row.
std::optional<std::string> FirstText(SQLHDBC dbc, std::string_view sql) {
  SQLHSTMT stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) return std::nullopt;
  std::optional<std::string> value;
  std::u16string wsql = W(sql);
  SQLWCHAR text[256];
  SQLLEN length = 0;
  if (SQL_SUCCEEDED(SQLSetStmtAttrW(stmt, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_STATIC), 0)) &&
      SQL_SUCCEEDED(SQLExecDirectW(stmt, WPtr(wsql), static_cast<SQLINTEGER>(wsql.size()))) &&
      SQL_SUCCEEDED(SQLFetch(stmt)) &&
      SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_WCHAR, text, sizeof text, &length)) && length >= 0)
    value = FromW(text, std::min<size_t>(static_cast<size_t>(length) / sizeof(SQLWCHAR), 255));
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return value;
}

// Optional catalog arguments: a null pointer means "no restriction".
struct OptW {
  explicit OptW(const std::optional<std::string>& v) {
    if (v) {
      text = W(*v);
      present = true;
    }
  }
  SQLWCHAR* ptr() { return present ? WPtr(text) : nullptr; }
  SQLSMALLINT len() const { return present ? static_cast<SQLSMALLINT>(text.size()) : 0; }
  std::u16string text;
  bool present = false;
};

// SQLite's allocations, counted for the thread that makes them: what a
// statement's run took is what its thread's count grew by meanwhile.
// SQLite's own allocator keeps each block's size in a header of its own;
// these ask malloc for it.
thread_local int64_t sqliteHeld = 0;

// A block as the heap holds it: what malloc made usable, and its header.
int64_t BlockBytes(void* p) { return static_cast<int64_t>(::malloc_usable_size(p) + sizeof(size_t)); }

void* SqliteMalloc(int bytes) {
  void* p = std::malloc(static_cast<size_t>(bytes));
  if (p) sqliteHeld += BlockBytes(p);
  return p;
}
void SqliteFree(void* p) {
  if (!p) return;
  sqliteHeld -= BlockBytes(p);
  std::free(p);
}
void* SqliteRealloc(void* p, int bytes) {
  const int64_t before = p ? BlockBytes(p) : 0;
  void* grown = std::realloc(p, static_cast<size_t>(bytes));
  if (grown) sqliteHeld += BlockBytes(grown) - before;
  return grown;
}
int SqliteSize(void* p) { return p ? static_cast<int>(::malloc_usable_size(p)) : 0; }
int SqliteRoundUp(int bytes) { return (bytes + 7) & ~7; }
int SqliteInit(void*) { return 0; }
void SqliteShutdown(void*) {}

// sqlite3_mem_methods, as sqlite3.h lays it out.
struct SqliteMemory {
  void* (*malloc)(int);
  void (*free)(void*);
  void* (*realloc)(void*, int);
  int (*size)(void*);
  int (*roundUp)(int);
  int (*init)(void*);
  void (*shutdown)(void*);
  void* data;
};
SqliteMemory countedMemory{SqliteMalloc, SqliteFree, SqliteRealloc, SqliteSize,
                           SqliteRoundUp, SqliteInit, SqliteShutdown, nullptr};

// A statement whose driver reads its result whole, counted as it reads:
// what its thread's count grew by since `base` is kept reserved in `hold`
// (a step ahead), through SQLite's progress handler, which every SQLite
// connection of the process gets when it opens. A refusal interrupts the
// statement, which then fails with it; the driver frees the rows it took.
struct DriverGate {
  int64_t base = 0;
  com::MemoryHold hold;
  Status refusal;
};
thread_local DriverGate* t_gate = nullptr;
// How often the handler looks (in SQLite's virtual machine steps, a few
// dozen a row) and how far ahead it reserves.
constexpr int kGateSteps = 1000;
constexpr uint64_t kGateStep = uint64_t{1} << 20;

int GateProgress(void*) {
  DriverGate* gate = t_gate;
  if (!gate || !gate->refusal.ok()) return gate ? 1 : 0;
  const int64_t took = sqliteHeld - gate->base;
  if (took <= static_cast<int64_t>(gate->hold.Held())) return 0;
  if (Status room = gate->hold.GrowTo(static_cast<uint64_t>(took) + kGateStep); !room.ok()) {
    gate->refusal = std::move(room);
    return 1;
  }
  return 0;
}

using ProgressHandler = void (*)(void* db, int steps, int (*handler)(void*), void* arg);
ProgressHandler sqliteProgress = nullptr;  // set once, before threads start

// sqlite3_auto_extension's entry point: on every connection SQLite opens.
int GateConnection(void* db, const char**, const void*) {
  if (sqliteProgress) sqliteProgress(db, kGateSteps, &GateProgress, nullptr);
  return 0;
}

}  // namespace

int64_t SqliteHeldByThread() { return sqliteHeld; }

Status PrepareDriverLibraries() {
  // The SQLite driver's library, which the driver would load at its first
  // connect; kept loaded, so that what is set here holds when it does.
  void* sqlite = ::dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_GLOBAL);
  if (!sqlite) return Status();
  using Config = int (*)(int, ...);
  const auto config = reinterpret_cast<Config>(::dlsym(sqlite, "sqlite3_config"));
  if (!config) return Status();
  constexpr int kMemoryStatistics = 9;  // SQLITE_CONFIG_MEMSTATUS
  constexpr int kAllocator = 4;         // SQLITE_CONFIG_MALLOC
  int rc = config(kMemoryStatistics, 0);
  if (rc == 0) rc = config(kAllocator, &countedMemory);
  if (rc != 0)
    return Status(E_FAIL, text::Format("SQLite's memory statistics stay on and its allocations uncounted "
                                       "(sqlite3_config answered %d: SQLite was already in use)",
                                       rc));
  using AutoExtension = int (*)(void (*)());
  const auto autoExtension = reinterpret_cast<AutoExtension>(::dlsym(sqlite, "sqlite3_auto_extension"));
  sqliteProgress = reinterpret_cast<ProgressHandler>(::dlsym(sqlite, "sqlite3_progress_handler"));
  if (autoExtension && sqliteProgress) autoExtension(reinterpret_cast<void (*)()>(&GateConnection));
  return Status();
}

std::string QuoteConnectionValue(std::string_view value) {
  if (value.find_first_of(";{}= \t") == std::string_view::npos && !value.empty()) return std::string(value);
  std::string out = "{";
  for (char c : value) {
    out.push_back(c);
    if (c == '}') out.push_back('}');
  }
  out.push_back('}');
  return out;
}

std::optional<std::string> ConnectionValue(std::string_view connectionString, std::string_view key) {
  std::optional<std::string> found;
  size_t at = 0;
  while (at < connectionString.size()) {
    const size_t eq = connectionString.find('=', at);
    if (eq == std::string_view::npos) break;
    const std::string_view name = text::TrimAscii(connectionString.substr(at, eq - at));
    size_t i = eq + 1;
    std::string value;
    if (i < connectionString.size() && connectionString[i] == '{') {
      // {value}, a '}' inside doubled.
      for (++i; i < connectionString.size(); ++i) {
        if (connectionString[i] == '}') {
          if (i + 1 < connectionString.size() && connectionString[i + 1] == '}') {
            value.push_back('}');
            ++i;
            continue;
          }
          ++i;
          break;
        }
        value.push_back(connectionString[i]);
      }
      i = std::min(connectionString.find(';', i), connectionString.size());
    } else {
      const size_t end = std::min(connectionString.find(';', i), connectionString.size());
      value = std::string(text::TrimAscii(connectionString.substr(i, end - i)));
      i = end;
    }
    // The last one counts, as with the driver manager.
    if (text::EqualsNoCase(name, key)) found = std::move(value);
    at = i + 1;
  }
  return found;
}

std::string DriverFile(std::string_view connectionString) {
  std::string driver = ConnectionValue(connectionString, "DRIVER").value_or("");
  const std::string dsn = ConnectionValue(connectionString, "DSN").value_or("");
  if (driver.find('/') != std::string::npos) return driver;
  const SQLHENV env = Environment::Get().handle();
  if (!env) return {};
  // The driver manager's lists are walked with state kept in the
  // environment: one walk at a time.
  static Mutex walking;
  MutexLock lock(walking);
  if (driver.empty() && !dsn.empty()) {
    SQLCHAR name[SQL_MAX_DSN_LENGTH + 1], description[512];
    SQLSMALLINT nameLength = 0, descriptionLength = 0;
    for (SQLUSMALLINT direction = SQL_FETCH_FIRST;
         SQL_SUCCEEDED(SQLDataSources(env, direction, name, sizeof name, &nameLength, description,
                                      sizeof description, &descriptionLength));
         direction = SQL_FETCH_NEXT) {
      if (text::EqualsNoCase(reinterpret_cast<const char*>(name), dsn))
        driver = reinterpret_cast<const char*>(description);
    }
    if (driver.find('/') != std::string::npos) return driver;
  }
  if (driver.empty()) return {};
  std::string file;
  SQLCHAR description[512], attributes[4096];
  SQLSMALLINT descriptionLength = 0, attributesLength = 0;
  for (SQLUSMALLINT direction = SQL_FETCH_FIRST;
       SQL_SUCCEEDED(SQLDrivers(env, direction, description, sizeof description, &descriptionLength, attributes,
                                sizeof attributes, &attributesLength));
       direction = SQL_FETCH_NEXT) {
    if (!text::EqualsNoCase(reinterpret_cast<const char*>(description), driver)) continue;
    // "key=value" pairs, each ended by a NUL (a list cut short by the
    // buffer ends where it was cut).
    const std::string_view pairs(reinterpret_cast<const char*>(attributes),
                                 std::clamp<size_t>(attributesLength, 0, sizeof attributes - 1));
    for (size_t at = 0; at < pairs.size();) {
      const size_t end = std::min(pairs.find('\0', at), pairs.size());
      const std::string_view item = pairs.substr(at, end - at);
      if (item.empty()) break;
      if (item.size() > 7 && text::EqualsNoCase(item.substr(0, 7), "Driver=")) file = item.substr(7);
      at = end + 1;
    }
  }
  return file;
}

// ---- Connection -----------------------------------------------------------------

Connection::Connection() : env_(&Environment::Get()) {}

Connection::~Connection() { Close(); }

Status Connection::Open(std::string_view connectionString, int loginTimeoutSeconds) {
  Close();
  if (!env_->handle()) return Failure("SQLAllocHandle", "HY001", "the ODBC environment could not be created");
  std::u16string conn = W(connectionString);
  SQLHDBC dbc = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_->handle(), &dbc)))
    return Collect(SQL_HANDLE_ENV, env_->handle(), "SQLAllocHandle", true);
  if (loginTimeoutSeconds > 0) {
    SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(loginTimeoutSeconds)), 0);
    SQLSetConnectAttrW(dbc, SQL_ATTR_CONNECTION_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(loginTimeoutSeconds)), 0);
  }
  // The driver allocates its connection inside the connect, and frees it
  // there again when the connect fails.
  Status failure = env_->Alone([&]() -> Status {
    const SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, WPtr(conn), static_cast<SQLSMALLINT>(conn.size()), nullptr,
                                           0, nullptr, SQL_DRIVER_NOPROMPT);
    if (SQL_SUCCEEDED(rc)) return {};
    Status refused = Collect(SQL_HANDLE_DBC, dbc, "SQLDriverConnect", true);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    return refused;
  });
  if (!failure.ok()) return failure;
  dbc_ = dbc;
  open_ = true;
  autoCommit_ = true;
  lost_ = false;
  owner_.Take("Connection::Open");
  // SQLite's driver hands narrow text to the engine, whose text is UTF-8;
  // psqlODBC converts it unless the process's character type is its client
  // encoding; others read it in the client's code page.
  const std::string dbms = DbmsName();
  kind_ = text::EqualsNoCase(dbms, "SQLite")       ? Kind::SQLite
          : text::EqualsNoCase(dbms, "PostgreSQL") ? Kind::PostgreSQL
                                                   : Kind::Other;
  narrowIsUtf8_ = kind_ == Kind::SQLite || (kind_ == Kind::PostgreSQL && NarrowIsUtf8On(dbc_));
  driverSteps_ = false;
  wal_.reset();
  if (kind_ == Kind::SQLite) {
    // In its step mode the driver starts statements forward-only.
    SQLHSTMT probe = nullptr;
    SQLULEN cursor = SQL_CURSOR_STATIC;
    if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &probe))) {
      driverSteps_ = SQL_SUCCEEDED(SQLGetStmtAttrW(probe, SQL_ATTR_CURSOR_TYPE, &cursor, 0, nullptr)) &&
                     cursor == SQL_CURSOR_FORWARD_ONLY;
      SQLFreeHandle(SQL_HANDLE_STMT, probe);
    }
  }
  return {};
}

bool Connection::MayStep() {
  if (!driverSteps_ || !open_) return false;
  owner_.Check("Connection::MayStep");
  if (!wal_) wal_ = text::EqualsNoCase(FirstText(dbc_, "PRAGMA journal_mode").value_or(""), "wal");
  return *wal_;
}

void Connection::Close() {
  if (!dbc_) return;
  owner_.CheckFree("Connection::Close");
  if (open_ && !autoCommit_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
  env_->Free(dbc_, open_);
  dbc_ = nullptr;
  open_ = false;
  owner_.Give();
}

Status Connection::SetAutoCommit(bool on) {
  if (!open_) return Failure("SQLSetConnectAttr", "08003", "the connection is not open");
  owner_.Check("Connection::SetAutoCommit");
  const SQLRETURN rc = SQLSetConnectAttrW(
      dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)), 0);
  if (!SQL_SUCCEEDED(rc)) {
    Status failure = Collect(SQL_HANDLE_DBC, dbc_, "SQLSetConnectAttr");
    NoteFailure(failure);
    return failure;
  }
  autoCommit_ = on;
  return {};
}

Status Connection::EndTransaction(bool commit) {
  if (!open_) return Failure("SQLEndTran", "08003", "the connection is not open");
  owner_.Check(commit ? "Connection::Commit" : "Connection::Rollback");
  const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_, commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (!SQL_SUCCEEDED(rc)) {
    Status failure = Collect(SQL_HANDLE_DBC, dbc_, "SQLEndTran");
    NoteFailure(failure);
    return failure;
  }
  return {};
}

Status Connection::Commit() { return EndTransaction(true); }
Status Connection::Rollback() { return EndTransaction(false); }

void Connection::NoteFailure(const Status& status) {
  if (status.code() == DB_E_CANNOTCONNECT) lost_ = true;
}

bool Connection::Lost() const {
  if (!open_ || lost_) return true;
  owner_.Check("Connection::Lost");
  // Drivers that do not know the attribute answer an error: not known dead.
  SQLUINTEGER dead = SQL_CD_FALSE;
  const SQLRETURN rc = SQLGetConnectAttrW(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
  return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

// Multiples of the UTF-8 bytes, in quarters, measured with
// bench/odbc_text_floor (the process's peak above its size before, 10 MB
// and 100 MB texts, rounded up):
// - a read: SQLite's driver keeps the row it read at the execute (1) and
//   the value goes into a buffer of its size (1); psqlODBC keeps libpq's
//   message and its own row (2), then the buffer (1). Read wide, the
//   drivers' UTF-16 forms and conversions come on top (up to 7 with
//   psqlODBC under a character type other than UTF-8), then the UTF-8 (1).
// - a write: SQLite's engine makes the record (1, 1.18 at 10 MB);
//   psqlODBC copies the value into its message and libpq into its output
//   buffer (2). Bound wide: the UTF-16 form (2, at most, per UTF-8 byte)
//   and the drivers' conversions back (2 with SQLite, up to 7 with
//   psqlODBC under another character type).
// A driver not measured is taken as the costliest seen.
uint64_t Connection::TextReadHolds(uint64_t utf8Bytes) const {
  const uint64_t quarters = !narrowIsUtf8_ ? 32 : kind_ == Kind::SQLite ? 8 : 12;
  return utf8Bytes / 4 * quarters + utf8Bytes % 4 * quarters / 4;
}

uint64_t Connection::TextWriteHolds(uint64_t utf8Bytes) const {
  const uint64_t quarters = narrowIsUtf8_ ? (kind_ == Kind::SQLite ? 5 : 8) : (kind_ == Kind::SQLite ? 16 : 36);
  return utf8Bytes / 4 * quarters + utf8Bytes % 4 * quarters / 4;
}

std::string Connection::DbmsName() const {
  if (!open_) return {};
  owner_.Check("Connection::DbmsName");
  SQLWCHAR name[256] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc_, SQL_DBMS_NAME, name, sizeof name, &length))) return {};
  return FromW(name, std::min<size_t>(static_cast<size_t>(length) / sizeof(SQLWCHAR), 255));
}

// ---- Statement ------------------------------------------------------------------

// Input texts shorter than this together are not reserved: small calls
// stay as cheap as they were.
constexpr uint64_t kReserveInputFrom = uint64_t{64} << 10;

struct Statement::Bound {
  std::u16string wide;  // text, with room for output
  std::string bytes;    // binary, or narrow input text
  std::shared_ptr<const void> shared;  // keeps a SharedText bound in place
  int64_t integer = 0;
  int32_t integer32 = 0;
  double real = 0;
  SQLLEN indicator = 0;
};

Statement::Statement(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {
  if (!connection_ || !connection_->IsOpen()) {
    allocStatus_ = Failure("SQLAllocHandle", "08003", "the connection is not open");
    return;
  }
  connection_->Owner().Check("Statement::Statement");
  SQLHSTMT stmt = nullptr;
  const SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, connection_->handle(), &stmt);
  if (!SQL_SUCCEEDED(rc)) {
    allocStatus_ = Collect(SQL_HANDLE_DBC, connection_->handle(), "SQLAllocHandle");
    return;
  }
  stmt_ = stmt;
}

Statement::~Statement() {
  if (!stmt_) return;
  connection_->Owner().CheckFree("Statement::~Statement");
  SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
}

Status Statement::Execute(std::string_view sql) {
  std::vector<Param> none;
  return Execute(sql, none);
}

Status Statement::Execute(std::string_view sql, std::vector<Param>& params) {
  if (!stmt_) return allocStatus_;
  connection_->Owner().Check("Statement::Execute");
  CloseCursor();
  Unbind();
  SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
  bound_.clear();
  columns_.clear();
  stepped_ = false;
  driverHeld_ = 0;
  driverRows_ = com::MemoryHold();

  QUOR_RETURN_IF_ERROR(Prepare(sql));
  if (connection_->DriverSteps() && !readingChosen_) QUOR_RETURN_IF_ERROR(ChooseReading(sql));
  SQLRETURN rc = SQL_SUCCESS;

  // What the driver copies of long input texts (and their UTF-16 forms,
  // bound wide) is reserved in the call's account before it is made, for
  // as long as the statement runs.
  uint64_t inputText = 0;
  for (const Param& p : params) {
    if (p.kind != Param::Kind::Text || p.direction != Param::Direction::Input) continue;
    if (auto* v = std::get_if<std::string>(&p.value)) inputText += v->size();
    else if (auto* shared = std::get_if<SharedText>(&p.value)) inputText += shared->text.size();
  }
  com::MemoryHold copies;
  if (inputText >= kReserveInputFrom) {
    copies = com::HoldForCall(com::MemoryUse::Parameters);
    QUOR_RETURN_IF_ERROR(copies.GrowTo(connection_->TextWriteHolds(inputText)));
  }

  for (size_t i = 0; i < params.size(); ++i) {
    const Param& p = params[i];
    auto b = std::make_unique<Bound>();
    const SQLSMALLINT io = p.direction == Param::Direction::Input    ? SQL_PARAM_INPUT
                           : p.direction == Param::Direction::Output ? SQL_PARAM_OUTPUT
                                                                      : SQL_PARAM_INPUT_OUTPUT;
    const bool isNull = std::holds_alternative<std::monostate>(p.value);
    SQLSMALLINT ctype = SQL_C_WCHAR, sqltype = SQL_WVARCHAR;
    SQLULEN columnSize = 0;
    SQLPOINTER buffer = nullptr;
    SQLLEN bufferLength = 0;
    switch (p.kind) {
      case Param::Kind::Integer:
        ctype = SQL_C_SLONG;
        sqltype = SQL_INTEGER;
        if (auto* v = std::get_if<int32_t>(&p.value)) b->integer32 = *v;
        else if (auto* v64 = std::get_if<int64_t>(&p.value)) b->integer32 = static_cast<int32_t>(*v64);
        buffer = &b->integer32;
        b->indicator = 0;
        break;
      case Param::Kind::BigInt:
        ctype = SQL_C_SBIGINT;
        sqltype = SQL_BIGINT;
        if (auto* v = std::get_if<int64_t>(&p.value)) b->integer = *v;
        else if (auto* v32 = std::get_if<int32_t>(&p.value)) b->integer = *v32;
        buffer = &b->integer;
        break;
      case Param::Kind::Double:
        ctype = SQL_C_DOUBLE;
        sqltype = SQL_DOUBLE;
        if (auto* v = std::get_if<double>(&p.value)) b->real = *v;
        buffer = &b->real;
        break;
      case Param::Kind::Text: {
        std::string_view text;
        if (auto* v = std::get_if<std::string>(&p.value)) text = *v;
        else if (auto* shared = std::get_if<SharedText>(&p.value)) text = shared->text;
        // Valid UTF-8 goes to a driver that takes it as it is; the SQL type
        // and size stay those of the text's UTF-16 form.
        const std::optional<size_t> units = io == SQL_PARAM_INPUT && !isNull && connection_->NarrowIsUtf8()
                                                ? text::Utf16Length(text)
                                                : std::nullopt;
        if (units) {
          if (auto* shared = std::get_if<SharedText>(&p.value)) {
            b->shared = shared->owner;
          } else {
            b->bytes.assign(text);
            text = b->bytes;
          }
          ctype = SQL_C_CHAR;
          sqltype = *units > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
          columnSize = std::max<size_t>(*units, 1);
          // An input buffer is only read; "" for empty text, never a null pointer.
          buffer = const_cast<char*>(text.empty() ? "" : text.data());
          bufferLength = static_cast<SQLLEN>(text.size() + 1);
          // SQLite's driver copies a text given by its length, to end it;
          // one that ends in its own NUL, and holds none before, it binds
          // where it lies.
          b->indicator = text.find('\0') == std::string_view::npos ? SQL_NTS : static_cast<SQLLEN>(text.size());
          break;
        }
        b->wide = W(text);
        const size_t chars = b->wide.size();
        const size_t capacity = io == SQL_PARAM_INPUT ? chars : std::max(chars, p.outputSize);
        // An input ends in the string's own terminator: growing it by one
        // would move (and, at its capacity, double) a long text.
        if (io != SQL_PARAM_INPUT) b->wide.resize(capacity + 1, u'\0');
        ctype = SQL_C_WCHAR;
        sqltype = capacity > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
        columnSize = std::max<size_t>(capacity, 1);
        buffer = b->wide.data();
        bufferLength = static_cast<SQLLEN>((capacity + 1) * sizeof(SQLWCHAR));
        b->indicator = static_cast<SQLLEN>(chars * sizeof(SQLWCHAR));
        break;
      }
      case Param::Kind::Binary: {
        if (auto* v = std::get_if<std::string>(&p.value)) b->bytes = *v;
        const size_t capacity = io == SQL_PARAM_INPUT ? b->bytes.size() : std::max(b->bytes.size(), p.outputSize);
        const size_t used = b->bytes.size();
        b->bytes.resize(std::max<size_t>(capacity, 1));
        ctype = SQL_C_BINARY;
        sqltype = SQL_LONGVARBINARY;
        columnSize = std::max<size_t>(capacity, 1);
        buffer = b->bytes.data();
        bufferLength = static_cast<SQLLEN>(b->bytes.size());
        b->indicator = static_cast<SQLLEN>(used);
        break;
      }
    }
    if (isNull && io != SQL_PARAM_OUTPUT) b->indicator = SQL_NULL_DATA;
    rc = SQLBindParameter(stmt_, static_cast<SQLUSMALLINT>(i + 1), io, ctype, sqltype, columnSize, 0, buffer,
                          bufferLength, &b->indicator);
    if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLBindParameter");
    bound_.push_back(std::move(b));
  }

  // Only a query's rows: a change is never stopped for what its database
  // takes while it writes.
  SQLSMALLINT resultColumns = 0;
  const bool counted = countDriverRows_ && SQL_SUCCEEDED(SQLNumResultCols(stmt_, &resultColumns)) && resultColumns > 0;
  DriverGate gate{sqliteHeld, counted ? com::HoldForCall(com::MemoryUse::DriverRows) : com::MemoryHold(), Status()};
  if (counted) t_gate = &gate;
  rc = SQLExecute(stmt_);
  t_gate = nullptr;
  driverHeld_ = static_cast<uint64_t>(std::max<int64_t>(sqliteHeld - gate.base, 0));
  if (!gate.refusal.ok()) return gate.refusal;
  if (rc != SQL_NO_DATA && !SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLExecute");
  driverRows_ = std::move(gate.hold);
  QUOR_RETURN_IF_ERROR(DescribeResult());
  if (connection_->DriverSteps() && !staticCursor_ && !columns_.empty()) {
    // The driver counts the rows of a result it read whole, and none of
    // one it steps through; it may still read a query whole (one with
    // parameters, one in a transaction, one while another steps).
    SQLLEN count = -1;
    stepped_ = !SQL_SUCCEEDED(SQLGetDiagFieldW(SQL_HANDLE_STMT, stmt_, 0, SQL_DIAG_CURSOR_ROW_COUNT, &count, 0,
                                               nullptr)) ||
               count < 0;
  }

  // Output values are complete once there is no result left to read; with a
  // result open they are read back by the caller after the rows. Not strict,
  // so nothing fails.
  ReadBoundOutputs(params, false).Ignore();
  // Without a result nothing reads the inputs again: a long text, or the
  // share that keeps one, goes now, not when a cached statement next runs.
  if (columns_.empty()) {
    SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
    for (size_t i = 0; i < params.size(); ++i)
      if (params[i].direction == Param::Direction::Input) *bound_[i] = Bound();
  }
  return {};
}

// The same text again keeps the statement already prepared.
Status Statement::Prepare(std::string_view sql) {
  if (prepared_ && preparedSql_ == sql) return {};
  prepared_ = false;
  std::u16string wsql = W(sql);
  const SQLRETURN rc = SQLPrepareW(stmt_, WPtr(wsql), static_cast<SQLINTEGER>(wsql.size()));
  if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLPrepare");
  preparedSql_ = std::string(sql);
  prepared_ = true;
  readingChosen_ = false;
  return {};
}

Status Statement::ChooseReading(std::string_view sql) {
  QUOR_RETURN_IF_ERROR(DescribeResult());
  const bool whole = !connection_->MayStep() || !TypesDeclared();
  if (whole != staticCursor_) {
    QUOR_RETURN_IF_ERROR(Reopen(whole));
    QUOR_RETURN_IF_ERROR(Prepare(sql));
  }
  readingChosen_ = true;
  return {};
}

// Before it runs, the driver describes a column whose type no table
// declares as "varchar" (a computed one, or one of a table that declares
// none for it); reading every row it takes the first value's type instead,
// reading row by row it keeps that. So a "varchar" is a declared one only
// where its table declares a type for each of its columns. A query of no
// columns is read whole: a pragma that sets something runs when stepped.
bool Statement::TypesDeclared() {
  if (columns_.empty()) return false;
  const auto attribute = [&](SQLUSMALLINT column, SQLUSMALLINT field) -> std::optional<std::string> {
    SQLWCHAR value[256];
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLColAttributeW(stmt_, column, field, value, sizeof value, &length, nullptr)))
      return std::nullopt;
    return FromW(value, std::clamp<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)) / sizeof(SQLWCHAR),
                                           0, 255));
  };
  std::vector<std::string> tables;
  for (SQLUSMALLINT c = 1; c <= columns_.size(); ++c) {
    const std::optional<std::string> type = attribute(c, SQL_DESC_TYPE_NAME);
    if (!type) return false;
    if (*type != "varchar" && *type != "wvarchar") continue;
    const std::optional<std::string> table = attribute(c, SQL_DESC_BASE_TABLE_NAME);
    if (!table || table->empty()) return false;
    if (std::find(tables.begin(), tables.end(), *table) == tables.end()) tables.push_back(*table);
  }
  for (const std::string& table : tables) {
    // Every table of that name, in every schema of the connection.
    std::string literal = "'";
    for (const char c : table) literal += c == '\'' ? std::string("''") : std::string(1, c);
    literal += "'";
    const std::string typed = FirstText(connection_->handle(),
                                        "SELECT sum((SELECT count(*) FROM pragma_table_xinfo(" + literal +
                                            ", d.name))) > 0 AND sum((SELECT count(*) FROM pragma_table_xinfo(" +
                                            literal + ", d.name) WHERE type = '')) = 0 FROM pragma_database_list AS d")
                                  .value_or("0");
    if (typed != "1") return false;
  }
  return true;
}

Status Statement::Reopen(bool whole) {
  Unbind();
  SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
  stmt_ = nullptr;
  prepared_ = false;
  SQLHSTMT stmt = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection_->handle(), &stmt))) {
    allocStatus_ = Collect(SQL_HANDLE_DBC, connection_->handle(), "SQLAllocHandle");
    return allocStatus_;
  }
  stmt_ = stmt;
  staticCursor_ = whole;
  const SQLULEN cursor = whole ? SQL_CURSOR_STATIC : SQL_CURSOR_FORWARD_ONLY;
  if (!SQL_SUCCEEDED(SQLSetStmtAttrW(stmt_, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(cursor), 0)))
    return CollectOn(*connection_, stmt_, "SQLSetStmtAttr");
  return {};
}

Status Statement::Describe(std::string_view sql) {
  if (!stmt_) return allocStatus_;
  connection_->Owner().Check("Statement::Describe");
  CloseCursor();
  Unbind();
  columns_.clear();
  QUOR_RETURN_IF_ERROR(Prepare(sql));
  return DescribeResult();
}

Status Statement::ReadOutputs(std::vector<Param>& params) {
  if (params.size() != bound_.size())
    return Failure("ReadOutputs", "07002", "the parameters are not those of the last execution");
  return ReadBoundOutputs(params, true);
}

Status Statement::ReadBoundOutputs(std::vector<Param>& params, bool strict) {
  const size_t count = std::min(params.size(), bound_.size());
  std::vector<size_t> truncated;
  for (size_t i = 0; i < count; ++i) {
    Param& p = params[i];
    if (p.direction == Param::Direction::Input) continue;
    const Bound& b = *bound_[i];
    if (b.indicator == SQL_NULL_DATA) {
      p.value = std::monostate{};
      continue;
    }
    switch (p.kind) {
      case Param::Kind::Integer: p.value = b.integer32; break;
      case Param::Kind::BigInt: p.value = b.integer; break;
      case Param::Kind::Double: p.value = b.real; break;
      case Param::Kind::Text: {
        // The buffer holds its capacity plus the terminating zero.
        const size_t capacity = b.wide.size() - 1;
        const bool cut = b.indicator == SQL_NO_TOTAL ||
                         (b.indicator >= 0 && static_cast<size_t>(b.indicator) / sizeof(SQLWCHAR) > capacity);
        if (cut) truncated.push_back(i);
        size_t chars = b.indicator >= 0 ? static_cast<size_t>(b.indicator) / sizeof(SQLWCHAR) : 0;
        chars = std::min(chars, capacity);
        p.value = text::Narrow(std::u16string_view(b.wide.data(), chars));
        break;
      }
      case Param::Kind::Binary: {
        const bool cut = b.indicator == SQL_NO_TOTAL ||
                         (b.indicator >= 0 && static_cast<size_t>(b.indicator) > b.bytes.size());
        if (cut) truncated.push_back(i);
        const size_t n = b.indicator >= 0 ? std::min(static_cast<size_t>(b.indicator), b.bytes.size()) : 0;
        p.value = b.bytes.substr(0, n);
        break;
      }
    }
  }
  if (!strict || truncated.empty()) return {};
  // A value cut to its buffer is never handed on as if it were whole.
  std::string which;
  for (const size_t i : truncated) which += (which.empty() ? "" : ", ") + std::to_string(i + 1);
  return Failure("ReadOutputs", "22001", "output parameter " + which + " is longer than its buffer");
}

Status Statement::DescribeResult() {
  // The columns of another result may differ: bindings start afresh.
  Unbind();
  columns_.clear();
  SQLSMALLINT count = 0;
  SQLRETURN rc = SQLNumResultCols(stmt_, &count);
  if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLNumResultCols");
  for (SQLSMALLINT c = 1; c <= count; ++c) {
    SQLWCHAR name[512];
    SQLSMALLINT nameLength = 0, type = 0, decimals = 0, nullable = 0;
    SQLULEN size = 0;
    rc = SQLDescribeColW(stmt_, c, name, 512, &nameLength, &type, &size, &decimals, &nullable);
    if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLDescribeCol");
    nameLength = std::min<SQLSMALLINT>(std::max<SQLSMALLINT>(nameLength, 0), 511);
    columns_.push_back(ColumnInfo{FromW(name, static_cast<size_t>(nameLength)), type, size, decimals,
                                  nullable != SQL_NO_NULLS});
  }
  cells_.resize(columns_.size());
  return {};
}

void Statement::Unbind() {
  if (columnsBound_ && stmt_) SQLFreeStmt(stmt_, SQL_UNBIND);
  columnsBound_ = false;
  for (Cell& cell : cells_) {
    cell.bound = false;
    cell.boundType = 0;
  }
}

static_assert(sizeof(SQLLEN) == sizeof(int64_t) && alignof(SQLLEN) == alignof(int64_t));

// Text columns whose declared size is at most this many characters are bound
// to a buffer of SQLGetData's first chunk: a value that fits reads as the
// first call would read it, a longer one is read again from the start.
constexpr uint64_t kBoundTextChars = 255;

Status Statement::BindColumns() {
  columnsBound_ = true;
  if (!getDataBound_) {
    SQLUINTEGER extensions = 0;
    getDataBound_ = SQL_SUCCEEDED(SQLGetInfo(connection_->handle(), SQL_GETDATA_EXTENSIONS, &extensions,
                                             sizeof extensions, nullptr)) &&
                    (extensions & SQL_GD_BOUND) != 0;
  }
  for (size_t i = 0; i < columns_.size(); ++i) {
    const ColumnInfo& info = columns_[i];
    const SQLSMALLINT type = info.sqlType;
    Cell& cell = cells_[i];
    auto* indicator = reinterpret_cast<SQLLEN*>(&cell.indicator);
    const auto col = static_cast<SQLUSMALLINT>(i + 1);
    SQLSMALLINT ctype;
    SQLPOINTER buffer;
    SQLLEN length;
    if (IsIntegerType(type)) {
      ctype = SQL_C_SBIGINT;
      buffer = &cell.integer;
      length = sizeof cell.integer;
    } else if (IsFloatType(type)) {
      ctype = SQL_C_DOUBLE;
      buffer = &cell.real;
      length = sizeof cell.real;
    } else if (!IsBinaryType(type) && *getDataBound_ && info.size > 0 && info.size <= kBoundTextChars &&
               type != SQL_LONGVARCHAR && type != SQL_WLONGVARCHAR) {
      const bool narrow = ReadsNarrow(type);
      ctype = narrow ? SQL_C_CHAR : SQL_C_WCHAR;
      cell.buffer.resize(256 * (narrow ? 1 : sizeof(SQLWCHAR)));
      buffer = cell.buffer.data();
      length = static_cast<SQLLEN>(cell.buffer.size());
    } else {
      continue;
    }
    const SQLRETURN rc = SQLBindCol(stmt_, col, ctype, buffer, length, indicator);
    if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLBindCol");
    cell.bound = true;
    cell.boundType = ctype;
  }
  return {};
}

bool Statement::ReadsNarrow(int16_t sqlType) const {
  switch (narrowText_) {
    case NarrowText::None: return false;
    case NarrowText::NarrowTypes: return sqlType == SQL_CHAR || sqlType == SQL_VARCHAR || sqlType == SQL_LONGVARCHAR;
    case NarrowText::All: return IsCharacterType(sqlType);
  }
  return false;
}

int64_t Statement::RowCount() const {
  if (!stmt_) return -1;
  connection_->Owner().Check("Statement::RowCount");
  SQLLEN count = -1;
  if (!SQL_SUCCEEDED(SQLRowCount(stmt_, &count))) return -1;
  return count;
}

Result<bool> Statement::Fetch() {
  if (!stmt_ || columns_.empty()) return false;
  connection_->Owner().Check("Statement::Fetch");
  if (!columnsBound_) {
    // A driver that refuses a binding has every column read on demand.
    if (!BindColumns().ok()) {
      Unbind();
      columnsBound_ = true;
    }
  }
  const SQLRETURN rc = SQLFetch(stmt_);
  if (rc == SQL_NO_DATA) return false;
  if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLFetch");
  return true;
}

Result<Value> Statement::Get(size_t column) {
  QUOR_ASSIGN_OR_RETURN(const ValueView view, Read(column));
  Value v;
  v.kind = view.kind;
  v.integer = view.integer;
  v.real = view.real;
  v.text.assign(view.text);
  v.narrow = view.narrow;
  return v;
}

Result<ValueView> Statement::Read(size_t column) {
  if (column >= columns_.size() || column >= cells_.size())
    return Failure("SQLGetData", "07009", "column index out of range");
  connection_->Owner().Check("Statement::Read");
  const auto col = static_cast<SQLUSMALLINT>(column + 1);
  const SQLSMALLINT type = columns_[column].sqlType;
  Cell& cell = cells_[column];
  SQLLEN indicator = 0;
  SQLRETURN rc = SQL_SUCCESS;
  ValueView v;
  const size_t unit = cell.boundType == SQL_C_WCHAR ? sizeof(SQLWCHAR) : 1;
  const bool boundText = cell.bound && (cell.boundType == SQL_C_CHAR || cell.boundType == SQL_C_WCHAR);
  // A value that filled its buffer may have been cut: read it whole.
  const bool fits = boundText && cell.indicator != SQL_NO_TOTAL &&
                    (cell.indicator == SQL_NULL_DATA ||
                     static_cast<size_t>(cell.indicator) <= cell.buffer.size() - unit);
  if (cell.bound && !boundText) {
    if (cell.indicator != SQL_NULL_DATA) {
      if (cell.boundType == SQL_C_SBIGINT) {
        v.kind = Value::Kind::Integer;
        v.integer = cell.integer;
      } else {
        v.kind = Value::Kind::Double;
        v.real = cell.real;
      }
    }
  } else if (fits) {
    if (cell.indicator != SQL_NULL_DATA) {
      const auto got = static_cast<size_t>(cell.indicator);
      cell.text.clear();
      if (unit == 1) cell.text.assign(cell.buffer.data(), got);
      else AppendNarrow(std::string_view(cell.buffer.data(), got - got % unit), cell.text);
      v.kind = Value::Kind::Text;
      v.narrow = unit == 1;
      v.text = cell.text;
    }
  } else if (IsIntegerType(type)) {
    SQLBIGINT n = 0;
    rc = SQLGetData(stmt_, col, SQL_C_SBIGINT, &n, sizeof n, &indicator);
    if (SQL_SUCCEEDED(rc) && indicator != SQL_NULL_DATA) {
      v.kind = Value::Kind::Integer;
      v.integer = n;
    }
  } else if (IsFloatType(type)) {
    double d = 0;
    rc = SQLGetData(stmt_, col, SQL_C_DOUBLE, &d, sizeof d, &indicator);
    if (SQL_SUCCEEDED(rc) && indicator != SQL_NULL_DATA) {
      v.kind = Value::Kind::Double;
      v.real = d;
    }
  } else {
    // Everything else, text, decimals and dates included, is read as text in
    // chunks, so long values arrive whole; binary values as bytes.
    const bool binary = IsBinaryType(type);
    const bool narrow = !binary && ReadsNarrow(type);
    bool null = false;
    cell.text.clear();
    if (binary) {
      rc = GetChunked(stmt_, col, SQL_C_BINARY, 1, false, chunk_, cell.text, null);
    } else if (narrow) {
      rc = GetChunked(stmt_, col, SQL_C_CHAR, 1, true, chunk_, cell.text, null);
    } else {
      wide_.clear();
      rc = GetChunked(stmt_, col, SQL_C_WCHAR, sizeof(SQLWCHAR), true, chunk_, wide_, null);
      if (SQL_SUCCEEDED(rc) && !null) AppendNarrow(wide_, cell.text);
    }
    if (SQL_SUCCEEDED(rc) && !null) {
      v.kind = binary ? Value::Kind::Binary : Value::Kind::Text;
      v.narrow = narrow;
      v.text = cell.text;
    }
    if (binary && rc == SQL_NO_DATA) rc = SQL_SUCCESS;
  }
  if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLGetData");
  return v;
}

Status Statement::ReadText(size_t column, const std::function<Status(uint64_t bytes)>& reserve, std::string& text,
                           bool& null) {
  text.clear();
  null = false;
  if (column >= columns_.size() || column >= cells_.size())
    return Failure("SQLGetData", "07009", "column index out of range");
  connection_->Owner().Check("Statement::ReadText");
  const Cell& cell = cells_[column];
  const size_t boundUnit = cell.boundType == SQL_C_WCHAR ? sizeof(SQLWCHAR) : 1;
  const bool boundText = cell.boundType == SQL_C_CHAR || cell.boundType == SQL_C_WCHAR;
  if (cell.bound && (!boundText || (cell.indicator != SQL_NO_TOTAL &&
                                    (cell.indicator == SQL_NULL_DATA ||
                                     static_cast<size_t>(cell.indicator) <= cell.buffer.size() - boundUnit)))) {
    // A short value the fetch filled in: as Read gives it.
    QUOR_ASSIGN_OR_RETURN(const ValueView value, Read(column));
    null = value.IsNull();
    QUOR_RETURN_IF_ERROR(reserve(connection_->TextReadHolds(value.text.size())));
    text.assign(value.text);
    return {};
  }
  const auto col = static_cast<SQLUSMALLINT>(column + 1);
  const bool narrow = connection_->NarrowIsUtf8();
  const SQLSMALLINT ctype = narrow ? SQL_C_CHAR : SQL_C_WCHAR;
  const size_t unit = narrow ? 1 : sizeof(SQLWCHAR);
  // No room at all: the driver tells the length and copies nothing yet
  // (psqlODBC makes a whole copy of a value that does not fit the room).
  char none[sizeof(SQLWCHAR)];
  SQLLEN total = 0;
  SQLRETURN rc = SQLGetData(stmt_, col, ctype, none, 0, &total);
  if (rc == SQL_NO_DATA) return {};
  if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLGetData");
  if (total == SQL_NULL_DATA) {
    null = true;
    return {};
  }
  if (total == SQL_NO_TOTAL || total < 0) {
    // A driver that cannot tell: in pieces, reserved once it is known.
    std::string& into = narrow ? text : wide_;
    into.clear();
    rc = GetChunked(stmt_, col, ctype, unit, true, chunk_, into, null);
    if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLGetData");
    QUOR_RETURN_IF_ERROR(reserve(connection_->TextReadHolds(narrow ? text.size() : wide_.size() / 2 * 3)));
  } else {
    const auto bytes = static_cast<size_t>(total);
    // UTF-16 takes at least as many bytes as the UTF-8 of the same text.
    QUOR_RETURN_IF_ERROR(reserve(connection_->TextReadHolds(narrow ? bytes : bytes / 2 * 3)));
    std::string& into = narrow ? text : wide_;
    into.resize(bytes + unit);
    SQLLEN got = 0;
    rc = bytes == 0 ? SQL_SUCCESS : SQLGetData(stmt_, col, ctype, into.data(), static_cast<SQLLEN>(into.size()), &got);
    if (rc == SQL_NO_DATA) got = 0;
    else if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLGetData");
    into.resize(bytes == 0 ? 0 : std::min(bytes, static_cast<size_t>(std::max<SQLLEN>(got, 0))));
  }
  if (!narrow) {
    AppendNarrow(wide_, text);
    wide_ = std::string();
  }
  return {};
}

Result<bool> Statement::NextResult() {
  if (!stmt_) return false;
  connection_->Owner().Check("Statement::NextResult");
  const SQLRETURN rc = SQLMoreResults(stmt_);
  if (rc == SQL_NO_DATA) return false;
  if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, "SQLMoreResults");
  QUOR_RETURN_IF_ERROR(DescribeResult());
  return true;
}

void Statement::CloseCursor() {
  if (!stmt_) return;
  connection_->Owner().Check("Statement::CloseCursor");
  SQLFreeStmt(stmt_, SQL_CLOSE);
}

template <typename Call>
Status Statement::RunCatalog(const char* function, Call&& call) {
  if (!stmt_) return allocStatus_;
  connection_->Owner().Check(function);
  CloseCursor();
  Unbind();
  prepared_ = false;
  stepped_ = false;
  driverHeld_ = 0;
  const SQLRETURN rc = call(static_cast<SQLHSTMT>(stmt_));
  if (!SQL_SUCCEEDED(rc)) return CollectOn(*connection_, stmt_, function);
  return DescribeResult();
}

Status Statement::Tables(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                         const std::optional<std::string>& table, const std::optional<std::string>& types) {
  OptW c(catalog), s(schema), t(table), ty(types);
  return RunCatalog("SQLTables", [&](SQLHSTMT h) {
    return SQLTablesW(h, c.ptr(), c.len(), s.ptr(), s.len(), t.ptr(), t.len(), ty.ptr(), ty.len());
  });
}

Status Statement::Columns(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                          const std::optional<std::string>& table, const std::optional<std::string>& column) {
  OptW c(catalog), s(schema), t(table), co(column);
  return RunCatalog("SQLColumns", [&](SQLHSTMT h) {
    return SQLColumnsW(h, c.ptr(), c.len(), s.ptr(), s.len(), t.ptr(), t.len(), co.ptr(), co.len());
  });
}

Status Statement::Procedures(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                             const std::optional<std::string>& procedure) {
  OptW c(catalog), s(schema), p(procedure);
  return RunCatalog("SQLProcedures", [&](SQLHSTMT h) {
    return SQLProceduresW(h, c.ptr(), c.len(), s.ptr(), s.len(), p.ptr(), p.len());
  });
}

Status Statement::ProcedureColumns(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                                   const std::optional<std::string>& procedure,
                                   const std::optional<std::string>& column) {
  OptW c(catalog), s(schema), p(procedure), co(column);
  return RunCatalog("SQLProcedureColumns", [&](SQLHSTMT h) {
    return SQLProcedureColumnsW(h, c.ptr(), c.len(), s.ptr(), s.len(), p.ptr(), p.len(), co.ptr(), co.len());
  });
}

Status Statement::PrimaryKeys(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                              const std::string& table) {
  const std::optional<std::string> name(table);
  OptW c(catalog), s(schema), t(name);
  return RunCatalog("SQLPrimaryKeys", [&](SQLHSTMT h) {
    return SQLPrimaryKeysW(h, c.ptr(), c.len(), s.ptr(), s.len(), t.ptr(), t.len());
  });
}

}  // namespace quor::odbc
