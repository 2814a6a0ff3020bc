// The checks of the default storage folder at start-up, and moving aside a folder that is not
// safe to use (rules in storage_guard.hpp).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/object_owner.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "runtime/config.hpp"
#include "runtime/storage_guard.hpp"
#include "store/crypto.hpp"
#include "store/file_io.hpp"

namespace guardian {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Nobody may delete or rename a level while one of these handles is open on it.
constexpr DWORD kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The object itself, never what a link in its place points to; folders open too.
constexpr DWORD kOpenInPlace = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
// The check reads attributes and (LocalSystem) the protection: rights that take part in no
// sharing check, so the check is never kept out by another program's handle (a console whose
// current directory is the folder, say) and keeps no one out.
constexpr DWORD kCheckAccess = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
// Reading the listing is what makes the share mode of the hold count against others.
constexpr DWORD kHoldAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Adding a folder takes part in sharing as writing does: it tells whether anyone holds
// delete access when a reader that shares nothing of reading keeps the hold out.
constexpr DWORD kAddProbeAccess = FILE_ADD_SUBDIRECTORY | SYNCHRONIZE;
// Only to move an untrusted level aside; with the privileges below LocalSystem gets it even
// where the access list grants SYSTEM nothing.
constexpr DWORD kMoveAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Enables privileges on the process token for its lifetime, then puts back the state that
// it changed. A privilege the token does not hold stays off; the call that needs it fails.
class PrivilegeScope {
 public:
  PrivilegeScope() {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.put())) return;
    Privileges wanted{};
    for (const wchar_t* name : {L"SeBackupPrivilege", L"SeRestorePrivilege"}) {
      if (!LookupPrivilegeValueW(nullptr, name, &wanted.entries[wanted.count].Luid)) continue;
      wanted.entries[wanted.count++].Attributes = SE_PRIVILEGE_ENABLED;
    }
    DWORD size = 0;
    changed_ = AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                                     sizeof previous_, reinterpret_cast<TOKEN_PRIVILEGES*>(&previous_), &size) != FALSE;
  }
  ~PrivilegeScope() {
    if (changed_ && previous_.count > 0)
      AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&previous_), 0, nullptr, nullptr);
  }
  PrivilegeScope(const PrivilegeScope&) = delete;
  PrivilegeScope& operator=(const PrivilegeScope&) = delete;

 private:
  struct Privileges {  // TOKEN_PRIVILEGES with room for the two
    DWORD count;
    LUID_AND_ATTRIBUTES entries[2];
  };
  UniqueHandle token_;
  Privileges previous_{};
  bool changed_ = false;
};

// A SID as text ("S-1-5-18"); empty when it cannot be converted.
std::string sid_text(PSID sid) {
  wchar_t* text = nullptr;
  if (!sid || !ConvertSidToStringSidW(sid, &text)) return {};
  UniqueLocal text_owner(text);
  return to_utf8(text);
}

// The entries of an access list, as the rule reads them. False when one cannot be read.
bool aces_of(PACL dacl, std::vector<StorageAce>& aces) {
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    StorageAce ace;
    ace.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      ace.allow = false;
    } else if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
      ace.mask = allowed->Mask;
      ace.sid = sid_text(const_cast<DWORD*>(&allowed->SidStart));
    } else {
      ace.mask = kStorageChangeRights;  // a kind of entry this check does not read: not relied on
    }
    aces.push_back(std::move(ace));
  }
  return true;
}

// Owner and access list of an open file or folder. False when they cannot be read.
bool read_protection(HANDLE object, ObjectProtection& protection) {
  PSID owner_sid = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  // GetSecurityInfo returns its error rather than setting it; callers read it as the last error.
  if (const DWORD error = GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                          &owner_sid, nullptr, &dacl, nullptr, &sd)) {
    SetLastError(error);
    return false;
  }
  UniqueLocal sd_owner(sd);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  protection.owner_sid = sid_text(owner_sid);
  protection.has_dacl = dacl != nullptr;
  protection.protected_dacl = GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED);
  return aces_of(dacl, protection.aces);
}

