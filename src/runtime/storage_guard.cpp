#include "runtime/storage_guard.hpp"

namespace guardian {

bool trusted_storage_owner(std::string_view owner_sid) {
  return owner_sid == kLocalSystemSid || owner_sid == kAdministratorsSid;
}

StorageLevelAction storage_level_action(bool reparse_point, bool owner_checked, std::string_view owner_sid) {
  if (reparse_point) return StorageLevelAction::refuse;
  if (owner_checked && !trusted_storage_owner(owner_sid)) return StorageLevelAction::repair;
  return StorageLevelAction::use;
}

bool storage_entry_repairable(bool directory, bool reparse_point, uint32_t link_count) {
  return !directory && !reparse_point && link_count == 1;
}

std::string storage_repair_failed_reason(std::string_view error) {
  return "not owned by SYSTEM or Administrators and could not be repaired: " + std::string(error);
}

std::string storage_repaired_warning(std::string_view path, std::string_view former_owner_sid) {
  return "storage dir " + std::string(path) + " was owned by " +
         (former_owner_sid.empty() ? std::string("an unreadable owner") : std::string(former_owner_sid)) +
         "; owner set to SYSTEM and access reset to the agent's own";
}

}  // namespace guardian
