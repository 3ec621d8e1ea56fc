// The process-wide cookie store shared by every web client.
//
// Cookies travel as Netscape cookie-file lines, the form the HTTP library reads and reports them
// in: domain, subdomain flag, path, secure flag, expiry, name and value, separated by tabs.
//
// The store is bounded as browsers bound theirs, so that a site setting many or large cookies
// cannot make memory or the cost of a request grow: a cookie whose name and value pass
// MaxCookieBytes is refused, a domain keeps at most MaxCookiesPerDomain cookies and the store at
// most MaxCookies (the oldest stored go first, found through an index by age), and what one
// request is given fits a Cookie header of MaxCookieHeaderBytes. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace shopwalk::net {

class CookieJar {
 public:
  // Name and value of one cookie together; a larger cookie is not stored.
  static constexpr std::size_t MaxCookieBytes = 4096;
  // Cookies kept per domain (as the cookie names it) and in all; beyond either the oldest
  // stored (set or last changed) of that domain, or of all, goes.
  static constexpr std::size_t MaxCookiesPerDomain = 50;
  static constexpr std::size_t MaxCookies = 3000;
  // The Cookie header line of one request, "Cookie: " and the line end included.
  static constexpr std::size_t MaxCookieHeaderBytes = 8192;
  // The most cookies the HTTP library sends with one request.
  static constexpr std::size_t MaxCookiesPerRequest = 150;

  // The store every client uses.
  static CookieJar& Process();

  // Lines of the unexpired cookies that apply to `host` (those set for the host itself and those
  // set for a parent domain with the subdomain flag), as many as fit one Cookie header line of
  // `headerBytes` (never more than MaxCookieHeaderBytes) and MaxCookiesPerRequest for a request
  // to `path`. Chosen in order, which is the order of the list: cookies whose path covers `path`
  // before the others, then the most specific domain, the longest path and the newest; the first
  // that does not fit ends the list. Expired cookies met on the way are dropped from the store.
  std::vector<std::string> CookiesFor(std::string_view host, std::string_view path = "/",
                                      std::size_t headerBytes = MaxCookieHeaderBytes);

  // Takes in what a request changed: `before` are the lines handed to it (from CookiesFor),
  // `after` the lines it held when it ended. New and changed cookies are stored (within the
  // bounds above), cookies the request dropped are removed, expired ones are not kept. Lines
  // handed over unchanged leave the store as it is, so a request never undoes what another one
  // stored meanwhile. Lines that are not cookie lines are ignored.
  void Merge(const std::vector<std::string>& before, const std::vector<std::string>& after);

  // How many cookies are stored, and the bytes of their lines.
  std::size_t Size();
  std::size_t Bytes();
  void Clear();

 private:
  struct Entry {
    std::string line;
    bool subdomains = false;
    std::int64_t expires = 0;
    std::uint64_t order = 0;    // when it was stored; larger is newer
    std::size_t pairBytes = 0;  // "name=value" as a Cookie header carries it
  };
  // A domain's cookies by path and name, and the same by age.
  using Cookies = std::map<std::pair<std::string, std::string>, Entry>;
  struct Domain {
    Cookies cookies;
    std::map<std::uint64_t, Cookies::iterator> byAge;
  };
  // Keyed by domain, lowercase, without a leading dot.
  using Domains = std::map<std::string, Domain, std::less<>>;
  struct Place {
    Domains::iterator domain;
    Cookies::iterator cookie;
  };

  // Stores `entry` under its domain, path and name, replacing one there, then evicts what the
  // bounds no longer allow. The caller holds the mutex.
  void Store(const std::string& domain, const std::string& path, const std::string& name,
             Entry entry);
  void Erase(Domains::iterator domain, Cookies::iterator cookie);
  void Erase(const std::string& domain, const std::string& path, const std::string& name);

  std::mutex mutex_;
  Domains domains_;
  // Every cookie by age: the oldest first.
  std::map<std::uint64_t, Place> byAge_;
  std::size_t size_ = 0;
  std::size_t bytes_ = 0;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace shopwalk::net
