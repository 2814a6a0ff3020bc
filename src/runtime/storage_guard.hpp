#pragma once
// The rules that decide whether the agent may use the levels of its default storage folder
// ("Ostrival" and "guardian" below the common application-data folder) as it finds them.
// A user can create those folders before the service first starts and then owns them: as
// owner they could later put a link in their place and steer the service's file operations
// to files of their choosing. A service running as LocalSystem moves aside a link or
// junction, and a folder that someone other than SYSTEM or the Administrators owns or whose
// access list lets anyone else change it, and creates the level anew; anyone else refuses a
// link. A folder is not repaired in place: access granted to handles opened before a repair
// would survive it. What a user made and holds so that it cannot be moved never keeps the
// service from starting: it then uses a folder of its own instead (secure_storage).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace guardian {

inline constexpr char kLocalSystemSid[] = "S-1-5-18";
inline constexpr char kAdministratorsSid[] = "S-1-5-32-544";
inline constexpr char kTrustedInstallerSid[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// LocalSystem or the built-in Administrators: the owners the agent relies on.
bool trusted_storage_owner(std::string_view owner_sid);

// One entry of a folder's access list, as far as the rule needs it.
struct StorageAce {
  std::string sid;
  bool allow = true;
  bool inherit_only = false;  // applies to what is created inside, not to the folder
  uint32_t mask = 0;
};

// Rights over "guardian" that nobody else may have: write and append data (add file, add
// folder), extended attributes, delete child, attributes, delete, the access list, the owner,
// and generic write and all.
inline constexpr uint32_t kStorageChangeRights = 0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 |
                                                 0x40000000 | 0x10000000;
// Rights over "Ostrival" that nobody else may have: those that could move "guardian" (delete
// child, delete) or hand the folder over (the access list, the owner, generic all). Adding
// folders beside "guardian", which the common application-data folder passes on to users,
// gives no hold on it.
inline constexpr uint32_t kStorageParentChangeRights = 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x10000000;

// Whether the folder may be used as it is: owned by SYSTEM or the Administrators, with an
// access list (has_dacl false: none, which grants everyone everything) that grants no one
// else (TrustedInstaller aside) any of change_rights.
bool storage_level_trusted(std::string_view owner_sid, bool has_dacl, const std::vector<StorageAce>& aces,
                           uint32_t change_rights);

// Rights over the service's program, the DLLs it loads from its folder, and that folder,
// which nobody but the trusted accounts may have: write and append data (add file, add
// folder), delete child, delete, the access list, the owner, generic write and all.
inline constexpr uint32_t kProgramChangeRights = 0x2 | 0x4 | 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 |
                                                 0x10000000;

// Rights over the program's volume root that nobody else may have: those that could move the
// folders below it away (delete child) or hand the root over (the access list, the owner,
// generic all). Adding folders there, which Windows grants every user on a system volume's
// root, gives no hold on what is already there.
inline constexpr uint32_t kVolumeRootChangeRights = 0x40 | 0x40000 | 0x80000 | 0x10000000;

// Who, other than LocalSystem, the Administrators, TrustedInstaller and the installing account
// (installer_sid), could change a file or folder that a LocalSystem service runs from: its
// owner, or the first account its access list grants any of change_rights ("" for an entry of
// a kind not read), or "everyone" when it has no access list. Nothing (nullopt) when nobody
// else can. The folders above the program's are judged with kStorageParentChangeRights: who
// could move its folder away.
std::optional<std::string> program_object_changeable_by(std::string_view owner_sid, bool has_dacl,
                                                        const std::vector<StorageAce>& aces, uint32_t change_rights,
                                                        std::string_view installer_sid);

// Whether the account itself may change such an object: it owns it, or its access list grants
// the account any of change_rights by name. A service installed from there runs what that
// account's unelevated programs can replace. Never LocalSystem, which has no such programs.
bool account_can_change(std::string_view owner_sid, const std::vector<StorageAce>& aces, uint32_t change_rights,
                        std::string_view account_sid);

// The owner and access list of a file or folder, as the rules read them.
struct ObjectProtection {
  std::string owner_sid;
  bool has_dacl = false;
  bool protected_dacl = false;  // not inheriting from its parent
  std::vector<StorageAce> aces;
  bool link = false;  // a link or junction (read as itself, never followed)
};

// Reads them from the file or folder at path itself, a link or junction there included; false
// (with the last error set) when they cannot be read.
bool read_path_protection(const std::wstring& path, ObjectProtection& protection);

// The access list of the log files in the default storage folder: LocalSystem and the
// Administrators only, not inherited. The folder lets every user read what it holds, as the
// clients need for "channel.bin"; they never need the log, and a user who may open the log
// can hold it without write sharing and stop every line.
inline constexpr wchar_t kLogFileSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// Whether a log file's list is to be replaced by kLogFileSddl: unless it is protected from
// inheritance and grants nothing to anyone but LocalSystem and the Administrators.
bool log_file_list_replaced(bool has_dacl, bool protected_dacl, const std::vector<StorageAce>& aces);

// Gives the log file at log_path and its older generation (".1") kLogFileSddl where the rule
// above asks for it (a log left by an older version carries the folder's list). Empty when
// done; otherwise what failed, for a WARN line.
std::string secure_log_files(const std::wstring& log_path);

// A security descriptor given as text (with its owner), as the rules read it; false when it
// does not parse.
bool descriptor_protection(const std::wstring& sddl, ObjectProtection& protection);

// The storage rule applied to such a descriptor: whether a folder carrying it would be used,
// as "guardian" or (parent) as "Ostrival".
bool storage_descriptor_trusted(const std::wstring& sddl, bool parent);

enum class StorageLevelAction {
  use,         // nothing to do
  move_aside,  // renamed out of the way (a link itself, never what it points to) and created anew
  refuse,      // a link or junction, or a level another program could move (not LocalSystem)
  use_unheld,  // used without being held, with a warning
};

// A level of the default folder as found: whether it is a reparse point, and whether it is
// trusted, judged only when the process runs as LocalSystem (checked), which moves a link
// aside as it does an untrusted folder.
StorageLevelAction storage_level_action(bool reparse_point, bool checked, bool trusted);

// A level that could not be held (a sharing violation), judged by two more opens of it:
// the hold's access with delete sharing added (it opens: the only conflict is a handle with
// delete access), and adding a folder to it without delete sharing (it opens: no handle has
// delete access, so the conflict is a reader that does not share read). A handle with delete
// access can rename the level after the check, whatever its access list now says, and put a
// link in its place: such a level is moved aside (LocalSystem) or refused. So is one where
// neither open tells (a handle that shares nothing may hold delete access too). Only a reader
// is no threat; the level is then used unheld.
StorageLevelAction storage_unheld_action(bool opens_sharing_delete, bool opens_to_add_without_delete_sharing,
                                         bool checked);

// The name a level is moved to: "<name>.untrusted-<stamp>-<suffix>" beside it, the suffix 4
// random hexadecimal digits, so that nobody can make the name beforehand and hold it. A name
// that exists is tried again with another suffix, up to kAsideNameAttempts names in all.
std::wstring storage_aside_name(const std::wstring& level, std::string_view stamp, std::string_view suffix);
inline constexpr int kAsideNameAttempts = 4;

// The folder a service running as LocalSystem uses when a level of its default folder cannot
// be moved aside: storage_fallback_dir (channel/channel_places.hpp) with 8 random hexadecimal
// digits. A name that exists is not taken; kFallbackAttempts names in all.
inline constexpr int kFallbackAttempts = 3;

inline constexpr unsigned long kMoveAsideLimitMs = 5000;

// The reasons and the warning in the agent's storage lines.
inline constexpr char kStorageLinkReason[] = "a link or junction stands in its place";
inline constexpr char kStorageHeldReason[] = "open in another program that could move it";
// A rename that did not end within limit_ms.
std::string storage_move_timed_out_reason(unsigned long limit_ms);
// readable_file kept from being read by another program: error is why the read failed.
std::string storage_unreadable_reason(std::string_view error);
std::string storage_move_failed_reason(std::string_view error);
std::string storage_not_held_warning(std::string_view path);
std::string storage_moved_warning(std::string_view path, std::string_view owner_sid, std::string_view aside);
std::string storage_held_moved_warning(std::string_view path, std::string_view aside);
std::string storage_link_moved_warning(std::string_view path, std::string_view aside);
// The ERROR line (and Event Log entry) of a start that could not use the default folder dir:
// what stands at level and why it could not be used, what to remove, the folder used instead.
std::string storage_fallback_error(std::string_view dir, std::string_view level, std::string_view reason,
                                   std::string_view fallback);
// The line of a start that uses the default folder again: the fallback folder to remove.
std::string storage_fallback_left_text(std::string_view dir, std::string_view fallback);

struct StorageCheck {
  std::wstring dir;                   // the folder to use: the one checked, or the agent's own instead
  std::string refused;                // why no folder may be used; empty when dir may
  std::string fallback;               // why dir is not the one checked (storage_fallback_error); empty when it is
  std::vector<std::string> warnings;  // a level moved aside, or one that could not be held
  // The levels that passed, held open without delete sharing for as long as this lives: on
  // top of their access lists, nobody can move a level away while the agent works in it.
  // A level that another program only reads without sharing read is used without being held
  // (its access list is what protects it), with a warning.
  std::shared_ptr<void> held;
};

// How the check judges: as_system for a process that runs as LocalSystem (the service), whose
// access lists it reads and who may move levels aside. The rest is for tests.
struct StorageGuardOptions {
  bool as_system = false;
  bool fall_back = false;  // as_system: use a folder of its own when a level cannot be used
  // Whether a level's protection lets it be used (storage_level_trusted with the level's rights).
  std::function<bool(const ObjectProtection&, uint32_t change_rights)> trusted;
  std::function<std::string(size_t bytes)> random_hex;  // the names' random parts
  std::wstring recorded_fallback;  // the folder an earlier start used instead of the default
  // How long moving a level aside may take: another program's oplock can keep a rename waiting
  // for ever. Past it the level counts as one that cannot be moved (the rename is left to a
  // thread of its own).
  unsigned long move_limit_ms = kMoveAsideLimitMs;
  // The rename through the level's handle to the new name: 0 or the error. For tests.
  std::function<unsigned long(void* handle, const std::wstring& aside)> rename;
  // A file of the folder (the channel secret's) that other programs must not keep from being
  // read: as_system and fall_back, a folder where one does (held without read sharing, locked,
  // or held past the read's limit, each after a short retry) is left for a folder of its own.
  std::wstring readable_file;
};

// Creates and checks both levels of the default storage folder dir, "Ostrival" first (so
// that nothing is created through a link in its place), each opened in place: a link or
// junction at either is refused, or moved aside as LocalSystem, as is a level that is not
// trusted (above), before it is created anew. As LocalSystem, when a level cannot be moved
// (another program holds it open without delete sharing, or the rename fails) or checked, it
// is left in place, unused, and (fall_back) the recorded fallback folder, or else a new one
// (storage_fallback_dir), is created, checked the same way and used: dir and fallback say so.
// A level that cannot be created or is a file is left to the start-up check of the storage
// folder, which reports it in its own words.
StorageCheck secure_storage(const std::wstring& dir, StorageGuardOptions options);

// secure_storage as this process judges (as LocalSystem when it runs as LocalSystem), without
// a fallback: for the commands that write to the folder the agent uses.
StorageCheck secure_default_storage_dir(const std::wstring& dir);

// Why the levels of dir as they stand (read, never moved) fail the rule LocalSystem applies
// (storage_level_trusted, each with its level's rights): "<level>: <reason>"; empty when both
// pass. For the commands that do not run as LocalSystem, before they write there.
std::string storage_levels_untrusted(const std::wstring& dir);

// Removes SeBackupPrivilege and SeRestorePrivilege from the process token for good, once the
// storage check and what start-up does with them are done. Empty when done (or the token
// holds neither); otherwise what failed, for a WARN line.
std::string drop_storage_privileges();

}  // namespace guardian
