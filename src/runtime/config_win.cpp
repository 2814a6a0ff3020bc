#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include "runtime/config.hpp"
#include "base/unique.hpp"

namespace guardian {

std::wstring env_value(const wchar_t* name) {
  wchar_t buffer[4096];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
  if (n == 0 || n > 4095) return {};
  return std::wstring(buffer, n);
}

std::wstring resolve_storage_dir(bool honour_env) {
  if (honour_env) {
    std::wstring value = env_value(kStorageDirVar);
    if (!value.empty()) return value;
  }
  return default_storage_dir();
}

std::wstring default_storage_dir() {
  wchar_t base[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) {
    lstrcpynW(base, L"C:\\ProgramData", MAX_PATH);
  }
  return path_join(path_join(base, L"Ostrival"), L"guardian");
}

std::wstring module_path() {
  wchar_t buffer[520];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, 520);
  if (n == 0 || n >= 520) return {};
  return std::wstring(buffer, n);
}

std::wstring module_dir() { return dir_of(module_path()); }

int create_secured_dir(const std::wstring& dir) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStorageDirSddl, SDDL_REVISION_1, &sd, nullptr))
    return static_cast<int>(GetLastError());
  UniqueLocal owned(sd);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  return SHCreateDirectoryExW(nullptr, dir.c_str(), &sa);
}

int create_storage_dir(const std::wstring& dir) {
  if (CompareStringOrdinal(dir.c_str(), -1, default_storage_dir().c_str(), -1, TRUE) == CSTR_EQUAL)
    return create_secured_dir(dir);
  return SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
}

int64_t watchdog_interval_from_env() {
  const int32_t value = parse_leading_int(env_value(kWatchdogIntervalVar));
  return value > 0 ? value : kDefaultWatchdogIntervalSec;
}

}  // namespace guardian
