// "--diagnose": checks this installation as the user who runs it, without elevation, and
// prints one verdict per check (app/diagnose.hpp). What this user may not read is a warning
// that says so, never a failure.
//
// Time: the identity pass is given kIdentityLimitMs, each request to the agent
// kRequestLimitMs in all (a waitable timer cancels it), each read of channel.bin and of the
// log kFileReadLimitMs, and the backend probe, which runs beside them from the start,
// kBackendAttemptMs per route (direct, then the proxy). So the
// command ends within about 45 s whatever WMI, the agent and the network do. Work that is
// given up on (a WMI that never answers) is left behind, and the process then ends without
// waiting for it.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "app/cli.hpp"
#include "app/commands.hpp"
#include "app/diagnose.hpp"
#include "base/clock.hpp"
#include "base/json_text.hpp"
#include "base/log_format.hpp"
#include "base/object_owner.hpp"
#include "base/own_thread.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "build_config.hpp"
#include "channel/auth.hpp"
#include "channel/channel_client.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_owner.hpp"
#include "device/identity.hpp"
#include "net/http_client.hpp"
#include "peer/companion.hpp"
#include "runtime/config.hpp"
#include "runtime/storage_guard.hpp"
#include "store/file_io.hpp"
#include "store/protected_store.hpp"

namespace guardian {
namespace {

constexpr unsigned long kIdentityLimitMs = 30000;
constexpr unsigned long kRequestLimitMs = 5000;
constexpr unsigned long kBackendAttemptMs = 15000;
constexpr unsigned long kBackendLimitMs = 2 * kBackendAttemptMs + 5000;  // both routes, and a margin
constexpr size_t kLogTailBytes = 65536;
constexpr size_t kLogLinesShown = 5;
constexpr size_t kLogLineBytes = 300;

constexpr char kInstallHint[] = "run \"ostrival_guardian.exe --install\" as an administrator";
constexpr char kStartHint[] = "start the service as an administrator: sc start OstrivalGuardian";

DiagnoseCheck make_check(const char* name, Verdict verdict, std::string state, std::string found,
                         std::string todo = {}) {
  return {name, verdict, std::move(state), std::move(found), std::move(todo), {}};
}

// What could not be read: a warning, with the advice to run as an administrator when this
// user was refused.
DiagnoseCheck unreadable(const char* name, const std::string& what, unsigned long error) {
  const bool denied = error == ERROR_ACCESS_DENIED;
  return make_check(name, Verdict::warn, denied ? "denied" : "unreadable",
                    what + " cannot be read" + (denied ? " by this user" : "") +
                        (error ? ": " + win_error_text(error) : std::string()),
                    denied ? "run --diagnose as an administrator" : "");
}

// A check whose premise failed: it says which, and advises nothing (the check that found the
// premise wanting says what to do).
DiagnoseCheck not_checked(const char* name, const std::string& premise) {
  return make_check(name, Verdict::warn, "not_checked", "not checked: " + premise);
}

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : "; ") + part;
  return out;
}

