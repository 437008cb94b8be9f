// odbc_text_floor: what a bare ODBC program holds, and how long it takes,
// to store one text of N bytes and to read it back, through a driver as it
// comes: the floor the server's content calls are set against.
//
//   odbc_text_floor ODBC-STRING BYTES
//
// In a temporary table of its own: the text (ASCII, so its UTF-8 and its
// UTF-16 forms have the same length in characters) is bound narrow
// (SQL_C_CHAR, as it lies) and wide (SQL_C_WCHAR), then read back narrow as
// cheaply as the driver allows (SQLGetData without a buffer for the length,
// then once into a buffer of that exact size) and, for comparison, wide and
// narrow in pieces of 1 MiB. Each step prints the process's peak resident
// size above its size before the step, as a multiple of N (the program's
// own copy of the text before the step is not counted; the buffer it reads
// into is), and its time:
//
//   put char 1.02 0.0310
//   get char 2.00 0.0120
//
// The peak is the kernel's VmHWM, reset before each step (clear_refs).
#include <malloc.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  return 0;
}

void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct Step {
  long before = 0;
  std::chrono::steady_clock::time_point start;
  void Begin() {
    ResetPeak();
    before = StatusKiB("VmRSS");
    start = std::chrono::steady_clock::now();
  }
  void End(const char* name, size_t bytes) const {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long rise = StatusKiB("VmHWM") - before, kept = StatusKiB("VmRSS") - before;
    std::printf("%s %.2f %.4f %.2f\n", name, rise * 1024.0 / static_cast<double>(bytes), seconds,
                kept * 1024.0 / static_cast<double>(bytes));
    std::fflush(stdout);
  }
};

[[noreturn]] void Fail(SQLSMALLINT type, SQLHANDLE handle, const char* what) {
  SQLCHAR state[6] = {}, message[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLGetDiagRecA(type, handle, 1, state, &native, message, sizeof message, &length);
  std::fprintf(stderr, "odbc_text_floor: %s: [%s] %s\n", what, state, message);
  std::exit(1);
}

void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const char* what) {
  if (!SQL_SUCCEEDED(rc)) Fail(type, handle, what);
}

void Run(SQLHDBC dbc, const char* sql) {
  SQLHSTMT stmt = nullptr;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
  const SQLRETURN rc = SQLExecDirectA(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) Fail(SQL_HANDLE_STMT, stmt, sql);
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

// Inserts row `id` with the text bound as `ctype` from `data` (`bytes` long,
// NUL-terminated in its own storage).
void Put(SQLHDBC dbc, int id, SQLSMALLINT ctype, const void* data, size_t bytes, size_t chars) {
  SQLHSTMT stmt = nullptr;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
  Check(SQLPrepareA(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>("INSERT INTO floor_text VALUES (?, ?)")),
                    SQL_NTS),
        SQL_HANDLE_STMT, stmt, "prepare");
  SQLINTEGER key = id;
  SQLLEN keyLength = 0, length = static_cast<SQLLEN>(bytes);
  Check(SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &key, 0, &keyLength),
        SQL_HANDLE_STMT, stmt, "bind");
  // The SQLite driver copies a text given by its length, to end it; one
  // given as NUL-terminated it binds where it lies.
  if (ctype == SQL_C_CHAR) length = SQL_NTS;
  Check(SQLBindParameter(stmt, 2, SQL_PARAM_INPUT, ctype, SQL_WLONGVARCHAR, chars, 0, const_cast<void*>(data),
                         static_cast<SQLLEN>(bytes + (ctype == SQL_C_CHAR ? 1 : 2)), &length),
        SQL_HANDLE_STMT, stmt, "bind");
  Check(SQLExecute(stmt), SQL_HANDLE_STMT, stmt, "insert");
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

enum class Read { Narrow, Wide, NarrowPieces };

