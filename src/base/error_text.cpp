// Portable: no Windows headers.
#include <cstdio>

#include "base/text.hpp"

namespace guardian {

std::string compose_error_text(std::string_view message, unsigned long code) {
  auto is_blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!message.empty() && is_blank(message.front())) message.remove_prefix(1);
  while (!message.empty() && is_blank(message.back())) message.remove_suffix(1);
  char code_part[24];
  std::snprintf(code_part, sizeof code_part, " (0x%08lX)", code);
  std::string out(message);
  out += code_part;
  return out;
}

}  // namespace guardian
