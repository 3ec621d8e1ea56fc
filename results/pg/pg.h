// A thin layer of our own over libpq, the PostgreSQL C client: a connection opened from a URI,
// statements with parameters (PQexecParams; bytes travel in binary, so GBK or any other bytes
// arrive exactly), results, transactions that roll back by themselves, and failures as values
// that carry the server's SQLSTATE and message.
//
// Why not libpqxx: it reports failures by throwing, and the results store promises that nothing
// throws through its interface; its surface is far larger than the handful of calls the store
// needs; and the store decides itself when a lost connection is opened again (with back-off, on
// its own threads), which libpqxx would hide behind its own connection objects. This layer keeps
// libpq's model: nothing here throws (apart from std::bad_alloc), and nothing reconnects by
// itself.
//
// Each object is used by one thread at a time; different connections may be used on different
// threads at once (libpq is built thread-safe on Debian).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "results/transaction.h"

struct pg_conn;
struct pg_result;

namespace shopwalk::pg {

// The outcome of a call: fine, or the server's (or libpq's) failure.
class Status {
 public:
  // Fine.
  Status() = default;
  // A failure: `sqlState` is the five-character SQLSTATE ("" when the failure came from libpq
  // itself, such as a connection that could not be made or was lost), `message` the words of
  // the server or of libpq, `connectionLost` whether the connection is gone (it must be opened
  // again before anything else can work).
  Status(std::string sqlState, std::string message, bool connectionLost);

  bool Ok() const { return !failed_; }
  explicit operator bool() const { return Ok(); }
  const std::string& SqlState() const { return sqlState_; }
  const std::string& Message() const { return message_; }
  bool ConnectionLost() const { return connectionLost_; }
  // The message, followed by the SQLSTATE in parentheses when there is one ("" when fine).
  std::string Describe() const;

 private:
  bool failed_ = false;
  bool connectionLost_ = false;
  std::string sqlState_;
  std::string message_;
};

// The rows a statement returned, in binary form. Columns are read by 0-based index; a value
// asked for in a type its column does not have reads as 0 or "".
class Result {
 public:
  Result() = default;

  int Rows() const;
  int Columns() const;
  bool IsNull(int row, int column) const;
  // smallint, integer, bigint, oid or boolean (true is 1); 0 for NULL.
  std::int64_t Int64(int row, int column) const;
  // double precision, real or any integer type; 0 for NULL.
  double Double(int row, int column) const;
  bool Bool(int row, int column) const { return Int64(row, column) != 0; }
  // The value's bytes exactly as stored: bytea, text and the like ("" for NULL).
  std::string Bytes(int row, int column) const;

 private:
  friend class Connection;
  struct Clear {
    void operator()(pg_result* result) const;
  };
  explicit Result(pg_result* result) : result_(result) {}
  void Reset(pg_result* result);

  std::unique_ptr<pg_result, Clear> result_;
};

// The parameters of a statement, $1, $2, ... in the order they are added. Values are copied.
// Not copyable: it holds pointers to its own values (a copy would point into the original).
// Moving keeps them valid (the values stay where they are).
class Params {
 public:
  Params() = default;
  Params(const Params&) = delete;
  Params& operator=(const Params&) = delete;
  Params(Params&&) noexcept = default;
  Params& operator=(Params&&) noexcept = default;
  ~Params() = default;

  Params& Int(std::int64_t value);
  // A bigint NULL.
  Params& NullInt();
  Params& Double(double value);
  Params& Bool(bool value);
  // bytea: the bytes exactly as given, whatever their encoding.
  Params& Bytes(std::string_view bytes);
  // text: must be valid in the database's encoding (UTF-8), or the server refuses the statement.
  Params& Text(std::string_view text);
  // bigint[].
  Params& IntArray(const std::vector<std::int64_t>& values);

  int Count() const { return static_cast<int>(values_.size()); }

 private:
  friend class Connection;
  void Add(unsigned type, std::string value, bool binary, bool null = false);

  std::deque<std::string> storage_;
  std::vector<unsigned> types_;
  std::vector<const char*> values_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
};

enum class Isolation;

// One connection to a server, closed when destroyed.
class Connection {
 public:
  // Opens a connection to `uri` (a libpq connection URI, "postgresql://user@host:port/db", or
  // key=value words). Values the URI does not set: `connectTimeout` for making the connection,
  // TCP keepalives and a TCP timeout (a silent server is given up within about 30 s), and the
  // application name "shopwalk". Server notices are dropped. On failure the connection stays
  // closed. The messages of every failure of the connection, from now until the next Open, have
  // the password of `uri` left out (see RedactedMessage), whatever libpq or the server quote.
  Status Open(const std::string& uri,
              std::chrono::milliseconds connectTimeout = std::chrono::seconds(10));
  bool IsOpen() const { return connection_ != nullptr; }
  // Open and not known to be broken.
  bool IsAlive() const;
  void Close();

  // Runs one or more statements without parameters, discarding their rows.
  Status Execute(std::string_view sql);
  // Runs one statement with `params`; its rows (binary) go to `result`.
  Status Run(std::string_view sql, const Params& params, Result& result);
  Status Run(std::string_view sql, const Params& params);
  Status Run(std::string_view sql, Result& result) { return Run(sql, Params(), result); }

  // Whether a transaction is open on the server side (also one that failed and waits for its
  // rollback).
  bool InTransaction() const;

  // What Transaction asks of its connection.
  Status BeginTransaction(Isolation isolation);
  // COMMIT of a transaction in which a statement failed rolls back without an error of its own:
  // this one fails instead.
  Status CommitTransaction();
  void RollBackTransaction();
  static Status Misuse(const char* what) { return Status("", what, false); }

  pg_conn* Handle() const { return connection_.get(); }

 private:
  Status Check(pg_result* result) const;
  // A failure whose message has the connection's password left out.
  Status Failure(std::string sqlState, const char* message, bool connectionLost) const;

  struct Finish {
    void operator()(pg_conn* connection) const;
  };
  std::unique_ptr<pg_conn, Finish> connection_;
  // The URI given to Open, whose password is left out of messages.
  std::string uri_;
};

enum class Isolation {
  ReadCommitted,
  // One snapshot for everything the transaction reads.
  RepeatableReadOnly,
};

// A transaction (see results/transaction.h): rolled back when it goes unless committed.
class Transaction
    : public results::BasicTransaction<Connection, pg::Isolation, Isolation::ReadCommitted> {
 public:
  using Isolation = pg::Isolation;
  using BasicTransaction::BasicTransaction;
};

// `uri` (a libpq connection URI or key=value words) with any password left out, for showing to
// the user: in a URI, everything between the user name's ':' and the last '@' (so a password
// holding '?', '/', '%' or '@', written encoded or not, is left out whole), and the value of every
// password=... (or sslpassword=...) query parameter or word, quoted or not, as "***". Errs on the
// side of leaving out too much: a URI without a user name but with a port and an '@' in its query
// loses its port and path in the display.
std::string RedactedUri(std::string_view uri);

// `message` (the words of libpq or of a server about a connection to `uri`) with the password of
// `uri` left out wherever it is quoted: the password as written, decoded, or in the pieces libpq
// takes it apart into when it holds '/' or '@'; and any URI or password=... word the message
// quotes, redacted as RedactedUri does.
std::string RedactedMessage(std::string_view message, std::string_view uri);

// Whether `uri` carries a password itself, as written or as libpq reads it (rather than leaving
// it to PGPASSWORD, ~/.pgpass or a service file), so that it shows in the process list and the
// shell's history.
bool HoldsPassword(std::string_view uri);

}  // namespace shopwalk::pg
