#include <windows.h>
#include <shlobj.h>

#include "base/library.hpp"
#include "base/paths.hpp"
#include "channel/channel_places.hpp"

namespace guardian {

std::wstring default_storage_dir() {
  wchar_t base[MAX_PATH] = {};
  // The shell's library is held for this call only: it brings the window manager's libraries
  // with it, which a service has no use for once it has started.
  UniqueLibrary shell;
  decltype(&SHGetFolderPathW) get_folder = nullptr;
  if (!hold_system_function(shell, L"shell32.dll", "SHGetFolderPathW", get_folder) ||
      FAILED(get_folder(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) {
    lstrcpynW(base, L"C:\\ProgramData", MAX_PATH);
  }
  return path_join(path_join(base, L"Ostrival"), L"guardian");
}

}  // namespace guardian
