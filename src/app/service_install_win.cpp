// "--install" and "--uninstall": the agent registers itself with the Service Control Manager
// and removes itself again. Both print one result line and return the exit code; rights are
// not checked here, the SCM refuses and the refusal is printed.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/cli.hpp"
#include "app/commands.hpp"
#include "base/system_registration.hpp"
#include "base/object_owner.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "channel/pipe_io.hpp"
#include "runtime/config.hpp"
#include "runtime/storage_guard.hpp"

namespace guardian {
namespace {

constexpr wchar_t kDisplayName[] = L"Ostrival Guardian";
constexpr wchar_t kDescription[] =
    L"Ostrival device agent: identifies this device, keeps the suite's protected state and serves its "
    L"applications a local authenticated channel.";
// Network stack, name resolution and network location awareness, in that order; the literal's
// own terminator closes the list.
constexpr wchar_t kDependencies[] = L"Tcpip\0Dnscache\0NlaSvc\0";

constexpr DWORD kModulePathCapacity = 520;
constexpr DWORD kRestartDelayMs = 5000;
constexpr int kStopPolls = 50;
constexpr DWORD kStopPollMs = 200;
// An old copy that is replaced gets longer to stop than a removal waits: half a minute.
constexpr int kReplaceStopPolls = 150;
constexpr DWORD kUninstallAccess = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;

int report_failure(const char* operation, DWORD error) {
  std::fprintf(stderr, "%s: %s\n", operation, win_error_text(error).c_str());
  std::fflush(stderr);
  return 1;
}

struct QuotedModulePath {
  std::wstring text;  // empty on failure
  DWORD error = 0;
};

// The running executable's full path in double quotes and without arguments, so the SCM
// starts it with no command, which is service mode. A path that fills the whole buffer was
// cut short, and registering it would make the SCM start some other file.
QuotedModulePath quoted_module_path() {
  wchar_t buffer[kModulePathCapacity];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, kModulePathCapacity);
  const DWORD error = GetLastError();
  if (length == 0) return {{}, error};
  if (length >= kModulePathCapacity) return {{}, ERROR_INSUFFICIENT_BUFFER};
  return {L"\"" + std::wstring(buffer, length) + L"\"", 0};
}

// The program's own files: the executable and every DLL it loaded from its folder.
std::vector<std::wstring> program_files(const std::wstring& folder) {
  HMODULE modules[256];
  DWORD bytes = 0;
  std::vector<std::wstring> files;
  if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &bytes)) return {module_path()};
  for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 256; ++i) {
    wchar_t path[kModulePathCapacity];
    const DWORD length = GetModuleFileNameW(modules[i], path, kModulePathCapacity);
    if (length == 0 || length >= kModulePathCapacity) continue;
    const std::wstring file(path, length);
    if (CompareStringOrdinal(dir_of(file).c_str(), -1, folder.c_str(), -1, TRUE) == CSTR_EQUAL) files.push_back(file);
  }
  return files;
}

// Why this program must not become a LocalSystem service: one of its files, its folder, or
// a folder above that (which could be moved away with the program in it) is a link or
// junction, or can be changed by someone other than LocalSystem, the Administrators,
// TrustedInstaller and the account that installs it. Empty when nobody else can.
std::string program_location_refusal() {
  const std::string installer = to_utf8(process_user_sid());
  const std::wstring folder = module_dir();
  std::vector<std::pair<std::wstring, uint32_t>> objects;
  for (const std::wstring& file : program_files(folder)) objects.emplace_back(file, kProgramChangeRights);
  objects.emplace_back(folder, kProgramChangeRights);
  for (const std::wstring& above : folders_above(folder)) objects.emplace_back(above, kStorageParentChangeRights);
  for (const auto& [path, rights] : objects) {
    ObjectProtection found;
    if (!read_path_protection(path, found)) return to_utf8(path) + ": its protection cannot be read";
    // The SCM would follow the link at every start, to wherever its owner has pointed it since.
    if (found.link) return to_utf8(path) + " is a link or junction";
    const auto who = program_object_changeable_by(found.owner_sid, found.has_dacl, found.aces, rights, installer);
    if (who) return to_utf8(path) + " can be changed by " + account_text(*who);
  }
  return {};
}

// Description, three restarts 5 s apart, and restarts also after a stop with an error code
// (a failed start-up is reported that way). The results are deliberately ignored: the service
// works without them, and some systems refuse the last one.
void apply_description_and_recovery(SC_HANDLE service) {
  SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(kDescription)};
  ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);

  SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                          {SC_ACTION_RESTART, kRestartDelayMs},
                          {SC_ACTION_RESTART, kRestartDelayMs}};
  // Empty texts rather than null: null would keep whatever an older installation left there.
  wchar_t no_text[] = L"";
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 0;
  failure.lpRebootMsg = no_text;
  failure.lpCommand = no_text;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);

  SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
  ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
}

