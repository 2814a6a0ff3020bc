// The two hosts of the agent body: the Windows service and console mode.
#include <windows.h>

#include <cstdio>
#include <mutex>

#include "app/cli.hpp"
#include "app/commands.hpp"
#include "base/event_log.hpp"
#include "build_config.hpp"
#include "runtime/agent.hpp"

namespace guardian {
namespace {

// Shared by service_main and the control handler; every report is filled and handed to
// the SCM under one lock so that reports from the two threads never interleave.
struct ServiceStatusRecord {
  std::mutex lock;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  DWORD checkpoint_counter = 1;

  void report(DWORD state, DWORD accepted, DWORD exit_code, bool pending, DWORD wait_hint) {
    std::lock_guard<std::mutex> hold(lock);
    if (!handle) return;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = exit_code;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = pending ? checkpoint_counter++ : 0;
    status.dwWaitHint = wait_hint;
    SetServiceStatus(handle, &status);
  }
};

ServiceStatusRecord& service_record() {
  static ServiceStatusRecord record;
  return record;
}

constexpr DWORD kAcceptStopShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
constexpr uint32_t kEventFlushMs = 3000;

DWORD WINAPI service_control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      service_record().report(SERVICE_STOP_PENDING, kAcceptStopShutdown, 0, true, 5000);
      if (HANDLE ev = stop_event()) SetEvent(ev);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, LPWSTR*) {
  ServiceStatusRecord& record = service_record();
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(kServiceNameW, service_control_handler, nullptr);
  if (!handle) return;
  {
    std::lock_guard<std::mutex> hold(record.lock);
    record.handle = handle;
  }
  record.report(SERVICE_START_PENDING, 0, 0, true, 30000);
  start_event_log();
  create_stop_event();
  record.report(SERVICE_RUNNING, kAcceptStopShutdown, 0, false, 0);
  const int result = run_agent(false);
  // The process ends soon after the last report: its last entries go out first, within part
  // of the stop's wait hint.
  flush_event_log(kEventFlushMs);
  record.report(SERVICE_STOPPED, kAcceptStopShutdown, result == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR, false,
                0);
}

BOOL WINAPI console_ctrl_handler(DWORD) {
  if (HANDLE ev = stop_event()) SetEvent(ev);
  return TRUE;
}

}  // namespace

int run_service_dispatcher() {
  wchar_t name[] = L"OstrivalGuardian";
  const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return 0;
  const DWORD error = GetLastError();
  return error == 0 ? 1 : static_cast<int>(error);
}

int console_main() {
  create_stop_event();
  SetConsoleCtrlHandler(console_ctrl_handler, TRUE);
  std::fprintf(stderr, "Ostrival Guardian %s (console mode, pid %lu). Ctrl+C to stop.\n", build::kVersion,
               GetCurrentProcessId());
  std::fflush(stderr);
  return run_agent(true);
}

}  // namespace guardian
