// Shared set-up of the web client tests: a local marketplace that every connection goes to.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "net/cookie_jar.h"
#include "net/http_client.h"
#include "net/transfer_abort.h"
#include "net/web_access.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk {

// Connections land on the local marketplace while a test runs and on a closed loopback port
// otherwise, so no test ever reaches another address.
inline constexpr const char* Nowhere = "127.0.0.1:1";

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConnectTo(market_.ConnectAddress());
    ResetTransferAbort();
    net::CookieJar::Process().Clear();
  }
  void TearDown() override {
    SetConnectTo(Nowhere);
    ResetTransferAbort();
  }

  // Runs `work` on a thread of its own; if it has not ended after 20 s the test fails and every
  // transfer is aborted so that it does end.
  static void WithinBound(const std::function<void()>& work) {
    std::promise<void> ended;
    std::future<void> done = ended.get_future();
    std::thread worker([&] {
      work();
      ended.set_value();
    });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "the request did not end within 20 s";
      AbortAllTransfers();
    }
    worker.join();
  }

  // A page with `body` and nothing else special.
  static test::Page PageWith(std::string body) {
    test::Page page;
    page.body = std::move(body);
    return page;
  }

  test::TestMarketplace market_;
};

}  // namespace shopwalk
