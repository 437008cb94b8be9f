// A thin RAII layer over unixODBC, shared by platform/ado and platform/oledb.
// Texts cross it as UTF-8; underneath, the wide (UTF-16) entry points are used
// so that every driver sees Unicode. Input texts go to SQLite's driver as the
// UTF-8 it stores (Connection::NarrowIsUtf8), without a UTF-16 form.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/com/memory_budget.h"
#include "platform/com/status.h"
#include "platform/odbc/owner.h"

namespace quor::odbc {

// What a failed call reports: the driver's messages joined as the message
// ("<function> failed" when it gave none), its SQLSTATE and native error as
// the diagnostic, and a code chosen from the SQLSTATEs so that callers tell
// the cases apart by it. OLE DB's numbering,
// which the layers above answer in.
inline constexpr HRESULT DB_E_INTEGRITYVIOLATION = static_cast<HRESULT>(0x80040E2Fu);  // class 23, SQLite constraint
inline constexpr HRESULT DB_E_NOTABLE = static_cast<HRESULT>(0x80040E37u);             // 42S02, 42P01, "no such table"
inline constexpr HRESULT DB_E_DATAOVERFLOW = static_cast<HRESULT>(0x80040E57u);        // 22001
inline constexpr HRESULT DB_SEC_E_AUTH_FAILED = static_cast<HRESULT>(0x80040E4Du);     // connecting: class 28
// Class 08: the link to the server failed or is gone.
inline constexpr HRESULT DB_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040E96u);
// Anything else is E_FAIL.

// Input text held elsewhere, immutable, and kept by a share in its storage:
// a statement binds it without a copy and keeps the share while bound.
struct SharedText {
  std::shared_ptr<const void> owner;
  // UTF-8 inside what `owner` keeps, followed there by a NUL (as a
  // std::string's text is); empty text may have no storage at all.
  std::string_view text;
};

// A parameter value. NULL of a kind is std::monostate with `nullKind`.
struct Param {
  enum class Kind { Integer, BigInt, Double, Text, Binary };
  enum class Direction { Input, Output, InputOutput };

  Kind kind = Kind::Text;
  Direction direction = Direction::Input;
  // SharedText only for input text.
  std::variant<std::monostate, int32_t, int64_t, double, std::string, SharedText> value;
  // For output text parameters: the largest value expected, in characters.
  size_t outputSize = 4000;

  static Param Int(int32_t v) { return Param{Kind::Integer, Direction::Input, v}; }
  static Param Big(int64_t v) { return Param{Kind::BigInt, Direction::Input, v}; }
  static Param Real(double v) { return Param{Kind::Double, Direction::Input, v}; }
  static Param Text(std::string v) { return Param{Kind::Text, Direction::Input, std::move(v)}; }
  static Param Text(SharedText v) { return Param{Kind::Text, Direction::Input, std::move(v)}; }
  static Param Bytes(std::string v) { return Param{Kind::Binary, Direction::Input, std::move(v)}; }
  static Param Null(Kind kind) { return Param{kind, Direction::Input, std::monostate{}}; }
};

struct ColumnInfo {
  std::string name;
  int16_t sqlType = 0;  // SQL_* type code
  uint64_t size = 0;
  int16_t decimals = 0;
  bool nullable = true;
};

// A column value as read: absent means NULL.
struct Value {
  enum class Kind { Null, Integer, Double, Text, Binary };
  Kind kind = Kind::Null;
  int64_t integer = 0;
  double real = 0;
  std::string text;  // UTF-8 text, or raw bytes for Binary
  // Text read narrow: the bytes as the driver delivers them, in the data
  // source's own encoding, not necessarily UTF-8.
  bool narrow = false;

  bool IsNull() const { return kind == Kind::Null; }
};

// A column value of the current row as Statement::Read gives it, without a
// copy: `text` points into the statement's buffer for that column and stays
// valid until the column is read again or the statement moves on (fetch,
// result, execution).
struct ValueView {
  Value::Kind kind = Value::Kind::Null;
  int64_t integer = 0;
  double real = 0;
  std::string_view text;
  bool narrow = false;

