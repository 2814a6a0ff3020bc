// Test tool: one process among several writing one log file.
// Usage: log_writer PATH TAG THREADS LINES
// THREADS threads each log LINES lines "TAG thread T line I" followed by a filler that makes
// every line 150 bytes long; prints "done" when all are written.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/text.hpp"
#include "base/log.hpp"

int main(int argc, char** argv) {
  if (argc != 5) return 64;
  guardian::configure_log(guardian::to_utf16(argv[1]), false);
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
