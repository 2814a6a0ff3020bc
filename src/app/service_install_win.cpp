// "--install" and "--uninstall": the agent registers itself with the Service Control Manager
// and removes itself again. Both print one result line and return the exit code; rights are
// not checked here, the SCM refuses and the refusal is printed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/cli.hpp"
#include "app/commands.hpp"
#include "app/diagnose.hpp"
#include "base/event_log.hpp"
#include "base/log.hpp"
#include "base/log_format.hpp"
#include "base/object_owner.hpp"
#include "base/paths.hpp"
#include "base/system_registration.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "build_config.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "runtime/agent.hpp"
#include "runtime/config.hpp"
#include "runtime/storage_guard.hpp"
#include "store/file_io.hpp"

namespace guardian {
namespace {

constexpr wchar_t kDisplayName[] = L"Ostrival Guardian";
constexpr wchar_t kDescription[] =
    L"Ostrival device agent: identifies this device, keeps the suite's protected state and serves its "
    L"applications a local authenticated channel.";
// Network stack, name resolution, network location awareness and the Event Log (which a
// failed start at boot reports to), in that order; the literal's own terminator closes the list.
constexpr wchar_t kDependencies[] = L"Tcpip\0Dnscache\0NlaSvc\0EventLog\0";

constexpr DWORD kModulePathCapacity = 520;
constexpr DWORD kRestartDelayMs = 5000;
constexpr int kStopPolls = 50;
constexpr DWORD kStopPollMs = 200;
// An old copy that is replaced gets longer to stop than a removal waits: half a minute.
constexpr int kReplaceStopPolls = 150;
// After the start, how long "--install" waits for the service to serve its pipe or to stop.
constexpr DWORD kStartWaitMs = 30000;
constexpr DWORD kStartPollMs = 250;
constexpr DWORD kStartPingMs = 2000;
// The log's end that a failed start is looked for in, and the Event Log's time to take the
// commands' entries before they exit.
constexpr size_t kStartLogTailBytes = 65536;
constexpr uint32_t kEventFlushMs = 5000;
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

// What a LocalSystem service from folder runs or trusts: every file in the folder and the
// folders below it, whatever its name ends with (the pipe server trusts every image there, and
// a program runs whatever its name; the client library loads beside them), and those folders
// themselves, in the order a listing gives them. A link or junction there is listed (and
// refused), never entered.
void program_tree(const std::wstring& folder, std::vector<std::pair<std::wstring, uint32_t>>& objects) {
  WIN32_FIND_DATAW entry;
  UniqueFind find(FindFirstFileExW(path_join(folder, L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, 0));
  if (!find) return;
  std::vector<std::wstring> below;
  do {
    const std::wstring name = entry.cFileName;
    const std::wstring path = path_join(folder, name);
    const bool folder_entry = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (name == L"." || name == L"..") continue;
    objects.emplace_back(path, kProgramChangeRights);
    if (folder_entry && !link) below.push_back(path);
  } while (FindNextFileW(find.get(), &entry));
  find.reset();
  for (const std::wstring& sub : below) program_tree(sub, objects);
}

// What the location means for a LocalSystem service run from it.
struct ProgramLocation {
  // Why it must not be used: a file or folder (the program, a program or DLL beside it or in
  // a folder below, those folders, or a folder above, which could be moved away with the
  // program in it) is a link or junction, or can be changed by someone other than LocalSystem,
  // the Administrators, TrustedInstaller and the installing account. Empty when nobody else can.
  std::string refusal;
  // The first of them that the installing account itself can change, for a warning: what it
  // runs without elevation could then replace what LocalSystem runs. Empty when none.
  std::string installer_changeable;
};

ProgramLocation judge_program_location() {
  const std::string installer = to_utf8(process_user_sid());
  const std::wstring folder = module_dir();
  std::vector<std::pair<std::wstring, uint32_t>> objects = {{module_path(), kProgramChangeRights}};
  program_tree(folder, objects);
  objects.emplace_back(folder, kProgramChangeRights);
  for (const std::wstring& above : folders_above(folder)) objects.emplace_back(above, kStorageParentChangeRights);
  objects.emplace_back(volume_root_of(folder), kVolumeRootChangeRights);
  ProgramLocation location;
  for (const auto& [path, rights] : objects) {
    ObjectProtection found;
    if (!read_path_protection(path, found)) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) continue;  // gone since the listing: nothing to judge
      location.refusal = to_utf8(path) + ": its protection cannot be read";
      return location;
    }
    // The SCM would follow the link at every start, to wherever its owner has pointed it since.
    if (found.link) {
      location.refusal = to_utf8(path) + " is a link or junction";
      return location;
    }
    if (const auto who = program_object_changeable_by(found.owner_sid, found.has_dacl, found.aces, rights, installer)) {
      location.refusal = to_utf8(path) + " can be changed by " + account_text(*who);
      return location;
    }
    if (location.installer_changeable.empty() && account_can_change(found.owner_sid, found.aces, rights, installer))
      location.installer_changeable = to_utf8(path);
  }
  return location;
}

// The warning of an installation from a place the installing account can change.
std::string installer_warning(const std::string& path) {
  return "WARNING: " + path + " can be changed by the installing account " + account_text(to_utf8(process_user_sid())) +
         " itself: its programs that run without elevation could replace what the service runs as LocalSystem, "
         "without a prompt; install into C:\\Program Files (or another folder only the Administrators can change), "
         "or with the MSI";
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
// (about ten seconds by default); whether it reported stopped.
bool wait_until_stopped(SC_HANDLE service, int polls = kStopPolls) {
  for (int attempt = 0;; ++attempt) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    if (attempt >= polls) return false;
    Sleep(kStopPollMs);
  }
}

// Whether the program's file at path was written, replaced or renamed into place after the
// process began: the process then runs the files from before (an update of its folder).
bool file_newer_than_process(const std::wstring& path, DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!process || !GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return false;
  UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
  FILE_BASIC_INFO info{};
  if (!file || !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info)) return false;
  const LONGLONG began = (static_cast<LONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  const LONGLONG newest =
      std::max({info.CreationTime.QuadPart, info.LastWriteTime.QuadPart, info.ChangeTime.QuadPart});
  return newest > began;
}

// Makes sure that the start below runs this program's files. A service that runs another
// program (another copy, in another folder), or this program's path with files that were
// replaced since it started (an update in place), is stopped: otherwise the old files would
// keep serving until the next restart. A service that is stopping (an upgrade right after a
// stop) is waited for. A service that runs these very files is left running. done says what
// was done, to follow "the service" ("was stopping, and was waited for"). Returns 0, or the
// error that keeps the old files running: then nothing would run this program, and the
// installation fails rather than report a start that did not happen.
DWORD stop_unless_running_this_program(SC_HANDLE service, const std::wstring& quoted_path, std::string& done) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed) ||
      status.dwCurrentState == SERVICE_STOPPED)
    return 0;
  if (status.dwCurrentState != SERVICE_STOP_PENDING) {
    const std::wstring own = quoted_path.substr(1, quoted_path.size() - 2);
    const std::wstring running = status.dwProcessId != 0 ? process_image_path(status.dwProcessId) : std::wstring();
    if (!running.empty() && CompareStringOrdinal(running.c_str(), -1, own.c_str(), -1, TRUE) == CSTR_EQUAL) {
      if (!file_newer_than_process(own, status.dwProcessId)) return 0;
      done = "ran the files from before this installation, and was restarted";
    } else {
      done = "ran " + (running.empty() ? std::string("another program") : to_utf8(running)) + ", and was stopped";
    }
    SERVICE_STATUS stopped{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &stopped)) {
      const DWORD error = GetLastError();
      if (error == ERROR_SERVICE_NOT_ACTIVE) return 0;
      // A service that is starting or already stopping takes no control: it is waited for.
      if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return error;
    }
  } else {
    done = "was stopping, and was waited for";
  }
  return wait_until_stopped(service, kReplaceStopPolls) ? 0 : ERROR_SERVICE_REQUEST_TIMEOUT;
}

