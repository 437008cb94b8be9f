// Fetching 100,000 rows of 8 columns from a temporary SQLite file: one select
// through the accessor's statement execution (rows into a result document)
// against the same select through bare ODBC calls (each value read as text),
// side by side in one run. Prints the time of each and their ratio.
//
//   fetch_bench [rows]

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "accessor/statement_exec.h"
#include "platform/text/text.h"

using namespace quor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kColumns = 8;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool Check(SQLRETURN rc, const char* what) {
  if (SQL_SUCCEEDED(rc)) return true;
  std::fprintf(stderr, "%s failed\n", what);
  return false;
}

// The bare ODBC path: connect, run, read every value of every row as text.
long BareOdbc(const std::string& connection, const std::string& sql) {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  long rows = -1;
  if (Check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), "SQLAllocHandle(env)") &&
      Check(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0), "version") &&
      Check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), "SQLAllocHandle(dbc)") &&
      Check(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection.c_str())), SQL_NTS,
                             nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
            "SQLDriverConnect") &&
      Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), "SQLAllocHandle(stmt)") &&
      Check(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
            "SQLExecDirect")) {
    rows = 0;
    char buffer[4096];
    SQLLEN indicator = 0;
    std::size_t bytes = 0;
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
      for (SQLUSMALLINT c = 1; c <= kColumns; ++c) {
        if (!Check(SQLGetData(stmt, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator), "SQLGetData")) return -1;
        if (indicator > 0) bytes += static_cast<std::size_t>(indicator);
      }
      ++rows;
    }
    if (bytes == 0) rows = -1;
  }
  if (stmt) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  if (dbc) {
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  if (env) SQLFreeHandle(SQL_HANDLE_ENV, env);
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  const long rowCount = argc > 1 ? std::atol(argv[1]) : 100000;
  if (rowCount <= 0) {
    std::fprintf(stderr, "usage: fetch_bench [rows]\n");
    return 2;
  }
  const std::string path =
      (std::filesystem::temp_directory_path() / text::Format("fetch_bench_%d.db", static_cast<int>(::getpid())))
          .string();
  std::filesystem::remove(path);
  const std::string connection = "DRIVER={SQLite3};Database=" + path;

  int status = 1;
  {
    oledb::DataSource source;
    std::unique_ptr<oledb::Session> session;
    std::unique_ptr<oledb::Rowset> none;
    if (FAILED(source.SetProperty(oledb::DBPROP_INIT_PROVIDERSTRING, connection)) ||
        FAILED(source.Initialize("MSDASQL.1")) || FAILED(source.CreateSession(session))) {
      std::fprintf(stderr, "open failed: %s\n", source.LastError().c_str());
      return 1;
    }
    const std::string create =
        "CREATE TABLE bench (id INTEGER PRIMARY KEY, a VARCHAR(40), b VARCHAR(40), c INTEGER, d REAL, "
        "e VARCHAR(80), f INTEGER, g VARCHAR(20))";
    const std::string fill = text::Format(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %ld) "
        "INSERT INTO bench SELECT i, 'alpha ' || i, 'beta-' || (i %% 97), i * 7, i / 3.0, "
        "'a somewhat longer text value number ' || i, i %% 1000, 'g' || (i %% 13) FROM n",
        rowCount);
    if (FAILED(session->Execute(create, none)) || FAILED(session->Execute(fill, none))) {
      std::fprintf(stderr, "fill failed: %s\n", session->LastError().c_str());
    } else {
      accessor::CSQLParser parser;
      const xml::DocumentPtr query = xml::Document::Create();
      query->loadXML("<statement><sql><select/><from>bench</from></sql></statement>");
      const xml::DocumentPtr result = xml::Document::Create();
      auto start = Clock::now();
      const accessor::Status run = parser.ParseQueryDOM(query->firstChild()) == accessor::kOk
                                       ? accessor::ExecuteEachSQLQuery(parser, *session, "bench", 0, result)
                                       : accessor::kQueryInvalid;
      const double accessorSeconds = Seconds(start);
      const std::size_t records = run == accessor::kOk ? result->documentElement()->childNodes().size() : 0;

      start = Clock::now();
      const long bareRows = BareOdbc(connection, "SELECT * FROM bench");
      const double bareSeconds = Seconds(start);

      if (run != accessor::kOk || records != static_cast<std::size_t>(rowCount) || bareRows != rowCount) {
        std::fprintf(stderr, "wrong row counts: accessor 0x%X %zu, bare ODBC %ld\n", static_cast<unsigned>(run),
                     records, bareRows);
      } else {
        std::printf("rows %ld, columns %d\n", rowCount, kColumns);
        std::printf("accessor (result document)  %8.3f s  %10.0f rows/s\n", accessorSeconds,
                    rowCount / accessorSeconds);
        std::printf("bare ODBC (SQLGetData text) %8.3f s  %10.0f rows/s\n", bareSeconds, rowCount / bareSeconds);
        std::printf("accessor / bare              %8.2f\n", accessorSeconds / bareSeconds);
        status = 0;
      }
    }
  }
  std::filesystem::remove(path);
  return status;
}
