// The MSI's custom action that runs the installed agent's own "--install" and "--uninstall".
// Windows Installer keeps nothing of what a program it runs prints, so this action runs the
// command line it is given (its CustomActionData: the installed agent, quoted, and the
// command), copies every line the program prints into the installation's log, and, when the
// program fails, fails the installation with the program's last line as the error message.
// It runs in the installation script, as LocalSystem.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "base/installer_text.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"

namespace {

using namespace guardian;

constexpr DWORD kOutputPipeBytes = 65536;
constexpr DWORD kReadEveryMs = 100;
// The program's output kept for the log: its last MiB, where it says how it ended.
constexpr size_t kOutputLimitBytes = 1 << 20;

std::wstring property(MSIHANDLE install, const wchar_t* name) {
  DWORD length = 0;
  wchar_t none[1] = L"";
  if (MsiGetPropertyW(install, name, none, &length) != ERROR_MORE_DATA) return {};
  std::wstring value(length + 1, L'\0');
  length = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, value.data(), &length) != ERROR_SUCCESS) return {};
  value.resize(length);
  return value;
}

// One message to the installation: INSTALLMESSAGE_INFO goes to its log; an error is also
// shown when the installation has a user interface. Windows Installer formats a message, the
// fields it inserts included, so the text (which holds paths that others may name) is the
// template, every bracket and brace in it escaped: it formats to itself.
void tell(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
  const MSIHANDLE record = MsiCreateRecord(0);
  if (!record) return;
  MsiRecordSetStringW(record, 0, installer_literal(text).c_str());
  MsiProcessMessage(install, kind, record);
  MsiCloseHandle(record);
}

// Runs the command line, with no window, its standard input from NUL and its output and errors
// into one pipe, which is read while it runs: the exit code, or false with why it could not be
// run. The program inherits those two handles and no other of this process.
// left_out: how many bytes of the output's beginning were not kept.
bool run(std::wstring command_line, std::string& output, size_t& left_out, DWORD& code, std::string& why) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  UniqueFile read_end, write_end;
  if (!CreatePipe(read_end.put(), write_end.put(), &inheritable, kOutputPipeBytes) ||
      !SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0)) {
    why = "CreatePipe: " + win_error_text(GetLastError());
    return false;
  }
  const UniqueFile nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                   OPEN_EXISTING, 0, nullptr));
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  if (!nul || !InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    why = "NUL: " + win_error_text(GetLastError());
    return false;
  }
  HANDLE inherited[2] = {write_end.get(), nul.get()};
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul.get();
  startup.StartupInfo.hStdOutput = write_end.get();
  startup.StartupInfo.hStdError = write_end.get();
  startup.lpAttributeList = list;
  PROCESS_INFORMATION process{};
  const bool started = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                 sizeof inherited, nullptr, nullptr) &&
                       CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                      &startup.StartupInfo, &process);
  const DWORD error = GetLastError();
  DeleteProcThreadAttributeList(list);
  if (!started) {
    why = "CreateProcess: " + win_error_text(error);
    return false;
  }
  const UniqueHandle program(process.hProcess), thread(process.hThread);
  write_end.reset();
  // Read as it comes (a full pipe would hold the program up), and never wait on the pipe
  // itself: another process may hold its write end too (one this process started meanwhile).
  auto drain = [&] {
    char chunk[4096];
    DWORD available = 0, got = 0;
    while (PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(read_end.get(), chunk, available < sizeof chunk ? available : sizeof chunk, &got, nullptr) &&
           got > 0) {
      output.append(chunk, got);
      if (output.size() > 2 * kOutputLimitBytes) left_out += keep_output_tail(output, kOutputLimitBytes);
    }
  };
  while (WaitForSingleObject(program.get(), kReadEveryMs) == WAIT_TIMEOUT) drain();
  drain();
  left_out += keep_output_tail(output, kOutputLimitBytes);
  code = 1;
  GetExitCodeProcess(program.get(), &code);
  return true;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall RunAgentCommand(MSIHANDLE install) {
  const std::wstring command_line = property(install, L"CustomActionData");
  if (command_line.empty()) {
    tell(install, INSTALLMESSAGE_ERROR, L"Ostrival Guardian: the custom action was given no command");
    return ERROR_INSTALL_FAILURE;
  }
  tell(install, INSTALLMESSAGE_INFO, L"Ostrival Guardian: running " + command_line);
  std::string output;
  std::string why;
  size_t left_out = 0;
  DWORD code = 1;
  if (!run(command_line, output, left_out, code, why)) {
    tell(install, INSTALLMESSAGE_ERROR, L"Ostrival Guardian: " + command_line + L" could not be run: " + to_utf16(why));
    return ERROR_INSTALL_FAILURE;
  }
  if (left_out > 0)
    tell(install, INSTALLMESSAGE_INFO,
         L"Ostrival Guardian: (" + std::to_wstring(left_out) + L" bytes of its earlier output left out)");
  std::wstring last;
  size_t begin = 0;
  while (begin < output.size()) {
    size_t end = output.find('\n', begin);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    begin = end + 1;
    if (line.empty()) continue;
    last = to_utf16(line);
    tell(install, INSTALLMESSAGE_INFO, L"Ostrival Guardian: " + last);
  }
  if (code == 0) return ERROR_SUCCESS;
  tell(install, INSTALLMESSAGE_ERROR,
       L"Ostrival Guardian: " + (last.empty() ? L"the command failed with exit code " + std::to_wstring(code) : last));
  return ERROR_INSTALL_FAILURE;
}