struct RegistryValue {
  const wchar_t* name;
  DWORD type;         // REG_SZ, REG_EXPAND_SZ or REG_DWORD
  std::wstring text;  // REG_SZ, REG_EXPAND_SZ
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

// 0 also when the key is not there, or holds anything (it then stays).
DWORD remove_machine_key_if_empty(const wchar_t* key) {
  UniqueRegKey opened;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, opened.put()) != ERROR_SUCCESS) return ERROR_SUCCESS;
  DWORD subkeys = 0;
  DWORD values = 0;
  if (RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0 || values != 0)
    return ERROR_SUCCESS;
  opened.reset();
  return remove_machine_key(key);
}

DWORD configure_local_dumps() {
  UniqueRegKey parent;
  DWORD disposition = 0;
  const DWORD error = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLocalDumpsParentKey, 0, nullptr,
                                                         REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY, nullptr,
                                                         parent.put(), &disposition));
  if (error != ERROR_SUCCESS) return error;
  std::vector<RegistryValue> values = {
      {kDumpFolderValue, REG_EXPAND_SZ, path_join(storage_dir_in_use(), kDumpFolderName)},
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
  return remove_machine_key_if_empty(kLocalDumpsParentKey);  // settings put there since stay
}

// The version that "--install" recorded last; empty when there is none.
std::string installed_version_record() {
  wchar_t text[64];
  DWORD size = sizeof text;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kInstallRecordKey, kInstalledVersionValue, RRF_RT_REG_SZ, nullptr, text,
                   &size) != ERROR_SUCCESS)
    return {};
  return to_utf8(text);
}

