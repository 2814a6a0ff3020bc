// Test tool: drives the Service Control Manager directly, so the tests can run the agent as a
// service without "--install" and read back what an installation left there.
//   service_tool create NAME EXE [ARG]  own process, demand start, quoted path (then ARG), no extras
//   service_tool start NAME
//   service_tool status NAME            one status line
//   service_tool wait NAME STATE MS     every distinct status until STATE; exit 1 on time-out
//   service_tool stop NAME MS           the status the stop control returned, then as "wait" for stopped,
//                                       then "stopped in N ms" (from the control)
//   service_tool remove NAME            stop, wait, delete, and wait until the SCM has dropped it
//   service_tool mark-deleted NAME      deletes while holding a handle, until standard input ends
//   service_tool config NAME            the stored configuration, one "key=value" per line
//   service_tool settle NAME            waits until the SCM accepts starts (it refuses them with
//                                       1055 while it is still starting its automatic services),
//                                       using NAME as a throw-away service whose file is missing
//   service_tool serve NAME MS          (as the service's program) a service that takes MS
//                                       milliseconds to stop after the stop control
// Status lines read "state=S exit=E specific=X checkpoint=C". Failures print
// "OPERATION: error text" to standard error and exit 1.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "base/binary_stdio.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"

using guardian::to_utf8;
using guardian::UniqueServiceHandle;

namespace {

int fail(const char* operation, DWORD error) {
  std::fprintf(stderr, "%s: %s\n", operation, guardian::win_error_text(error).c_str());
  return 1;
}

void print_status(const char* prefix, const SERVICE_STATUS& s) {
  std::printf("%sstate=%lu exit=%lu specific=%lu checkpoint=%lu\n", prefix, s.dwCurrentState, s.dwWin32ExitCode,
              s.dwServiceSpecificExitCode, s.dwCheckPoint);
  std::fflush(stdout);
}

// Prints each status that differs from the one before, until `state` or the time-out.
int wait_for(SC_HANDLE service, DWORD state, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  SERVICE_STATUS last{};
  bool first = true;
  for (;;) {
    SERVICE_STATUS s{};
    if (!QueryServiceStatus(service, &s)) return fail("QueryServiceStatus", GetLastError());
    if (first || s.dwCurrentState != last.dwCurrentState || s.dwCheckPoint != last.dwCheckPoint ||
        s.dwWin32ExitCode != last.dwWin32ExitCode) {
      print_status("", s);
    }
    first = false;
    last = s;
    if (s.dwCurrentState == state) return 0;
    if (GetTickCount64() >= deadline) return 1;
    Sleep(20);
  }
}

std::wstring multi_sz(const wchar_t* list) {
  std::wstring out;
  for (const wchar_t* p = list; p && *p; p += wcslen(p) + 1) {
    if (!out.empty()) out += L'|';
    out += p;
  }
  return out;
}

// QueryServiceConfig2W into a buffer of the size the system asks for; empty on failure.
std::vector<BYTE> query_config2(SC_HANDLE service, DWORD level, DWORD& error) {
  DWORD needed = 0;
  QueryServiceConfig2W(service, level, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!QueryServiceConfig2W(service, level, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
    error = GetLastError();
    return {};
  }
  return buffer;
}

int print_config(SC_HANDLE service, const std::wstring& name) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
    return fail("QueryServiceConfig", GetLastError());
  auto text = [](const wchar_t* s) { return to_utf8(s ? s : L""); };
  std::printf("type=%lu\nstart=%lu\nerror_control=%lu\n", config->dwServiceType, config->dwStartType,
              config->dwErrorControl);
  std::printf("path=%s\n", text(config->lpBinaryPathName).c_str());
  std::printf("group=%s\n", text(config->lpLoadOrderGroup).c_str());
  std::printf("dependencies=%s\n", to_utf8(multi_sz(config->lpDependencies)).c_str());
  // Some SCMs return no dependency list here; the list they store is printed as well.
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + name;
  wchar_t stored[512] = {};
  DWORD size = sizeof stored - 2 * sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, stored,
                   &size) == ERROR_SUCCESS)
    std::printf("stored_dependencies=%s\n", to_utf8(multi_sz(stored)).c_str());
  std::printf("account=%s\n", text(config->lpServiceStartName).c_str());
  std::printf("display=%s\n", text(config->lpDisplayName).c_str());

  DWORD error = 0;
  std::vector<BYTE> d = query_config2(service, SERVICE_CONFIG_DESCRIPTION, error);
  if (d.empty()) {
    std::printf("description_error=%lu\n", error);
  } else {
    std::printf("description=%s\n",
                text(reinterpret_cast<SERVICE_DESCRIPTIONW*>(d.data())->lpDescription).c_str());
  }
  std::vector<BYTE> f = query_config2(service, SERVICE_CONFIG_FAILURE_ACTIONS, error);
  if (f.empty()) {
    std::printf("failure_error=%lu\n", error);
  } else {
    const auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(f.data());
    std::string list;
    for (DWORD i = 0; i < actions->cActions; ++i) {
      if (!list.empty()) list += ',';
      list += std::to_string(actions->lpsaActions[i].Type) + ":" + std::to_string(actions->lpsaActions[i].Delay);
    }
    std::printf("failure_reset=%lu\nfailure_actions=%s\n", actions->dwResetPeriod, list.c_str());
  }
  std::vector<BYTE> p = query_config2(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, error);
  if (p.empty()) {
    std::printf("privileges_error=%lu\n", error);
  } else {
    std::printf("privileges=%s\n",
                to_utf8(multi_sz(reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOW*>(p.data())->pmszRequiredPrivileges))
                    .c_str());
  }
  std::fflush(stdout);
  return 0;
}

