// Where answered pages go when a walk keeps them: the engine hands every answered home and rating
// page to it, bytes as the marketplace sent them, so that the rows can be cut again later with
// other markers without walking again. Calls come from the worker threads, any number at once; an
// implementation must not block for long (it packs and queues, and writes elsewhere).
#pragma once

#include <cstdint>
#include <string_view>

namespace shopwalk {

enum class PageKind : std::uint8_t { Home = 1, Rating = 2 };

class PageSink {
 public:
  virtual ~PageSink() = default;
  // `page` is only valid during the call.
  virtual void PageAnswered(std::int32_t shopId, PageKind kind, std::string_view page) = 0;
};

}  // namespace shopwalk