// The record, and the key above it unless another product of the suite keeps settings there.
DWORD remove_install_record() {
  const DWORD error = remove_machine_key(kInstallRecordKey);
  return error != ERROR_SUCCESS ? error : remove_machine_key_if_empty(kInstallRecordParentKey);
}

// The Event Log source, whose messages this executable holds, Windows Error Reporting's local
// dumps of the agent, and the record of the installed version. The service runs without
// them, so a failure is printed and the command goes on.
void register_with_windows(const std::wstring& quoted_path) {
  const DWORD source = write_machine_key(
      kEventSourceKey, {{kEventMessageFileValue, REG_EXPAND_SZ, quoted_path.substr(1, quoted_path.size() - 2)},
                        {kTypesSupportedValue, REG_DWORD, {}, kEventTypesSupported}});
  if (source != ERROR_SUCCESS) report_failure("Event Log source", source);
  if (const DWORD dumps = configure_local_dumps()) report_failure("crash dump settings", dumps);
  const DWORD record =
      write_machine_key(kInstallRecordKey, {{kInstalledVersionValue, REG_SZ, to_utf16(build::kVersion)}});
  if (record != ERROR_SUCCESS) report_failure("installed version record", record);
}

// For an upgrade the Event Log source stays, so that the entries written so far keep their
// texts, and so does the record of the version, which the next installation names.
void unregister_from_windows(bool upgrade) {
  if (!upgrade) {
    if (const DWORD error = remove_machine_key(kEventSourceKey)) report_failure("Event Log source", error);
    if (const DWORD error = remove_install_record()) report_failure("installed version record", error);
  }
  if (const DWORD error = remove_local_dumps()) report_failure("crash dump settings", error);
}

// --- the audit trail -------------------------------------------------------------------------

// What an installation replaced, for its log line and Event Log entry.
std::string replaced_text(const std::string& previous, bool service_existed) {
  if (previous.empty())
    return service_existed ? "over an earlier installation of unknown version" : "a new installation";
  if (previous == build::kVersion) return "again over the same version";
  return "it replaces version " + previous;
}

// An installation or removal in the agent's log (when its storage folder can be used as the
// agent would use it) and in the Event Log, which the command waits to take the entry.
void audit(bool create_storage, const std::string& line, AgentEvent event,
           std::initializer_list<std::string_view> inserts, bool failure = false) {
  const StorageCheck log_folder = open_agent_log(create_storage);
  if (log_folder.refused.empty()) failure ? log_error(line) : log_info(line);
  configure_log(std::wstring(), false);
  start_event_log();
  report_event(event, inserts);
  flush_event_log(kEventFlushMs);
}

// --- the wait for the truth after the start -------------------------------------------------

enum class StartEnd { serving, stopped, still_starting };

// Whether the agent in process pid answers a ping on its pipe (no key is needed for one).
bool agent_answers(DWORD pid) {
  nlohmann::json reply;
  std::string error;
  const nlohmann::json request = {{"op", "ping"}, {"nonce", "install"}};
  if (!pipe_request(kGuardianPipe, module_dir(), request, reply, error, kStartPingMs)) return false;
  const auto body = reply.find("body");
  if (body == reply.end() || !body->is_object()) return false;
  const auto served_by = body->find("pid");
  return served_by != body->end() && served_by->is_number_integer() && served_by->get<int64_t>() == pid;
}

