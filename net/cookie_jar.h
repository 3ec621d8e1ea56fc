// The process-wide cookie store shared by every web client.
//
// Cookies travel as Netscape cookie-file lines, the form the HTTP library reads and reports them
// in: domain, subdomain flag, path, secure flag, expiry, name and value, separated by tabs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace shopwalk::net {

class CookieJar {
 public:
  // The store every client uses.
  static CookieJar& Process();

  // Lines of the unexpired cookies that apply to `host`: those set for the host itself and those
  // set for a parent domain with the subdomain flag.
  std::vector<std::string> CookiesFor(std::string_view host);

  // Takes in what a request changed: `before` are the lines handed to it (from CookiesFor),
  // `after` the lines it held when it ended. New and changed cookies are stored, cookies the
  // request dropped are removed, expired ones are not kept. Lines handed over unchanged leave the
  // store as it is, so a request never undoes what another one stored meanwhile.
  void Merge(const std::vector<std::string>& before, const std::vector<std::string>& after);

  std::size_t Size();
  void Clear();

  // At most this many cookies are kept; beyond it the oldest stored go first.
  static constexpr std::size_t MaxCookies = 10000;

 private:
  struct Entry {
    std::string line;
    bool subdomains = false;
    std::int64_t expires = 0;
    std::uint64_t order = 0;
  };
  // Keyed by domain (lowercase, without leading dot), then by path and name.
  using DomainCookies = std::map<std::pair<std::string, std::string>, Entry>;

  void EvictOldest();

  std::mutex mutex_;
  std::map<std::string, DomainCookies> domains_;
  std::size_t size_ = 0;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace shopwalk::net
