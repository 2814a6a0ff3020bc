// Portable: no Windows headers.
#include "peer/companion.hpp"

namespace guardian {

std::string next_peer_state(bool succeeded, int32_t& failures) {
  if (succeeded) {
    failures = 0;
    return "ok";
  }
  if (failures < INT32_MAX) ++failures;
  return failures < kMissingAfterFailures ? "unresponsive" : "missing";
}

}  // namespace guardian