// Waits until the service serves its pipe, stops, or kStartWaitMs have passed; status is
// the last status read.
StartEnd wait_for_start(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  const ULONGLONG deadline = GetTickCount64() + kStartWaitMs;
  for (;;) {
    DWORD needed = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed)) {
      if (status.dwCurrentState == SERVICE_STOPPED) return StartEnd::stopped;
      if (status.dwCurrentState == SERVICE_RUNNING && agent_answers(status.dwProcessId)) return StartEnd::serving;
    }
    if (GetTickCount64() >= deadline) return StartEnd::still_starting;
    Sleep(kStartPollMs);
  }
}

// The size of the agent's log now, so that what the service writes after can be told apart.
uint64_t log_size() {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path_join(storage_dir_in_use(), L"guardian.log").c_str(), GetFileExInfoStandard, &data))
    return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The lines the service wrote to its log from offset on (from the start of the file when it
// has been rotated since), at most its last kStartLogTailBytes, escaped; WARN and ERROR ones
// only when problems is set, else every line.
std::vector<std::string> log_lines_since(uint64_t offset, bool problems) {
  Bytes tail;
  uint64_t from = 0;
  if (!read_file_tail(path_join(storage_dir_in_use(), L"guardian.log"), kStartLogTailBytes, tail, from)) return {};
  const uint64_t end = from + tail.size();
  const bool at_offset = offset >= from && offset <= end;  // else rotated since: all of it that was read
  std::string text(tail.begin() + (at_offset ? static_cast<ptrdiff_t>(offset - from) : 0), tail.end());
  if (problems) return log_problem_lines(text, at_offset || from == 0, SIZE_MAX, 2048);
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t eol = text.find("\r\n"); eol != std::string::npos; eol = text.find("\r\n", begin)) {
    lines.push_back(text.substr(begin, eol - begin));
    begin = eol + 2;
  }
  return lines;
}

// A log line's message, without its time, thread and level.
std::string message_of(const std::string& line, const char* level) {
  const std::string marker = std::string("] ") + level;
  const size_t at = line.find(marker);
  if (at == std::string::npos) return line;
  size_t from = at + marker.size();
  while (from < line.size() && line[from] == ' ') ++from;
  return line.substr(from);
}

// Why the service stopped: its last ERROR line since the start; without one (no log could be
// written), what stands where its storage folder belongs; else its exit code.
std::string start_failure(uint64_t log_offset, const SERVICE_STATUS_PROCESS& status) {
  const std::vector<std::string> problems = log_lines_since(log_offset, true);
  for (auto line = problems.rbegin(); line != problems.rend(); ++line)
    if (line->find("] ERROR ") != std::string::npos) return message_of(*line, "ERROR");
  const std::wstring storage = storage_dir_in_use();
  const std::string unusable = storage_folder_unusable(storage);
  if (!unusable.empty()) return "storage dir unusable: " + unusable;
  std::string text = "it stopped with exit code " + std::to_string(status.dwWin32ExitCode);
  if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
    return text + " (a failed start-up); the Application event log says why";
  return text + ": " + win_error_text(status.dwWin32ExitCode);
}

// What to do about a start that the Service Control Manager refused with error.
std::string start_refusal_todo(DWORD error) {
  switch (error) {
    case ERROR_SERVICE_REQUEST_TIMEOUT:
      return "the service did not report to the Service Control Manager in time: the System and Application event "
             "logs and the agent's log say why; once that is mended, sc start OstrivalGuardian";
    case ERROR_SERVICE_DATABASE_LOCKED:
      return "the Service Control Manager is busy (it may still be starting this machine's services): run --install "
             "again in a minute";
    case ERROR_SERVICE_DEPENDENCY_FAIL:
    case ERROR_SERVICE_DEPENDENCY_DELETED:
      return "a service it depends on (Tcpip, Dnscache, NlaSvc, EventLog) did not start: the System event log says "
             "which; start that one, then sc start OstrivalGuardian";
    case ERROR_SERVICE_LOGON_FAILED:
      return "the service's account, LocalSystem, could not log on: the System event log says why; once that is "
             "mended, sc start OstrivalGuardian";
    case ERROR_SERVICE_DISABLED:
      return "the service is disabled: sc config OstrivalGuardian start= auto, then sc start OstrivalGuardian";
    default:
      return "the System event log says why; once that is mended, sc start OstrivalGuardian";
  }
}

