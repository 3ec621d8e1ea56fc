#include "net/cookie_jar.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <tuple>

#include "base/ascii.h"
#include "base/clock.h"

namespace shopwalk::net {
namespace {

struct ParsedCookie {
  std::string domain;
  bool subdomains = false;
  std::string path;
  std::int64_t expires = 0;
  std::string name;
  std::size_t valueBytes = 0;
};

std::optional<ParsedCookie> Parse(std::string_view line) {
  std::string_view fields[6];
  for (auto& field : fields) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    field = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  // What is left is the value.
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
  cookie.valueBytes = line.size();
  return cookie;
}

bool Expired(std::int64_t expires, std::int64_t now) {
  return expires != 0 && expires <= now;
}

// Whether a cookie with path `cookiePath` goes with a request to `requestPath` (RFC 6265 5.1.4).
bool PathCovers(std::string_view cookiePath, std::string_view requestPath) {
  if (!requestPath.starts_with(cookiePath)) return false;
  return cookiePath.size() == requestPath.size() || cookiePath.ends_with('/') ||
         requestPath[cookiePath.size()] == '/';
}

// The path of a request target: up to its query or fragment, "/" when there is none.
std::string_view PathOf(std::string_view target) {
  target = target.substr(0, target.find_first_of("?#"));
  return target.empty() ? std::string_view("/") : target;
}

using Key = std::tuple<std::string, std::string, std::string>;

Key KeyOf(const ParsedCookie& cookie) {
  return {cookie.domain, cookie.path, cookie.name};
}

// The Cookie header without any cookie: "Cookie: " and the line end.
constexpr std::size_t EmptyCookieHeaderBytes = 10;

}  // namespace

CookieJar& CookieJar::Process() {
  static CookieJar jar;
  return jar;
}

std::vector<std::string> CookieJar::CookiesFor(std::string_view host, std::string_view path,
                                               std::size_t headerBytes) {
  const std::string lowerHost = AsciiLowercase(host);
  const std::string_view requestPath = PathOf(path);
  const std::int64_t now = UnixSeconds(RealClock().CalendarNow());

  struct Candidate {
    const Entry* entry;
    bool pathCovers;
    std::size_t depth;  // 0 for the host itself, 1 for its parent domain, ...
    std::size_t pathBytes;
  };
  std::vector<Candidate> candidates;
  std::vector<Place> expired;
  std::vector<std::string> lines;

  std::lock_guard lock(mutex_);
  std::string_view domain = lowerHost;
  for (std::size_t depth = 0; !domain.empty(); ++depth) {
    if (auto found = domains_.find(domain); found != domains_.end()) {
      for (auto cookie = found->second.cookies.begin(); cookie != found->second.cookies.end();
           ++cookie) {
        const Entry& entry = cookie->second;
        if (Expired(entry.expires, now)) {
          expired.push_back({found, cookie});
        } else if (depth == 0 || entry.subdomains) {
          const std::string& cookiePath = cookie->first.first;
          candidates.push_back(
              {&entry, PathCovers(cookiePath, requestPath), depth, cookiePath.size()});
        }
      }
    }
    const std::size_t dot = domain.find('.');
    if (dot == std::string_view::npos) break;
    domain.remove_prefix(dot + 1);
  }

  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    if (a.pathCovers != b.pathCovers) return a.pathCovers;
    if (a.depth != b.depth) return a.depth < b.depth;
    if (a.pathBytes != b.pathBytes) return a.pathBytes > b.pathBytes;
    return a.entry->order > b.entry->order;
  });
  const std::size_t mostBytes = std::min(headerBytes, MaxCookieHeaderBytes);
  std::size_t bytes = EmptyCookieHeaderBytes;
  for (const Candidate& candidate : candidates) {
    const std::size_t added = candidate.entry->pairBytes + (lines.empty() ? 0 : 2);  // "; "
    if (bytes + added > mostBytes || lines.size() == MaxCookiesPerRequest) break;
    bytes += added;
    lines.push_back(candidate.entry->line);
  }

  for (const Place& place : expired) Erase(place.domain, place.cookie);
  return lines;
}

