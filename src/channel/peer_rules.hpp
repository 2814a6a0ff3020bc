#pragma once
// Who is on the other end of a pipe: the rule that ties a process id to a connection.
// Portable: no Windows headers, so it can be tested on given times.
#include <cstdint>
#include <mutex>

namespace guardian {

// Times are 100-ns intervals since 1601-01-01 UTC (FILETIME), from the same system clock.
//
// A process id names the process that opened (or served) the pipe only until that process
// ends; afterwards the id may be given to a new process. A process created after the
// connection was made cannot be the one that made it, so its image says nothing about the
// peer. A creation time of 0 means it could not be read: no match either.
//
// A process's creation time is the wall clock's reading when it was made, and a clock set
// back since then makes it look younger than it is, by as much as the clock went back:
// stepped_back (the same units) is that much, and a creation time that late is still taken
// as before the connection.
inline bool process_predates_connection(uint64_t process_created, uint64_t connected_at, uint64_t stepped_back = 0) {
  return process_created != 0 && process_created <= connected_at + stepped_back;
}

// How far the wall clock has been set back, as seen by comparing it with a monotonic clock:
// the two advance together, so a drop in their difference is a step back of the wall clock.
// Every reading is noted; the answer is the largest difference seen less the present one.
class ClockSteps {
 public:
  // Both readings in the same units (100 ns); returns how far the wall clock now stands
  // behind where it stood at its highest.
  uint64_t note(uint64_t wall, uint64_t monotonic) {
    const int64_t offset = static_cast<int64_t>(wall - monotonic);
    std::lock_guard<std::mutex> hold(lock_);
    if (!seen_ || offset > highest_) highest_ = offset;
    seen_ = true;
    return static_cast<uint64_t>(highest_ - offset);
  }

 private:
  std::mutex lock_;
  bool seen_ = false;
  int64_t highest_ = 0;
};

}  // namespace guardian
