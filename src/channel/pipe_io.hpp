#pragma once
// Overlapped pipe I/O with one deadline per frame, and the trust rule by process image.
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/unique.hpp"

namespace guardian {

enum class PipeDirection { read, write };

// One overlapped read or write. Ends when it completes, when timeout_ms passes, or when
// cancel_event (optional) is signalled, which wins over an operation that has completed too;
// a timed-out or cancelled operation is cancelled and waited for before returning, so the
// buffer is never written after the call.
// A read of part of a longer message (ERROR_MORE_DATA) counts as success.
bool pipe_io(HANDLE pipe, PipeDirection direction, void* buffer, DWORD count, DWORD timeout_ms, DWORD& transferred,
             HANDLE cancel_event = nullptr);

// Reads exactly count bytes before the deadline (a GetTickCount64 time): each read waits only
// for the time that is left, so a peer that trickles bytes cannot stretch the whole. A read
// of 0 bytes fails.
bool read_exact_until(HANDLE pipe, void* buffer, DWORD count, ULONGLONG deadline, HANDLE cancel_event = nullptr);

// read_exact_until with a deadline timeout_ms from now.
bool read_exact(HANDLE pipe, void* buffer, DWORD count, DWORD timeout_ms, HANDLE cancel_event = nullptr);

// Sends one frame with one write, within timeout_ms. The frame is not flushed: on a pipe
// FlushFileBuffers returns only when the other end has read the data, which a peer that
// never reads would turn into a wait without end. Every caller follows the write with a read
// of its own, bounded by its deadline, and that read is what ends the exchange.
bool write_frame(HANDLE pipe, std::string_view payload, DWORD timeout_ms, HANDLE cancel_event = nullptr);

// Reads one frame, the length and the payload, within timeout_ms for the whole frame. False
// on a time-out, an error, or a length above the frame limit.
bool read_frame(HANDLE pipe, std::string& payload, DWORD timeout_ms, HANDLE cancel_event = nullptr);

// The system time as a FILETIME value (100-ns intervals since 1601), to the clock's full
// precision, so that it is never earlier than a process creation time taken before it.
uint64_t precise_time_now();

// What the other end of a pipe is, found from its process id.
enum class PeerVerdict {
  trusted,       // its executable lies in the trusted directory
  outside,       // its executable lies elsewhere
  reused,        // the process with that id was created after the connection: not the peer
  unidentified,  // no process id, or the process could not be opened or read
};

struct PeerCheck {
  unsigned long pid = 0;
  uint64_t created = 0;  // the process's creation time (FILETIME units); 0 when unidentified
  std::wstring image;    // empty when unidentified
  std::string user;      // the user the process runs as (an SID string), when asked for
  PeerVerdict verdict = PeerVerdict::unidentified;
};

// Processes seen lately, each kept open with its creation time, image and user. A process id
// stays with its process for as long as any handle to it is open, so while an entry holds one,
// the id names that process and no other: a client that connects again is judged without
// opening its process again. The oldest entry gives way to a new one (and its handle is
// closed).
class ProcessImageCache {
 public:
  ProcessImageCache() = default;
  ProcessImageCache(const ProcessImageCache&) = delete;
  ProcessImageCache& operator=(const ProcessImageCache&) = delete;

  // Fills created, image and user of check from the entry for its pid.
  bool find(PeerCheck& check);
  void remember(const PeerCheck& check, UniqueHandle process);

 private:
  struct Entry {
    unsigned long pid = 0;
    uint64_t created = 0;
    std::wstring image;
    std::string user;
    UniqueHandle process;
  };
  static constexpr size_t kEntries = 32;
  std::mutex lock_;
  Entry entries_[kEntries];
  size_t next_ = 0;
};

// Opens the process once (unless the cache holds it open), reads its creation time and its
// image path through that one handle, and judges it against the time the connection was made
// (precise_time_now() taken when it was accepted or opened; stepped_back: how far the wall
// clock has been set back since, see ClockSteps) and trusted_dir. With a cache (the server's)
// it also reads the user the process runs as, from its token, once per process.
PeerCheck check_peer_process(unsigned long pid, uint64_t connected_at, std::wstring_view trusted_dir,
                             ProcessImageCache* cache = nullptr, uint64_t stepped_back = 0);

// A monotonic clock in the units of precise_time_now() (100 ns), for ClockSteps.
uint64_t monotonic_time_now();

// Flags for every open of a pipe as a client: the server may learn who connected, never act
// as them. Without them whoever serves the name (another process that took it, for one) could
// impersonate the agent, which runs as LocalSystem.
inline constexpr DWORD kPipeClientFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// The full Win32 path of a process's executable, or empty.
std::wstring process_image_path(DWORD process_id);

// True when image_path lies inside directory (or below it), compared case-insensitively with
// '/' and '\' alike.
bool is_in_directory(std::wstring_view image_path, std::wstring_view directory);

}  // namespace guardian
