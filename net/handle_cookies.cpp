#include "net/handle_cookies.h"

#include "net/cookie_jar.h"

namespace shopwalk::net {

std::vector<std::string> PrepareCookies(CURL* easy, bool enabled, std::string_view host,
                                        std::string_view requestPath, std::size_t headBytes) {
  // A handle keeps its cookies from one request to the next; turning its cookie engine off
  // throws them away.
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, static_cast<char*>(nullptr));
  if (!enabled) return {};
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  const std::size_t headerBytes = headBytes < LibraryHeadBytes ? LibraryHeadBytes - headBytes : 0;
  std::vector<std::string> loaded = CookieJar::Process().CookiesFor(host, requestPath, headerBytes);
  // Loaded the least wanted first: among cookies it cannot tell apart otherwise, the library
  // sends the one it took last first.
  for (auto line = loaded.rbegin(); line != loaded.rend(); ++line) {
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, line->c_str());
  }
  return loaded;
}

void KeepCookies(CURL* easy, const std::vector<std::string>& loaded) {
  curl_slist* list = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &list) != CURLE_OK) return;
  std::vector<std::string> held;
  for (curl_slist* item = list; item; item = item->next) held.emplace_back(item->data);
  curl_slist_free_all(list);
  CookieJar::Process().Merge(loaded, held);
}

}  // namespace shopwalk::net