  bool IsNull() const { return kind == Value::Kind::Null; }
};

// Which character columns a statement reads as the driver's narrow bytes
// (SQL_C_CHAR), left in the data source's encoding for the caller to decode,
// instead of as wide text that the driver decodes.
enum class NarrowText {
  None,         // every column wide
  NarrowTypes,  // the columns the driver describes as narrow text (CHAR, VARCHAR, LONGVARCHAR)
  All,          // every character column
};

class Environment;

// Settles what the drivers' own libraries keep for the whole process; to be
// called once, before any thread starts and before the first connect.
// SQLite then keeps no memory statistics: their one lock, taken by every
// allocation of every statement, made concurrent large reads wait on each
// other (eight at once of a million rows each took ten times as long as one
// alone; without the statistics, under twice as long). And it allocates
// through counters of the allocating thread, so that a statement knows what
// its driver took for its result (Statement::DriverHeld).
// Succeeds when SQLite is not installed; fails when it was already in use.
Status PrepareDriverLibraries();

// The bytes SQLite's allocations of the calling thread hold, net of what it
// freed (malloc's blocks with their headers); 0 unless PrepareDriverLibraries
// set the counting up.
int64_t SqliteHeldByThread();

// One connection. Its handle, and those of its statements, are used only by
// the thread that holds it (see HandleOwner): the thread that opened it, or
// the one a pool handed it to. No two connections of the process connect,
// disconnect or are freed at once (the drivers' lists of connections are not
// safe for it), but a close never waits for another thread's connect.
class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects with an ODBC connection string; never prompts. On failure the
  // connection stays closed; DB_SEC_E_AUTH_FAILED when the server refused the
  // credentials, DB_E_CANNOTCONNECT when it could not be reached (SQLSTATE
  // class 08), E_FAIL otherwise. The calling thread holds the connection.
  Status Open(std::string_view connectionString, int loginTimeoutSeconds);
  // Rolls back what is open, disconnects and frees the handle. Allowed on the
  // holding thread, or on any thread when nobody holds the connection.
  void Close();
  bool IsOpen() const { return open_; }

  // The thread that may use the connection: a pool gives it up when a lease
  // ends and the next lease takes it.
  HandleOwner& Owner() const { return owner_; }

  Status SetAutoCommit(bool on);
  bool AutoCommit() const { return autoCommit_; }
  Status Commit();
  Status Rollback();

  // Whether the link to the server is known gone: a failure of this
  // connection or one of its statements said so (DB_E_CANNOTCONNECT), or the
  // driver reports the connection dead (SQL_ATTR_CONNECTION_DEAD). Only a new
  // Open clears it.
  bool Lost() const;
  void NoteFailure(const Status& status);

  // The driver's name for the server (e.g. "PostgreSQL", "SQLite").
  std::string DbmsName() const;
  // Whether the driver takes and gives narrow (SQL_C_CHAR) text as UTF-8,
  // as it is: input text is then bound without its UTF-16 form, and
  // ReadText reads it without one. SQLite's driver always does; psqlODBC
  // does when the process's character type is UTF-8 (its client encoding
  // is), which a probe at the connect tells.
  bool NarrowIsUtf8() const { return narrowIsUtf8_; }
  // What the driver and this layer hold at most, in bytes, while a text of
  // `utf8Bytes` is read whole with ReadText (the driver's copies and the
  // buffers of the read), or while one is written as a bound input (the
  // driver's copies, and its UTF-16 form when it is bound wide), as
  // measured for each driver (bench/odbc_text_floor.cpp).
  uint64_t TextReadHolds(uint64_t utf8Bytes) const;
  uint64_t TextWriteHolds(uint64_t utf8Bytes) const;

  // The SQLite driver's step mode (StepAPI=1): it starts statements
  // forward-only and reads such a query's rows as they are fetched, instead
  // of all of them when it runs.
  bool DriverSteps() const { return driverSteps_; }
  // Whether queries may be read so: the driver steps and the database's
  // journal is a WAL. In any other journal a query read row by row holds
  // the database's read lock until its last row, and every writer of the
  // database waits that long (or fails, past its busy time-out). Asked of
  // the database the first time, after a statement of the connection read
  // it: a WAL then stays one while the connection is open (leaving it takes
  // the database to oneself).
  bool MayStep();

  void* handle() const { return dbc_; }

 private:
  Status EndTransaction(bool commit);

  Environment* env_;  // lives as long as the process
  void* dbc_ = nullptr;
  bool open_ = false;
  bool autoCommit_ = true;
  bool narrowIsUtf8_ = false;
  enum class Kind { Other, SQLite, PostgreSQL };
  Kind kind_ = Kind::Other;
  bool driverSteps_ = false;
  std::optional<bool> wal_;
  mutable HandleOwner owner_;
  // Set by a failure of any statement of the connection (they may run on
  // other threads than the one that asks).
  std::atomic<bool> lost_{false};
};

