// The agent's identity pass, run in a child process, or on a thread of the agent.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/json_text.hpp"
#include "base/stop_event.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "runtime/agent.hpp"
#include "runtime/config.hpp"
#include "device/wmi.hpp"
#include "base/log.hpp"

namespace guardian {
namespace {

// A pass ends its queries within kIdentityQueryBudgetMs of its start; the rest is for
// starting the child process, a slow connection to WMI, the registry and the hashing.
constexpr DWORD kIdentityPassLimitMs = kIdentityQueryBudgetMs + 30000;
// The document is about a kilobyte; the pipe holds all of it, so the child never waits for a
// reader, and the agent reads it once the child has ended.
constexpr DWORD kDocumentPipeBytes = 1 << 20;

// Waits for the object (a process, or a pass's end) together with the stop event, for at
// most kIdentityPassLimitMs; why says so when the limit came first.
PassEnd wait_for_pass(HANDLE object, std::string& why) {
  const HANDLE stop = stop_event();
  const HANDLE waits[2] = {object, stop};
  const DWORD waited = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, kIdentityPassLimitMs);
  if (waited == WAIT_OBJECT_0) return PassEnd::done;
  if (waited == WAIT_OBJECT_0 + 1) return PassEnd::stopped;
  why = "no result within " + std::to_string(kIdentityPassLimitMs / 1000) + " s";
  return PassEnd::timed_out;
}

// Runs "<this program>" --fingerprint and reads its document. A stop ends the child at once.
PassEnd identity_from_child(DeviceIdentity& identity, std::string& why) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  UniqueFile read_end, write_end;
  if (!CreatePipe(read_end.put(), write_end.put(), &inheritable, kDocumentPipeBytes) ||
      !SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0)) {
    why = "CreatePipe: " + win_error_text(GetLastError());
    return PassEnd::failed;
  }
  const UniqueFile nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!nul) {
    why = "NUL: " + win_error_text(GetLastError());
    return PassEnd::failed;
  }
  // The child inherits these two handles and no other.
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_buffer(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_buffer.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
    why = "InitializeProcThreadAttributeList: " + win_error_text(GetLastError());
    return PassEnd::failed;
  }
  HANDLE inherited[2] = {write_end.get(), nul.get()};
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = nul.get();
  si.StartupInfo.hStdOutput = write_end.get();
  si.StartupInfo.hStdError = nul.get();
  si.lpAttributeList = list;
  const std::wstring program = module_path();
  std::wstring command = L"\"" + program + L"\" --fingerprint";
  PROCESS_INFORMATION pi{};
  const bool created =
      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                                nullptr) &&
      CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                     EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr, nullptr, &si.StartupInfo, &pi);
  const DWORD create_error = GetLastError();
  DeleteProcThreadAttributeList(list);
  if (!created) {
    why = "CreateProcess: " + win_error_text(create_error);
    return PassEnd::failed;
  }
  const UniqueHandle process(pi.hProcess), thread(pi.hThread);
  write_end.reset();  // the child holds the only write end now: its exit ends the document

  const PassEnd waited = wait_for_pass(process.get(), why);
  if (waited != PassEnd::done) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    return waited;
  }
  DWORD exit_code = 1;
  GetExitCodeProcess(process.get(), &exit_code);
  if (exit_code != 0) {
    why = "exit code " + std::to_string(exit_code);
    return PassEnd::failed;
  }
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (text.size() < kDocumentPipeBytes && ReadFile(read_end.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
    text.append(chunk, got);
  if (!identity_from_document(parse_json(text.begin(), text.end()), identity)) {
    why = "no identity document";
    return PassEnd::failed;
  }
  return PassEnd::done;
}

// One pass on a thread of its own. The thread holds a share of this record, so that a pass
// left behind by a stop writes only into memory that is still its own.
struct PassInAgent {
  std::function<DeviceIdentity()> pass;
  DeviceIdentity identity;
  UniqueHandle ended = make_event();
};

DWORD WINAPI pass_in_agent_main(void* context) {
  const std::unique_ptr<std::shared_ptr<PassInAgent>> owned(static_cast<std::shared_ptr<PassInAgent>*>(context));
  PassInAgent& record = **owned;
  record.identity = record.pass();
  SetEvent(record.ended.get());
  return 0;
}

PassEnd identity_in_agent(const std::function<DeviceIdentity()>& pass, DeviceIdentity& identity, std::string& why) {
  auto record = std::make_shared<PassInAgent>();
  record->pass = pass;
  auto context = std::make_unique<std::shared_ptr<PassInAgent>>(record);
  const UniqueHandle thread(record->ended ? CreateThread(nullptr, 0, pass_in_agent_main, context.get(), 0, nullptr)
                                          : nullptr);
  if (!thread) {
    why = "CreateThread: " + win_error_text(GetLastError());
    return PassEnd::failed;
  }
  static_cast<void>(context.release());  // the thread's now
  const PassEnd end = wait_for_pass(record->ended.get(), why);
  if (end == PassEnd::done) identity = std::move(record->identity);
  return end;
}

}  // namespace

IdentityPasses agent_identity_passes() { return {identity_from_child, collect_device_identity}; }

DeviceIdentity collect_agent_identity(bool first_attempt, const IdentityPasses& passes) {
  DeviceIdentity identity;
  std::string why;
  switch (passes.in_child(identity, why)) {
    case PassEnd::stopped:
      return {};  // no fingerprint: start-up ends, as the stop asks
    case PassEnd::done:
      // A "mac" part comes only from rows of the adapter query: the pass saw the machine
      // whole. Parts beside "mguid" without it mean WMI answered but listed no adapter (as
      // right after a boot): the identity stands, and counts as not settled yet. Only
      // "mguid" may mean WMI failed: the first attempt runs the pass in the agent, which
      // then logs why; a later one takes it as not settled.
      if (identity.parts.count("mac")) return identity;
      if (!first_attempt || identity.parts.size() > identity.parts.count("mguid")) {
        identity.empty_queries = {kAdapterClass};
        return identity;
      }
      why = "no part from WMI";
      break;
    case PassEnd::timed_out:
      // WMI that does not answer the child would not answer the agent either. No identity
      // this time; start-up fails (or the settle loop tries again).
      log_warn("identity pass in a child process: " + why);
      return {};
    case PassEnd::failed:
      if (first_attempt) break;
      log_warn("identity pass in a child process: " + why);
      return {};
  }
  log_warn("identity pass in a child process: " + why + "; running it in the agent");
  identity = {};
  why.clear();
  switch (identity_in_agent(passes.in_agent, identity, why)) {
    case PassEnd::done:
      return identity;
    case PassEnd::stopped:
      return {};
    default:
      log_warn("identity pass in the agent: " + why);
      return {};
  }
}

}  // namespace guardian
