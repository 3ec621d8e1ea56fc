// shopwalk-cli's answers before any walk: usage errors exit with 2 and say why on standard error
// without touching the store or the network (a connection redirect that is no HOST:PORT among
// them); help and the version exit with 0; a store that is not there is named, and not created;
// a walk past the largest shop ID says there is nothing left to walk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "results/sqlite/sqlite.h"
#include "tests/cli/cli_fixture.h"
#include "tests/support/scratch_directory.h"

namespace shopwalk::test {
namespace {

std::string Joined(const std::vector<std::string>& arguments) {
  std::string text = "shopwalk-cli";
  for (const std::string& argument : arguments) text += " " + argument;
  return text;
}

TEST_F(CliTest, UsageErrorsExitWith2AndSayWhyBeforeTouchingTheStore) {
  struct Case {
    std::vector<std::string> arguments;
    std::string said;  // part of the message on standard error
  };
  const std::vector<Case> cases = {
      {{"walk", "--db", db, "--bogus"}, "--bogus"},
      {{"walk", "--db", db, "--from", "abc"}, "abc"},
      {{"walk", "--db", db, "--from", "12x"}, "12x"},
      {{"walk", "--db", db, "--from", "99999999999"}, "99999999999"},
      {{"walk", "--db", db, "--from", "100", "--to", "50"}, "--to (50) is below --from (100)"},
      {{"walk", "--db", db, "--to", "50", "--count", "3"}, "--count"},
      {{"walk", "--db", db, "--rate", "-1"}, "-1"},
      {{"walk", "--db", db, "--count", "0"}, "--count"},
      {{"walk", "--db", db, "--threads", "many"}, "many"},
      {{"walk", "--db", db, "--keep-pages-mb", "0"}, "--keep-pages-mb"},
      {{"walk", "--db", db, "--keep-pages-mb", "1e3"}, "1e3"},
      {{"export", "--db", db}, "--out"},
      {{"export", "--db", db, "--out", dir.File("x.pdf"), "--format", "pdf"}, "pdf"},
      {{"status", "--db", db, "--verbose"}, "--verbose"},
      {{"frobnicate"}, "subcommand"},
      {{}, "subcommand"},
  };
  for (const Case& usage : cases) {
    SCOPED_TRACE(Joined(usage.arguments));
    const Finished run = Cli(usage.arguments);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.errors.find(usage.said), std::string::npos) << run.errors;
    EXPECT_FALSE(Exists(db));
  }
  EXPECT_EQ(market.RequestCount(), 0u);
}

// A rate that is not a number, infinite, or so small that its pace would overflow is refused
// rather than walking as fast as the workers allow.
TEST_F(CliTest, ARateThatIsNotANumberOrOutOfBoundsIsAUsageError) {
  for (const std::string rate : {"nan", "-nan", "inf", "1e-300", "0.0000004", "1e9"}) {
    SCOPED_TRACE(rate);
    const std::string store = dir.File(rate + ".db");
    const Finished run = Cli({"walk", "--db", store, "--count", "3", "--rate", rate});
    EXPECT_EQ(run.code, 2) << run.errors;
    EXPECT_NE(run.errors.find("--rate"), std::string::npos) << run.errors;
    EXPECT_FALSE(Exists(store));
  }
  EXPECT_EQ(market.RequestCount(), 0u);
}

TEST_F(CliTest, HelpForEachCommandAndTheVersionAnswerWithZero) {
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> named;  // what the help names
  };
  const std::vector<Case> cases = {
      {{"--help"}, {"walk", "export", "status", "SHOPWALK_CONNECT_TO"}},
      {{"walk", "--help"}, {"--from", "--to", "--count", "--rate", "--threads", "--out", "--db"}},
      {{"export", "--help"}, {"--out", "--format", "--encoding", "--messenger-only", "--db"}},
      {{"status", "--help"}, {"--db"}},
  };
  for (const Case& help : cases) {
    SCOPED_TRACE(Joined(help.arguments));
    const Finished run = Cli(help.arguments);
    EXPECT_EQ(run.code, 0) << run.errors;
    for (const std::string& name : help.named) {
      EXPECT_NE(run.output.find(name), std::string::npos) << run.output;
    }
  }
  const Finished version = Cli({"--version"});
  EXPECT_EQ(version.code, 0) << version.errors;
  EXPECT_EQ(version.output.rfind("shopwalk-cli ", 0), 0u) << version.output;
  EXPECT_EQ(market.RequestCount(), 0u);
}

