#pragma once
// Overlapped pipe I/O with a time-out per operation, and the trust rule by process image.
#include <windows.h>

#include <string>
#include <string_view>

namespace guardian {

enum class PipeDirection { read, write };

// One overlapped read or write. Ends when it completes, when timeout_ms passes, or when
// cancel_event (optional) is signalled; a timed-out or cancelled operation is cancelled and
// waited for before returning, so the buffer is never written after the call.
// A read of part of a longer message (ERROR_MORE_DATA) counts as success.
bool pipe_io(HANDLE pipe, PipeDirection direction, void* buffer, DWORD count, DWORD timeout_ms, DWORD& transferred,
             HANDLE cancel_event = nullptr);

// Reads exactly count bytes; each read gets the full time-out. A read of 0 bytes fails.
bool read_exact(HANDLE pipe, void* buffer, DWORD count, DWORD timeout_ms, HANDLE cancel_event = nullptr);

// Sends one frame with one write. The frame is not flushed: on a pipe FlushFileBuffers
// returns only when the other end has read the data, which a peer that never reads would
// turn into a wait without end. Every caller follows the write with a read of its own,
// bounded by its time-out, and that read is what ends the exchange.
bool write_frame(HANDLE pipe, std::string_view payload, DWORD timeout_ms, HANDLE cancel_event = nullptr);

// Reads one frame: the length, then the payload. False on a time-out, an error, or a length
// above the frame limit.
bool read_frame(HANDLE pipe, std::string& payload, DWORD timeout_ms, HANDLE cancel_event = nullptr);

// The full Win32 path of a process's executable, or empty.
std::wstring process_image_path(DWORD process_id);

// True when image_path lies inside directory (or below it), compared case-insensitively with
// '/' and '\' alike.
bool is_in_directory(std::wstring_view image_path, std::wstring_view directory);

}  // namespace guardian
