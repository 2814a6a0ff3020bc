#pragma once
// Text helpers shared by every subsystem: UTF-8 <-> UTF-16 and the rendering of Windows errors.
#include <string>
#include <string_view>

namespace guardian {

// Both directions go through the Windows code-page functions with CP_UTF8; empty in, empty out.
std::string to_utf8(std::wstring_view text);
std::wstring to_utf16(std::string_view text);

// The system's US-English message for a Windows error code, trimmed, followed by " (0x%08lX)".
// When the system has no message only " (0x........)" remains, leading blank included.
std::string win_error_text(unsigned long code);

// The portable half of win_error_text: trims blanks and control characters off the message
// and appends the code part.
std::string compose_error_text(std::string_view system_message, unsigned long code);

}  // namespace guardian
