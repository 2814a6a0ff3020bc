#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include "base/library.hpp"
#include "base/system_registration.hpp"
#include "runtime/config.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {

namespace {

constexpr DWORD kEnvCapacity = 4096;

// The length of a variable's value when it does not fit env_value's buffer, else 0.
DWORD overlong_env_length(const wchar_t* name) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);  // characters with the terminator
  return needed > kEnvCapacity ? needed - 1 : 0;
}

}  // namespace

std::wstring env_value(const wchar_t* name) {
  wchar_t buffer[kEnvCapacity];
  const DWORD n = GetEnvironmentVariableW(name, buffer, kEnvCapacity);
  if (n == 0 || n > kEnvCapacity - 1) return {};
  return std::wstring(buffer, n);
}

std::wstring resolve_storage_dir(bool honour_env) {
  if (honour_env) {
    if (overlong_env_length(kStorageDirVar) != 0) return {};
    std::wstring value = env_value(kStorageDirVar);
    if (!value.empty()) return value;
  }
  return default_storage_dir();
}

std::wstring resolve_client_storage_dir() {
  if (overlong_env_length(kStorageDirVar) != 0) return {};
  std::wstring value = env_value(kStorageDirVar);
  return value.empty() ? storage_dir_in_use() : value;
}

std::string storage_dir_env_error() {
  return "OV_STORAGE_DIR is too long (" + std::to_string(overlong_env_length(kStorageDirVar)) +
         " characters; at most " + std::to_string(kEnvCapacity - 1) + " can be read)";
}

namespace {

// The shell's library is held for one call only: it brings the window manager's libraries
// with it, which a service has no use for once it has started.
constexpr wchar_t kShell[] = L"shell32.dll";

int shell_create_directory(const std::wstring& dir) {
  UniqueLibrary shell;
  decltype(&SHCreateDirectoryExW) create = nullptr;
  if (!hold_system_function(shell, kShell, "SHCreateDirectoryExW", create)) return static_cast<int>(GetLastError());
  return create(nullptr, dir.c_str(), nullptr);
}

}  // namespace

int create_secured_level(const std::wstring& dir) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStorageDirSddl, SDDL_REVISION_1, &sd, nullptr))
    return static_cast<int>(GetLastError());
  UniqueLocal owned(sd);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  if (CreateDirectoryW(dir.c_str(), &sa)) return 0;
  const DWORD error = GetLastError();
  if (error != ERROR_PATH_NOT_FOUND) return static_cast<int>(error);
  const int above = shell_create_directory(dir_of(dir));
  if (!storage_dir_result_ok(above)) return above;
  if (CreateDirectoryW(dir.c_str(), &sa)) return 0;
  return static_cast<int>(GetLastError());
}

int create_secured_dir(const std::wstring& dir) {
  // Level by level, so that the parent gets the descriptor too and not what the common
  // application-data folder passes on (which lets any user create folders there and own them).
  const int parent = create_secured_level(dir_of(dir));
  if (!storage_dir_result_ok(parent)) return parent;
  return create_secured_level(dir);
}

bool is_default_storage_dir(const std::wstring& dir) {
  return CompareStringOrdinal(dir.c_str(), -1, default_storage_dir().c_str(), -1, TRUE) == CSTR_EQUAL;
}

int create_storage_dir(const std::wstring& dir) {
  if (dir.size() > kStorageDirMaxChars) return ERROR_FILENAME_EXCED_RANGE;
  if (is_default_storage_dir(dir)) return create_secured_dir(dir);
  return shell_create_directory(dir);
}

std::string prepare_storage_dir(const std::wstring& dir) {
  if (dir.size() > kStorageDirMaxChars)
    return "path too long: " + std::to_string(dir.size()) + " characters, at most " +
           std::to_string(kStorageDirMaxChars) + " leave room for the agent's files within a Windows path";
  const int created = create_storage_dir(dir);
  if (!storage_dir_result_ok(created)) return "cannot be created: " + win_error_text(static_cast<DWORD>(created));
  // "Already exists" is also the answer when a file has the directory's name.
  const DWORD attributes = GetFileAttributesW(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return "not a directory: " + win_error_text(error);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return "a file stands in its place";
  return {};
}

std::string prepare_dump_folder(const std::wstring& storage_dir) {
  const std::wstring folder = path_join(storage_dir, kDumpFolderName);
  const std::string failed = "crash dump folder " + to_utf8(folder) + " not protected: ";
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDumpFolderSddl, SDDL_REVISION_1, &sd, nullptr))
    return failed + win_error_text(GetLastError());
  UniqueLocal owned(sd);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  if (CreateDirectoryW(folder.c_str(), &sa)) return {};
  DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return failed + win_error_text(error);
  // The object itself, never what a link in its place points to.
  const UniqueFile dir(CreateFileW(folder.c_str(), READ_CONTROL | WRITE_DAC,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!dir) return failed + win_error_text(GetLastError());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(dir.get(), &info)) return failed + win_error_text(GetLastError());
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return failed + "a file or a link stands in its place";
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return failed + win_error_text(GetLastError());
  error = SetSecurityInfo(dir.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                          nullptr, nullptr, dacl, nullptr);
  return error == ERROR_SUCCESS ? std::string() : failed + win_error_text(error);
}

std::string record_storage_in_use(const std::wstring& dir, bool fallback) {
  UniqueRegKey record;
  LSTATUS error = fallback ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstallRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, record.put(), nullptr)
                           : RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallRecordKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                           record.put());
  if (error == ERROR_SUCCESS) {
    error = fallback ? RegSetValueExW(record.get(), kStorageFolderValue, 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(dir.c_str()),
                                      static_cast<DWORD>((dir.size() + 1) * sizeof(wchar_t)))
                     : RegDeleteValueW(record.get(), kStorageFolderValue);
  }
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
    return "the registry's record of the storage folder in use: " + win_error_text(static_cast<DWORD>(error));
  UniqueRegKey dumps;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocalDumpsKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                    dumps.put()) != ERROR_SUCCESS)
    return {};  // not configured: nothing to point elsewhere
  const std::wstring folder = path_join(dir, kDumpFolderName);
  wchar_t current[MAX_PATH] = {};
  DWORD size = sizeof current;
  if (RegGetValueW(dumps.get(), nullptr, kDumpFolderValue, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                   current, &size) == ERROR_SUCCESS &&
      CompareStringOrdinal(current, -1, folder.c_str(), -1, TRUE) == CSTR_EQUAL)
    return {};
  error = RegSetValueExW(dumps.get(), kDumpFolderValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                         static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
  return error == ERROR_SUCCESS ? std::string()
                                : "crash dump folder setting: " + win_error_text(static_cast<DWORD>(error));
}

int64_t watchdog_interval_from_env() {
  const int32_t value = parse_leading_int(env_value(kWatchdogIntervalVar));
  return value > 0 ? value : kDefaultWatchdogIntervalSec;
}

}  // namespace guardian
