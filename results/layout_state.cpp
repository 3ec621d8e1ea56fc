#include "results/layout_state.h"

namespace shopwalk::results {

LayoutState StateOfVersion(std::int64_t version, std::int64_t known) {
  if (version < 0) return LayoutState::Foreign;
  if (version < known) return LayoutState::Older;
  if (version > known) return LayoutState::Newer;
  return LayoutState::Current;
}

std::string DescribeUnusableLayout(LayoutState state, std::int64_t version, std::int64_t known,
                                   std::string_view newer, std::string_view foreign) {
  switch (state) {
    case LayoutState::Newer:
      return std::string(newer) + " (layout " + std::to_string(version) +
             "; this one knows up to " + std::to_string(known) + ")";
    case LayoutState::Foreign:
      return std::string(foreign);
    case LayoutState::Empty:
    case LayoutState::Current:
    case LayoutState::Older:
      break;
  }
  return {};
}

}  // namespace shopwalk::results