class Statement {
 public:
  // Keeps the connection alive for as long as the statement lives.
  explicit Statement(std::shared_ptr<Connection> connection);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool valid() const { return stmt_ != nullptr; }
  // The connection this statement runs on.
  const std::shared_ptr<Connection>& connection() const { return connection_; }
  // Why the statement is not valid.
  const Status& allocationStatus() const { return allocStatus_; }

  // Runs `sql` with `params` bound in order to its `?` markers; running the
  // same text again reuses the prepared statement. Output
  // parameters are written back into `params` after the statement ends.
  // Where the SQLite driver steps, a query is read row by row when every
  // column's type is one its table declares (the driver then describes it
  // as when it reads the rows whole: it names the type of a column without
  // one by the column's first value when it reads every row, before any
  // row when it steps) and the connection MayStep; any other is read whole.
  Status Execute(std::string_view sql, std::vector<Param>& params);
  Status Execute(std::string_view sql);
  // Prepares `sql` and describes the columns of its result without running
  // it, so that no transaction of the connection starts (a driver that can
  // tell them only once the statement ran leaves columns() empty).
  Status Describe(std::string_view sql);
  // Reads the output values of the last execution from their buffers into
  // `params` (the vector it ran with). Some drivers fill them only once every
  // result has been consumed, so call this after NextResult answered false.
  // A value longer than its buffer fails with DB_E_DATAOVERFLOW (the values
  // that fit are still written).
  Status ReadOutputs(std::vector<Param>& params);

  // Catalog functions: empty optional means "no restriction" (NULL argument).
  Status Tables(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                const std::optional<std::string>& table, const std::optional<std::string>& types);
  Status Columns(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                 const std::optional<std::string>& table, const std::optional<std::string>& column);
  Status Procedures(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                    const std::optional<std::string>& procedure);
  Status ProcedureColumns(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                          const std::optional<std::string>& procedure, const std::optional<std::string>& column);
  // The primary-key columns of one table (TABLE_CAT, TABLE_SCHEM, TABLE_NAME,
  // COLUMN_NAME, KEY_SEQ, PK_NAME), in key order.
  Status PrimaryKeys(const std::optional<std::string>& catalog, const std::optional<std::string>& schema,
                     const std::string& table);

