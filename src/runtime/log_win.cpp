#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "runtime/log.hpp"
#include "runtime/log_format.hpp"
#include "base/unique.hpp"

namespace guardian {

Logger& Logger::instance() {
  static Logger logger;
  return logger;
}

void Logger::configure(std::wstring path, bool echo_to_console) {
  std::lock_guard<std::mutex> hold(lock_);
  log_path_ = std::move(path);
  echo_to_console_ = echo_to_console;
  if (echo_to_console_) {
    // The copy on standard error must be byte for byte the line in the file: no "\n" to
    // "\r\n" translation of a text-mode stream.
    std::fflush(stderr);
    _setmode(_fileno(stderr), _O_BINARY);
  }
}

void Logger::write(std::string_view level, std::string_view message) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  const LogClock clock{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
  const std::string line = format_log_line(clock, GetCurrentThreadId(), level, message);

  std::lock_guard<std::mutex> hold(lock_);
  if (echo_to_console_) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  if (log_path_.empty()) return;

  WIN32_FILE_ATTRIBUTE_DATA info;
  if (GetFileAttributesExW(log_path_.c_str(), GetFileExInfoStandard, &info)) {
    const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (log_needs_rotation(size, line.size())) {
      const std::wstring rotated = log_path_ + L".1";
      MoveFileExW(log_path_.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
  }
  UniqueFile file(CreateFileW(log_path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void configure_log(const std::wstring& path, bool echo) { Logger::instance().configure(path, echo); }

void log_line(std::string_view level, std::string_view message) { Logger::instance().write(level, message); }

}  // namespace guardian