bool same_text(const std::wstring& a, const std::wstring& b) {  // ignoring case
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Whether two paths name one file, however each is spelled (a short name, another case).
bool same_file(const std::wstring& a, const std::wstring& b) {
  if (same_text(a, b)) return true;
  BY_HANDLE_FILE_INFORMATION info[2] = {};
  for (int i = 0; i < 2; ++i) {
    const UniqueFile file(CreateFileW((i == 0 ? a : b).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    if (!file || !GetFileInformationByHandle(file.get(), &info[i])) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// --- the program ---------------------------------------------------------------------------

// This program, and every program its installation ships with it: a missing DLL leaves the
// agent running but the suite's applications (the client library) or the signed documents
// (libgcrypt) without it.
DiagnoseCheck program_check(const std::wstring& program) {
  const std::string found = std::string("ostrival_guardian ") + build::kVersion + ", " + to_utf8(program);
  const std::wstring folder = dir_of(program);
  std::vector<std::string> missing;
  for (const wchar_t* name : build::kShippedFiles) {
    const DWORD attributes = GetFileAttributesW(path_join(folder, name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      missing.push_back(to_utf8(name));
  }
  if (missing.empty()) return make_check("program", Verdict::ok, "ok", found);
  std::string names;
  for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
  return make_check("program", Verdict::fail, "files_missing", found + "; missing from its folder: " + names,
                    "repair the installation (msiexec /f with its MSI), or copy the files back from its zip");
}

// --- the service ---------------------------------------------------------------------------

// A configuration record of the service (QueryServiceConfigW when level is 0, else
// QueryServiceConfig2W), in a buffer of the size the SCM asks for; empty on failure.
std::vector<BYTE> service_config(SC_HANDLE service, DWORD level, DWORD& error) {
  DWORD needed = 0;
  if (level == 0) {
    QueryServiceConfigW(service, nullptr, 0, &needed);
  } else {
    QueryServiceConfig2W(service, level, nullptr, 0, &needed);
  }
  std::vector<BYTE> buffer(needed ? needed : 1);
  const DWORD size = static_cast<DWORD>(buffer.size());
  const BOOL read =
      level == 0 ? QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), size, &needed)
                 : QueryServiceConfig2W(service, level, buffer.data(), size, &needed);
  if (!read) {
    error = GetLastError();
    return {};
  }
  return buffer;
}

bool local_system_account(const wchar_t* account) {
  if (!account) return true;  // none given: LocalSystem
  for (const wchar_t* name : {L"LocalSystem", L".\\LocalSystem", L"NT AUTHORITY\\SYSTEM"})
    if (same_text(account, name)) return true;
  return false;
}

// other_program: the program the service runs when that is not this one.
DiagnoseCheck registration_check(SC_HANDLE service, const std::wstring& program, std::wstring& other_program) {
  DWORD error = 0;
  const std::vector<BYTE> buffer = service_config(service, 0, error);
  if (buffer.empty()) return unreadable("service", "its configuration", error);
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  std::vector<std::string> problems, todo;
  const std::wstring registered = service_program(config->lpBinaryPathName ? config->lpBinaryPathName : L"");
  if (!same_file(registered, program)) {
    other_program = registered;
    problems.push_back("it runs " + to_utf8(registered) + ", not this program");
    todo.push_back("run --diagnose of that program, or make this one the service: " + std::string(kInstallHint));
  }
  if (config->dwStartType != SERVICE_AUTO_START) {
    problems.push_back("it does not start automatically (start type " + std::to_string(config->dwStartType) + ")");
    todo.push_back(kInstallHint);
  }
  if (!local_system_account(config->lpServiceStartName)) {
    problems.push_back("it runs as " + to_utf8(config->lpServiceStartName) + ", not LocalSystem");
    todo.push_back("as an administrator: sc config OstrivalGuardian obj= LocalSystem");
  }
  if (problems.empty())
    return make_check("service", Verdict::ok, "ok",
                      "OstrivalGuardian runs this program, starts automatically, as LocalSystem");
  return make_check("service", Verdict::fail, "misconfigured", "OstrivalGuardian: " + join(problems), join(todo));
}

// state: the service's current state, 0 when it cannot be read.
DiagnoseCheck running_check(SC_HANDLE service, DWORD& state) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
    return unreadable("running", "its state", GetLastError());
  state = status.dwCurrentState;
  const std::string process = "process " + std::to_string(status.dwProcessId);
  switch (status.dwCurrentState) {
    case SERVICE_RUNNING:
      return make_check("running", Verdict::ok, "running", "running, " + process);
    case SERVICE_START_PENDING:
      return make_check("running", Verdict::warn, "starting", "starting, " + process,
                        "run --diagnose again in a minute");
    case SERVICE_STOPPED:
      break;
    case SERVICE_STOP_PENDING:
      return make_check("running", Verdict::fail, "stopping", "stopping, " + process,
                        "if it does not stop, end that process (taskkill /f /pid " +
                            std::to_string(status.dwProcessId) + "), then " + kStartHint);
    default:
      return make_check("running", Verdict::fail, "other_state",
                        "not running (state " + std::to_string(status.dwCurrentState) + ")", kStartHint);
  }
  if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
    return make_check(
        "running", Verdict::fail, "failed_start",
        "stopped after a failed start-up (exit code 1066): the log's last ERROR line and the Application event log "
        "say why",
        kStartHint);
  std::string found = "stopped";
  if (status.dwWin32ExitCode != NO_ERROR) found += ": " + win_error_text(status.dwWin32ExitCode);
  return make_check("running", Verdict::fail, "stopped", found, kStartHint);
}

// Restarts after a failure, and (the flag) also after a stop with an error code, which is how
// a failed start-up ends: without them the agent stays away until someone starts it.
DiagnoseCheck recovery_check(SC_HANDLE service) {
  DWORD error = 0;
  const std::vector<BYTE> actions_buffer = service_config(service, SERVICE_CONFIG_FAILURE_ACTIONS, error);
  if (actions_buffer.empty()) return unreadable("recovery", "its failure actions", error);
  const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(actions_buffer.data());
  DWORD restarts = 0;
  for (DWORD i = 0; i < actions->cActions && actions->lpsaActions; ++i)
    restarts += actions->lpsaActions[i].Type == SC_ACTION_RESTART ? 1 : 0;
  if (restarts == 0)
    return make_check("recovery", Verdict::warn, "no_restart", "no restart after a failure is set", kInstallHint);
  const std::string found = "restarts after a failure (" + std::to_string(restarts) + " restart actions)";
  const std::vector<BYTE> flag_buffer = service_config(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, error);
  if (flag_buffer.empty())
    return make_check("recovery", Verdict::warn, "unreadable",
                      found + "; whether also after a failed start-up cannot be read: " + win_error_text(error),
                      kInstallHint);
  if (!reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(flag_buffer.data())->fFailureActionsOnNonCrashFailures)
    return make_check("recovery", Verdict::warn, "not_after_failed_start", found + ", but not after a failed start-up",
                      kInstallHint);
  return make_check("recovery", Verdict::ok, "ok", found + ", also after a failed start-up");
}

// What the later checks need to know of the service.
struct ServiceView {
  bool installed = false;  // registered (false also when the SCM cannot be asked)
  DWORD state = 0;         // its current state, 0 when it cannot be read
  std::wstring other_program;  // the program it runs when that is not this one, else empty
};

ServiceView service_checks(std::vector<DiagnoseCheck>& checks, const std::wstring& program) {
  const UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  DWORD error = scm ? ERROR_SUCCESS : GetLastError();
  UniqueServiceHandle service;
  if (scm) {
    service.reset(OpenServiceW(scm.get(), kServiceNameW, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) error = GetLastError();
  }
  if (!service) {
    const bool missing = error == ERROR_SERVICE_DOES_NOT_EXIST;
    checks.push_back(missing ? make_check("service", Verdict::fail, "not_installed",
                                          "OstrivalGuardian is not installed", kInstallHint)
                             : unreadable("service", "OstrivalGuardian", error));
    const std::string why = missing ? "OstrivalGuardian is not installed" : "the service cannot be read";
    checks.push_back(not_checked("running", why));
    checks.push_back(not_checked("recovery", why));
    return {};
  }
  ServiceView view{true, 0, {}};
  checks.push_back(registration_check(service.get(), program, view.other_program));
  checks.push_back(running_check(service.get(), view.state));
  checks.push_back(recovery_check(service.get()));
  return view;
}

// --- the storage folder --------------------------------------------------------------------

// What stands where the folder belongs, for the checks that need a folder there: empty when a
// folder stands there with no link at either level; otherwise the failed check that says so.
// state is the check's state code.
std::string storage_presence(const std::wstring& dir, std::string& state, DWORD& error) {
  // Both levels as the agent's start-up judges them: no link at either (what a link at
  // "Ostrival" leads to decides nothing), then the folder itself.
  for (const std::wstring& level : {dir_of(dir), dir}) {
    const DWORD attributes = GetFileAttributesW(level.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      state = "link";
      return to_utf8(level) + ": a link or junction stands in its place";
    }
  }
  const DWORD attributes = GetFileAttributesW(dir.c_str());
  error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    state = "missing";
    return to_utf8(dir) + " is missing";
  }
  if (error != ERROR_SUCCESS) {
    state = "unreadable";
    return to_utf8(dir) + " cannot be read: " + win_error_text(error);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    state = "file";
    return to_utf8(dir) + ": a file stands in its place";
  }
  return {};
}

// The storage check, and the premise of the key's and the log's checks: empty when they may
// look into the folder; otherwise why not. They never go through what this check flags: a
// link, a level that someone other than this user and the accounts the service trusts could
// change (and so point elsewhere meanwhile), or a default folder the service left for its own.
DiagnoseCheck storage_check(const std::wstring& dir, bool service_installed, std::string& premise) {
  const std::string shown = to_utf8(dir);
  std::string state;
  DWORD error = ERROR_SUCCESS;
  const std::string absent = storage_presence(dir, state, error);
  premise = absent.empty() ? ""
            : state == "missing" ? "there is no storage folder (" + absent + ")"
                                 : "the storage folder is unusable (" + absent + ")";
  const std::wstring in_use = storage_dir_in_use();
  if (!same_text(dir, in_use))  // given by OV_STORAGE_DIR
    return make_check("storage", Verdict::warn, "env_folder",
                      shown + " (OV_STORAGE_DIR) is " + (absent.empty() ? "there" : "unusable: " + absent) +
                          "; the service ignores the variable, and only its own folder's protection is checked",
                      "run --diagnose without OV_STORAGE_DIR to check the service's folder");
  if (state == "link")
    return make_check("storage", Verdict::fail, state, absent,
                      "remove it, then restart the service: it makes the folder anew");
  if (state == "missing") {
    // The service makes the folder when it first starts: without a service there is none yet.
    if (!service_installed) return not_checked("storage", absent + ", and no service is installed to make it");
    return make_check("storage", Verdict::fail, state, absent, "start the service: it makes the folder");
  }
  if (state == "unreadable") return unreadable("storage", shown, error);
  if (state == "file")
    return make_check("storage", Verdict::fail, state, absent, "remove the file, then start the service");
  const std::string user = to_utf8(process_user_sid());
  std::optional<DiagnoseCheck> failed;
  for (const std::wstring& level : {dir_of(dir), dir}) {
    const std::string name = to_utf8(level);
    ObjectProtection found;
    if (!read_path_protection(level, found)) {
      premise = "the protection of " + name + " cannot be read";
      return unreadable("storage", name + "'s protection", GetLastError());
    }
    const uint32_t rights = level == dir ? kStorageChangeRights : kStorageParentChangeRights;
    if (const auto others = program_object_changeable_by(found.owner_sid, found.has_dacl, found.aces, rights, user);
        others && premise.empty())
      premise = name + " can be changed by " + account_text(*others) + ", who could point it elsewhere meanwhile";
    if (failed || storage_level_trusted(found.owner_sid, found.has_dacl, found.aces, rights)) continue;
    const auto who = program_object_changeable_by(found.owner_sid, found.has_dacl, found.aces, rights, {});
    const std::string whom = !trusted_storage_owner(found.owner_sid) || !who
                                 ? "is owned by " + account_text(found.owner_sid)
                                 : "can be changed by " + account_text(*who);
    failed = make_check("storage", Verdict::fail, "changeable", name + " " + whom,
                        "restart the service: it moves the folder aside and makes it anew");
  }
  if (failed) return *failed;
  const std::string kept = ": present, only LocalSystem and the Administrators can change it";
  if (is_default_storage_dir(dir)) return make_check("storage", Verdict::ok, "ok", shown + kept);
  // The service's own folder instead of its default one, which it could not use.
  const std::wstring default_dir = default_storage_dir();
  const std::string blocked = storage_folder_unusable(default_dir);
  return make_check(
      "storage", Verdict::warn, "fallback",
      shown + kept + "; the service uses it instead of " + to_utf8(default_dir) + ", which it could not use (" +
          (blocked.empty() ? "the log's ERROR line at its start says why" : blocked) + ")",
      "remove what stands in the way at " + to_utf8(dir_of(default_dir)) +
          " as an administrator (end the program that holds it open first; rmdir /s /q removes a link or junction "
          "without following it), then restart the service: it goes back to " + to_utf8(default_dir) + ", and " +
          to_utf8(dir_of(dir)) + " can then be removed");
}

// --- the identity, the key and the agent ---------------------------------------------------

std::string fingerprint_summary(const DeviceIdentity& identity) {
  return "fingerprint " + identity.fingerprint.substr(0, 12) + "\xE2\x80\xA6 (parts " +
         std::to_string(identity.parts.size()) + ")";
}

DiagnoseCheck identity_check(WaitEnd end, const DeviceIdentity& identity) {
  constexpr char kWmiHint[] = "check the WMI service (winmgmt), then run --diagnose again";
  if (end == WaitEnd::timed_out)
    return make_check("identity", Verdict::fail, "timed_out",
                      "no device identity within " + std::to_string(kIdentityLimitMs / 1000) + " s", kWmiHint);
  if (end != WaitEnd::done || identity.fingerprint.size() != 64)
    return make_check("identity", Verdict::fail, "failed", "no device identity could be computed", kWmiHint);
  std::string empty;
  for (const std::string& name : identity.empty_queries) empty += (empty.empty() ? "" : ", ") + name;
  if (!identity_settled(identity))
    return make_check("identity", Verdict::warn, "not_settled",
                      fingerprint_summary(identity) + ", not settled: no rows from " + empty,
                      "right after a boot WMI lists the network adapters a little later; otherwise " +
                          std::string(kWmiHint));
  if (!empty.empty())
    return make_check("identity", Verdict::warn, "queries_empty",
                      fingerprint_summary(identity) + ", settled; no rows from " + empty,
                      "the fingerprint does without them; if this machine has such devices, " + std::string(kWmiHint));
  return make_check("identity", Verdict::ok, "settled",
                    fingerprint_summary(identity) + ", settled; every WMI query gave rows");
}

// The channel key from "channel.bin" under the identity (null: none was computed); key is set
// only when the check is ok. service_installed: whether a service would make a missing secret.
DiagnoseCheck key_check(const std::wstring& dir, const DeviceIdentity* identity, bool service_installed, Bytes& key) {
  const std::wstring path = path_join(dir, kChannelFile);
  const std::string shown = to_utf8(path);
  const std::string new_secret = service_installed ? "start (or restart) the service: it makes a new secret" : "";
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return make_check("key", Verdict::fail, "missing", shown + " is missing", new_secret);
    return unreadable("key", shown, error);
  }
  // Opened as a file, a folder reads as access denied: it is no question of rights.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return make_check("key", Verdict::fail, "folder", shown + ": a folder stands where channel.bin belongs",
                      "as an administrator: " + channel_folder_steps(shown));
  if (!identity) return not_checked("key", shown + " is present, but there is no device identity to open it with");
  switch (load_channel_key(ProtectedStore(dir, identity->fingerprint), identity->fingerprint, key)) {
    case ChannelFileState::opens:
      return make_check("key", Verdict::ok, "opens",
                        shown + " is present, and this user derives the channel key from it");
    case ChannelFileState::missing:
      return make_check("key", Verdict::fail, "missing", shown + " is missing", new_secret);
    case ChannelFileState::does_not_open:
      break;
  }
  const ChannelFileProblem problem = channel_file_problem(ProtectedStore(dir, identity->fingerprint));
  if (problem.kind == ChannelFileProblem::Kind::unreadable && problem.error == ERROR_ACCESS_DENIED)
    return make_check("key", Verdict::warn, "denied", shown + " is present, but this user may not read it",
                      "run --diagnose as a user of the suite's applications, or as an administrator");
  // An identity without the network adapters (right after a boot) is not the one the secret
  // was sealed under: the identity check says so, and this one waits for it.
  if (!identity_settled(*identity))
    return not_checked("key", shown + " does not open under a device identity that is not settled");
  if (problem.kind == ChannelFileProblem::Kind::unreadable)
    return make_check("key", Verdict::fail, "unreadable", shown + " " + problem.text,
                      "find what keeps the file from being read");
  return make_check("key", Verdict::fail, "sealed_elsewhere",
                    shown + " " + (problem.kind == ChannelFileProblem::Kind::none ? "does not open under this identity"
                                                                                  : problem.text),
                    "renew the secret as an administrator: " + channel_renewal_steps(shown));
}

// One request to the agent within kRequestLimitMs in all; took_ms says how long it took.
ClientReply timed_request(ChannelClient& client, const std::string& op, double& took_ms) {
  ClientReply reply;
  reply.result = ClientResult::internal;
  const UniqueHandle limit(CreateWaitableTimerW(nullptr, TRUE, nullptr));
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(kRequestLimitMs) * 10000;  // relative, in 100 ns
  if (!limit || !SetWaitableTimer(limit.get(), &due, 0, nullptr, nullptr, FALSE)) return reply;
  const auto began = std::chrono::steady_clock::now();
  reply = client.request(op, limit.get());
  took_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  return reply;
}

// What a request that got no good answer means, and what to do.
DiagnoseCheck request_failure(const char* name, const ClientReply& reply) {
  const std::string word = " (" + std::string(client_result_text(reply.result)) + ")";
  switch (reply.result) {
    case ClientResult::no_server:
      return make_check(name, Verdict::fail, "no_server", "no agent serves \\\\.\\pipe\\Ostrival.Guardian" + word,
                        kStartHint);
    case ClientResult::untrusted_server:
      return make_check(name, Verdict::fail, "untrusted_server",
                        "the pipe is served by a program outside this program's folder" + word,
                        "run --diagnose of the installed program; if that says so too, find the program that serves "
                        "the pipe in the agent's place and remove it");
    case ClientResult::not_authentic:
      return make_check(name, Verdict::fail, "not_authentic",
                        "a reply came, but it does not verify under the key from channel.bin" + word,
                        "restart the service, so that it serves the secret that channel.bin holds");
    case ClientResult::not_ok:
      return make_check(
          name, Verdict::fail, "refused",
          "the agent refused the request" + (reply.error_code.empty() ? "" : ": " + reply.error_code) + word,
          "see the log's last ERROR lines");
    case ClientResult::cancelled:  // the diagnosis's own limit cancelled the request
      return make_check(name, Verdict::fail, "timed_out",
                        "no reply within " + std::to_string(kRequestLimitMs / 1000) + " s",
                        "see the log; if the agent hangs, restart the service");
    default:
      return make_check(name, Verdict::fail, "failed", "the request did not get through" + word, "see the log");
  }
}

std::string milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

// The body of an authentic reply (verify_reply has found it an object).
const nlohmann::json& reply_body(const ClientReply& reply) {
  static const nlohmann::json kNone = nlohmann::json::object();
  const auto body = reply.reply.find("body");
  return body != reply.reply.end() && body->is_object() ? *body : kNone;
}

DiagnoseCheck agent_check(const ClientReply& reply, double took_ms, const ServiceView& service) {
  if (reply.result == ClientResult::no_server) {
    // Nothing serves the pipe: what that means follows from the service's checks above.
    if (!service.installed) return not_checked("agent", "no agent serves its pipe, and no service is installed");
    if (service.state == SERVICE_STOPPED || service.state == SERVICE_STOP_PENDING)
      return not_checked("agent", "no agent serves its pipe, and the service does not run");
    if (service.state == SERVICE_RUNNING || service.state == SERVICE_START_PENDING) {
      // A service that runs serves its pipe once start-up is done, which may wait up to two
      // minutes for the device identity.
      DiagnoseCheck starting = request_failure("agent", reply);
      starting.state = "starting";
      starting.todo = "the service may still be starting: run --diagnose again in two minutes; if it still fails, "
                      "see the log's last ERROR line";
      return starting;
    }
  }
  // Another copy of the agent, in another folder, is no server this program trusts.
  if (reply.result == ClientResult::untrusted_server && !service.other_program.empty())
    return make_check("agent", Verdict::fail, "other_copy",
                      "the service runs another copy of the agent, " + to_utf8(service.other_program) +
                          ", outside this program's folder, which does not trust it (untrusted_server)",
                      "run --diagnose of that copy, or make this one the service: " + std::string(kInstallHint));
  if (reply.result != ClientResult::ok) return request_failure("agent", reply);
  const nlohmann::json& body = reply_body(reply);
  const std::string version = member_text(body, "version");
  const auto pid = body.find("pid");
  std::string found = "agent " + version;
  if (pid != body.end() && pid->is_number_integer()) found += " (process " + std::to_string(pid->get<int64_t>()) + ")";
  found += " answered ping in " + milliseconds(took_ms) + ", its MAC valid";
  if (version != build::kVersion)
    return make_check("agent", Verdict::warn, "other_version", found + "; this program is " + build::kVersion,
                      "restart the service, so that it runs the installed program");
  return make_check("agent", Verdict::ok, "answered", found);
}

DiagnoseCheck companion_check(const ClientReply& reply) {
  constexpr char kServesWithout[] = "the agent serves its applications without it";
  // The agent answered the ping but not this: what the companion does is not known.
  if (reply.result != ClientResult::ok)
    return not_checked("companion", std::string("the agent did not answer (") + client_result_text(reply.result) +
                                        ")");
  const nlohmann::json& body = reply_body(reply);
  const std::string state = member_text(body, "peer");
  const std::string since = member_text(body, "since");
  const auto checked = body.find("checked");
  // Before its first check the agent's "peer" says "ok": that is no answer of the companion.
  if (checked != body.end() && checked->is_boolean() && !checked->get<bool>())
    return make_check("companion", Verdict::warn, "not_checked_yet",
                      "ostrival_sentinel.exe not checked yet: the agent checks it 10 s after its start, then every "
                      "60 s",
                      "run --diagnose again in a minute");
  if (state == "ok") return make_check("companion", Verdict::ok, "ok", "ostrival_sentinel.exe ok since " + since);
  const std::string reason = member_text(body, "reason");
  if (reason.empty())  // an agent that does not say why
    return make_check("companion", Verdict::warn, state,
                      "ostrival_sentinel.exe " + state + " since " + since + " (" + kServesWithout + ")",
                      companion_failure_todo("no_server"));
  // A companion that answers wrongly runs: it fails the checks, whatever "peer" calls it.
  const std::string how = companion_answered(reason) ? "fails the agent's checks (" + state + " since " + since + ")"
                                                     : state + " since " + since;
  // The program the agent does not trust, as this program finds it now.
  std::string which;
  if (reason == "untrusted_server") {
    const PipeServerInfo server = find_pipe_server(kSentinelPipe);
    if (server.pid != 0)
      which = "; it is process " + std::to_string(server.pid) +
              (server.image.empty() ? std::string() : " (" + to_utf8(server.image) + ")");
  }
  return make_check("companion", Verdict::warn, reason,
                    "ostrival_sentinel.exe " + how + ": " + companion_failure_text(reason) + which + " (" +
                        kServesWithout + ")",
                    companion_failure_todo(reason));
}

// --- the log and the backend ---------------------------------------------------------------

// The file's size in bytes; false when it cannot be found (error says why).
bool file_size(const std::wstring& path, uint64_t& size, DWORD& error) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    error = GetLastError();
    return false;
  }
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

DiagnoseCheck log_check(const std::wstring& dir) {
  const std::wstring path = path_join(dir, L"guardian.log");
  uint64_t size = 0, older = 0;
  DWORD error = 0;
  if (!file_size(path, size, error)) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return make_check("log", Verdict::warn, "missing", to_utf8(path) + " is missing",
                        "the service writes it from its start");
    return unreadable("log", to_utf8(path), error);
  }
  std::string found = to_utf8(path) + ": " + std::to_string(size) + " bytes";
  if (file_size(path + L".1", older, error)) found += " (the older generation " + std::to_string(older) + " bytes)";
  // Every kind of sharing: the agent goes on writing, and rotating the file, while it is read.
  Bytes tail;
  uint64_t from = 0;
  if (!read_file_tail(path, kLogTailBytes, tail, from)) {
    error = GetLastError();
    // Held by a program that shares it with no reader (an editor, a viewer): running as
    // someone else would not help.
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_TIMEOUT)
      return make_check("log", Verdict::warn, "held",
                        found + "; another program holds it open and lets no one else read it: " +
                            win_error_text(error),
                        "close the program that holds the log open (an editor or a log viewer); lines the agent "
                        "writes meanwhile may be lost");
    return make_check("log", Verdict::warn, error == ERROR_ACCESS_DENIED ? "denied" : "unreadable",
                      found + (error == ERROR_ACCESS_DENIED ? "; this user may not read it: " : "; it cannot be read: ") +
                          win_error_text(error),
                      error == ERROR_ACCESS_DENIED
                          ? "run --diagnose as an administrator to see its last WARN and ERROR lines"
                          : "");
  }
  DiagnoseCheck check = make_check("log", Verdict::ok, "ok", found);
  check.lines = log_problem_lines(std::string_view(reinterpret_cast<const char*>(tail.data()), tail.size()), from == 0,
                                  kLogLinesShown, kLogLineBytes);
  check.found += check.lines.empty() ? "; no WARN or ERROR line at its end" : "; its last WARN and ERROR lines:";
  return check;
}

