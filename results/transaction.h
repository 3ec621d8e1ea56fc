// A transaction on a connection of one of the two database layers (sqlite::Connection,
// pg::Connection): Begin starts it, Commit makes its writes stand, and whatever is still open
// when the transaction goes, or when its commit fails, is rolled back. A failed Begin leaves
// nothing to roll back.
//
// The connection says how, with:
//   Status BeginTransaction(Kind kind);   // BEGIN of the kind asked for
//   Status CommitTransaction();           // COMMIT
//   void RollBackTransaction();           // ROLLBACK of what is open; quiet when nothing is
//   static Status Misuse(const char* what);  // a failure of the caller's, not the database's
#pragma once

#include <memory>
#include <utility>

namespace shopwalk::results {

template <class Connection, class Kind, Kind DefaultKind>
class BasicTransaction {
 public:
  using Status = decltype(std::declval<Connection&>().CommitTransaction());

  explicit BasicTransaction(Connection& connection) : connection_(connection) {}

  Status Begin(Kind kind = DefaultKind) {
    if (open_) return Connection::Misuse("the transaction has begun already");
    Status status = connection_.BeginTransaction(kind);
    if (status) open_.reset(&connection_);
    return status;
  }

  Status Commit() {
    if (!open_) return Connection::Misuse("no transaction to commit");
    Status status = connection_.CommitTransaction();
    if (status) {
      (void)open_.release();
    } else {
      open_.reset();
    }
    return status;
  }

 private:
  struct RollBack {
    void operator()(Connection* connection) const { connection->RollBackTransaction(); }
  };

  Connection& connection_;
  // The connection while the transaction is open.
  std::unique_ptr<Connection, RollBack> open_;
};

}  // namespace shopwalk::results
