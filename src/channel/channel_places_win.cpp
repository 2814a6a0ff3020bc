#include <windows.h>
#include <shlobj.h>

#include "base/library.hpp"
#include "base/paths.hpp"
#include "base/system_registration.hpp"
#include "base/unique.hpp"
#include "channel/channel_places.hpp"

namespace guardian {
namespace {

std::wstring common_app_data() {
  wchar_t base[MAX_PATH] = {};
  // The shell's library is held for this call only: it brings the window manager's libraries
  // with it, which a service has no use for once it has started.
  UniqueLibrary shell;
  decltype(&SHGetFolderPathW) get_folder = nullptr;
  if (!hold_system_function(shell, L"shell32.dll", "SHGetFolderPathW", get_folder) ||
      FAILED(get_folder(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) {
    lstrcpynW(base, L"C:\\ProgramData", MAX_PATH);
  }
  return base;
}

}  // namespace

std::wstring default_storage_dir() { return path_join(path_join(common_app_data(), L"Ostrival"), L"guardian"); }

std::wstring storage_dir_in_use() {
  const std::wstring base = common_app_data();
  UniqueRegKey key;
  wchar_t recorded[MAX_PATH] = {};
  DWORD size = sizeof recorded;
  // The 64-bit registry, from the 32-bit client library too.
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) ==
          ERROR_SUCCESS &&
      RegGetValueW(key.get(), nullptr, kStorageFolderValue, RRF_RT_REG_SZ, nullptr, recorded, &size) ==
          ERROR_SUCCESS &&
      is_storage_fallback_dir(base, recorded))
    return recorded;
  return path_join(path_join(base, L"Ostrival"), L"guardian");
}

}  // namespace guardian