  // The current result: its columns (empty when it has none), rows affected.
  const std::vector<ColumnInfo>& columns() const { return columns_; }
  int64_t RowCount() const;
  // Whether the last execution's rows come from the database as they are
  // fetched: a failure among them then surfaces at the fetch that meets
  // it, and rows never fetched are never read.
  bool Stepped() const { return stepped_; }
  // What the driver's allocations grew by while the statement ran: for a
  // query read whole, the rows it holds until the statement runs again or
  // goes. Counted for SQLite once PrepareDriverLibraries set that up, else 0.
  uint64_t DriverHeld() const { return driverHeld_; }
  // Whether what the driver takes for a result it reads whole is reserved
  // in the running call's account while it takes it (SQLite), a refusal
  // stopping the statement with it; off by default. The reservation stays
  // with the statement until taken (TakeDriverRows) or the next execution.
  void CountDriverRows(bool on) { countDriverRows_ = on; }
  com::MemoryHold TakeDriverRows() { return std::move(driverRows_); }
  // Moves to the next row: true on a row, false at the end.
  // The first fetch of a result binds its integer and floating-point columns,
  // and its short text columns, to buffers of the statement, which every
  // fetch then fills; the other columns, and a text value longer than its
  // buffer, are read when asked for.
  Result<bool> Fetch();
  // Reads a column of the current row (0-based), once per row.
  Result<Value> Get(size_t column);
  // The same value without copying it: text is read (in chunks, so long
  // values arrive whole) into a buffer the statement keeps per column.
  Result<ValueView> Read(size_t column);
  // A text column of the current row read whole into `text` (UTF-8), for
  // values too long to be held twice: narrow where the driver gives UTF-8
  // (NarrowIsUtf8), asking the driver for its length first and then
  // reading it at once into `text` at its exact size; otherwise wide, then
  // converted. `reserve` is told what the read holds at its peak
  // (Connection::TextReadHolds) once the length is known, before `text`
  // is allocated; its failure ends the read with that failure. NULL
  // leaves `text` empty and `null` set.
  Status ReadText(size_t column, const std::function<Status(uint64_t bytes)>& reserve, std::string& text,
                  bool& null);
  // Which character columns are read narrow; none by default.
  void SetNarrowText(NarrowText which) { narrowText_ = which; }
  // Moves to the next result of a batch: false when there is none.
  Result<bool> NextResult();
  // Ends the current result so the statement can run again.
  void CloseCursor();

 private:
  Status Prepare(std::string_view sql);
  // Picks how the freshly prepared `sql` is read where the driver steps:
  // the cursor type picks it, which is set before a statement is prepared,
  // so the other kind of handle is made for it when needed.
  Status ChooseReading(std::string_view sql);
  bool TypesDeclared();
  Status Reopen(bool whole);
  Status DescribeResult();
  Status BindColumns();
  void Unbind();
  // `strict` reports values cut to their buffer; otherwise they come back cut.
  Status ReadBoundOutputs(std::vector<Param>& params, bool strict);
  template <typename Call>
  Status RunCatalog(const char* function, Call&& call);

  std::shared_ptr<Connection> connection_;
  void* stmt_ = nullptr;
  Status allocStatus_;
  std::vector<ColumnInfo> columns_;
  std::string preparedSql_;
  bool prepared_ = false;
  bool staticCursor_ = false;  // read whole where the driver steps
  bool readingChosen_ = false;  // for the text prepared
  bool stepped_ = false;
  uint64_t driverHeld_ = 0;
  bool countDriverRows_ = false;
  com::MemoryHold driverRows_;
  NarrowText narrowText_ = NarrowText::None;
  bool ReadsNarrow(int16_t sqlType) const;
  // Buffers of bound parameters must outlive the execution.
  struct Bound;
  std::vector<std::unique_ptr<Bound>> bound_;
  // Per column of the current result: its bound buffer, if any, and its
  // text last read. Sized once per result, so the addresses bound stay put.
  struct Cell {
    bool bound = false;
    int16_t boundType = 0;  // the C type bound; 0 when the column is not
    int64_t integer = 0;
    double real = 0;
    int64_t indicator = 0;  // SQLLEN
    std::string buffer;     // of a bound text column
    std::string text;
  };
  std::vector<Cell> cells_;
  bool columnsBound_ = false;
  // Whether the driver reads bound columns with SQLGetData too (unknown
  // until the first binding).
  std::optional<bool> getDataBound_;
  std::string chunk_;  // SQLGetData's buffer, kept between reads
  std::string wide_;   // wide text as read, before it becomes UTF-8
};

// Quotes a value for an ODBC connection string: {value} with '}' doubled when
// the value holds a character that would end or split it.
std::string QuoteConnectionValue(std::string_view value);

// The value of `key` (compared without case) in an ODBC connection string,
// braces taken off; none when the string does not name it.
std::optional<std::string> ConnectionValue(std::string_view connectionString, std::string_view key);

// The file of the driver a connection string reaches: its DRIVER as the
// driver manager's list names it (or as a file), else the driver of its DSN;
// empty when the driver manager cannot tell.
std::string DriverFile(std::string_view connectionString);

}  // namespace quor::odbc
