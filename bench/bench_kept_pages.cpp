// Bytes per kept page with the page packer (zstd with a dictionary trained on the run's first
// 100 pages): the demo marketplace's home and rating pages as a walk answers them, and home pages
// of 64 KiB, each padded with markup of its own shop (item lists, prices, links, a style and a
// script block that vary per shop, as a real shop page's do). Prints the pages, their raw and
// packed bytes per page, and the dictionary's size; times nothing.
//
//   bench_kept_pages [SHOP_IDS]     (default 20,000 IDs from the default start)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "collect/gbk.h"
#include "results/page_packer.h"
#include "tests/support/shop_pages.h"

namespace {

using namespace shopwalk;

constexpr std::int32_t First = 109'428'412;
constexpr std::size_t PaddedBytes = std::size_t{64} * 1024;

struct Figures {
  std::size_t pages = 0;
  std::uint64_t rawBytes = 0;
  std::uint64_t packedBytes = 0;
  std::size_t dictionaryBytes = 0;
};

void Count(Figures& figures, const std::vector<PackedPage>& packed) {
  for (const PackedPage& page : packed) {
    ++figures.pages;
    figures.rawBytes += page.pageBytes;
    figures.packedBytes += page.bytes.size();
  }
}

void Print(const char* what, const Figures& figures) {
  const double pages = figures.pages > 0 ? static_cast<double>(figures.pages) : 1.0;
  std::printf("%-44s %7zu pages  %8.0f B raw  %7.1f B packed per page (%.1f%%)  dictionary %zu B\n",
              what, figures.pages, static_cast<double>(figures.rawBytes) / pages,
              static_cast<double>(figures.packedBytes) / pages,
              figures.rawBytes > 0 ? 100.0 * static_cast<double>(figures.packedBytes) /
                                         static_cast<double>(figures.rawBytes)
                                   : 0.0,
              figures.dictionaryBytes);
}

// A shop's home page grown to PaddedBytes with markup drawn from its ID: a style block, a
// navigation bar, an item list (names, prices, sales, pictures) and a script block, all varied.
std::string PaddedHomePage(const pages::Shop& shop) {
  static const char* const Goods[] = {"连衣裙",   "运动鞋", "保温杯", "蓝牙耳机", "手机壳", "茶叶",
                                      "毛绒玩具", "口红",   "背包",   "台灯",     "围巾",   "坚果"};
  static const char* const Words[] = {"新款", "包邮", "正品", "热卖",
                                      "特价", "限量", "清仓", "爆款"};
  std::string page = pages::HomePage(shop);
  const std::size_t bodyEnd = page.rfind("</body>");
  std::string padding;
  std::uint64_t h = pages::Mix(static_cast<std::uint64_t>(shop.id) ^ 0x7061646465644849ull);
  const auto next = [&h] {
    h = pages::Mix(h);
    return h;
  };
  padding += "<style>.s" + std::to_string(shop.id) + "{color:#" +
             std::to_string(next() % 900000 + 100000) + ";margin:" + std::to_string(next() % 20) +
             "px}</style>\n<ul class=\"nav\">";
  for (int i = 0; i < 8; ++i) {
    padding += "<li><a href=\"/category-" + std::to_string(next() % 100000) + ".htm\">" +
               Words[next() % 8] + Goods[next() % 12] + "</a></li>";
  }
  padding += "</ul>\n<div class=\"items\">\n";
  std::string script = "<script>var g_config={shopId:" + std::to_string(shop.id) + ",items:[";
  while (page.size() + padding.size() + script.size() + 64 < PaddedBytes) {
    const std::uint64_t item = next() % 900'000'000'000ull + 100'000'000'000ull;
    padding += "<div class=\"item\" data-id=\"" + std::to_string(item) +
               "\"><a href=\"//item.velmo.com/item.htm?id=" + std::to_string(item) +
               "\"><img src=\"//img.velmo.com/bao/" + std::to_string(next() % 10000) + "/" +
               std::to_string(next()) + ".jpg_240x240.jpg\" alt=\"\"></a><p class=\"title\">" +
               Words[next() % 8] + Goods[next() % 12] + std::to_string(next() % 1000) +
               "</p><span class=\"price\">" + std::to_string(next() % 2000) + "." +
               std::to_string(10 + next() % 90) + "</span><span class=\"sold\">月销" +
               std::to_string(next() % 5000) + "</span></div>\n";
    script += std::to_string(item) + ",";
  }
  script += "0]};</script>\n";
  padding += "</div>\n" + script;
  page.insert(bodyEnd, Utf8ToGbk(padding));
  return page;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20'000;
  if (count <= 0 || count > 10'000'000) {
    std::fprintf(stderr, "usage: bench_kept_pages [SHOP_IDS]\n");
    return 2;
  }
  Figures demo;
  Figures padded;
  {
    PagePacker packer(1);
    PagePacker paddedPacker(2);
    for (std::int32_t id = First; id < First + count; ++id) {
      const std::optional<pages::Shop> shop = pages::DemoShop(id);
      Count(demo,
            packer.Add(id, PageKind::Home, shop ? pages::HomePage(*shop) : pages::NoShopPage(id)));
      if (!shop) continue;
      if (pages::MakesRow(*shop)) {
        Count(demo, packer.Add(id, PageKind::Rating, pages::RatingPage(*shop)));
      }
      Count(padded, paddedPacker.Add(id, PageKind::Home, PaddedHomePage(*shop)));
    }
    Count(demo, packer.Finish());
    Count(padded, paddedPacker.Finish());
    if (packer.Dictionary()) demo.dictionaryBytes = packer.Dictionary()->bytes.size();
    if (paddedPacker.Dictionary()) padded.dictionaryBytes = paddedPacker.Dictionary()->bytes.size();
  }
  std::printf("%ld shop IDs from %d\n", count, First);
  Print("demo marketplace (home, no shop, rating)", demo);
  Print("shops' home pages padded to 64 KiB", padded);
  return 0;
}
