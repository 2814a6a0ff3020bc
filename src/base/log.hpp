#pragma once
// The process-wide log: "guardian.log" in the storage directory, one older generation
// (".1"), optionally echoed to standard error. It never reports its own failures.
//
// Every process that writes one log file takes a lock of that file's own (a named mutex)
// around each line, so lines from several processes are never spliced and rotation is
// decided by one writer at a time. The lock is waited for briefly only: a writer that
// holds it too long is not waited for again until it lets go, and the line is written
// without it, so no other program can stall the agent through its log.
#include <string>
#include <string_view>

namespace guardian {

// Sets the log file (empty: no file) and the copy on standard error. With file_sddl, every
// log file this process creates (the current one, and the older generation when rotation
// copies it) is created with that security descriptor; otherwise with what its folder passes
// on. Renaming the current file to the older generation keeps its descriptor.
void configure_log(const std::wstring& path, bool echo, const wchar_t* file_sddl = nullptr);

// The name of the lock that the writers of the log file at path share (from its full path,
// whatever the spelling).
std::wstring log_file_lock_name(const std::wstring& path);

// Formats and writes one line; callable from any thread at any time.
void log_line(std::string_view level, std::string_view message);

inline void log_info(std::string_view message) { log_line("INFO", message); }
inline void log_warn(std::string_view message) { log_line("WARN", message); }
inline void log_error(std::string_view message) { log_line("ERROR", message); }

}  // namespace guardian
