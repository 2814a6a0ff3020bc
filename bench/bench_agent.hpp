#pragma once
// The agent as the benchmarks run it: the real ostrival_guardian.exe beside the benchmark,
// started with --console and a storage folder of the benchmark's own, and stopped at the end.
#include <windows.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "base/text.hpp"
#include "base/unique.hpp"
#include "bench_harness.hpp"
#include "channel/pipe_client.hpp"
#include "runtime/config.hpp"
#include "store/crypto.hpp"

namespace bench {

using namespace guardian;

inline constexpr DWORD kStartupLimitMs = 120000;
inline constexpr DWORD kStopLimitMs = 10000;

// Starts exe with the arguments, its standard handles on NUL (its output would mix with the
// table); false, with a line, when it cannot be started.
inline bool launch(const std::wstring& exe, const std::wstring& arguments, UniqueHandle& process, DWORD& pid,
                   DWORD flags = 0) {
  std::wstring command = L"\"" + exe + L"\" " + arguments;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  UniqueFile nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = si.hStdOutput = si.hStdError = nul.get();
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si, &pi)) {
    std::printf("cannot start %s: %s\n", to_utf8(exe).c_str(), win_error_text(GetLastError()).c_str());
    return false;
  }
  process.reset(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  pid = pi.dwProcessId;
  return true;
}

class Agent {
 public:
  ~Agent() { stop(); }

  bool start(const std::wstring& storage_dir) {
    SetEnvironmentVariableW(kStorageDirVar, storage_dir.c_str());
    const bool started =
        launch(module_dir() + L"\\ostrival_guardian.exe", L"--console", process_, pid_, CREATE_NEW_PROCESS_GROUP);
    SetEnvironmentVariableW(kStorageDirVar, nullptr);
    return started;
  }

  bool running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  HANDLE process() const { return process_.get(); }
  DWORD pid() const { return pid_; }

  // CTRL_BREAK_EVENT to its process group reaches the agent's console handler, which stops
  // it as Ctrl+C would; TerminateProcess only when it has not ended within kStopLimitMs.
  void stop() {
    if (!process_) return;
    if (running()) {
      const double t0 = now_seconds();
      const bool sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pid_) != FALSE;
      const DWORD send_error = GetLastError();
      if (sent && WaitForSingleObject(process_.get(), kStopLimitMs) == WAIT_OBJECT_0) {
        stop_note_ = "stopped by CTRL_BREAK_EVENT in " + std::to_string(static_cast<int>((now_seconds() - t0) * 1e3)) +
                     " ms";
      } else {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), kStopLimitMs);
        stop_note_ = sent ? "did not stop on CTRL_BREAK_EVENT within 10 s: terminated"
                          : "GenerateConsoleCtrlEvent failed (" + win_error_text(send_error) + "): terminated";
      }
    } else {
      stop_note_ = "had already exited";
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    stop_note_ += ", exit code " + std::to_string(code);
    process_.reset();
  }
  const std::string& stop_note() const { return stop_note_; }

 private:
  UniqueHandle process_;
  DWORD pid_ = 0;
  std::string stop_note_;
};

// Polls "ping" until the agent that answers is our child (or it exits, or the limit passes).
inline bool wait_for_agent(const Agent& agent, nlohmann::json& reply) {
  const ULONGLONG deadline = GetTickCount64() + kStartupLimitMs;
  while (GetTickCount64() < deadline && agent.running()) {
    std::string error;
    const nlohmann::json request = {{"op", "ping"}, {"nonce", random_hex(16)}};
    if (pipe_request(kGuardianPipe, module_dir(), request, reply, error, 5000)) {
      const nlohmann::json& body = reply.value("body", nlohmann::json::object());
      if (body.value("pid", -1) == static_cast<long long>(agent.pid())) return true;
    }
    Sleep(100);
  }
  return false;
}

}  // namespace bench
