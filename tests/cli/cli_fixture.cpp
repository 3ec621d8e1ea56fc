#include "tests/cli/cli_fixture.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "collect/gbk.h"
#include "results/result_store.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/support/shop_pages.h"

namespace shopwalk {

bool operator==(const ShopRecord& a, const ShopRecord& b) {
  return a.shopId == b.shopId && a.Row("") == b.Row("");
}

void PrintTo(const ShopRecord& record, std::ostream* out) {
  *out << "{" << record.shopId << ", " << GbkToUtf8(record.name) << ", " << record.reputation
       << ", " << GbkToUtf8(record.messenger) << ", " << record.openingDate << ", "
       << record.address << "}";
}

}  // namespace shopwalk

namespace shopwalk::test {

CliTest::CliTest() {
  market.SetFallbackGenerator(
      [this](const std::string& host, const std::string& path) -> std::optional<Page> {
        Page page;
        if (const auto id = pages::ShopIdOfHost(host)) {
          const auto shop = pages::DemoShop(*id);
          page.body = shop ? pages::HomePage(*shop) : pages::NoShopPage(*id);
          const std::int32_t stalled = stallFrom.load();
          if (stalled != 0 && *id >= stalled) {
            page.misbehaviour = Misbehaviour::StallBeforeAnswer;
            page.stallMs = 60'000;
          }
          return page;
        }
        if (const auto shop = pages::DemoShopByRatingPath(path)) {
          page.body = pages::RatingPage(*shop);
          return page;
        }
        return std::nullopt;
      });
}

std::vector<std::string> CliTest::Environment() const {
  // The proxy variables of whoever runs the tests are emptied (which unsets them for the program):
  // connections go straight to the test marketplace unless a test names a proxy itself.
  return {"SHOPWALK_CONNECT_TO=" + market.ConnectAddress(),
          "HOME=" + dir.path(),
          "XDG_CONFIG_HOME=" + dir.File("config"),
          "XDG_DATA_HOME=" + dir.File("data"),
          "http_proxy=",
          "https_proxy=",
          "no_proxy=",
          "HTTP_PROXY=",
          "HTTPS_PROXY=",
          "NO_PROXY="};
}

Finished CliTest::Cli(const std::vector<std::string>& arguments) const {
  return RunToEnd(SHOPWALK_CLI_PATH, arguments, Environment(), Patience);
}

std::unique_ptr<ChildProcess> CliTest::StartCli(const std::vector<std::string>& arguments,
                                                ChildProcess::ErrorOutput errorOutput) const {
  return std::make_unique<ChildProcess>(SHOPWALK_CLI_PATH, arguments, Environment(), errorOutput);
}

std::vector<ShopRecord> ShopsListedBetween(std::int32_t first, std::int32_t last,
                                           const std::set<std::int32_t>& skip) {
  std::vector<ShopRecord> listed;
  for (std::int32_t id = first; id <= last; ++id) {
    const auto shop = pages::DemoShop(id);
    // A shop whose page lacks its name, its owner or its rating link makes no row.
    if (!shop || !shop->hasName || !shop->hasMessenger || !shop->hasRatingLink) continue;
    if (skip.contains(id)) continue;
    ShopRecord record;
    record.shopId = id;
    record.name = Utf8ToGbk(shop->name);
    record.reputation = shop->reputation.empty() ? "0" : shop->reputation;
    record.messenger = Utf8ToGbk(shop->messenger);
    record.openingDate = shop->hasOpeningDate ? shop->openingDate : "";
    record.address = pages::ShopUrl(id);
    listed.push_back(record);
  }
  return listed;
}

std::set<std::int32_t> RequestedShopIds(const TestMarketplace& market) {
  std::set<std::int32_t> ids;
  for (const RecordedRequest& request : market.Requests()) {
    if (const auto id = pages::ShopIdOfHost(request.host)) ids.insert(*id);
  }
  return ids;
}

std::vector<ShopRecord> StoredShops(const std::string& db) {
  std::vector<ShopRecord> shops;
  auto opened = SqliteStore::OpenForReading(db);
  if (!opened) {
    ADD_FAILURE() << "cannot read the store " << db << ": " << opened.error().reason;
    return shops;
  }
  (*opened)->ForEachRow([&shops](const ShopRecord& record) { shops.push_back(record); });
  return shops;
}

std::optional<std::size_t> StoredRowCount(const std::string& db) {
  if (!Exists(db)) return std::nullopt;
  auto opened = SqliteStore::OpenForReading(db);
  if (!opened) return std::nullopt;
  return (*opened)->Summary().value().rows;
}

std::vector<std::int32_t> MissingIds(const std::set<std::int32_t>& ids, std::int32_t from,
                                     std::int32_t to) {
  std::vector<std::int32_t> missing;
  for (std::int32_t id = from; id <= to; ++id) {
    if (!ids.contains(id)) missing.push_back(id);
  }
  return missing;
}

ReaderOutput RunReader(const std::string& script, const std::string& file,
                       const std::string& argument) {
  std::vector<std::string> arguments{"python3", script, file};
  if (!argument.empty()) arguments.push_back(argument);
  const Finished run = RunToEnd("/usr/bin/env", arguments, {}, Patience);
  ReaderOutput output;
  output.ok = run.code == 0;
  EXPECT_TRUE(output.ok) << script << " " << file << ": " << run.errors;
  std::size_t start = 0;
  while (start < run.output.size()) {
    std::size_t end = run.output.find('\n', start);
    if (end == std::string::npos) end = run.output.size();
    output.lines.push_back(run.output.substr(start, end - start));
    start = end + 1;
  }
  return output;
}

std::optional<WalkRange> AnnouncedRange(const std::string& errors) {
  const std::string lead = "walking from ";
  const std::size_t at = errors.find(lead);
  if (at == std::string::npos) return std::nullopt;
  WalkRange range;
  if (std::sscanf(errors.c_str() + at + lead.size(), "%d to %d", &range.first, &range.last) != 2) {
    return std::nullopt;
  }
  return range;
}

std::vector<KeptChange> ExpectedChanges(const std::vector<LivingShops::Change>& changes) {
  const std::string open(OpenValue), closed(ClosedValue);
  std::vector<KeptChange> kept;
  for (const LivingShops::Change& change : changes) {
    switch (change.kind) {
      case LivingShops::Change::Kind::Renamed:
        kept.emplace_back(change.shopId, ShopNameColumn, Utf8ToGbk(change.before),
                          Utf8ToGbk(change.after));
        break;
      case LivingShops::Change::Kind::Reputation:
        kept.emplace_back(change.shopId, ReputationColumn,
                          change.before.empty() ? "0" : change.before,
                          change.after.empty() ? "0" : change.after);
        break;
      case LivingShops::Change::Kind::Closed:
        kept.emplace_back(change.shopId, ClosedField, open, closed);
        break;
      case LivingShops::Change::Kind::Reopened:
        kept.emplace_back(change.shopId, ClosedField, closed, open);
        break;
      case LivingShops::Change::Kind::Opened:
        break;
    }
  }
  std::sort(kept.begin(), kept.end());
  return kept;
}

std::vector<std::pair<std::string, std::int32_t>> ChangeLines(const std::string& lines) {
  std::vector<std::pair<std::string, std::int32_t>> found;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    const std::string kindKey = "{\"change\":\"", idKey = "\"shop_id\":";
    EXPECT_EQ(line.rfind(kindKey, 0), 0u) << line;
    const std::size_t kindEnd = line.find('"', kindKey.size());
    const std::size_t id = line.find(idKey);
    if (kindEnd == std::string::npos || id == std::string::npos) continue;
    found.emplace_back(line.substr(kindKey.size(), kindEnd - kindKey.size()),
                       std::stoi(line.substr(id + idKey.size())));
  }
  return found;
}

}  // namespace shopwalk::test
