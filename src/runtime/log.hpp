#pragma once
// The process-wide log: "guardian.log" in the storage directory, one older generation
// (".1"), optionally echoed to standard error. It never reports its own failures.
#include <mutex>
#include <string>
#include <string_view>

namespace guardian {

class Logger {
 public:
  static Logger& instance();

  void configure(std::wstring path, bool echo_to_console);
  void write(std::string_view level, std::string_view message);

 private:
  Logger() = default;
  std::mutex lock_;
  std::wstring log_path_;
  bool echo_to_console_ = false;
};

void configure_log(const std::wstring& path, bool echo);
void log_line(std::string_view level, std::string_view message);

inline void log_info(std::string_view message) { log_line("INFO", message); }
inline void log_warn(std::string_view message) { log_line("WARN", message); }
inline void log_error(std::string_view message) { log_line("ERROR", message); }

}  // namespace guardian
