// The checks of the default storage folder at start-up, and the repair of a folder that
// someone other than SYSTEM or the Administrators prepared (rules in storage_guard.hpp).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

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

namespace guardian {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The object itself, never what a link in its place points to; folders open too.
constexpr DWORD kOpenInPlace = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
// Enough to read the owner and to replace owner and access list, with the privileges below
// even where the access list grants SYSTEM nothing.
constexpr DWORD kRepairAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;

// Enables privileges on the process token for its lifetime, then puts back the state that
// it changed. A privilege the token does not hold stays off; the call that needs it fails.
class PrivilegeScope {
 public:
  PrivilegeScope() {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.put())) return;
    Privileges wanted{};
    for (const wchar_t* name : {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege", L"SeBackupPrivilege"}) {
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
  struct Privileges {  // TOKEN_PRIVILEGES with room for the three
    DWORD count;
    LUID_AND_ATTRIBUTES entries[3];
  };
  UniqueHandle token_;
  Privileges previous_{};
  bool changed_ = false;
};

// The owner of an open file or folder as a SID string; empty when it cannot be read.
std::string owner_sid_of(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
      ERROR_SUCCESS)
    return {};
  UniqueLocal sd_owner(sd);
  wchar_t* text = nullptr;
  if (!owner || !ConvertSidToStringSidW(owner, &text)) return {};
  UniqueLocal text_owner(text);
  return to_utf8(text);
}

// Owner SYSTEM and the storage folder's protected access list, on this object only: the
// handle's own object is changed, nothing below it is walked (a folder that someone else
// prepared may hold links), and nothing is looked up by name again.
DWORD take_over(HANDLE object) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  const std::wstring sddl = std::wstring(L"O:SY") + kStorageDirSddl;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
    return GetLastError();
  UniqueLocal sd_owner(sd);
  if (!SetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd))
    return GetLastError();
  return trusted_storage_owner(owner_sid_of(object)) ? ERROR_SUCCESS : ERROR_INVALID_OWNER;
}

// Why the take-over of the folder's entries stopped at one of them: "\"NAME\": REASON".
std::string entry_failure(const std::wstring& name, std::string_view reason) {
  std::string text(1, '"');
  text += to_utf8(name);
  text += "\": ";
  text += reason;
  return text;
}

constexpr char kNotAPlainFile[] = "a folder, a link or a second name of another file";

// Takes over each entry directly inside the folder; empty when all were, else why not.
std::string take_over_entries(const std::wstring& dir) {
  WIN32_FIND_DATAW found{};
  UniqueFind search(FindFirstFileExW(path_join(dir, L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, 0));
  if (!search) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? std::string() : win_error_text(error);
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (!storage_entry_repairable((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                  (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, 1))
      return entry_failure(name, kNotAPlainFile);
    const UniqueFile entry(CreateFileW(path_join(dir, name).c_str(), kRepairAccess, kShareAll, nullptr, OPEN_EXISTING,
                                       kOpenInPlace, nullptr));
    if (!entry) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) continue;  // gone since it was listed (a temporary file)
      return entry_failure(name, win_error_text(error));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(entry.get(), &info)) {
      const DWORD error = GetLastError();
      return entry_failure(name, win_error_text(error));
    }
    if (!storage_entry_repairable((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                  (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, info.nNumberOfLinks))
      return entry_failure(name, kNotAPlainFile);
    const DWORD error = take_over(entry.get());
    if (error != ERROR_SUCCESS) return entry_failure(name, win_error_text(error));
  } while (FindNextFileW(search.get(), &found));
  const DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? std::string() : win_error_text(error);
}

// Opens a level in place, without delete sharing when it can (reading its listing is what
// makes the share mode count); when another program already holds it open for deletion, it
// is opened all the same, only not held.
UniqueFile open_level(const std::wstring& level, DWORD access, bool& holds) {
  UniqueFile handle(CreateFileW(level.c_str(), access | FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, kOpenInPlace, nullptr));
  holds = static_cast<bool>(handle);
  if (!handle && GetLastError() == ERROR_SHARING_VIOLATION)
    handle.reset(CreateFileW(level.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, kOpenInPlace, nullptr));
  return handle;
}

}  // namespace

StorageCheck secure_default_storage_dir(const std::wstring& dir) {
  StorageCheck result;
  const auto held = std::make_shared<std::vector<UniqueFile>>();
  result.held = held;
  const bool as_system = runs_as_local_system();
  std::optional<PrivilegeScope> privileges;
  if (as_system) privileges.emplace();
  for (const std::wstring& level : {dir_of(dir), dir}) {
    create_secured_level(level);  // a failure shows when the level is opened
    bool holds = false;
    UniqueFile handle = open_level(level, as_system ? kRepairAccess : FILE_READ_ATTRIBUTES, holds);
    if (!handle) {
      const DWORD error = GetLastError();
      // Missing: the creation failed, which start-up reports in its own words.
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return result;
      result.refused = "cannot be checked: " + win_error_text(error);
      return result;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle.get(), &info)) {
      const DWORD error = GetLastError();
      result.refused = "cannot be checked: " + win_error_text(error);
      return result;
    }
    // The opened object says whether it is a link; the name's own attributes (what a listing
    // of the parent shows) count as well.
    const DWORD named = GetFileAttributesW(level.c_str());
    const bool reparse_point = ((info.dwFileAttributes | (named == INVALID_FILE_ATTRIBUTES ? 0 : named)) &
                                FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const std::string owner = as_system ? owner_sid_of(handle.get()) : std::string();
    const StorageLevelAction action = storage_level_action(reparse_point, as_system, owner);
    if (action == StorageLevelAction::refuse) {
      result.refused = kStorageLinkReason;
      return result;
    }
    // A file in its place: start-up says so in its own words.
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return result;
    if (action == StorageLevelAction::repair) {
      const DWORD error = take_over(handle.get());
      std::string failure = error == ERROR_SUCCESS ? std::string() : win_error_text(error);
      if (failure.empty() && level == dir) failure = take_over_entries(dir);
      if (!failure.empty()) {
        result.refused = storage_repair_failed_reason(failure);
        return result;
      }
      result.repaired.push_back(storage_repaired_warning(to_utf8(level), owner));
    }
    if (holds) held->push_back(std::move(handle));
  }
  return result;
}

}  // namespace guardian