// The privileges the service uses, and no other, so that the SCM takes the rest of
// LocalSystem's out of its token when it starts it: the storage folder check reads and moves
// folders whatever their access lists say (backup, restore), and traverse checking (which
// the SCM never takes out anyway).
constexpr wchar_t kRequiredPrivileges[] = L"SeBackupPrivilege\0SeRestorePrivilege\0SeChangeNotifyPrivilege\0";

// Declares them: 0, or the error that would leave the service with every privilege of
// LocalSystem, which fails the installation. An SCM without the setting at all answers
// ERROR_INVALID_LEVEL: there is nothing to declare them to, and the service runs as it
// always did there.
DWORD declare_required_privileges(SC_HANDLE service) {
  SERVICE_REQUIRED_PRIVILEGES_INFOW info{const_cast<LPWSTR>(kRequiredPrivileges)};
  if (ChangeServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &info)) return 0;
  const DWORD error = GetLastError();
  return error == ERROR_INVALID_LEVEL ? 0 : error;
}

// Polls until the service reports stopped, a query fails, or polls * kStopPollMs have passed
// (about ten seconds by default).
void wait_until_stopped(SC_HANDLE service, int polls = kStopPolls) {
  for (int attempt = 0; attempt < polls; ++attempt) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) return;
    Sleep(kStopPollMs);
  }
}

// An existing service that runs a program other than this one (another copy, in another
// folder) is stopped, so that the start below runs this program. Otherwise the old copy would
// keep serving, trusting only the clients of its own folder, until the next restart. A
// service that runs this very program is left running. Returns 0, or the error that keeps
// the old copy running: then nothing would run this program, and the installation fails
// rather than report a start that did not happen.
DWORD stop_if_running_another_program(SC_HANDLE service, const std::wstring& quoted_path) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed) ||
      status.dwCurrentState == SERVICE_STOPPED)
    return 0;
  const std::wstring own = quoted_path.substr(1, quoted_path.size() - 2);
  const std::wstring running = status.dwProcessId != 0 ? process_image_path(status.dwProcessId) : std::wstring();
  if (!running.empty() &&
      CompareStringOrdinal(running.c_str(), -1, own.c_str(), -1, TRUE) == CSTR_EQUAL)
    return 0;
  SERVICE_STATUS stopped{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &stopped)) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_NOT_ACTIVE) return 0;
    // A service that is starting or already stopping takes no control: it is waited for.
    if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return error;
  }
  wait_until_stopped(service, kReplaceStopPolls);
  SERVICE_STATUS now{};
  if (QueryServiceStatus(service, &now) && now.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_REQUEST_TIMEOUT;
  return 0;
}

struct RegistryValue {
  const wchar_t* name;
  DWORD type;         // REG_EXPAND_SZ or REG_DWORD
  std::wstring text;  // REG_EXPAND_SZ
  DWORD number = 0;   // REG_DWORD
};

// Creates HKLM\key where it is missing and writes the values; 0 or the Windows error.
DWORD write_machine_key(const wchar_t* key, const std::vector<RegistryValue>& values) {
  UniqueRegKey opened;
  DWORD error = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                   KEY_SET_VALUE, nullptr, opened.put(), nullptr));
  for (const RegistryValue& value : values) {
    if (error != ERROR_SUCCESS) break;
    const bool number = value.type == REG_DWORD;
    const BYTE* data = number ? reinterpret_cast<const BYTE*>(&value.number)
                              : reinterpret_cast<const BYTE*>(value.text.c_str());
    const DWORD size = number ? sizeof(DWORD) : static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
    error = static_cast<DWORD>(RegSetValueExW(opened.get(), value.name, 0, value.type, data, size));
  }
  return error;
}

// 0 also when the key is not there.
DWORD remove_machine_key(const wchar_t* key) {
  const DWORD error = static_cast<DWORD>(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0));
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

DWORD configure_local_dumps() {
  UniqueRegKey parent;
  DWORD disposition = 0;
  const DWORD error = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLocalDumpsParentKey, 0, nullptr,
                                                         REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY, nullptr,
                                                         parent.put(), &disposition));
  if (error != ERROR_SUCCESS) return error;
  std::vector<RegistryValue> values = {
      {kDumpFolderValue, REG_EXPAND_SZ, path_join(default_storage_dir(), kDumpFolderName)},
      {kDumpCountValue, REG_DWORD, {}, kDumpCount},
      {kDumpTypeValue, REG_DWORD, {}, kDumpTypeMini}};
  // Only ever set, never cleared: a second installation finds the key that the first made.
  if (disposition == REG_CREATED_NEW_KEY) values.push_back({kCreatedParentValue, REG_DWORD, {}, 1});
  return write_machine_key(kLocalDumpsKey, values);
}

