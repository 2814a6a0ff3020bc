// Portable: no Windows headers.
#include "runtime/log_format.hpp"

#include <cstdio>

namespace guardian {

std::string format_log_line(const LogClock& t, unsigned long thread_id, std::string_view level,
                            std::string_view message) {
  char prefix[64];
  const std::string level_text(level);
  int n = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ [%lu] %-5s ", t.year, t.month,
                        t.day, t.hour, t.minute, t.second, t.millisecond, thread_id, level_text.c_str());
  if (n < 0) n = 0;
  if (n >= static_cast<int>(sizeof prefix)) n = sizeof prefix - 1;
  std::string line;
  line.reserve(static_cast<size_t>(n) + message.size() + 2);
  line.append(prefix, static_cast<size_t>(n));
  line.append(message);
  line.append("\r\n");
  return line;
}

}  // namespace guardian
