#pragma once
// A budget for log lines that others can cause: a burst of lines, then one line per interval.
// The events that get no line are counted, and the count is given with the next line, so
// nothing goes unreported while a flood of events cannot push the log's history out.
// Portable: no Windows headers; times are any monotonic clock in milliseconds.
#include <cstdint>
#include <mutex>

namespace guardian {

class LineBudget {
 public:
  LineBudget(int burst, int64_t interval_ms);

  // One event at now_ms. True when it gets a line; skipped is then the number of events
  // that got none since the previous line, and is reported with this one.
  bool admit(int64_t now_ms, uint64_t& skipped);

  // The events left out and not yet reported, when a line of their own may be written now
  // (that line then uses the budget); 0 otherwise. With force, they are handed out whatever
  // the budget (for a last line at the end).
  uint64_t take_unreported(int64_t now_ms, bool force = false);

  // Milliseconds from now_ms until take_unreported can report, or -1 when nothing waits.
  int64_t unreported_due_in(int64_t now_ms);

 private:
  void refill(int64_t now_ms);

  std::mutex lock_;
  const int burst_;
  const int64_t interval_ms_;
  int tokens_;
  int64_t next_token_ms_ = 0;  // when the next line is earned, while tokens_ < burst_
  uint64_t skipped_ = 0;
};

}  // namespace guardian
