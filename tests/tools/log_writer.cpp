// Test tool: one process among several writing one log file.
// Usage: log_writer PATH TAG THREADS LINES
//        log_writer view PATH   opens PATH as a log viewer does (reading, sharing reading and
//                               writing but not deletion), prints "viewing", and keeps it open
//                               until standard input ends
//        log_writer hold PATH   the same as an editor might: sharing nothing, prints "held"
// Once the log is configured, prints "lock " and the descriptor of the log's lock as read
// back from it, then waits for a line (or the end) of standard input. Then THREADS threads
// each log LINES lines "TAG thread T line I" followed by a filler that makes every line 150
// bytes long; prints "done" when all are written.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/text.hpp"
#include "base/unique.hpp"
#include "base/log.hpp"

int main(int argc, char** argv) {
  if (argc == 3 && (std::string(argv[1]) == "view" || std::string(argv[1]) == "hold")) {
    const bool hold = std::string(argv[1]) == "hold";
    guardian::UniqueFile viewed;
    // A log being rotated is missing for a moment, until its next line.
    for (int tries = 0; !viewed && tries < 50; ++tries) {
      if (tries) Sleep(100);
      viewed.reset(CreateFileW(guardian::to_utf16(argv[2]).c_str(), GENERIC_READ,
                               hold ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    if (!viewed) return 1;
    std::printf(hold ? "held\n" : "viewing\n");
    std::fflush(stdout);
    char rest[16];
    while (std::fgets(rest, sizeof rest, stdin)) {
    }
    return 0;
  }
  if (argc != 5) return 64;
  guardian::configure_log(guardian::to_utf16(argv[1]), false);
  PSECURITY_DESCRIPTOR sd = nullptr;
  wchar_t* text = nullptr;
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  const guardian::UniqueHandle lock(
      OpenMutexW(READ_CONTROL, FALSE, guardian::log_file_lock_name(guardian::to_utf16(argv[1])).c_str()));
  if (lock && GetSecurityInfo(lock.get(), SE_KERNEL_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &sd) == 0)
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, parts, &text, nullptr);
  std::printf("lock %s\n", text ? guardian::to_utf8(text).c_str() : "unreadable");
  LocalFree(text), LocalFree(sd);
  std::fflush(stdout);
  char go[16];
  if (!std::fgets(go, sizeof go, stdin)) go[0] = '\0';  // the end of input starts the writers too
  const std::string tag = argv[2];
  const int threads = std::atoi(argv[3]);
  const int lines = std::atoi(argv[4]);
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&tag, t, lines] {
      for (int i = 0; i < lines; ++i) {
        std::string message = tag + " thread " + std::to_string(t) + " line " + std::to_string(i) + " ";
        // prefix "2026-12-07T10:00:00.000Z [NNN] INFO  " is about 38 bytes, the line end 2
        message.append(message.size() < 110 ? 110 - message.size() : 0, 'z');
        guardian::log_info(message);
      }
    });
  }
  for (auto& w : writers) w.join();
  std::printf("done\n");
  return 0;
}