// Prints the failure on standard error and keeps it for the audit trail; 1.
int fail(std::string& failure, std::string text) {
  std::fprintf(stderr, "%s\n", visible_text(text).c_str());
  std::fflush(stderr);
  failure = std::move(text);
  return 1;
}

int fail(std::string& failure, const char* operation, DWORD error) {
  return fail(failure, std::string(operation) + ": " + win_error_text(error));
}

// The installation and the start; failure is what a failed one printed last.
int install_and_start(std::string& failure) {
  UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!scm) return fail(failure, "OpenSCManager", GetLastError());

  const QuotedModulePath path = quoted_module_path();
  if (path.text.empty()) return fail(failure, "GetModuleFileName", path.error);
  // A service that runs as LocalSystem from files that others could replace would run their
  // code instead: such a location is refused before anything is registered.
  const ProgramLocation location = judge_program_location();
  if (!location.refusal.empty())
    return fail(failure, std::string(kServiceName) + " not installed: " + location.refusal +
                             "; install it into a folder that only LocalSystem, the Administrators and "
                             "TrustedInstaller can change (such as C:\\Program Files)");
  // Accepted, as Windows lets an administrator register a service from anywhere, but said.
  const std::string warning =
      location.installer_changeable.empty() ? std::string() : installer_warning(location.installer_changeable);
  if (!warning.empty()) {
    std::printf("%s\n", visible_text(warning).c_str());
    std::fflush(stdout);
  }

  // Read before anything is registered: this installation replaces it.
  const std::string previous = installed_version_record();
  UniqueServiceHandle service(CreateServiceW(scm.get(), kServiceNameW, kDisplayName, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                             path.text.c_str(), nullptr, nullptr, kDependencies, nullptr, nullptr));
  const bool created = static_cast<bool>(service);
  std::string stopped_first;  // what was done to a service that ran other files
  if (!service) {
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
      service.reset(OpenServiceW(scm.get(), kServiceNameW, SERVICE_ALL_ACCESS));
      if (service) {
        if (const DWORD stop_error = stop_unless_running_this_program(service.get(), path.text, stopped_first)) {
          service.reset();
          scm.reset();
          return fail(failure, "ControlService", stop_error);
        }
        // An empty group removes any group; a null account keeps the one configured. A
        // service left pointing at another file would start that file: a failure here fails
        // the installation.
        if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  path.text.c_str(), L"", nullptr, kDependencies, nullptr, nullptr, kDisplayName)) {
          const DWORD change_error = GetLastError();
          service.reset();
          scm.reset();
          return fail(failure, "ChangeServiceConfig", change_error);
        }
      } else {
        error = GetLastError();
      }
    }
    if (!service) {
      scm.reset();
      return fail(failure, "CreateService", error);
    }
  }

  apply_description_and_recovery(service.get());
  if (const DWORD error = declare_required_privileges(service.get())) {
    // A registration made here is not left behind to start with every privilege at boot.
    if (created) DeleteService(service.get());
    service.reset();
    scm.reset();
    return fail(failure, "ChangeServiceConfig2", error);
  }
  register_with_windows(path.text);

  const std::string program = to_utf8(path.text.substr(1, path.text.size() - 2));
  const std::string replaced = replaced_text(previous, !created) +
                               (stopped_first.empty() ? "" : "; the service " + stopped_first) +
                               (warning.empty() ? "" : "; " + warning);
  audit(true,
        std::string("install: Ostrival Guardian ") + build::kVersion + " installed as the service " + kServiceName +
            ", running " + program + " (" + replaced + ")",
        AgentEvent::installed, {build::kVersion, program, replaced});

  // What the service makes of the start is waited for, so that an installation whose service
  // cannot start (a storage folder it cannot use, say) does not report success.
  const uint64_t log_offset = log_size();
  if (!StartServiceW(service.get(), 0, nullptr)) {
    const DWORD error = GetLastError();
    // Nothing was started. The registration stays, so that the service starts once the cause
    // is mended; the MSI rolls it back.
    if (error != ERROR_SERVICE_ALREADY_RUNNING)
      return fail(failure, std::string(kServiceName) + " did not start: StartService: " + win_error_text(error) +
                               "; to do: " + start_refusal_todo(error));
  }
  SERVICE_STATUS_PROCESS status{};
  switch (wait_for_start(service.get(), status)) {
    case StartEnd::serving:
      if (const std::wstring in_use = storage_dir_in_use(); !is_default_storage_dir(in_use))
        std::printf("WARNING: %s could not use its storage folder %s and uses %s instead; its log there and "
                    "--diagnose say what to remove\n",
                    kServiceName, visible_text(to_utf8(default_storage_dir())).c_str(),
                    visible_text(to_utf8(in_use)).c_str());
      break;
    case StartEnd::stopped:
      return fail(failure, std::string(kServiceName) + " did not start: " + start_failure(log_offset, status));
    case StartEnd::still_starting: {
      // A service that waits for its identity because channel.bin does not open under it
      // would stop once its wait is over: said now, when this machine's identity is whole.
      const std::string blocked = channel_secret_blocker(storage_dir_in_use());
      if (!blocked.empty())
        return fail(failure, std::string(kServiceName) + " will not start: no channel secret: " + blocked);
      const std::vector<std::string> lines = log_lines_since(log_offset, false);
      std::printf("%s is still starting after %lu s%s%s\n", kServiceName, kStartWaitMs / 1000,
                  lines.empty() ? "" : "; its last log line: ",
                  lines.empty() ? "" : visible_text(lines.back()).c_str());
      break;
    }
  }

  service.reset();
  scm.reset();
  std::printf("%s installed (auto start, LocalSystem) and started.\n", kServiceName);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int install_service() {
  std::string failure;
  const int code = install_and_start(failure);
  if (code != 0) {
    const std::string program = to_utf8(module_path());
    audit(false,
          std::string("install: Ostrival Guardian ") + build::kVersion + " failed, running " + program + ": " + failure,
          AgentEvent::install_failed, {build::kVersion, program, failure}, true);
  }
  return code;
}