std::string time_stamp() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond);
  return text;
}

// Renames the opened level to aside, through its handle: whatever the name points to by now,
// the object that was checked is the one moved.
DWORD rename_by_handle(HANDLE object, const std::wstring& aside) {
  const size_t name_bytes = aside.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes + sizeof(wchar_t), 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name_bytes);
  std::copy(aside.begin(), aside.end(), info->FileName);
  if (SetFileInformationByHandle(object, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) return ERROR_SUCCESS;
  return GetLastError();
}

// The reason a level could not be opened for the check; empty when it is missing (its
// creation failed, which start-up reports in its own words).
std::string open_failure(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
  return "cannot be checked: " + win_error_text(error);
}

// Opens the level again in place, and only if it is still the object that was checked
// (same volume and file id, a link only if it was one).
UniqueFile reopen_same(const std::wstring& level, DWORD access, DWORD share, const BY_HANDLE_FILE_INFORMATION& checked,
                       DWORD& error) {
  UniqueFile handle(CreateFileW(level.c_str(), access, share, nullptr, OPEN_EXISTING, kOpenInPlace, nullptr));
  error = handle ? ERROR_SUCCESS : GetLastError();
  if (!handle) return handle;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.get(), &info) || info.dwVolumeSerialNumber != checked.dwVolumeSerialNumber ||
      info.nFileIndexHigh != checked.nFileIndexHigh || info.nFileIndexLow != checked.nFileIndexLow ||
      ((info.dwFileAttributes ^ checked.dwFileAttributes) & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = ERROR_FILE_INVALID;  // changed since it was checked
    handle.reset();
  }
  return handle;
}

bool reopens(const std::wstring& level, DWORD access, DWORD share, const BY_HANDLE_FILE_INFORMATION& checked) {
  DWORD error = ERROR_SUCCESS;
  return static_cast<bool>(reopen_same(level, access, share, checked, error));
}

}  // namespace

bool descriptor_protection(const std::wstring& sddl, ObjectProtection& protection) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) return false;
  UniqueLocal sd_owner(sd);
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool read = GetSecurityDescriptorOwner(sd, &owner, &defaulted) &&
                    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
                    GetSecurityDescriptorControl(sd, &control, &revision);
  if (!read) return false;
  protection.owner_sid = sid_text(owner);
  protection.has_dacl = present && dacl;
  protection.protected_dacl = (control & SE_DACL_PROTECTED) != 0;
  return aces_of(present ? dacl : nullptr, protection.aces);
}

bool storage_descriptor_trusted(const std::wstring& sddl, bool parent) {
  ObjectProtection p;
  const uint32_t rights = parent ? kStorageParentChangeRights : kStorageChangeRights;
  return descriptor_protection(sddl, p) && storage_level_trusted(p.owner_sid, p.has_dacl, p.aces, rights);
}

bool read_path_protection(const std::wstring& path, ObjectProtection& protection) {
  const UniqueFile object(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  if (!object) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(object.get(), &info)) return false;
  protection.link = is_link_in_place(path, info.dwFileAttributes);
  return read_protection(object.get(), protection);
}

std::string secure_log_files(const std::wstring& log_path) {
  for (const std::wstring& file : {log_path, log_path + L".1"}) {
    const UniqueFile object(CreateFileW(file.c_str(), READ_CONTROL | WRITE_DAC, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!object) {
      const DWORD error = GetLastError();
      // No file, or no folder for it (which start-up reports in its own words): nothing to secure.
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
      return to_utf8(file) + ": " + win_error_text(error);
    }
    ObjectProtection found;
    if (read_protection(object.get(), found) &&
        !log_file_list_replaced(found.has_dacl, found.protected_dacl, found.aces))
      continue;
    PSECURITY_DESCRIPTOR sd = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFileSddl, SDDL_REVISION_1, &sd, nullptr))
      return "SDDL: " + win_error_text(GetLastError());
    const UniqueLocal sd_owner(sd);
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    const DWORD error = SetSecurityInfo(object.get(), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS) return to_utf8(file) + ": " + win_error_text(error);
  }
  return {};
}

