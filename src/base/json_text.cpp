// Portable: no Windows headers.
#include "base/json_text.hpp"

#include <vector>

namespace guardian {

bool json_depth_within(const nlohmann::json& value, int limit) {
  // Each entry is a container whose children are still to be looked at, with its depth.
  std::vector<std::pair<const nlohmann::json*, int>> pending;
  if (value.is_structured()) pending.emplace_back(&value, 1);
  while (!pending.empty()) {
    const auto [container, depth] = pending.back();
    pending.pop_back();
    if (depth > limit) return false;
    for (const auto& child : *container)
      if (child.is_structured()) pending.emplace_back(&child, depth + 1);
  }
  return true;
}

}  // namespace guardian
