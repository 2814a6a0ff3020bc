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

// How much later than now the wall clock has lately shown, as seen by comparing it with a
// monotonic clock: the two advance together, so a drop in their difference is a step back of
// the wall clock. A process created before the step has a creation time up to that much ahead
// of the clock, and that allowance shrinks as the clock runs on: once it has caught up with
// where it stood, no process made before the step looks younger than a connection.
// Every reading is noted; between two readings the clock is taken to have shown at most what
// the earlier difference gives at the later one (the step came at some moment between them).
class ClockSteps {
 public:
  // Both readings in the same units (100 ns); returns the allowance (0 when the clock shows
  // the latest it has shown).
  uint64_t note(uint64_t wall, uint64_t monotonic) {
    const uint64_t offset = wall - monotonic;  // modular: only compared through the sums below
    std::lock_guard<std::mutex> hold(lock_);
    if (seen_ && monotonic + last_offset_ > latest_) latest_ = monotonic + last_offset_;
    if (!seen_ || wall > latest_) latest_ = wall;
    seen_ = true;
    last_offset_ = offset;
    return latest_ - wall;
  }

 private:
  std::mutex lock_;
  bool seen_ = false;
  uint64_t last_offset_ = 0;
  uint64_t latest_ = 0;  // the latest the wall clock can have shown
};

}  // namespace guardian
