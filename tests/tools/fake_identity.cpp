// Test tool: stands in for the agent's program as the client library's identity program, in a
// folder of its own under the name ostrival_guardian.exe. What it does comes from FAKE_IDENTITY
// in its environment (which it inherits from the application that runs the library):
//   fail:MS    waits MS milliseconds, then ends with exit code 3 without writing anything
//   hang       appends a byte to the file FAKE_IDENTITY_BEAT every 100 ms and never ends
//   fp:HEX     writes an identity document with the fingerprint HEX to the --to-pipe pipe
// Every run first appends a line to the file FAKE_IDENTITY_LOG, when that is set.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  const char* mode = std::getenv("FAKE_IDENTITY");
  if (const char* log = std::getenv("FAKE_IDENTITY_LOG")) {
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "run %lu\n", GetCurrentProcessId());
      std::fclose(f);
    }
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
  if (std::strncmp(mode, "fp:", 3) == 0 && argc > 3 && std::strcmp(argv[2], "--to-pipe") == 0) {
    const std::string document = std::string("{\"fp\":\"") + (mode + 3) +
                                 "\",\"fp_parts\":{\"mguid\":\"0123456789abcdef\"},\"hw\":{}}";
    HANDLE pipe = CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 5;
    DWORD wrote = 0;
    const BOOL ok = WriteFile(pipe, document.data(), static_cast<DWORD>(document.size()), &wrote, nullptr);
    CloseHandle(pipe);
    return ok ? 0 : 6;
  }
  return 64;
}
