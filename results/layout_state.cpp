#include "results/layout_state.h"

namespace shopwalk::results {

LayoutState StateOfVersion(std::int64_t version, std::int64_t known) {
  if (version < 0) return LayoutState::Foreign;
  if (version < known) return LayoutState::Older;
  if (version > known) return LayoutState::Newer;
  return LayoutState::Current;
}

std::string DescribeUnusableLayout(const Layout& layout, const LayoutWords& words) {
  switch (layout.state) {
    case LayoutState::Newer:
      return std::string(words.newer) + " (layout " + std::to_string(layout.version) +
             "; this one knows up to " + std::to_string(words.known) + ")";
    case LayoutState::Foreign:
      return std::string(words.foreign);
    case LayoutState::Empty:
    case LayoutState::Current:
    case LayoutState::Older:
      break;
  }
  return {};
}

Expected<void, StoreProblem> LayoutForWalking(const Layout& layout, const LayoutWords& words,
                                              const std::string& location) {
  std::string unusable = DescribeUnusableLayout(layout, words);
  if (unusable.empty()) return {};
  return MakeUnexpected(StoreProblem{layout.state == LayoutState::Foreign
                                         ? StoreProblem::Kind::Corrupt
                                         : StoreProblem::Kind::Other,
                                     location, std::move(unusable)});
}

Expected<void, StoreProblem> LayoutForReading(const Layout& layout, const LayoutWords& words,
                                              const std::string& location) {
  switch (layout.state) {
    case LayoutState::Current:
      return {};
    case LayoutState::Empty:
      return MakeUnexpected(
          StoreProblem{StoreProblem::Kind::Corrupt, location, std::string(words.noStore)});
    case LayoutState::Older:
      return MakeUnexpected(StoreProblem{StoreProblem::Kind::Other, location,
                                         "the store has an earlier layout (" +
                                             std::to_string(layout.version) +
                                             "); opening it for walking upgrades it"});
    case LayoutState::Foreign:
    case LayoutState::Newer:
      break;
  }
  return LayoutForWalking(layout, words, location);
}

}  // namespace shopwalk::results
