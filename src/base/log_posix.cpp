// The log sink of the native build of the portable core (unit tests and fuzz targets): the
// product's line layout, appended to the configured file and, when asked, to standard error.
// The file is not rotated: native runs are short.
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "base/log.hpp"
#include "base/log_format.hpp"

namespace guardian {
namespace {

struct NativeLog {
  std::mutex lock;
  std::string path;  // empty: lines go nowhere (but standard error, when echoed)
  bool echo = false;
};

NativeLog& native_log() {
  static NativeLog log;
  return log;
}

LogClock utc_now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm parts{};
  gmtime_r(&now.tv_sec, &parts);
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
          parts.tm_min,         parts.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

}  // namespace

void configure_log(const std::wstring& path, bool echo, const wchar_t*) {
  NativeLog& log = native_log();
  std::lock_guard<std::mutex> hold(log.lock);
  log.path = path.empty() ? std::string() : std::filesystem::path(path).string();
  log.echo = echo;
}

void log_line(std::string_view level, std::string_view message) {
  const std::string line = format_log_line(utc_now(), static_cast<unsigned long>(gettid()), level, message);
  NativeLog& log = native_log();
  std::lock_guard<std::mutex> hold(log.lock);
  if (log.echo) std::fwrite(line.data(), 1, line.size(), stderr);
  if (log.path.empty()) return;
  if (std::FILE* file = std::fopen(log.path.c_str(), "ab")) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
  }
}

}  // namespace guardian
