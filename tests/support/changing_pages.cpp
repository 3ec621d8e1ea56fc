#include "tests/support/changing_pages.h"

#include <optional>
#include <string>

namespace shopwalk::test {

ChangingPages::ChangingPages(TestMarketplace& market) : market_(market) {
  market_.SetFallbackGenerator([this](const std::string& host,
                                      const std::string& path) -> std::optional<Page> {
    const std::optional<pages::ServedPage> served = pages::ChangedDemoPage(host, path, Current());
    if (!served) return std::nullopt;
    Page page;
    page.body = served->body;
    page.contentType = served->contentType;
    return page;
  });
}

ChangingPages::~ChangingPages() {
  market_.SetFallbackGenerator(nullptr);
}

void ChangingPages::Change(const pages::PageChange& change) {
  const std::lock_guard<std::mutex> lock(mutex_);
  change_ = change;
}

pages::PageChange ChangingPages::Current() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return change_;
}

std::map<std::int32_t, pages::Shop> ChangingPages::Truth(std::int32_t first, std::int32_t last) {
  std::map<std::int32_t, pages::Shop> shops;
  for (std::int32_t id = first; id <= last && id >= first; ++id) {
    std::optional<pages::Shop> shop = pages::DemoShop(id);
    if (shop && pages::MakesRow(*shop)) shops.emplace(id, *shop);
  }
  return shops;
}

}  // namespace shopwalk::test