int uninstall_service(bool upgrade) {
  UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return report_failure("OpenSCManager", GetLastError());

  UniqueServiceHandle service(OpenServiceW(scm.get(), kServiceNameW, kUninstallAccess));
  if (!service) {
    const DWORD error = GetLastError();
    scm.reset();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
      unregister_from_windows(upgrade);  // whatever an installation left beside the service
      std::printf("%s is not installed.\n", kServiceName);
      std::fflush(stdout);
      return 0;
    }
    return report_failure("OpenService", error);
  }

  // A service that is not running refuses the stop; then there is nothing to wait for. One
  // that is starting or already stopping refuses it too, and is waited for.
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status) ||
      GetLastError() == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
    wait_until_stopped(service.get());
  SERVICE_STATUS_PROCESS left{};
  DWORD needed = 0;
  const bool still_runs = QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&left),
                                               sizeof left, &needed) &&
                          left.dwCurrentState != SERVICE_STOPPED;

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
  // Recorded while the Event Log source is still there to give the entry its text.
  const std::string program = to_utf8(module_path());
  if (still_runs) {
    // Only marked: its process still runs, and may still report, so its Event Log source and
    // settings stay, and the audit trail says so (the command's own line is the one it always
    // prints); a new installation cannot register the service until it is gone.
    const std::string pid = std::to_string(left.dwProcessId);
    const std::string what = "only marked for removal, as it did not stop within " +
                             std::to_string(kStopPolls * kStopPollMs / 1000) + " s (process " + pid +
                             "): Windows removes the service once it has stopped; its Event Log source and crash "
                             "dump settings stay";
    audit(false, std::string("uninstall: Ostrival Guardian ") + build::kVersion + " was " + what + " (it ran " +
                     program + ")",
          AgentEvent::removed, {build::kVersion, what, program});
    unregister_from_windows(true);
    std::printf("%s removed.\n", kServiceName);
    std::fflush(stdout);
    return 0;
  }
  const std::string what = upgrade
                               ? "the service and its crash dump settings, for an upgrade; its Event Log source stays"
                               : "the service, its Event Log source and its crash dump settings";
  audit(false,
        std::string(upgrade ? "uninstall for an upgrade: " : "uninstall: ") + "Ostrival Guardian " +
            build::kVersion + " removed " + what + " (it ran " + program + ")",
        AgentEvent::removed, {build::kVersion, what, program});
  unregister_from_windows(upgrade);
  std::printf("%s removed.\n", kServiceName);
  std::fflush(stdout);
  return 0;
}

}  // namespace guardian
