// Kept pages packed with a dictionary trained on the first ones: every page comes back byte for
// byte, the dictionary pays for itself on the marketplace's pages, bytes that are no packed page
// are refused, and the budget drops the oldest pages first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "results/page_packer.h"
#include "tests/support/shop_pages.h"

namespace shopwalk {
namespace {

// Home pages of the demo marketplace's shops, and pages of any bytes.
std::vector<std::string> DemoHomePages(std::size_t count) {
  std::vector<std::string> pages;
  for (std::int32_t id = 1; pages.size() < count; ++id) {
    if (const auto shop = pages::DemoShop(id)) pages.push_back(pages::HomePage(*shop));
  }
  return pages;
}

std::size_t PackedBytes(const std::vector<PackedPage>& packed) {
  std::size_t bytes = 0;
  for (const PackedPage& page : packed) bytes += page.bytes.size();
  return bytes;
}

TEST(PagePackerTest, PagesComeBackWholeAndTheDictionaryMakesThemSmaller) {
  const std::vector<std::string> pages = DemoHomePages(300);
  PagePacker packer(7, 100);
  std::vector<PackedPage> packed;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    std::vector<PackedPage> out =
        packer.Add(static_cast<std::int32_t>(i), PageKind::Home, pages[i]);
    // Nothing comes back while the first pages are gathered; then all of them at once.
    EXPECT_EQ(out.size(), i + 1 < 100 ? 0u : (i + 1 == 100 ? 100u : 1u)) << i;
    for (PackedPage& page : out) packed.push_back(std::move(page));
  }
  EXPECT_TRUE(packer.Finish().empty());
  ASSERT_TRUE(packer.Dictionary().has_value());
  ASSERT_EQ(packed.size(), pages.size());
  for (std::size_t i = 0; i < pages.size(); ++i) {
    EXPECT_EQ(packed[i].shopId, static_cast<std::int32_t>(i));
    EXPECT_EQ(packed[i].dictionaryId, 7u);
    const auto page = UnpackPage(packed[i], &*packer.Dictionary());
    ASSERT_TRUE(page.has_value()) << page.error().reason;
    EXPECT_EQ(*page, pages[i]);
  }

  // Without a dictionary (one page is too few to train on) the same pages take clearly more room.
  PagePacker plain(8, 1);
  std::vector<PackedPage> plainPacked;
  for (const std::string& page : pages) {
    for (PackedPage& p : plain.Add(1, PageKind::Home, page)) plainPacked.push_back(std::move(p));
  }
  EXPECT_FALSE(plain.Dictionary().has_value());
  ASSERT_EQ(plainPacked.size(), pages.size());
  EXPECT_LT(PackedBytes(packed) * 2, PackedBytes(plainPacked));
}

TEST(PagePackerTest, TooFewPagesArePackedWithoutADictionary) {
  PagePacker packer(1, 100);
  EXPECT_TRUE(packer.Add(5, PageKind::Rating, "").empty());
  EXPECT_TRUE(packer.Add(6, PageKind::Rating, std::string("\0\xFF\x80", 3)).empty());
  const std::vector<PackedPage> packed = packer.Finish();
  ASSERT_EQ(packed.size(), 2u);
  EXPECT_FALSE(packer.Dictionary().has_value());
  EXPECT_EQ(packed[1].kind, PageKind::Rating);
  EXPECT_EQ(packed[1].dictionaryId, 0u);
  EXPECT_EQ(UnpackPage(packed[0], nullptr).value_or("x"), "");
  EXPECT_EQ(UnpackPage(packed[1], nullptr).value_or(""), std::string("\0\xFF\x80", 3));
  // Later pages are packed at once, still without a dictionary.
  EXPECT_EQ(packer.Add(7, PageKind::Home, "p").size(), 1u);
}

TEST(PagePackerTest, BytesThatAreNoPackedPageAreRefused) {
  PagePacker packer(3, 10);
  std::vector<PackedPage> packed;
  for (const std::string& page : DemoHomePages(10)) {
    for (PackedPage& p : packer.Add(1, PageKind::Home, page)) packed.push_back(std::move(p));
  }
  ASSERT_EQ(packed.size(), 10u);
  PackedPage page = packed[0];
  // The wrong dictionary, or none.
  const PageDictionary other{4, "x"};
  if (page.dictionaryId != 0) {
    EXPECT_FALSE(UnpackPage(page, nullptr).has_value());
    EXPECT_FALSE(UnpackPage(page, &other).has_value());
  }
  // Garbage, a frame cut short, a frame damaged inside.
  EXPECT_FALSE(UnpackPage(PackedPage{1, PageKind::Home, 0, 0, "not zstd"}, nullptr).has_value());
  PackedPage cut = page;
  cut.bytes.resize(cut.bytes.size() / 2);
  EXPECT_FALSE(UnpackPage(cut, packer.Dictionary() ? &*packer.Dictionary() : nullptr).has_value());
  PackedPage damaged = page;
  for (std::size_t i = 8; i < damaged.bytes.size(); i += 3) damaged.bytes[i] ^= 0x5A;
  const auto unpacked = UnpackPage(damaged, packer.Dictionary() ? &*packer.Dictionary() : nullptr);
  if (unpacked) {
    EXPECT_LE(unpacked->size(), MaxUnpackedBytes);
  }
  // A frame that says it holds more than a page may be is refused before anything is made.
  PagePacker big(5, 1000);
  // (A page that large ends the gathering at once.)
  const std::vector<PackedPage> bomb =
      big.Add(1, PageKind::Home, std::string(MaxUnpackedBytes + 1, 'a'));
  EXPECT_TRUE(big.Finish().empty());
  ASSERT_EQ(bomb.size(), 1u);
  EXPECT_LT(bomb[0].bytes.size(), 64u * 1024);
  const auto refused = UnpackPage(bomb[0], nullptr);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().reason.find("too large"), std::string::npos);
}

TEST(PageBudgetTest, TheOldestPagesGoFirstAndALargePageStaysAlone) {
  PageBudget budget(100);
  EXPECT_EQ(budget.Add(40), 0u);
  EXPECT_EQ(budget.Add(40), 0u);
  EXPECT_EQ(budget.Add(40), 1u);  // 120 > 100: the first goes
  EXPECT_EQ(budget.KeptBytes(), 80u);
  EXPECT_EQ(budget.Add(500), 2u);  // larger than the budget: kept alone
  EXPECT_EQ(budget.KeptPages(), 1u);
  EXPECT_EQ(budget.KeptBytes(), 500u);
  EXPECT_EQ(budget.Add(10), 1u);
  EXPECT_EQ(budget.DroppedPages(), 4u);

  PageBudget unbounded(0);
  for (int i = 0; i < 5000; ++i) EXPECT_EQ(unbounded.Add(1'000'000), 0u);
  EXPECT_EQ(unbounded.KeptPages(), 5000u);

  // Many pages through a small budget: the count stays right as dropped sizes are forgotten.
  PageBudget small(10);
  std::uint64_t dropped = 0;
  for (int i = 0; i < 10000; ++i) dropped += small.Add(1);
  EXPECT_EQ(dropped, 9990u);
  EXPECT_EQ(small.KeptPages(), 10u);
  EXPECT_EQ(small.KeptBytes(), 10u);
}

}  // namespace
}  // namespace shopwalk
