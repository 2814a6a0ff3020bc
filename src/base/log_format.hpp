#pragma once
// Log line layout, kept apart from the file handling so it can be tested on its own.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace guardian {

inline constexpr uint64_t kLogRotateBytes = 2097152;  // 2 MiB

struct LogClock {
  int year, month, day, hour, minute, second, millisecond;
};

// "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ [%lu] %-5s " + message + "\r\n", the message shown
// by append_log_text: one call always makes exactly one line, whatever text from outside the
// message carries.
std::string format_log_line(const LogClock& t, unsigned long thread_id, std::string_view level,
                            std::string_view message);

// Appends text so that it shows what it holds and nothing else, on one line: control bytes
// (below 0x20, and 0x7F) as \r, \n, \t or \xhh; bytes that are no part of a well-formed UTF-8
// character as \xhh; and the characters that could make a text pass for another on a screen
// (the C1 controls U+0080 to U+009F, the bidirectional controls U+061C, U+200E, U+200F,
// U+202A to U+202E and U+2066 to U+2069, U+2028 and U+2029, and the format characters and
// fillers that show as nothing: U+00AD, U+034F, U+115F, U+1160, U+180E, U+200B to U+200D,
// U+2060 to U+2064, U+206A to U+206F, U+3164, U+FEFF, U+FFA0, U+FFF9 to U+FFFB, the variation
// selectors U+FE00 to U+FE0F and the tags U+E0000 to U+E007F) as \uhhhh, or \Uhhhhhhhh past
// U+FFFF. Every other character is copied as it is; so is a backslash, which paths are full of
// (a name can spell an escape: the text shows what it holds, not whether it was escaped). The
// log, the diagnosis, the Event Log's inserts and the commands' console lines all show text
// from outside through it.
void append_log_text(std::string& out, std::string_view text);

// append_log_text into a string of its own.
std::string visible_text(std::string_view text);

// The last `most` ERROR lines and the last `most` WARN lines of a log's text (its tail may
// begin in the middle of a line, which is never taken), together in the log's order, without
// their line ends: a flood of WARN lines (refused clients, say) cannot push the ERROR lines
// out. A line counts when it has the prefix that format_log_line writes and its level is WARN
// or ERROR, so a message that only mentions a level does not. Each is cut to at most max_bytes of its own (between
// UTF-8 characters, "..." added), and its control bytes are escaped: safe to print.
std::vector<std::string> log_problem_lines(std::string_view text, bool starts_at_a_line, size_t most,
                                           size_t max_bytes);

// The file is rotated first when its size plus the new line would pass the limit.
inline bool log_needs_rotation(uint64_t current_size, uint64_t line_size) {
  return current_size + line_size > kLogRotateBytes;
}

// While the file cannot be rotated (another program holds it, or the older generation,
// without the sharing that rotation needs), lines still go into it up to this much past the
// limit; beyond that they are dropped until a rotation succeeds, which every line tries again.
inline constexpr uint64_t kLogOverflowBytes = 524288;  // 512 KiB

inline bool log_line_fits_unrotated(uint64_t current_size, uint64_t line_size) {
  return current_size + line_size <= kLogRotateBytes + kLogOverflowBytes;
}

// The name of the lock that every process writing one log file takes around each line:
// "Global\Ostrival.Guardian.Log." and 16 hexadecimal digits of a hash of the file's full
// path, upper-cased (any spelling of one path gives one name; a name holds no backslash).
std::wstring log_lock_name(std::wstring_view upper_case_full_path);

}  // namespace guardian
