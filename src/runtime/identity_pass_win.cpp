// The agent's identity pass, run in a child process.
#include <windows.h>

#include <string>
#include <vector>

#include "base/json_text.hpp"
#include "base/stop_event.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "runtime/agent.hpp"
#include "runtime/config.hpp"
#include "base/log.hpp"

namespace guardian {
namespace {

// WMI waits up to 15 s per call; eight queries and the connection stay well within this.
constexpr DWORD kIdentityPassLimitMs = 120000;
// The document is about a kilobyte; the pipe holds all of it, so the child never waits for a
// reader, and the agent reads it once the child has ended.
constexpr DWORD kDocumentPipeBytes = 1 << 20;

enum class ChildPass { done, failed, timed_out, stopped };

// Runs "<this program>" --fingerprint and reads its document. A stop ends the child at once.
ChildPass identity_from_child(DeviceIdentity& identity, std::string& why) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  UniqueFile read_end, write_end;
  if (!CreatePipe(read_end.put(), write_end.put(), &inheritable, kDocumentPipeBytes) ||
      !SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0)) {
    why = "CreatePipe: " + win_error_text(GetLastError());
    return ChildPass::failed;
  }
  const UniqueFile nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!nul) {
    why = "NUL: " + win_error_text(GetLastError());
    return ChildPass::failed;
  }
  // The child inherits these two handles and no other.
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_buffer(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_buffer.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
    why = "InitializeProcThreadAttributeList: " + win_error_text(GetLastError());
    return ChildPass::failed;
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
    return ChildPass::failed;
  }
  const UniqueHandle process(pi.hProcess), thread(pi.hThread);
  write_end.reset();  // the child holds the only write end now: its exit ends the document

  const HANDLE stop = stop_event();
  const HANDLE waits[2] = {process.get(), stop};
  const DWORD waited = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, kIdentityPassLimitMs);
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    if (waited == WAIT_OBJECT_0 + 1) return ChildPass::stopped;
    why = "no result within " + std::to_string(kIdentityPassLimitMs / 1000) + " s";
    return ChildPass::timed_out;
  }
  DWORD exit_code = 1;
  GetExitCodeProcess(process.get(), &exit_code);
  if (exit_code != 0) {
    why = "exit code " + std::to_string(exit_code);
    return ChildPass::failed;
  }
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (text.size() < kDocumentPipeBytes && ReadFile(read_end.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
    text.append(chunk, got);
  if (!identity_from_document(parse_json(text.begin(), text.end()), identity)) {
    why = "no identity document";
    return ChildPass::failed;
  }
  return ChildPass::done;
}

}  // namespace

DeviceIdentity collect_agent_identity() {
  DeviceIdentity identity;
  std::string why;
  switch (identity_from_child(identity, why)) {
    case ChildPass::stopped:
      return {};  // no fingerprint: start-up ends, as the stop asks
    case ChildPass::done:
      // A "mac" part comes only from rows of the adapter query: the pass saw the machine
      // whole. Parts beside "mguid" without it mean WMI answered but listed no adapter (as
      // right after a boot): the identity stands, and counts as not settled yet. Only
      // "mguid" may mean WMI failed, and the pass in the agent then logs why.
      if (identity.parts.count("mac")) return identity;
      if (identity.parts.size() > identity.parts.count("mguid")) {
        identity.empty_queries = {kAdapterClass};
        return identity;
      }
      why = "no part from WMI";
      break;
    case ChildPass::timed_out:
      // WMI that does not answer the child would not answer the agent either, and a pass in
      // the agent cannot be cut short: it would hold start-up, and a stop, for as long as WMI
      // hangs. No identity this time; start-up fails (or the settle loop tries again).
      log_warn("identity pass in a child process: " + why);
      return {};
    case ChildPass::failed:
      break;
  }
  log_warn("identity pass in a child process: " + why + "; running it in the agent");
  return collect_device_identity();
}

}  // namespace guardian