DiagnoseCheck backend_check(WaitEnd end, const HttpResult& result, const std::string& url) {
  constexpr char kServesWithout[] = " (the agent serves its applications without it)";
  const std::string todo = "check this machine's access to " + std::string(build::kBackendOrigin) +
                           ", and its WinHTTP proxy (netsh winhttp show proxy)";
  if (end != WaitEnd::done)
    return make_check("backend", Verdict::warn, end == WaitEnd::timed_out ? "timed_out" : "not_run",
                      (end == WaitEnd::timed_out ? "no result within " + std::to_string(kBackendLimitMs / 1000) + " s"
                                                 : std::string("the probe could not be run")) +
                          kServesWithout,
                      todo);
  std::string line = net_check_line(result, url);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (result.ok) return make_check("backend", Verdict::ok, "answered", line);
  return make_check("backend", Verdict::warn, "unreachable", line + kServesWithout, todo);
}

// This machine's DNS host name; empty when it cannot be had.
std::string host_name() {
  wchar_t name[256];
  DWORD length = 256;
  return GetComputerNameExW(ComputerNameDnsHostname, name, &length) ? to_utf8({name, length}) : std::string();
}

}  // namespace

std::string channel_secret_blocker(const std::wstring& dir) {
  const auto identity = std::make_shared<DeviceIdentity>();
  const OwnThread identity_pass([identity] { *identity = collect_device_identity(); });
  if (identity_pass.wait(kIdentityLimitMs) != WaitEnd::done || identity->fingerprint.size() != 64 ||
      !identity_settled(*identity))
    return {};
  const ProtectedStore store(dir, identity->fingerprint);
  const ChannelFileProblem problem = channel_file_problem(store);
  const std::string shown = to_utf8(store.path_of(kChannelFile));
  switch (problem.kind) {
    case ChannelFileProblem::Kind::sealed_elsewhere:
    case ChannelFileProblem::Kind::not_a_secret:
      return shown + " " + problem.text + " (this machine's identity is whole); to renew the secret, as an "
             "administrator: " + channel_renewal_steps(shown);
    case ChannelFileProblem::Kind::folder:
      return shown + " " + problem.text + "; as an administrator: " + channel_folder_steps(shown);
    case ChannelFileProblem::Kind::unreadable:  // perhaps only by this user, not by the service
    case ChannelFileProblem::Kind::none:
      break;
  }
  return {};
}