int remove_service(SC_HANDLE scm, const std::wstring& name) {
  {
    UniqueServiceHandle service(OpenServiceW(scm, name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
      const DWORD error = GetLastError();
      if (error != ERROR_SERVICE_DOES_NOT_EXIST) return fail("OpenService", error);
      std::printf("absent\n");
      return 0;
    }
    SERVICE_STATUS s{};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &s)) wait_for(service.get(), SERVICE_STOPPED, 20000);
    if (!DeleteService(service.get())) {
      const DWORD error = GetLastError();
      if (error != ERROR_SERVICE_MARKED_FOR_DELETE) return fail("DeleteService", error);
    }
  }
  // The SCM drops the entry once the last handle is closed and the service has stopped.
  for (int i = 0; i < 200; ++i) {
    UniqueServiceHandle again(OpenServiceW(scm, name.c_str(), SERVICE_QUERY_STATUS));
    if (!again && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
      std::printf("removed\n");
      return 0;
    }
    again.reset();
    Sleep(50);
  }
  std::fprintf(stderr, "service still registered\n");
  return 1;
}

int settle(SC_HANDLE scm, const std::wstring& name) {
  UniqueServiceHandle probe(CreateServiceW(scm, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                           L"\"C:\\no such folder\\no such file.exe\"", nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
  if (!probe) return fail("CreateService", GetLastError());
  DWORD error = ERROR_SERVICE_DATABASE_LOCKED;
  for (int attempt = 0; attempt < 60 && error == ERROR_SERVICE_DATABASE_LOCKED; ++attempt) {
    error = StartServiceW(probe.get(), 0, nullptr) ? 0 : GetLastError();
  }
  DeleteService(probe.get());
  if (error == ERROR_SERVICE_DATABASE_LOCKED) return fail("StartService", error);
  std::printf("settled\n");
  return 0;
}

// "serve": a service that is slow to stop, reporting stop pending for the whole time.
struct SlowService {
  std::wstring name;
  DWORD stop_delay_ms = 0;
  SERVICE_STATUS_HANDLE handle = nullptr;
  HANDLE stop_requested = nullptr;

  void report(DWORD state) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    s.dwCheckPoint = state == SERVICE_STOP_PENDING ? 1 : 0;
    s.dwWaitHint = state == SERVICE_STOP_PENDING ? stop_delay_ms + 1000 : 0;
    SetServiceStatus(handle, &s);
  }
};
SlowService slow;

DWORD WINAPI slow_handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    slow.report(SERVICE_STOP_PENDING);
    SetEvent(slow.stop_requested);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI slow_main(DWORD, LPWSTR*) {
  slow.handle = RegisterServiceCtrlHandlerExW(slow.name.c_str(), slow_handler, nullptr);
  if (!slow.handle) return;
  slow.report(SERVICE_RUNNING);
  WaitForSingleObject(slow.stop_requested, INFINITE);
  Sleep(slow.stop_delay_ms);
  slow.report(SERVICE_STOPPED);
}

int serve_slowly(const std::wstring& name, DWORD stop_delay_ms) {
  slow.name = name;
  slow.stop_delay_ms = stop_delay_ms;
  slow.stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const SERVICE_TABLE_ENTRYW table[] = {{slow.name.data(), slow_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return fail("StartServiceCtrlDispatcher", GetLastError());
  return 0;
}

}  // namespace

int main() {
  guardian::use_binary_stdio();
  // Wide arguments, so a path is taken as given whatever the ANSI code page.
  int argc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  guardian::UniqueLocal argv_block(reinterpret_cast<HLOCAL>(wargv));
  if (!wargv || argc < 3) {
    std::fprintf(stderr, "usage: service_tool COMMAND NAME [ARGS]\n");
    return 2;
  }
  std::vector<std::string> argv;
  for (int i = 0; i < argc; ++i) argv.push_back(to_utf8(wargv[i]));
  const std::string command = argv[1];
  const std::wstring name = wargv[2];
  if (command == "serve" && argc == 4) return serve_slowly(name, std::strtoul(argv[3].c_str(), nullptr, 10));

  UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return fail("OpenSCManager", GetLastError());

  if (command == "create" && (argc == 4 || argc == 5)) {
    std::wstring path = L"\"" + std::wstring(wargv[3]) + L"\"";
    if (argc == 5) path += L" " + std::wstring(wargv[4]);
    UniqueServiceHandle service(CreateServiceW(scm.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                               SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                               nullptr, nullptr));
    if (!service) return fail("CreateService", GetLastError());
    std::printf("created\n");
    return 0;
  }
  if (command == "remove") return remove_service(scm.get(), name);
  if (command == "settle") return settle(scm.get(), name);

  UniqueServiceHandle service(OpenServiceW(scm.get(), name.c_str(), SERVICE_ALL_ACCESS));
  if (!service) return fail("OpenService", GetLastError());

  if (command == "start") {
    if (!StartServiceW(service.get(), 0, nullptr)) return fail("StartService", GetLastError());
    std::printf("started\n");
    return 0;
  }
  if (command == "status") {
    SERVICE_STATUS s{};
    if (!QueryServiceStatus(service.get(), &s)) return fail("QueryServiceStatus", GetLastError());
    print_status("", s);
    return 0;
  }
  if (command == "wait" && argc == 5)
    return wait_for(service.get(), std::strtoul(argv[3].c_str(), nullptr, 10),
                    std::strtoul(argv[4].c_str(), nullptr, 10));
  if (command == "stop" && argc == 4) {
    SERVICE_STATUS s{};
    const ULONGLONG sent = GetTickCount64();
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &s)) return fail("ControlService", GetLastError());
    print_status("control ", s);
    const int waited = wait_for(service.get(), SERVICE_STOPPED, std::strtoul(argv[3].c_str(), nullptr, 10));
    if (waited == 0) std::printf("stopped in %llu ms\n", GetTickCount64() - sent);
    return waited;
  }
  if (command == "mark-deleted") {
    if (!DeleteService(service.get())) return fail("DeleteService", GetLastError());
    std::printf("marked\n");
    std::fflush(stdout);
    char sink[64];
    while (std::fread(sink, 1, sizeof sink, stdin) > 0) {
    }
    return 0;
  }
  if (command == "config") return print_config(service.get(), name);

  std::fprintf(stderr, "unknown command or wrong arguments\n");
  return 2;
}
