// Pages in the marketplace's shapes, for the local test marketplace and the demo marketplace: a
// shop home page, the page of a shop that does not exist, and a seller-rating page, as GBK bytes
// carrying the texts the engine cuts. Also a deterministic synthetic marketplace where every
// shop ID either exists or not, the same on every run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace shopwalk::pages {

// One shop as its pages show it. Texts are UTF-8; a field switched off is missing from the page.
struct Shop {
  std::int32_t id = 0;
  std::string name;
  std::string messenger;
  std::string ratingToken;  // what follows "/user-rate-" in the rating link
  std::string openingDate;
  std::string reputation;  // empty: the rating page carries no reputation
  bool hasName = true;
  bool hasMessenger = true;
  bool hasRatingLink = true;
  bool hasOpeningDate = true;
};

// "shop<ID>.<domain>" and "rate.<domain>".
// A well-spread hash of `x` (splitmix64's last step), from which a shop's made-up text is drawn.
std::uint64_t Mix(std::uint64_t x);

std::string ShopHost(std::int32_t id);
std::string RatingHost();
// "http://shop<ID>.<domain>": the address the engine requests and writes in the row.
std::string ShopUrl(std::int32_t id);
// "/user-rate-<token>": the path of the shop's rating page on the rating host.
std::string RatingPath(const Shop& shop);

std::string HomePage(const Shop& shop);
std::string NoShopPage(std::int32_t id);
std::string RatingPage(const Shop& shop);

// The synthetic marketplace: about one ID in four is a shop; a few shops miss a field.
std::optional<Shop> DemoShop(std::int32_t id);
// A shop opened at `id` whatever DemoShop says of the ID: every field on its pages, so it makes a
// row; its text is drawn from the ID as DemoShop's is.
Shop NewShop(std::int32_t id);
// The shop ID a rating path ("/user-rate-u<ID>...") names, if it names one.
std::optional<std::int32_t> ShopIdOfRatingPath(const std::string& path);
// The shop whose rating page lives at `path` ("/user-rate-...", the query left off), if any.
std::optional<Shop> DemoShopByRatingPath(const std::string& path);
// The ID of a shop's host "shop<ID>.<domain>"; nothing for any other host.
std::optional<std::int32_t> ShopIdOfHost(const std::string& host);
// The synthetic marketplace's page for a request: a shop host's home page (or the page of a
// shop that does not exist), the rating page at `path`; nothing for anything else.
std::optional<std::string> DemoPage(const std::string& host, const std::string& path);

// Whether the engine makes a row of the shop with the built-in markers: its home page names the
// shop, its messenger and its rating page.
bool MakesRow(const Shop& shop);

// A change of the marketplace's pages from one shop ID on, as a marketplace makes when it
// redesigns its site or puts up a wall: the synthetic shops stay what they are (DemoShop is the
// truth), only their pages no longer read as before. A rating page belongs to the ID in its
// path. IDs below `fromId` keep their usual pages.
struct PageChange {
  enum class Kind {
    None,
    // Home pages (`home`) and/or rating pages (`rating`) move their texts into new markup: a home
    // page no longer carries the shop name's, the messenger's or the rating link's markers; a
    // rating page no longer carries the opening date's or the reputation's.
    Layout,
    // Every page answers 200 with a verification page instead (no notice, no markers).
    Verification,
    // Every page is sent as UTF-8 (and says so in its Content-Type) instead of GBK.
    Utf8,
    // The page of a shop that does not exist words its notice differently.
    RewordedNotice,
    // The home page of every ID, shops too, carries the "no such shop" notice.
    NoticeOnShops,
  };
  Kind kind = Kind::None;
  std::int32_t fromId = 0;
  bool home = true;
  bool rating = false;
};

// A page of the synthetic marketplace under `change`: the body as sent, and its Content-Type.
struct ServedPage {
  std::string body;
  std::string contentType;
};
// The page of shop ID `id` under `change`: its home page (`shop` nothing: no shop is there), or
// with `ratingPage` the rating page of `shop` (which must then be given).
ServedPage ChangedPage(std::int32_t id, const std::optional<Shop>& shop, bool ratingPage,
                       const PageChange& change);
// DemoPage with `change` applied; nothing for a request DemoPage has nothing for.
std::optional<ServedPage> ChangedDemoPage(const std::string& host, const std::string& path,
                                          const PageChange& change);

}  // namespace shopwalk::pages
