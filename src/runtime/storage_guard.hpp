#pragma once
// The rules that decide whether the agent may use the levels of its default storage folder
// ("Ostrival" and "guardian" below the common application-data folder) as it finds them.
// A user can create those folders before the service first starts and then owns them: as
// owner they could later put a link in their place and steer the service's file operations
// to files of their choosing. Links are refused; a folder that someone other than SYSTEM or
// the Administrators owns is taken over (owner SYSTEM, the agent's protected access list)
// by a service running as LocalSystem.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace guardian {

inline constexpr char kLocalSystemSid[] = "S-1-5-18";
inline constexpr char kAdministratorsSid[] = "S-1-5-32-544";

// LocalSystem or the built-in Administrators: the owners the agent relies on.
bool trusted_storage_owner(std::string_view owner_sid);

enum class StorageLevelAction {
  use,     // nothing to do
  repair,  // take ownership and reset the access list, then use it
  refuse,  // a link or junction: start-up ends
};

// A level of the default folder as found: whether it is a reparse point, and its owner as a
// SID string, read only when the process runs as LocalSystem (owner_checked; an empty SID
// means the owner could not be read, which a repair mends too).
StorageLevelAction storage_level_action(bool reparse_point, bool owner_checked, std::string_view owner_sid);

// A repair of "guardian" also takes over each entry directly inside it. Only a plain file
// with a single name is taken over: a folder or link could lead the repair elsewhere, and a
// file with another name (a hard link) could be a file that is not the agent's.
bool storage_entry_repairable(bool directory, bool reparse_point, uint32_t link_count);

// The reasons and the warning in the agent's storage lines.
inline constexpr char kStorageLinkReason[] = "a link or junction stands in its place";
std::string storage_repair_failed_reason(std::string_view error);
std::string storage_repaired_warning(std::string_view path, std::string_view former_owner_sid);

struct StorageCheck {
  std::string refused;                // why the folder must not be used; empty when it may
  std::vector<std::string> repaired;  // one warning for each level taken over
  // The levels that passed, held open without delete sharing for as long as this lives:
  // nobody, not even someone who kept a handle from before a take-over, can move a level
  // away and put a link in its place while the agent works in it.
  std::shared_ptr<void> held;
};

// Creates and checks both levels of the default storage folder dir, "Ostrival" first (so
// that nothing is created through a link in its place), each opened in place: a link or
// junction at either is refused; when the process runs as LocalSystem, a level with an owner
// other than SYSTEM or the Administrators is taken over, and so is each file directly inside
// "guardian". A level that cannot be created or is a file is left to the start-up check of
// the storage folder, which reports it in its own words.
StorageCheck secure_default_storage_dir(const std::wstring& dir);

}  // namespace guardian
