#include "net/cookie_jar.h"

#include <charconv>
#include <ctime>
#include <optional>
#include <set>
#include <tuple>

#include "base/ascii.h"

namespace shopwalk::net {
namespace {

struct ParsedCookie {
  std::string domain;
  bool subdomains = false;
  std::string path;
  std::int64_t expires = 0;
  std::string name;
};

std::optional<ParsedCookie> Parse(std::string_view line) {
  std::string_view fields[6];
  for (auto& field : fields) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    field = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  // What is left is the value, which the store does not need.
  ParsedCookie cookie;
  std::string_view domain = fields[0];
  constexpr std::string_view HttpOnly = "#HttpOnly_";
  if (domain.starts_with(HttpOnly)) domain.remove_prefix(HttpOnly.size());
  if (domain.starts_with('.')) domain.remove_prefix(1);
  if (domain.empty()) return std::nullopt;
  cookie.domain = AsciiLowercase(domain);
  cookie.subdomains = fields[1] == "TRUE";
  cookie.path = fields[2];
  const auto [end, ec] =
      std::from_chars(fields[4].data(), fields[4].data() + fields[4].size(), cookie.expires);
  if (ec != std::errc() || end != fields[4].data() + fields[4].size()) return std::nullopt;
  cookie.name = fields[5];
  return cookie;
}

bool Expired(std::int64_t expires, std::int64_t now) {
  return expires != 0 && expires <= now;
}

using Key = std::tuple<std::string, std::string, std::string>;

Key KeyOf(const ParsedCookie& cookie) {
  return {cookie.domain, cookie.path, cookie.name};
}

}  // namespace

CookieJar& CookieJar::Process() {
  static CookieJar jar;
  return jar;
}

std::vector<std::string> CookieJar::CookiesFor(std::string_view host) {
  const std::string lowerHost = AsciiLowercase(host);
  const std::int64_t now = std::time(nullptr);
  std::vector<std::string> lines;
  std::lock_guard lock(mutex_);
  std::string_view domain = lowerHost;
  for (bool exact = true; !domain.empty(); exact = false) {
    if (auto found = domains_.find(std::string(domain)); found != domains_.end()) {
      for (const auto& [key, entry] : found->second) {
        if ((exact || entry.subdomains) && !Expired(entry.expires, now)) {
          lines.push_back(entry.line);
        }
      }
    }
    const std::size_t dot = domain.find('.');
    if (dot == std::string_view::npos) break;
    domain.remove_prefix(dot + 1);
  }
  return lines;
}

void CookieJar::Merge(const std::vector<std::string>& before,
                      const std::vector<std::string>& after) {
  std::map<Key, const std::string*> handedOver;
  for (const std::string& line : before) {
    if (auto cookie = Parse(line)) handedOver[KeyOf(*cookie)] = &line;
  }
  const std::int64_t now = std::time(nullptr);
  std::set<Key> seen;

  std::lock_guard lock(mutex_);
  auto erase = [this](const Key& key) {
    auto domain = domains_.find(std::get<0>(key));
    if (domain == domains_.end()) return;
    if (domain->second.erase({std::get<1>(key), std::get<2>(key)}) > 0) --size_;
    if (domain->second.empty()) domains_.erase(domain);
  };
  for (const std::string& line : after) {
    auto cookie = Parse(line);
    if (!cookie) continue;
    Key key = KeyOf(*cookie);
    seen.insert(key);
    if (auto given = handedOver.find(key); given != handedOver.end() && *given->second == line) {
      continue;
    }
    if (Expired(cookie->expires, now)) {
      erase(key);
      continue;
    }
    auto [entry, inserted] = domains_[cookie->domain].try_emplace({cookie->path, cookie->name});
    entry->second = Entry{line, cookie->subdomains, cookie->expires, nextOrder_++};
    if (inserted && ++size_ > MaxCookies) EvictOldest();
  }
  for (const auto& [key, line] : handedOver) {
    if (!seen.contains(key)) erase(key);
  }
}

void CookieJar::EvictOldest() {
  auto oldestDomain = domains_.end();
  DomainCookies::iterator oldest;
  for (auto domain = domains_.begin(); domain != domains_.end(); ++domain) {
    for (auto entry = domain->second.begin(); entry != domain->second.end(); ++entry) {
      if (oldestDomain == domains_.end() || entry->second.order < oldest->second.order) {
        oldestDomain = domain;
        oldest = entry;
      }
    }
  }
  if (oldestDomain == domains_.end()) return;
  oldestDomain->second.erase(oldest);
  if (oldestDomain->second.empty()) domains_.erase(oldestDomain);
  --size_;
}

std::size_t CookieJar::Size() {
  std::lock_guard lock(mutex_);
  return size_;
}

void CookieJar::Clear() {
  std::lock_guard lock(mutex_);
  domains_.clear();
  size_ = 0;
}

}  // namespace shopwalk::net