namespace {

// Moves the level opened as checked aside, through a handle of its own (a link itself, never
// what it points to), to a name that does not exist yet. 0 or the error that kept it in place.
// Each rename runs within options.move_limit_ms; one that has not ended by then keeps the
// handle (the thread it was left to holds a share of it), and the level stays where it is.
DWORD move_aside(const std::wstring& level, const BY_HANDLE_FILE_INFORMATION& checked,
                 const StorageGuardOptions& options, std::wstring& aside) {
  DWORD error = ERROR_SUCCESS;
  const auto mover = std::make_shared<UniqueFile>(reopen_same(level, kMoveAccess, kShareAll, checked, error));
  for (int attempt = 0; *mover && attempt < kAsideNameAttempts; ++attempt) {
    aside = storage_aside_name(level, time_stamp(), options.random_hex(2));
    error = run_within(options.move_limit_ms,
                       [mover, aside, rename = options.rename] { return rename(mover->get(), aside); });
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
  }
  return error;
}

std::string move_error_text(DWORD error, const StorageGuardOptions& options) {
  return error == ERROR_TIMEOUT ? storage_move_timed_out_reason(options.move_limit_ms) : win_error_text(error);
}

// Why another program keeps path from being read, after a short retry: empty when it reads, is
// not there, or fails for another reason (a file that is read but does not open is the caller's).
std::string kept_from_reading(const std::wstring& path) {
  constexpr int kAttempts = 3;
  constexpr DWORD kRetryMs = 250;
  for (int attempt = 1;; ++attempt) {
    Bytes data;
    if (read_whole_file(path, data)) return {};
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION && error != ERROR_TIMEOUT) return {};
    if (attempt == kAttempts)
      return storage_unreadable_reason(error == ERROR_TIMEOUT ? "not read within " +
                                                                    std::to_string(kFileReadLimitMs / 1000) + " s"
                                                              : win_error_text(error));
    Sleep(kRetryMs);
  }
}