TEST_F(CliTest, AStoreThatIsNotThereIsNamedAndNotCreated) {
  const std::string missing = dir.File("missing.db");
  const std::string out = dir.File("out.csv");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"export", "--db", missing, "--out", out},
        std::vector<std::string>{"status", "--db", missing}}) {
    SCOPED_TRACE(Joined(arguments));
    const Finished run = Cli(arguments);
    ASSERT_TRUE(run.code.has_value());
    EXPECT_NE(*run.code, 0);
    EXPECT_NE(run.errors.find(missing), std::string::npos) << run.errors;
  }
  EXPECT_EQ(dir.Listing(), "");

  // A walk cannot make a store in a folder that is not there.
  const std::string nowhere = dir.File("no/such/folder/s.db");
  const Finished walk = Cli({"walk", "--from", "1", "--count", "3", "--db", nowhere});
  EXPECT_EQ(walk.code, 1) << walk.errors;
  EXPECT_NE(walk.errors.find(nowhere), std::string::npos) << walk.errors;
  EXPECT_EQ(market.RequestCount(), 0u);
}

// A store that opens but whose rows cannot be read (here another program dropped their table) is
// an error with its reason and a non-zero exit, never an empty store: no "0 rows", no export file.
TEST_F(CliTest, AStoreWhoseRowsCannotBeReadIsAnErrorNotAnEmptyStore) {
  const std::string db = dir.File("damaged.db");
  const Finished walk = Cli({"walk", "--from", "1", "--count", "3", "--db", db});
  ASSERT_EQ(walk.code, 0) << walk.errors;
  {
    sqlite::Connection connection;
    ASSERT_TRUE(connection.Open(db, sqlite::Connection::Access::ReadWriteCreate));
    ASSERT_TRUE(connection.Execute("DROP TABLE shops"));
  }
  const std::string out = dir.File("out.csv");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"export", "--db", db, "--out", out},
        std::vector<std::string>{"status", "--db", db}}) {
    SCOPED_TRACE(Joined(arguments));
    const Finished run = Cli(arguments);
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.errors.find("cannot read the store " + db), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("shops"), std::string::npos) << run.errors;
    EXPECT_EQ(run.output.find("rows"), std::string::npos) << run.output;
  }
  EXPECT_FALSE(test::FileContent(out).has_value());
}

TEST_F(CliTest, AConnectionRedirectThatIsNotHostAndPortIsAUsageError) {
  for (const std::string bad :
       {"localhost", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:80x", "::1:80",
        "http://127.0.0.1:80", "999.1.1.1:80", "127.0.0.1:80\x1b[2J"}) {
    SCOPED_TRACE(bad);
    std::vector<std::string> environment = Environment();
    for (std::string& variable : environment) {
      if (variable.rfind("SHOPWALK_CONNECT_TO=", 0) == 0) variable = "SHOPWALK_CONNECT_TO=" + bad;
    }
    const Finished run =
        RunToEnd(SHOPWALK_CLI_PATH, {"walk", "--db", db, "--count", "3"}, environment, Patience);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.errors.find("SHOPWALK_CONNECT_TO"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("HOST:PORT"), std::string::npos) << run.errors;
    EXPECT_EQ(run.errors.find('\x1b'), std::string::npos) << run.errors;
    EXPECT_FALSE(Exists(db));
  }
  EXPECT_EQ(market.RequestCount(), 0u);

  // One that is: the first line says where connections go.
  const Finished walk = Cli({"walk", "--db", db, "--from", "1", "--count", "1"});
  EXPECT_EQ(walk.code, 0) << walk.errors;
  EXPECT_NE(walk.errors.find("walking from 1 to 1 (start from --from), store " + db +
                             ", connections go to " + market.ConnectAddress() +
                             " (SHOPWALK_CONNECT_TO)\n"),
            std::string::npos)
      << walk.errors;
}

// The walk before ended at the largest shop ID: the next one has no ID to start from (rather than
// wrapping round to -2147483648).
TEST_F(CliTest, AWalkAfterTheLargestShopIdSaysThereIsNothingLeft) {
  const Finished top = Cli({"walk", "--db", db, "--from", "2147483646", "--rate", "0"});
  ASSERT_EQ(top.code, 0) << top.errors;
  EXPECT_NE(top.errors.find("walking from 2147483646"), std::string::npos) << top.errors;
  market.ClearRequests();

  const Finished next = Cli({"walk", "--db", db, "--count", "3"});
  EXPECT_EQ(next.code, 0) << next.errors;
  EXPECT_NE(next.errors.find("reached the largest shop ID, 2147483647"), std::string::npos)
      << next.errors;
  EXPECT_EQ(next.errors.find("walking from"), std::string::npos) << next.errors;
  EXPECT_EQ(market.RequestCount(), 0u);
}

}  // namespace
}  // namespace shopwalk::test
