#include "results/sqlite.h"

#include <sqlite3.h>

#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

namespace shopwalk::sqlite {

Status::Status(int code, std::string message, int systemError)
    : code_(code), systemError_(systemError), message_(std::move(message)) {}

Status Status::Of(sqlite3* connection, int code) {
  if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE) return {};
  if (connection == nullptr) return Status(code, sqlite3_errstr(code));
  // The connection's message belongs to its latest failure, which is this one.
  int extended = sqlite3_extended_errcode(connection);
  if ((extended & 0xff) != (code & 0xff)) extended = code;
  return Status(extended, sqlite3_errmsg(connection), sqlite3_system_errno(connection));
}

std::string Status::Describe() const {
  if (Ok()) return {};
  std::string text = message_.empty() ? std::string(sqlite3_errstr(code_)) : message_;
  if (systemError_ != 0) {
    text += " (" + std::error_code(systemError_, std::generic_category()).message() + ")";
  }
  return text;
}

namespace {

// SQLite takes lengths as int; longer texts are refused rather than cut.
bool FitsInt(std::size_t size) {
  return size <= static_cast<std::size_t>(std::numeric_limits<int>::max());
}

}  // namespace

Statement::~Statement() {
  sqlite3_finalize(statement_);
}

Statement::Statement(Statement&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)),
      statement_(std::exchange(other.statement_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(statement_);
    connection_ = std::exchange(other.connection_, nullptr);
    statement_ = std::exchange(other.statement_, nullptr);
  }
  return *this;
}

Status Statement::Check(int code) const {
  return Status::Of(connection_, code);
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

Status Statement::BindInt64(int index, std::int64_t value) {
  return Check(sqlite3_bind_int64(statement_, index, value));
}

Status Statement::BindText(int index, std::string_view text) {
  if (!FitsInt(text.size())) return Status(SQLITE_TOOBIG, sqlite3_errstr(SQLITE_TOOBIG));
  // SQLite wants a non-null pointer for an empty text (a null one would bind NULL).
  return Check(sqlite3_bind_text(statement_, index, text.empty() ? "" : text.data(),
                                 static_cast<int>(text.size()), SQLITE_TRANSIENT));
}

Status Statement::BindBlob(int index, std::string_view bytes) {
  if (!FitsInt(bytes.size())) return Status(SQLITE_TOOBIG, sqlite3_errstr(SQLITE_TOOBIG));
  // A zero-length blob rather than NULL for empty bytes.
  if (bytes.empty()) return Check(sqlite3_bind_zeroblob(statement_, index, 0));
  return Check(sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                                 SQLITE_TRANSIENT));
}

Status Statement::BindNull(int index) {
  return Check(sqlite3_bind_null(statement_, index));
}

Status Statement::Run() {
  int code = SQLITE_ROW;
  while (code == SQLITE_ROW) code = sqlite3_step(statement_);
  Status status = Check(code);
  sqlite3_reset(statement_);
  return status;
}

bool Statement::NextRow(Status& status) {
  int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) {
    status = {};
    return true;
  }
  status = Check(code);
  sqlite3_reset(statement_);
  return false;
}

bool Statement::ColumnIsNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::int64_t Statement::ColumnInt64(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string Statement::ColumnBytes(int column) const {
  // Asking for a blob's bytes never converts them; the size is read after the pointer.
  const void* bytes = sqlite3_column_blob(statement_, column);
  int size = sqlite3_column_bytes(statement_, column);
  if (bytes == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

Connection::~Connection() {
  // close_v2 defers the close until the last statement is finalized, should one be left.
  sqlite3_close_v2(connection_);
}

Connection::Connection(Connection&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    sqlite3_close_v2(connection_);
    connection_ = std::exchange(other.connection_, nullptr);
  }
  return *this;
}

Status Connection::Open(const std::string& path, Access access) {
  sqlite3_close_v2(connection_);
  connection_ = nullptr;
  if (path.find('\0') != std::string::npos) {
    return Status(SQLITE_CANTOPEN, "the file name holds a NUL character");
  }
  int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE |
              (access == Access::ReadOnly ? SQLITE_OPEN_READONLY
                                          : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3* opened = nullptr;
  int code = sqlite3_open_v2(path.c_str(), &opened, flags, nullptr);
  if (code != SQLITE_OK) {
    Status status = Status::Of(opened, code);
    sqlite3_close_v2(opened);
    return status;
  }
  connection_ = opened;
  return {};
}

bool Connection::IsReadOnly() const {
  return connection_ != nullptr && sqlite3_db_readonly(connection_, "main") == 1;
}

Status Connection::SetBusyTimeout(std::chrono::milliseconds timeout) {
  auto milliseconds =
      std::min<std::chrono::milliseconds::rep>(timeout.count(), std::numeric_limits<int>::max());
  return Status::Of(connection_, sqlite3_busy_timeout(connection_, static_cast<int>(milliseconds)));
}

Status Connection::Execute(std::string_view sql) {
  std::string text(sql);
  return Status::Of(connection_,
                    sqlite3_exec(connection_, text.c_str(), nullptr, nullptr, nullptr));
}

Status Connection::Prepare(std::string_view sql, Statement& statement) {
  if (!FitsInt(sql.size())) return Status(SQLITE_TOOBIG, sqlite3_errstr(SQLITE_TOOBIG));
  sqlite3_stmt* prepared = nullptr;
  int code = sqlite3_prepare_v3(connection_, sql.data(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &prepared, nullptr);
  if (code != SQLITE_OK) return Status::Of(connection_, code);
  statement = Statement(connection_, prepared);
  return {};
}

Status Connection::QueryInt64(std::string_view sql, std::int64_t& value) {
  Statement statement;
  if (Status status = Prepare(sql, statement); !status) return status;
  Status status;
  value = statement.NextRow(status) ? statement.ColumnInt64(0) : 0;
  return status;
}

Status Connection::QueryBytes(std::string_view sql, std::string& value) {
  Statement statement;
  if (Status status = Prepare(sql, statement); !status) return status;
  Status status;
  value = statement.NextRow(status) ? statement.ColumnBytes(0) : std::string();
  return status;
}

bool Connection::InTransaction() const {
  return connection_ != nullptr && sqlite3_get_autocommit(connection_) == 0;
}

Transaction::~Transaction() {
  Rollback();
}

Status Transaction::Begin(Mode mode) {
  if (open_) return Status(SQLITE_MISUSE, "the transaction has begun already");
  Status status =
      connection_.Execute(mode == Mode::Immediate ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
  open_ = status.Ok();
  return status;
}

Status Transaction::Commit() {
  if (!open_) return Status(SQLITE_MISUSE, "no transaction to commit");
  Status status = connection_.Execute("COMMIT");
  if (status) {
    open_ = false;
  } else {
    Rollback();
  }
  return status;
}

void Transaction::Rollback() {
  if (!open_) return;
  open_ = false;
  // After some failures (a full disk, an I/O error) SQLite has rolled back already.
  if (connection_.InTransaction()) connection_.Execute("ROLLBACK");
}

}  // namespace shopwalk::sqlite