// Both levels of dir, as secure_storage describes; on refusal, level is the one refused.
StorageCheck secure_levels(const std::wstring& dir, const StorageGuardOptions& options, std::wstring& refused_level) {
  StorageCheck result;
  result.dir = dir;
  const auto held = std::make_shared<std::vector<UniqueFile>>();
  result.held = held;
  const bool as_system = options.as_system;
  for (const std::wstring& level : {dir_of(dir), dir}) {
    refused_level = level;
    const uint32_t change_rights = level == dir ? kStorageChangeRights : kStorageParentChangeRights;
    for (int round = 0;; ++round) {
      create_secured_level(level);  // a failure shows when the level is opened
      const UniqueFile check(CreateFileW(level.c_str(), as_system ? kCheckAccess : FILE_READ_ATTRIBUTES, kShareAll,
                                         nullptr, OPEN_EXISTING, kOpenInPlace, nullptr));
      if (!check) {
        result.refused = open_failure(GetLastError());
        return result;
      }
      BY_HANDLE_FILE_INFORMATION info{};
      if (!GetFileInformationByHandle(check.get(), &info)) {
        const DWORD error = GetLastError();
        result.refused = "cannot be checked: " + win_error_text(error);
        return result;
      }
      const bool reparse_point = is_link_in_place(level, info.dwFileAttributes);
      ObjectProtection found;
      if (as_system && !reparse_point && !read_protection(check.get(), found)) {
        result.refused = "cannot be checked: its protection cannot be read";
        return result;
      }
      const bool trusted = !as_system || reparse_point || options.trusted(found, change_rights);
      StorageLevelAction action = storage_level_action(reparse_point, as_system, trusted);
      if (action == StorageLevelAction::use) {
        // A file in its place: start-up says so in its own words.
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return result;
        // The hold is opened while the check handle still stands, so it is the same folder.
        DWORD error = ERROR_SUCCESS;
        UniqueFile hold = reopen_same(level, kHoldAccess, kShareNoDelete, info, error);
        if (hold) {
          held->push_back(std::move(hold));
          break;
        }
        if (error != ERROR_SHARING_VIOLATION) {
          result.refused = "cannot be checked: " + win_error_text(error);
          return result;
        }
        action = storage_unheld_action(reopens(level, kHoldAccess, kShareAll, info),
                                       reopens(level, kAddProbeAccess, kShareNoDelete, info), as_system);
        if (action == StorageLevelAction::use_unheld) {
          result.warnings.push_back(storage_not_held_warning(to_utf8(level)));
          break;
        }
        if (action == StorageLevelAction::refuse) {
          result.refused = kStorageHeldReason;
          return result;
        }
      }
      if (action == StorageLevelAction::refuse) {
        result.refused = kStorageLinkReason;
        return result;
      }
      // Moved aside. Created anew by this process and still not usable: something else is wrong.
      if (round > 0) {
        result.refused = storage_move_failed_reason("created anew, still open to others");
        return result;
      }
      // A link is renamed only through a handle that is the link itself: one that says it is
      // no reparse point was opened on what the link points to, which must never move.
      if (reparse_point && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        result.refused = std::string(kStorageLinkReason) + ", and could not be moved aside: the link itself could "
                         "not be opened, only what it points to";
        return result;
      }
      std::wstring aside;
      if (const DWORD error = move_aside(level, info, options, aside)) {
        result.refused = reparse_point ? std::string(kStorageLinkReason) + ", and could not be moved aside: " +
                                             move_error_text(error, options)
                                       : storage_move_failed_reason(move_error_text(error, options));
        return result;
      }
      const std::string shown = to_utf8(level), moved = to_utf8(aside);
      result.warnings.push_back(reparse_point ? storage_link_moved_warning(shown, moved)
                                : trusted     ? storage_held_moved_warning(shown, moved)
                                              : storage_moved_warning(shown, found.owner_sid, moved));
    }
  }
  refused_level.clear();
  return result;
}

}  // namespace

StorageCheck secure_storage(const std::wstring& dir, StorageGuardOptions options) {
  if (!options.trusted)
    options.trusted = [](const ObjectProtection& found, uint32_t rights) {
      return storage_level_trusted(found.owner_sid, found.has_dacl, found.aces, rights);
    };
  if (!options.random_hex) options.random_hex = [](size_t bytes) { return random_hex(bytes); };
  if (!options.rename) options.rename = [](void* handle, const std::wstring& aside) {
    return static_cast<unsigned long>(rename_by_handle(handle, aside));
  };
  const bool falls_back = options.as_system && options.fall_back;
  // A folder whose levels pass, but whose file of the secret another program keeps from being
  // read, counts as one whose level cannot be used: that file is what the clients must read.
  const auto unreadable_in = [&options, falls_back](const std::wstring& folder, std::wstring& what) {
    if (!falls_back || options.readable_file.empty()) return std::string();
    what = path_join(folder, options.readable_file);
    return kept_from_reading(what);
  };
  std::optional<PrivilegeScope> privileges;
  if (options.as_system) privileges.emplace();
  std::wstring level;
  StorageCheck result = secure_levels(dir, options, level);
  if (result.refused.empty()) {
    result.refused = unreadable_in(dir, level);
    if (result.refused.empty()) return result;
    result.held.reset();
  }
  if (!falls_back) return result;
  // What a user made and holds in place of a level is left there, unused: the agent's own
  // folder instead, the one an earlier start used when there is one.
  const std::wstring base = dir_of(dir_of(dir));
  std::string last_reason;
  for (int attempt = 0; attempt < kFallbackAttempts; ++attempt) {
    const bool recorded = attempt == 0 && is_storage_fallback_dir(base, options.recorded_fallback);
    const std::wstring fallback = recorded ? options.recorded_fallback : storage_fallback_dir(base, options.random_hex(4));
    if (!recorded) {  // taken, or not made: another name
      if (const int made = create_secured_level(dir_of(fallback))) {
        last_reason = to_utf8(dir_of(fallback)) + " could not be made: " + win_error_text(static_cast<DWORD>(made));
        continue;
      }
    }
    std::wstring fallback_level;
    StorageCheck used = secure_levels(fallback, options, fallback_level);
    if (used.refused.empty()) used.refused = unreadable_in(fallback, fallback_level);
    if (!used.refused.empty()) {
      last_reason = to_utf8(fallback_level) + " " + used.refused;
      continue;
    }
    used.fallback = storage_fallback_error(to_utf8(dir), to_utf8(level), result.refused, to_utf8(fallback));
    used.warnings.insert(used.warnings.begin(), result.warnings.begin(), result.warnings.end());
    return used;
  }
  result.refused += "; no folder of its own could be used instead" + (last_reason.empty() ? "" : ": " + last_reason);
  return result;
}