DWORD remove_local_dumps() {
  DWORD created = 0;
  DWORD size = sizeof created;
  const bool created_parent = RegGetValueW(HKEY_LOCAL_MACHINE, kLocalDumpsKey, kCreatedParentValue, RRF_RT_REG_DWORD,
                                           nullptr, &created, &size) == ERROR_SUCCESS &&
                              created == 1;
  const DWORD error = remove_machine_key(kLocalDumpsKey);
  if (error != ERROR_SUCCESS || !created_parent) return error;
  UniqueRegKey parent;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocalDumpsParentKey, 0, KEY_QUERY_VALUE, parent.put()) != ERROR_SUCCESS)
    return ERROR_SUCCESS;
  DWORD subkeys = 0;
  DWORD values = 0;
  if (RegQueryInfoKeyW(parent.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0 || values != 0)
    return ERROR_SUCCESS;  // someone else has put settings there since: they stay
  parent.reset();
  return remove_machine_key(kLocalDumpsParentKey);
}

// The Event Log source, whose messages this executable holds, and Windows Error Reporting's
// local dumps of the agent. The service runs without either, so a failure is printed and
// the command goes on.
void register_with_windows(const std::wstring& quoted_path) {
  const DWORD source = write_machine_key(
      kEventSourceKey, {{kEventMessageFileValue, REG_EXPAND_SZ, quoted_path.substr(1, quoted_path.size() - 2)},
                        {kTypesSupportedValue, REG_DWORD, {}, kEventTypesSupported}});
  if (source != ERROR_SUCCESS) report_failure("Event Log source", source);
  if (const DWORD dumps = configure_local_dumps()) report_failure("crash dump settings", dumps);
}

void unregister_from_windows() {
  if (const DWORD error = remove_machine_key(kEventSourceKey)) report_failure("Event Log source", error);
  if (const DWORD error = remove_local_dumps()) report_failure("crash dump settings", error);
}

}  // namespace

int install_service() {
  UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!scm) return report_failure("OpenSCManager", GetLastError());

  const QuotedModulePath path = quoted_module_path();
  if (path.text.empty()) return report_failure("GetModuleFileName", path.error);
  // A service that runs as LocalSystem from files that others could replace would run their
  // code instead: such a location is refused before anything is registered.
  const std::string refusal = program_location_refusal();
  if (!refusal.empty()) {
    std::fprintf(stderr,
                 "%s not installed: %s; install it into a folder that only LocalSystem, the Administrators and "
                 "TrustedInstaller can change (such as C:\\Program Files)\n",
                 kServiceName, refusal.c_str());
    std::fflush(stderr);
    return 1;
  }

  UniqueServiceHandle service(CreateServiceW(scm.get(), kServiceNameW, kDisplayName, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                             path.text.c_str(), nullptr, nullptr, kDependencies, nullptr, nullptr));
  const bool created = static_cast<bool>(service);
  if (!service) {
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
      service.reset(OpenServiceW(scm.get(), kServiceNameW, SERVICE_ALL_ACCESS));
      if (service) {
        if (const DWORD stop_error = stop_if_running_another_program(service.get(), path.text)) {
          service.reset();
          scm.reset();
          return report_failure("ControlService", stop_error);
        }
        // An empty group removes any group; a null account keeps the one configured. A
        // service left pointing at another file would start that file: a failure here fails
        // the installation.
        if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  path.text.c_str(), L"", nullptr, kDependencies, nullptr, nullptr, kDisplayName)) {
          const DWORD change_error = GetLastError();
          service.reset();
          scm.reset();
          return report_failure("ChangeServiceConfig", change_error);
        }
      } else {
        error = GetLastError();
      }
    }
    if (!service) {
      scm.reset();
      return report_failure("CreateService", error);
    }
  }

  apply_description_and_recovery(service.get());
  if (const DWORD error = declare_required_privileges(service.get())) {
    // A registration made here is not left behind to start with every privilege at boot.
    if (created) DeleteService(service.get());
    service.reset();
    scm.reset();
    return report_failure("ChangeServiceConfig2", error);
  }
  register_with_windows(path.text);

  if (!StartServiceW(service.get(), 0, nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_ALREADY_RUNNING) report_failure("StartService", error);
  }

  service.reset();
  scm.reset();
  std::printf("%s installed (auto start, LocalSystem) and started.\n", kServiceName);
  std::fflush(stdout);
  return 0;
}

int uninstall_service() {
  UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return report_failure("OpenSCManager", GetLastError());

  UniqueServiceHandle service(OpenServiceW(scm.get(), kServiceNameW, kUninstallAccess));
  if (!service) {
    const DWORD error = GetLastError();
    scm.reset();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
      unregister_from_windows();  // whatever an installation left beside the service
      std::printf("%s is not installed.\n", kServiceName);
      std::fflush(stdout);
      return 0;
    }
    return report_failure("OpenService", error);
  }

  // A service that is not running refuses the stop; then there is nothing to wait for.
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) wait_until_stopped(service.get());

  // A service that did not stop in time is only marked for deletion; the SCM removes it
  // once it has stopped.
  if (!DeleteService(service.get())) {
    const DWORD error = GetLastError();
    service.reset();
    scm.reset();
    return report_failure("DeleteService", error);
  }

  service.reset();
  scm.reset();
  unregister_from_windows();
  std::printf("%s removed.\n", kServiceName);
  std::fflush(stdout);
  return 0;
}

}  // namespace guardian