void CookieJar::Merge(const std::vector<std::string>& before,
                      const std::vector<std::string>& after) {
  std::map<Key, const std::string*> handedOver;
  for (const std::string& line : before) {
    if (auto cookie = Parse(line)) handedOver[KeyOf(*cookie)] = &line;
  }
  const std::int64_t now = UnixSeconds(RealClock().CalendarNow());
  std::set<Key> seen;

  std::lock_guard lock(mutex_);
  for (const std::string& line : after) {
    auto cookie = Parse(line);
    if (!cookie) continue;
    Key key = KeyOf(*cookie);
    seen.insert(key);
    if (auto given = handedOver.find(key); given != handedOver.end() && *given->second == line) {
      continue;
    }
    if (Expired(cookie->expires, now)) {
      Erase(cookie->domain, cookie->path, cookie->name);
      continue;
    }
    // Refused as a whole: a cookie stored before under the same name stays as it was.
    if (cookie->name.size() + cookie->valueBytes > MaxCookieBytes) continue;
    Entry entry;
    entry.line = line;
    entry.subdomains = cookie->subdomains;
    entry.expires = cookie->expires;
    entry.pairBytes = cookie->name.size() + 1 + cookie->valueBytes;
    Store(cookie->domain, cookie->path, cookie->name, std::move(entry));
  }
  for (const auto& [key, line] : handedOver) {
    if (!seen.contains(key)) Erase(std::get<0>(key), std::get<1>(key), std::get<2>(key));
  }
}

void CookieJar::Store(const std::string& domain, const std::string& path, const std::string& name,
                      Entry entry) {
  const auto domainPlace = domains_.try_emplace(domain).first;
  Domain& cookies = domainPlace->second;
  auto [place, inserted] = cookies.cookies.try_emplace({path, name});
  if (!inserted) {
    cookies.byAge.erase(place->second.order);
    byAge_.erase(place->second.order);
    bytes_ -= place->second.line.size();
  }
  entry.order = nextOrder_++;
  bytes_ += entry.line.size();
  place->second = std::move(entry);
  cookies.byAge.emplace(place->second.order, place);
  byAge_.emplace(place->second.order, Place{domainPlace, place});
  if (!inserted) return;

  ++size_;
  // The new cookie is the newest, so neither eviction can take it.
  if (cookies.cookies.size() > MaxCookiesPerDomain) {
    Erase(domainPlace, cookies.byAge.begin()->second);
  }
  if (size_ > MaxCookies) {
    const Place oldest = byAge_.begin()->second;
    Erase(oldest.domain, oldest.cookie);
  }
}

void CookieJar::Erase(Domains::iterator domain, Cookies::iterator cookie) {
  const std::uint64_t order = cookie->second.order;
  domain->second.byAge.erase(order);
  byAge_.erase(order);
  bytes_ -= cookie->second.line.size();
  --size_;
  domain->second.cookies.erase(cookie);
  if (domain->second.cookies.empty()) domains_.erase(domain);
}

void CookieJar::Erase(const std::string& domain, const std::string& path, const std::string& name) {
  const auto domainPlace = domains_.find(domain);
  if (domainPlace == domains_.end()) return;
  const auto cookie = domainPlace->second.cookies.find({path, name});
  if (cookie != domainPlace->second.cookies.end()) Erase(domainPlace, cookie);
}

std::size_t CookieJar::Size() {
  std::lock_guard lock(mutex_);
  return size_;
}

std::size_t CookieJar::Bytes() {
  std::lock_guard lock(mutex_);
  return bytes_;
}

void CookieJar::Clear() {
  std::lock_guard lock(mutex_);
  byAge_.clear();
  domains_.clear();
  size_ = 0;
  bytes_ = 0;
}

}  // namespace shopwalk::net
