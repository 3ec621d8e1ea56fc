// A collector against the local test marketplace, headless.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "collect/collector.h"
#include "collect/gbk.h"
#include "collect/text.h"
#include "net/http_client.h"
#include "net/transfer_abort.h"
#include "net/web_access.h"
#include "tests/support/memory_ui.h"
#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::test {

// An engine policy with a name for the test's title, for behaviour that holds under every policy.
struct NamedPolicy {
  std::string name;
  EnginePolicy policy;
};

// The window's policy, and the command line's with a limit of four requests at once, which binds
// in runs with more workers.
inline std::vector<NamedPolicy> EveryPolicy() {
  return {{"WindowPolicy", EnginePolicy{}}, {"CommandLinePolicy", EnginePolicy::CommandLine(4)}};
}

inline std::string PolicyName(const ::testing::TestParamInfo<NamedPolicy>& info) {
  return info.param.name;
}

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    InitWebAccess();
    ResetTransferAbort();
    SetConnectTo(market.ConnectAddress());
    // Every shop the test does not set up does not exist.
    market.SetFallbackGenerator(
        [](const std::string& host, const std::string&) -> std::optional<Page> {
          if (host.rfind("shop", 0) != 0) return std::nullopt;
          Page page;
          page.body = pages::NoShopPage(0);
          return page;
        });
  }
  ~EngineTest() override { SetConnectTo(""); }

  // Serves UTF-8 pages (sent as GBK) for shop `id` and its rating path.
  void ServeShop(std::int32_t id, const std::string& homeUtf8, const std::string& ratingPath = "",
                 const std::string& ratingUtf8 = "") {
    Page home;
    home.body = Utf8ToGbk(homeUtf8);
    market.SetPage(pages::ShopHost(id), "/", home);
    if (!ratingPath.empty()) {
      Page rating;
      rating.body = Utf8ToGbk(ratingUtf8);
      market.SetPage(pages::RatingHost(), ratingPath, rating);
    }
  }

  std::string Gbk(const std::string& utf8) { return Utf8ToGbk(utf8); }

  // Waits up to `timeout` for `condition`.
  static bool WaitFor(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  TestMarketplace market;
  MemoryUi ui;
  Collector collector{ui};
};

}  // namespace shopwalk::test
