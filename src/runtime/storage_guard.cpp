// Portable: no Windows headers.
#include "runtime/storage_guard.hpp"

namespace guardian {

bool trusted_storage_owner(std::string_view owner_sid) {
  return owner_sid == kLocalSystemSid || owner_sid == kAdministratorsSid;
}

namespace {

// The first entry that grants any of change_rights to an account other than LocalSystem, the
// Administrators, TrustedInstaller and also (when not empty); null when there is none.
const StorageAce* untrusted_grant(const std::vector<StorageAce>& aces, uint32_t change_rights, std::string_view also) {
  for (const StorageAce& ace : aces) {
    if (!ace.allow || ace.inherit_only || !(ace.mask & change_rights)) continue;
    if (!trusted_storage_owner(ace.sid) && ace.sid != kTrustedInstallerSid && (also.empty() || ace.sid != also))
      return &ace;
  }
  return nullptr;
}

}  // namespace

bool storage_level_trusted(std::string_view owner_sid, bool has_dacl, const std::vector<StorageAce>& aces,
                           uint32_t change_rights) {
  return trusted_storage_owner(owner_sid) && has_dacl && !untrusted_grant(aces, change_rights, {});
}

std::optional<std::string> program_object_changeable_by(std::string_view owner_sid, bool has_dacl,
                                                        const std::vector<StorageAce>& aces, uint32_t change_rights,
                                                        std::string_view installer_sid) {
  if (!trusted_storage_owner(owner_sid) && owner_sid != kTrustedInstallerSid &&
      (installer_sid.empty() || owner_sid != installer_sid))
    return std::string(owner_sid);
  if (!has_dacl) return std::string("everyone");
  if (const StorageAce* ace = untrusted_grant(aces, change_rights, installer_sid)) return ace->sid;
  return std::nullopt;
}

bool account_can_change(std::string_view owner_sid, const std::vector<StorageAce>& aces, uint32_t change_rights,
                        std::string_view account_sid) {
  // LocalSystem (the MSI's custom action) runs no program without elevation: SYSTEM's own
  // rights over what it installed give nobody a way in.
  if (account_sid.empty() || account_sid == kLocalSystemSid) return false;
  if (owner_sid == account_sid) return true;
  for (const StorageAce& ace : aces)
    if (ace.allow && !ace.inherit_only && (ace.mask & change_rights) && ace.sid == account_sid) return true;
  return false;
}

bool log_file_list_replaced(bool has_dacl, bool protected_dacl, const std::vector<StorageAce>& aces) {
  if (!has_dacl || !protected_dacl) return true;
  for (const StorageAce& ace : aces) {
    if (ace.allow && !ace.inherit_only && ace.mask != 0 && !trusted_storage_owner(ace.sid)) return true;
  }
  return false;
}

StorageLevelAction storage_level_action(bool reparse_point, bool checked, bool trusted) {
  if (reparse_point) return checked ? StorageLevelAction::move_aside : StorageLevelAction::refuse;
  if (checked && !trusted) return StorageLevelAction::move_aside;
  return StorageLevelAction::use;
}

StorageLevelAction storage_unheld_action(bool opens_sharing_delete, bool opens_to_add_without_delete_sharing,
                                         bool checked) {
  if (!opens_sharing_delete && opens_to_add_without_delete_sharing) return StorageLevelAction::use_unheld;
  return checked ? StorageLevelAction::move_aside : StorageLevelAction::refuse;
}

namespace {

std::wstring widened(std::string_view ascii) {
  std::wstring out;
  for (const char c : ascii) out += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

}  // namespace

std::wstring storage_aside_name(const std::wstring& level, std::string_view stamp, std::string_view suffix) {
  std::wstring name = level;
  while (!name.empty() && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
  return name + L".untrusted-" + widened(stamp) + L"-" + widened(suffix);
}

std::string storage_move_failed_reason(std::string_view error) {
  return "not safe to use, and could not be moved aside: " + std::string(error);
}

std::string storage_move_timed_out_reason(unsigned long limit_ms) {
  return "the rename did not end within " + std::to_string(limit_ms / 1000) + " s: another program holds it";
}

std::string storage_unreadable_reason(std::string_view error) {
  return "open in another program that keeps it from being read: " + std::string(error);
}

std::string storage_not_held_warning(std::string_view path) {
  return "storage dir " + std::string(path) + " is open in another program that does not share reading; used "
         "without being held";
}

std::string storage_moved_warning(std::string_view path, std::string_view owner_sid, std::string_view aside) {
  return "storage dir " + std::string(path) + " (owner " +
         (owner_sid.empty() ? std::string("unreadable") : std::string(owner_sid)) +
         ") was open to others; moved to " + std::string(aside) + " and created anew";
}

std::string storage_held_moved_warning(std::string_view path, std::string_view aside) {
  return "storage dir " + std::string(path) + " was " + kStorageHeldReason + "; moved to " + std::string(aside) +
         " and created anew";
}

std::string storage_link_moved_warning(std::string_view path, std::string_view aside) {
  return "storage dir " + std::string(path) + " was a link or junction; the link itself moved to " +
         std::string(aside) + " (what it points to left alone) and the folder created anew";
}

std::string storage_fallback_error(std::string_view dir, std::string_view level, std::string_view reason,
                                   std::string_view fallback) {
  return "storage dir " + std::string(dir) + " cannot be used: " + std::string(level) + ": " + std::string(reason) +
         "; using " + std::string(fallback) + " instead, with a channel secret of its own; to do: as an "
         "administrator, remove " + std::string(level) + " (end the program that holds it open first; rmdir /s /q "
         "removes a link or junction without following it), then restart the service, which then goes back to " +
         std::string(dir);
}

std::string storage_fallback_left_text(std::string_view dir, std::string_view fallback) {
  return "storage dir " + std::string(dir) + " is used again; " + std::string(fallback) +
         ", used while it could not be, is no longer used: remove it as an administrator (rmdir /s /q)";
}

}  // namespace guardian
