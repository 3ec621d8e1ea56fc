// A thin layer of our own over the SQLite C API: a connection, prepared statements and
// transactions that close, finalize and roll back by themselves, and failures as values that
// carry SQLite's own words. Nothing here throws. Each object is used by one thread at a time;
// connections are opened without SQLite's per-connection mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "results/transaction.h"

struct sqlite3;
struct sqlite3_stmt;

namespace shopwalk::sqlite {

// The outcome of an SQLite call: fine, or the (extended) result code with SQLite's message and
// the system's error number when the failure came from the operating system.
class Status {
 public:
  // Fine.
  Status() = default;
  // A failure with `code` (an SQLite result code other than SQLITE_OK, SQLITE_ROW, SQLITE_DONE)
  // and `message`; `systemError` is the errno behind it, 0 when none.
  Status(int code, std::string message, int systemError = 0);
  // The failure `code` just returned by a call on `connection`, with the connection's message
  // and system error (read at once, before another call can replace them). A null connection
  // gives the generic text of the code.
  static Status Of(sqlite3* connection, int code);

  bool Ok() const { return code_ == 0; }
  explicit operator bool() const { return Ok(); }
  // The extended result code (0 when fine) and its primary part (SQLITE_FULL, SQLITE_IOERR, ...).
  int Code() const { return code_; }
  int PrimaryCode() const { return code_ & 0xff; }
  int SystemError() const { return systemError_; }
  // SQLite's message, followed by the system's description in parentheses when there is one.
  std::string Describe() const;
  const std::string& Message() const { return message_; }

 private:
  int code_ = 0;
  int systemError_ = 0;
  std::string message_;
};

class Connection;
enum class TransactionMode;

// A prepared statement. Parameters are bound by 1-based index; texts and blobs are copied by
// SQLite, so the bound bytes need not outlive the call. Columns are read by 0-based index while
// a row is current.
class Statement {
 public:
  Statement() = default;

  bool Prepared() const { return statement_ != nullptr; }

  // Makes the statement ready to run again from the start and clears its bindings.
  void Reset();
  Status BindInt64(int index, std::int64_t value);
  // UTF-8 text (SQLite does not check it).
  Status BindText(int index, std::string_view text);
  // Bytes stored exactly as given, whatever their encoding.
  Status BindBlob(int index, std::string_view bytes);
  Status BindNull(int index);

  // Runs a statement that yields no rows to its end, then resets it (bindings stay for the next
  // run unless Reset is called).
  Status Run();
  // Steps to the next row: true while a row is current. At the end, or on a failure (then
  // `status` says which), the statement is reset and the answer is false.
  bool NextRow(Status& status);

  bool ColumnIsNull(int column) const;
  std::int64_t ColumnInt64(int column) const;
  // The column's bytes exactly as stored (a text's or a blob's), "" for NULL.
  std::string ColumnBytes(int column) const;

 private:
  friend class Connection;
  struct Finalize {
    void operator()(sqlite3_stmt* statement) const;
  };
  Statement(sqlite3* connection, sqlite3_stmt* statement)
      : connection_(connection), statement_(statement) {}
  Status Check(int code) const;

  sqlite3* connection_ = nullptr;  // not owned: the connection the statement was prepared on
  std::unique_ptr<sqlite3_stmt, Finalize> statement_;
};

// One connection to a database file, closed when destroyed (statements prepared on it must be
// destroyed first).
class Connection {
 public:
  enum class Access {
    ReadWriteCreate,  // opens for writing, creating the file when missing
    ReadOnly,         // never writes the database file
  };

  // Opens `path` (a file name, not a URI) with extended result codes. On failure the connection
  // stays closed.
  Status Open(const std::string& path, Access access);
  bool IsOpen() const { return connection_ != nullptr; }
  // Whether SQLite opened the main database read-only (asked to write, it may fall back to
  // read-only when the file's permissions forbid writing).
  bool IsReadOnly() const;

  // How long a statement waits for another connection's lock before failing with SQLITE_BUSY.
  Status SetBusyTimeout(std::chrono::milliseconds timeout);
  // Runs one or more statements that yield no rows we need.
  Status Execute(std::string_view sql);
  // Runs a statement yielding one value (a pragma, a count): the first column of its first row
  // as an integer, or as bytes. No row gives 0 or "".
  Status QueryInt64(std::string_view sql, std::int64_t& value);
  Status QueryBytes(std::string_view sql, std::string& value);
  // Prepares `sql` (one statement) for repeated use.
  Status Prepare(std::string_view sql, Statement& statement);
  // Whether a transaction is open (SQLite may roll one back on its own after some failures).
  bool InTransaction() const;

  // What Transaction asks of its connection.
  Status BeginTransaction(TransactionMode mode);
  Status CommitTransaction() { return Execute("COMMIT"); }
  void RollBackTransaction();
  static Status Misuse(const char* what);

  sqlite3* Handle() const { return connection_.get(); }

 private:
  struct CloseV2 {
    void operator()(sqlite3* connection) const;
  };
  std::unique_ptr<sqlite3, CloseV2> connection_;
};

enum class TransactionMode {
  Deferred,   // locks when the first statement needs to
  Immediate,  // takes the write lock at once (waiting up to the busy timeout)
};

// A transaction (see results/transaction.h): rolled back when it goes unless committed. Its
// commit makes the writes durable as the connection's synchronous setting promises; a failed
// commit rolls back.
class Transaction
    : public results::BasicTransaction<Connection, TransactionMode, TransactionMode::Immediate> {
 public:
  using Mode = TransactionMode;
  using BasicTransaction::BasicTransaction;
};

}  // namespace shopwalk::sqlite
