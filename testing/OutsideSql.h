// Looking into a test database from outside: the sqlite3 and psql programs
// run as a user would, and the parts of the test run's PostgreSQL string.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/text/text.h"

namespace quor::oledb::testing {

// Runs a command line and answers its standard output, trimmed.
inline std::string Capture(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return "popen failed";
  std::array<char, 256> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe.get())) out += buffer.data();
  return std::string(text::TrimAscii(out));
}

// A value of an ODBC connection string ("Server", "UID"...), the key
// compared without case; empty when it has none.
inline std::string OdbcItem(const std::string& odbc, std::string_view key) {
  size_t at = 0;
  while (at < odbc.size()) {
    size_t end = odbc.find(';', at);
    if (end == std::string::npos) end = odbc.size();
    const std::string item = odbc.substr(at, end - at);
    const size_t eq = item.find('=');
    if (eq != std::string::npos && text::EqualsNoCase(text::TrimAscii(item.substr(0, eq)), key))
      return item.substr(eq + 1);
    at = end + 1;
  }
  return {};
}

// The test run's PostgreSQL ODBC string; empty when there is none.
inline std::string PgOdbc() {
  const char* env = std::getenv("QUOR_TEST_PG");
  return env ? env : "";
}

// The PostgreSQL string split into what goes in the user and password
// properties and the rest, so that credentials travel as properties.
struct PgParts {
  std::string rest, user, password;
};
inline PgParts SplitPg(const std::string& odbc) {
  PgParts parts;
  for (const auto& item : text::Split(odbc, ';')) {
    const auto eq = item.find('=');
    const std::string key = eq == std::string::npos ? item : item.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    if (text::EqualsNoCase(key, "UID")) parts.user = value;
    else if (text::EqualsNoCase(key, "PWD")) parts.password = value;
    else if (!item.empty()) parts.rest += item + ";";
  }
  return parts;
}

// The psql command line (without -c) for the database of `odbc`.
inline std::string PsqlCommand(const std::string& odbc) {
  return "PGPASSWORD='" + OdbcItem(odbc, "PWD") + "' psql -X -q -t -A -h '" + OdbcItem(odbc, "Server") + "' -p '" +
         OdbcItem(odbc, "Port") + "' -U '" + OdbcItem(odbc, "UID") + "' -d '" + OdbcItem(odbc, "Database") + "'";
}

}  // namespace quor::oledb::testing