StorageCheck secure_default_storage_dir(const std::wstring& dir) {
  StorageGuardOptions options;
  options.as_system = runs_as_local_system();
  return secure_storage(dir, std::move(options));
}

std::string storage_levels_untrusted(const std::wstring& dir) {
  for (const std::wstring& level : {dir_of(dir), dir}) {
    ObjectProtection found;
    const uint32_t rights = level == dir ? kStorageChangeRights : kStorageParentChangeRights;
    if (!read_path_protection(level, found))
      return to_utf8(level) + ": its protection cannot be read: " + win_error_text(GetLastError());
    if (found.link) return to_utf8(level) + ": " + kStorageLinkReason;
    if (!storage_level_trusted(found.owner_sid, found.has_dacl, found.aces, rights))
      return to_utf8(level) + ": owned by " + (found.owner_sid.empty() ? "an unreadable owner" : found.owner_sid) +
             " or open to others";
  }
  return {};
}

std::string drop_storage_privileges() {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()))
    return "OpenProcessToken: " + win_error_text(GetLastError());
  struct {  // TOKEN_PRIVILEGES with room for the two
    DWORD count = 0;
    LUID_AND_ATTRIBUTES entries[2];
  } removed;
  for (const wchar_t* name : {L"SeBackupPrivilege", L"SeRestorePrivilege"}) {
    if (!LookupPrivilegeValueW(nullptr, name, &removed.entries[removed.count].Luid))
      return "LookupPrivilegeValue " + to_utf8(name) + ": " + win_error_text(GetLastError());
    removed.entries[removed.count++].Attributes = SE_PRIVILEGE_REMOVED;
  }
  // ERROR_NOT_ALL_ASSIGNED: the token holds not both of them; what it holds is read back below.
  if (!AdjustTokenPrivileges(token.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&removed), 0, nullptr, nullptr))
    return "AdjustTokenPrivileges: " + win_error_text(GetLastError());
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size ? size : sizeof(TOKEN_PRIVILEGES));
  if (!GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
    return "GetTokenInformation: " + win_error_text(GetLastError());
  const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < held->PrivilegeCount; ++i)
    for (DWORD j = 0; j < removed.count; ++j)
      if (held->Privileges[i].Luid.LowPart == removed.entries[j].Luid.LowPart &&
          held->Privileges[i].Luid.HighPart == removed.entries[j].Luid.HighPart)
        return "AdjustTokenPrivileges reported no error, but the token still holds them";
  return {};
}

}  // namespace guardian
