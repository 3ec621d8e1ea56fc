#include "results/sqlite/sqlite.h"

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

void Statement::Finalize::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

Status Statement::Check(int code) const {
  return Status::Of(connection_, code);
}

void Statement::Reset() {
  sqlite3_reset(statement_.get());
  sqlite3_clear_bindings(statement_.get());
}

Status Statement::BindInt64(int index, std::int64_t value) {
  return Check(sqlite3_bind_int64(statement_.get(), index, value));
}

Status Statement::BindText(int index, std::string_view text) {
  if (!FitsInt(text.size())) return Status(SQLITE_TOOBIG, sqlite3_errstr(SQLITE_TOOBIG));
  // SQLite wants a non-null pointer for an empty text (a null one would bind NULL).
  return Check(sqlite3_bind_text(statement_.get(), index, text.empty() ? "" : text.data(),
                                 static_cast<int>(text.size()), SQLITE_TRANSIENT));
}

Status Statement::BindBlob(int index, std::string_view bytes) {
  if (!FitsInt(bytes.size())) return Status(SQLITE_TOOBIG, sqlite3_errstr(SQLITE_TOOBIG));
  // A zero-length blob rather than NULL for empty bytes.
  if (bytes.empty()) return Check(sqlite3_bind_zeroblob(statement_.get(), index, 0));
  return Check(sqlite3_bind_blob(statement_.get(), index, bytes.data(),
                                 static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
}

Status Statement::BindNull(int index) {
  return Check(sqlite3_bind_null(statement_.get(), index));
}

Status Statement::Run() {
  int code = SQLITE_ROW;
  while (code == SQLITE_ROW) code = sqlite3_step(statement_.get());
  Status status = Check(code);
  sqlite3_reset(statement_.get());
  return status;
}

bool Statement::NextRow(Status& status) {
  int code = sqlite3_step(statement_.get());
  if (code == SQLITE_ROW) {
    status = {};
    return true;
  }
  status = Check(code);
  sqlite3_reset(statement_.get());
  return false;
}

bool Statement::ColumnIsNull(int column) const {
  return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL;
}

std::int64_t Statement::ColumnInt64(int column) const {
  return sqlite3_column_int64(statement_.get(), column);
}

std::string Statement::ColumnBytes(int column) const {
  // Asking for a blob's bytes never converts them; the size is read after the pointer.
  const void* bytes = sqlite3_column_blob(statement_.get(), column);
  int size = sqlite3_column_bytes(statement_.get(), column);
  if (bytes == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

void Connection::CloseV2::operator()(sqlite3* connection) const {
  // close_v2 defers the close until the last statement is finalized, should one be left.
  sqlite3_close_v2(connection);
}

Status Connection::Open(const std::string& path, Access access) {
  connection_.reset();
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
  connection_.reset(opened);
  return {};
}

bool Connection::IsReadOnly() const {
  return connection_ != nullptr && sqlite3_db_readonly(connection_.get(), "main") == 1;
}

Status Connection::SetBusyTimeout(std::chrono::milliseconds timeout) {
  auto milliseconds =
      std::min<std::chrono::milliseconds::rep>(timeout.count(), std::numeric_limits<int>::max());
  return Status::Of(connection_.get(),
                    sqlite3_busy_timeout(connection_.get(), static_cast<int>(milliseconds)));
}

Status Connection::Execute(std::string_view sql) {
  std::string text(sql);
  return Status::Of(connection_.get(),
                    sqlite3_exec(connection_.get(), text.c_str(), nullptr, nullptr, nullptr));
}

Status Connection::Prepare(std::string_view sql, Statement& statement) {
  if (!FitsInt(sql.size())) return Status(SQLITE_TOOBIG, sqlite3_errstr(SQLITE_TOOBIG));
  sqlite3_stmt* prepared = nullptr;
  int code = sqlite3_prepare_v3(connection_.get(), sql.data(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &prepared, nullptr);
  if (code != SQLITE_OK) return Status::Of(connection_.get(), code);
  statement = Statement(connection_.get(), prepared);
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
  return connection_ != nullptr && sqlite3_get_autocommit(connection_.get()) == 0;
}

Status Connection::BeginTransaction(TransactionMode mode) {
  return Execute(mode == TransactionMode::Immediate ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
}

void Connection::RollBackTransaction() {
  // After some failures (a full disk, an I/O error) SQLite has rolled back already.
  if (InTransaction()) (void)Execute("ROLLBACK");
}

Status Connection::Misuse(const char* what) {
  return Status(SQLITE_MISUSE, what);
}

}  // namespace shopwalk::sqlite