std::string storage_folder_unusable(const std::wstring& dir) {
  std::string state;
  DWORD error = ERROR_SUCCESS;
  return storage_presence(dir, state, error);
}

int diagnose_command(bool json) {
  // The two slow checks start first and run beside the others.
  const std::string url = std::string(build::kBackendOrigin) + build::kProbePath;
  const auto probed = std::make_shared<HttpResult>();
  const OwnThread backend([url, probed] { *probed = reachability_probe(url, kBackendAttemptMs); });
  const auto identity = std::make_shared<DeviceIdentity>();
  const OwnThread identity_pass([identity] { *identity = collect_device_identity(); });
  const ULONGLONG began = GetTickCount64();
  const DiagnoseRun run{iso8601_utc(now_seconds()), host_name(), build::kVersion};

  std::vector<DiagnoseCheck> checks;
  const std::wstring program = module_path();
  checks.push_back(program_check(program));
  const ServiceView service = service_checks(checks, program);

  // A premise of the key and the log: a folder where the storage folder belongs, which the
  // storage check flags nothing at.
  const std::wstring dir = resolve_client_storage_dir();
  std::string storage_premise = "there is no storage folder";
  if (dir.empty()) {
    checks.push_back(make_check("storage", Verdict::fail, "env_too_long", storage_dir_env_error(),
                                "set a shorter OV_STORAGE_DIR"));
  } else {
    checks.push_back(storage_check(dir, service.installed, storage_premise));
  }

  const WaitEnd identity_end = identity_pass.wait(kIdentityLimitMs);
  checks.push_back(identity_check(identity_end, *identity));
  const bool identity_ready = identity_end == WaitEnd::done && identity->fingerprint.size() == 64;

  Bytes key;
  if (!storage_premise.empty()) {
    checks.push_back(not_checked("key", storage_premise));
  } else {
    checks.push_back(key_check(dir, identity_ready ? identity.get() : nullptr, service.installed, key));
  }
  if (key.empty()) {
    checks.push_back(not_checked("agent", "no channel key"));
    checks.push_back(not_checked("companion", "no channel key"));
  } else {
    ChannelClient client(ClientSettings{kGuardianPipe, module_dir(), kRequestLimitMs}, key);
    double took_ms = 0;
    const ClientReply ping = timed_request(client, "ping", took_ms);
    checks.push_back(agent_check(ping, took_ms, service));
    if (ping.result == ClientResult::ok) {
      checks.push_back(companion_check(timed_request(client, "peer", took_ms)));
    } else {
      checks.push_back(not_checked("companion", "the agent did not answer"));
    }
    std::fill(key.begin(), key.end(), 0);
  }
  checks.push_back(storage_premise.empty() ? log_check(dir) : not_checked("log", storage_premise));

  const ULONGLONG waited = GetTickCount64() - began;
  const WaitEnd backend_end = backend.wait(waited < kBackendLimitMs ? static_cast<DWORD>(kBackendLimitMs - waited) : 0);
  checks.push_back(backend_check(backend_end, *probed, url));

  const std::string report = json ? pretty_json(diagnose_json(checks, run)) + "\n" : diagnose_text(checks);
  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
  const int code = diagnose_exit_code(checks);
  // A WMI that never answered still holds the identity pass, inside COM; the process ends
  // without running the DLLs' detach code under it, which could wait for that pass for ever.
  if (identity_end == WaitEnd::timed_out || backend_end == WaitEnd::timed_out)
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  return code;
}

}  // namespace guardian
