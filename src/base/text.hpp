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
// WinHTTP's codes (kWinHttpFirstError to kWinHttpLastError) are not in the system's table but
// in winhttp.dll's own, which is read instead; where that has none, the program's own short
// text for the code (winhttp_error_fallback) is used.
std::string win_error_text(unsigned long code);

inline constexpr unsigned long kWinHttpFirstError = 12001;
inline constexpr unsigned long kWinHttpLastError = 12185;

// A short text for the WinHTTP codes this program can meet; empty for any other code.
std::string_view winhttp_error_fallback(unsigned long code);

// The portable half of win_error_text: trims blanks and control characters off the message
// and appends the code part.
std::string compose_error_text(std::string_view system_message, unsigned long code);

// A duration as a person reads it: "120 s" when it is whole seconds, else "300 ms".
std::string duration_text(unsigned long ms);

}  // namespace guardian
