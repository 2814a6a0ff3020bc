// Test tool: stands in for the agent's program as the client library's identity program, in a
// folder of its own under the name ostrival_guardian.exe. What it does comes from FAKE_IDENTITY
// in its environment (which it inherits from the application that runs the library):
//   fail:MS    waits MS milliseconds, then ends with exit code 3 without writing anything
//   hang       appends a byte to the file FAKE_IDENTITY_BEAT every 100 ms and never ends
//   fp:HEX     writes an identity document with the fingerprint HEX to the --to-pipe pipe,
//              after FAKE_IDENTITY_DELAY milliseconds when that is set, and logs the pipe's
//              security as SDDL ("pipe SDDL")
//   squat:HEX  the same, once another process ("--hold PIPE EVENT") has connected to the pipe
//              first (and logged "held")
// Every run first appends a line to the file FAKE_IDENTITY_LOG, when that is set.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void log_line(const std::string& line) {
  if (const char* log = std::getenv("FAKE_IDENTITY_LOG")) {
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%s\n", line.c_str());
      std::fclose(f);
    }
  }
}

// Opens the pipe, waiting while another client holds it.
HANDLE open_pipe(const char* name) {
  for (int i = 0; i < 100; ++i) {
    HANDLE pipe = CreateFileA(name, GENERIC_WRITE | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) return pipe;
    WaitNamedPipeA(name, 100);
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = std::getenv("FAKE_IDENTITY");
  log_line("run " + std::to_string(GetCurrentProcessId()));
  if (argc > 3 && std::strcmp(argv[1], "--hold") == 0) {
    const HANDLE pipe = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    log_line(pipe != INVALID_HANDLE_VALUE ? "held" : "not held " + std::to_string(GetLastError()));
    if (HANDLE connected = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3])) SetEvent(connected);
    Sleep(5000);
    return 0;
  }
  if (!mode) return 64;
  if (std::strncmp(mode, "fail:", 5) == 0) {
    Sleep(std::strtoul(mode + 5, nullptr, 10));
    return 3;
  }
  if (std::strcmp(mode, "hang") == 0) {
    const char* beat = std::getenv("FAKE_IDENTITY_BEAT");
    for (;;) {
      if (beat) {
        if (FILE* f = std::fopen(beat, "a")) {
          std::fputc('.', f);
          std::fclose(f);
        }
      }
      Sleep(100);
    }
  }
  const bool squat = std::strncmp(mode, "squat:", 6) == 0;
  if ((squat || std::strncmp(mode, "fp:", 3) == 0) && argc > 3 && std::strcmp(argv[2], "--to-pipe") == 0) {
    if (squat) {
      const std::string event_name = "fake-identity-held-" + std::to_string(GetCurrentProcessId());
      HANDLE held = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
      std::string command = std::string("\"") + argv[0] + "\" --hold " + argv[3] + " " + event_name;
      STARTUPINFOA si{};
      si.cb = sizeof si;
      PROCESS_INFORMATION pi{};
      if (!held || !CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 7;
      WaitForSingleObject(held, 10000);
    }
    if (const char* delay = std::getenv("FAKE_IDENTITY_DELAY")) Sleep(std::strtoul(delay, nullptr, 10));
    HANDLE pipe = open_pipe(argv[3]);
    if (pipe == INVALID_HANDLE_VALUE) return 5;
    PSECURITY_DESCRIPTOR sd = nullptr;
    char* sddl = nullptr;
    const SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &sd) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, parts, &sddl, nullptr))
      log_line(std::string("pipe ") + sddl);
    const std::string text = std::string("{\"fp\":\"") + (mode + (squat ? 6 : 3)) +
                             "\",\"fp_parts\":{\"mguid\":\"0123456789abcdef\"},\"hw\":{}}";
    DWORD wrote = 0;
    const BOOL ok = WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr);
    CloseHandle(pipe);
    return ok ? 0 : 6;
  }
  return 64;
}
