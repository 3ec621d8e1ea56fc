#include "results/sqlite/sqlite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <limits>
#include <string>

#include "tests/support/scratch_directory.h"

namespace shopwalk::sqlite {
namespace {

using test::ScratchDirectory;

Connection OpenedConnection(const std::string& path) {
  Connection connection;
  Status status = connection.Open(path, Connection::Access::ReadWriteCreate);
  EXPECT_TRUE(status) << status.Describe();
  return connection;
}

TEST(SqliteTest, ValuesComeBackExactlyAsBound) {
  ScratchDirectory dir;
  Connection connection = OpenedConnection(dir.File("values.db"));
  ASSERT_TRUE(connection.Execute("CREATE TABLE t (i INTEGER, b BLOB, s TEXT, n BLOB)"));
  Statement insert;
  ASSERT_TRUE(connection.Prepare("INSERT INTO t VALUES (?1, ?2, ?3, ?4)", insert));

  const std::string bytes("\xc9\xcc\xb5\xea\x00\xff\x80\x81\x20", 9);  // GBK, a NUL, invalid GBK
  for (std::int64_t value : {std::numeric_limits<std::int64_t>::min(), std::int64_t{0},
                             std::numeric_limits<std::int64_t>::max()}) {
    insert.Reset();
    ASSERT_TRUE(insert.BindInt64(1, value));
    ASSERT_TRUE(insert.BindBlob(2, value == 0 ? std::string() : bytes));
    ASSERT_TRUE(insert.BindText(3, "text"));
    ASSERT_TRUE(insert.BindNull(4));
    ASSERT_TRUE(insert.Run());
  }

  Statement query;
  ASSERT_TRUE(connection.Prepare("SELECT i, b, s, n, typeof(b) FROM t ORDER BY i", query));
  Status status;
  ASSERT_TRUE(query.NextRow(status));
  EXPECT_EQ(query.ColumnInt64(0), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(query.ColumnBytes(1), bytes);
  EXPECT_EQ(query.ColumnBytes(2), "text");
  EXPECT_TRUE(query.ColumnIsNull(3));
  EXPECT_EQ(query.ColumnBytes(3), "");
  ASSERT_TRUE(query.NextRow(status));
  // Empty bytes are an empty blob, not NULL.
  EXPECT_FALSE(query.ColumnIsNull(1));
  EXPECT_EQ(query.ColumnBytes(4), "blob");
  ASSERT_TRUE(query.NextRow(status));
  EXPECT_EQ(query.ColumnInt64(0), std::numeric_limits<std::int64_t>::max());
  EXPECT_FALSE(query.NextRow(status));
  EXPECT_TRUE(status) << status.Describe();
  // At the end the statement starts over.
  EXPECT_TRUE(query.NextRow(status));
  query.Reset();

  std::int64_t count = 0;
  ASSERT_TRUE(connection.QueryInt64("SELECT count(*) FROM t", count));
  EXPECT_EQ(count, 3);
}

TEST(SqliteTest, ATransactionRollsBackUnlessCommitted) {
  ScratchDirectory dir;
  Connection connection = OpenedConnection(dir.File("tx.db"));
  ASSERT_TRUE(connection.Execute("CREATE TABLE t (x INTEGER)"));
  {
    Transaction transaction(connection);
    ASSERT_TRUE(transaction.Begin());
    EXPECT_TRUE(connection.InTransaction());
    ASSERT_TRUE(connection.Execute("INSERT INTO t VALUES (1)"));
  }
  EXPECT_FALSE(connection.InTransaction());
  {
    Transaction transaction(connection);
    ASSERT_TRUE(transaction.Begin(Transaction::Mode::Deferred));
    ASSERT_TRUE(connection.Execute("INSERT INTO t VALUES (2)"));
    ASSERT_TRUE(transaction.Commit());
    EXPECT_FALSE(transaction.Commit());
  }
  std::int64_t sum = 0;
  ASSERT_TRUE(connection.QueryInt64("SELECT sum(x) FROM t", sum));
  EXPECT_EQ(sum, 2);

  // A failing statement inside a transaction leaves the rollback to the transaction.
  {
    Transaction transaction(connection);
    ASSERT_TRUE(transaction.Begin());
    ASSERT_TRUE(connection.Execute("INSERT INTO t VALUES (40)"));
    EXPECT_FALSE(connection.Execute("INSERT INTO missing VALUES (1)"));
  }
  ASSERT_TRUE(connection.QueryInt64("SELECT sum(x) FROM t", sum));
  EXPECT_EQ(sum, 2);
}

TEST(SqliteTest, FailuresAreValuesInSqlitesWords) {
  ScratchDirectory dir;
  Connection connection = OpenedConnection(dir.File("errors.db"));
  Statement statement;
  Status syntax = connection.Prepare("SELEC 1", statement);
  EXPECT_EQ(syntax.PrimaryCode(), SQLITE_ERROR);
  EXPECT_NE(syntax.Message().find("syntax error"), std::string::npos) << syntax.Message();
  EXPECT_FALSE(statement.Prepared());

  ASSERT_TRUE(connection.Execute("CREATE TABLE t (id INTEGER PRIMARY KEY)"));
  ASSERT_TRUE(connection.Execute("INSERT INTO t VALUES (1)"));
  Status duplicate = connection.Execute("INSERT INTO t VALUES (1)");
  EXPECT_EQ(duplicate.Code(), SQLITE_CONSTRAINT_PRIMARYKEY);
  EXPECT_NE(duplicate.Describe().find("UNIQUE constraint failed"), std::string::npos);

  Connection missing;
  Status cannotOpen =
      missing.Open(dir.File("no/such/folder.db"), Connection::Access::ReadWriteCreate);
  EXPECT_EQ(cannotOpen.PrimaryCode(), SQLITE_CANTOPEN);
  EXPECT_EQ(cannotOpen.SystemError(), ENOENT);
  EXPECT_NE(cannotOpen.Describe().find("No such file or directory"), std::string::npos)
      << cannotOpen.Describe();
  EXPECT_FALSE(missing.IsOpen());

  Connection readOnly;
  EXPECT_FALSE(readOnly.Open(dir.File("absent.db"), Connection::Access::ReadOnly));
  EXPECT_FALSE(Connection().Open(std::string("a\0b", 3), Connection::Access::ReadOnly));
}

}  // namespace
}  // namespace shopwalk::sqlite
