// Point selects by VOURI: this layer (a command per call, as the stores run
// them) against bare ODBC calls (one statement prepared once), side by side
// in one run. Prints round trips per second of each and their ratio.
//
//   ado_bench <odbc connection string> [seconds per path]

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/ado/ado.h"
#include "platform/text/text.h"

using namespace quor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRows = 1000;

template <typename Fn>
double RoundTripsPerSecond(double seconds, Fn&& once) {
  // Warm up, then run for the given time.
  for (int i = 0; i < 50; ++i) once(i);
  long count = 0;
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < until) {
    for (int i = 0; i < 100; ++i) once(static_cast<int>(count++ % kRows));
  }
  return count / std::chrono::duration<double>(Clock::now() - start).count();
}

bool Check(SQLRETURN rc, const char* what) {
  if (SQL_SUCCEEDED(rc)) return true;
  std::fprintf(stderr, "%s failed\n", what);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ado_bench <odbc connection string> [seconds]\n");
    return 2;
  }
  const std::string odbcText = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  const std::string table = text::Format("BENCH_%d", static_cast<int>(::getpid()));

  ado::Connection conn;
  if (const Status opened =
          conn.Open(text::Widen("Provider=MSDASQL;Extended Properties=" + ado::QuoteConnectionValue(odbcText)));
      !opened.ok()) {
    std::fprintf(stderr, "open failed: %s\n", opened.message().c_str());
    return 1;
  }
  conn.Execute(text::Widen("DROP TABLE IF EXISTS " + table), nullptr, nullptr).Ignore();
  if (const Status created =
          conn.Execute(text::Widen("CREATE TABLE " + table + " (VOURI VARCHAR(200) PRIMARY KEY, CONTENT TEXT)"),
                       nullptr, nullptr);
      !created.ok()) {
    std::fprintf(stderr, "create failed: %s\n", created.message().c_str());
    return 1;
  }
  conn.BeginTrans().Ignore();
  for (int i = 0; i < kRows; ++i) {
    ado::Command insert;
    insert.SetActiveConnection(&conn);
    insert.SetCommandText(text::Widen("INSERT INTO " + table + " (VOURI, CONTENT) VALUES (?, ?)"));
    insert.AppendParameter(ado::Command::CreateParameter(
        u"uri", ado::adBSTR, ado::adParamInput, 0, com::Variant(com::Bstr::FromUtf8(text::Format("urn:vocontent:vodb000:u-%d", i)))));
    insert.AppendParameter(ado::Command::CreateParameter(u"c", ado::adBSTR, ado::adParamInput, 0,
                                                         com::Variant(com::Bstr(u"<doc>content</doc>"))));
    insert.Execute(nullptr, nullptr).Ignore();
  }
  conn.CommitTrans().Ignore();
  const std::string select = "SELECT CONTENT FROM " + table + " WHERE VOURI = ?";

  // This layer, as a store uses it.
  size_t checksum = 0;
  const double layer = RoundTripsPerSecond(seconds, [&](int i) {
    ado::Command cmd;
    cmd.SetActiveConnection(&conn);
    cmd.SetCommandText(text::Widen(select));
    cmd.AppendParameter(ado::Command::CreateParameter(
        u"uri", ado::adBSTR, ado::adParamInput, 0, com::Variant(com::Bstr::FromUtf8(text::Format("urn:vocontent:vodb000:u-%d", i)))));
    std::unique_ptr<ado::Recordset> rows;
    cmd.Execute(nullptr, &rows).Ignore();
    com::Variant v;
    if (rows && !rows->Eof() && rows->GetValue(u"CONTENT", v).ok()) checksum += v.GetBstr().Length();
  });

  // Bare ODBC: one connection, one statement prepared once.
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT stmt;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  if (!Check(SQLDriverConnect(dbc, nullptr, (SQLCHAR*)odbcText.c_str(), SQL_NTS, nullptr, 0, nullptr,
                              SQL_DRIVER_NOPROMPT),
             "SQLDriverConnect"))
    return 1;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
  Check(SQLPrepare(stmt, (SQLCHAR*)select.c_str(), SQL_NTS), "SQLPrepare");
  char uri[128];
  SQLLEN uriLength = SQL_NTS;
  SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 127, 0, uri, sizeof uri, &uriLength);
  const double bare = RoundTripsPerSecond(seconds, [&](int i) {
    std::snprintf(uri, sizeof uri, "urn:vocontent:vodb000:u-%d", i);
    if (!SQL_SUCCEEDED(SQLExecute(stmt))) return;
    char content[256];
    SQLLEN length = 0;
    if (SQLFetch(stmt) == SQL_SUCCESS && SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_CHAR, content, sizeof content, &length)))
      checksum += static_cast<size_t>(length);
    SQLFreeStmt(stmt, SQL_CLOSE);
  });
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);

  conn.Execute(text::Widen("DROP TABLE " + table), nullptr, nullptr).Ignore();
  std::printf("%s: layer %.0f/s, bare ODBC %.0f/s, layer/bare %.2f (checksum %zu)\n", conn.DbmsName().c_str(), layer,
              bare, layer / bare, checksum);
  return 0;
}
