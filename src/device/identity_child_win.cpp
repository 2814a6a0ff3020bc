// The identity pass in a child process: the agent's executable run with --fingerprint.
#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "base/json_text.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "device/identity.hpp"

namespace guardian {
namespace {

// The document is about a kilobyte; the pipe holds all of it, so the child never waits for a
// reader, and it is read once the child has ended.
constexpr DWORD kDocumentPipeBytes = 1 << 20;

}  // namespace

ChildPass identity_from_program(const std::wstring& program, unsigned long limit_ms, void* cancel_event,
                                DeviceIdentity& identity, std::string& why) {
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
  // The child inherits these two handles and no other, whatever else the process holds
  // inheritable (it may be someone else's process).
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
  write_end.reset();  // the child holds the write end now

  const HANDLE waits[2] = {process.get(), static_cast<HANDLE>(cancel_event)};
  const DWORD waited = WaitForMultipleObjects(cancel_event ? 2 : 1, waits, FALSE, limit_ms);
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    if (waited == WAIT_OBJECT_0 + 1) return ChildPass::stopped;
    why = "no result within " + std::to_string(limit_ms / 1000) + " s";
    return ChildPass::timed_out;
  }
  DWORD exit_code = 1;
  GetExitCodeProcess(process.get(), &exit_code);
  if (exit_code != 0) {
    why = "exit code " + std::to_string(exit_code);
    return ChildPass::failed;
  }
  // The child has ended, so all it wrote is in the pipe: only that is read, never up to the
  // end of the pipe, which another process of the host application may hold open (one that
  // inherited the write end while it was inheritable, through its own CreateProcess).
  std::string text;
  char chunk[4096];
  DWORD available = 0, got = 0;
  while (text.size() < kDocumentPipeBytes && PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) &&
         available > 0 &&
         ReadFile(read_end.get(), chunk, std::min<DWORD>(available, sizeof chunk), &got, nullptr) && got > 0)
    text.append(chunk, got);
  if (!identity_from_document(parse_json(text.begin(), text.end()), identity)) {
    why = "no identity document";
    return ChildPass::failed;
  }
  return ChildPass::done;
}

DeviceIdentity collect_identity_on_own_thread() {
  DeviceIdentity identity;
  std::thread pass([&identity] { identity = collect_device_identity(); });
  pass.join();
  return identity;
}

}  // namespace guardian