// Reads row `id` back; the number of bytes read (UTF-16 for Wide).
size_t Get(SQLHDBC dbc, int id, Read how) {
  SQLHSTMT stmt = nullptr;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
  const std::string sql = "SELECT body FROM floor_text WHERE id = " + std::to_string(id);
  Check(SQLExecDirectA(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS), SQL_HANDLE_STMT,
        stmt, "select");
  Check(SQLFetch(stmt), SQL_HANDLE_STMT, stmt, "fetch");
  const SQLSMALLINT ctype = how == Read::Wide ? SQL_C_WCHAR : SQL_C_CHAR;
  const size_t unit = how == Read::Wide ? 2 : 1;
  SQLLEN total = 0;
  char probe[2];
  // No room: the driver tells the length and converts nothing yet.
  SQLRETURN rc = SQLGetData(stmt, 1, ctype, probe, 0, &total);
  Check(rc, SQL_HANDLE_STMT, stmt, "length");
  if (total < 0) Fail(SQL_HANDLE_STMT, stmt, "the driver tells no length");
  size_t got = 0;
  if (how == Read::NarrowPieces) {
    std::vector<char> piece(1 << 20);
    std::string whole;
    whole.reserve(static_cast<size_t>(total));
    while (true) {
      SQLLEN left = 0;
      rc = SQLGetData(stmt, 1, ctype, piece.data(), static_cast<SQLLEN>(piece.size()), &left);
      if (rc == SQL_NO_DATA) break;
      Check(rc, SQL_HANDLE_STMT, stmt, "piece");
      const size_t n = left == SQL_NO_TOTAL || static_cast<size_t>(left) >= piece.size()
                           ? std::strlen(piece.data())
                           : static_cast<size_t>(left);
      whole.append(piece.data(), n);
      if (rc == SQL_SUCCESS) break;
    }
    got = whole.size();
  } else {
    char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(total) + unit));
    SQLLEN again = 0;
    rc = SQLGetData(stmt, 1, ctype, buffer, total + static_cast<SQLLEN>(unit), &again);
    Check(rc, SQL_HANDLE_STMT, stmt, "read");
    got = static_cast<size_t>(again);
    std::free(buffer);
  }
  SQLFreeStmt(stmt, SQL_CLOSE);
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return got;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: odbc_text_floor ODBC-STRING BYTES\n");
    return 2;
  }
  const size_t bytes = std::strtoul(argv[2], nullptr, 10);
  // Large blocks go back to the system when freed, so that one step's
  // leftovers are not taken up again unseen by the next.
  mallopt(M_MMAP_THRESHOLD, 128 << 10);
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  Check(SQLDriverConnectA(dbc, nullptr, reinterpret_cast<SQLCHAR*>(argv[1]), SQL_NTS, nullptr, 0, nullptr,
                          SQL_DRIVER_NOPROMPT),
        SQL_HANDLE_DBC, dbc, "connect");
  Run(dbc, "CREATE TEMPORARY TABLE floor_text (id INTEGER, body TEXT)");

  std::string text(bytes, 'x');
  for (size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>('a' + i % 26);
  std::u16string wide(text.begin(), text.end());
  Step step;
  step.Begin();
  Put(dbc, 1, SQL_C_CHAR, text.c_str(), bytes, bytes);
  step.End("put char", bytes);
  step.Begin();
  Put(dbc, 3, SQL_C_CHAR, text.c_str(), bytes, bytes);
  step.End("put char again", bytes);
  step.Begin();
  Put(dbc, 2, SQL_C_WCHAR, wide.c_str(), 2 * bytes, bytes);
  step.End("put wide", bytes);
  wide = std::u16string();
  text = std::string();

  struct {
    const char* name;
    Read how;
  } const reads[] = {{"get char", Read::Narrow}, {"get wide", Read::Wide}, {"get char pieces", Read::NarrowPieces}};
  for (const auto& read : reads) {
    step.Begin();
    const size_t got = Get(dbc, 1, read.how);
    if (got != bytes * (read.how == Read::Wide ? 2 : 1)) {
      std::fprintf(stderr, "odbc_text_floor: %s read %zu bytes\n", read.name, got);
      return 1;
    }
    step.End(read.name, bytes);
  }
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return 0;
}
