// Portable: no Windows headers.
#include "base/line_budget.hpp"

namespace guardian {

LineBudget::LineBudget(int burst, int64_t interval_ms)
    : burst_(burst > 0 ? burst : 1), interval_ms_(interval_ms > 0 ? interval_ms : 1), tokens_(burst_) {}

void LineBudget::refill(int64_t now_ms) {
  if (tokens_ >= burst_ || now_ms < next_token_ms_) return;
  const int64_t earned = 1 + (now_ms - next_token_ms_) / interval_ms_;
  if (earned >= burst_ - tokens_) {
    tokens_ = burst_;
  } else {
    tokens_ += static_cast<int>(earned);
    next_token_ms_ += earned * interval_ms_;
  }
}

bool LineBudget::admit(int64_t now_ms, uint64_t& skipped) {
  std::lock_guard<std::mutex> hold(lock_);
  refill(now_ms);
  if (tokens_ == 0) {
    ++skipped_;
    return false;
  }
  if (tokens_ == burst_) next_token_ms_ = now_ms + interval_ms_;
  --tokens_;
  skipped = skipped_;
  skipped_ = 0;
  return true;
}

uint64_t LineBudget::take_unreported(int64_t now_ms, bool force) {
  std::lock_guard<std::mutex> hold(lock_);
  refill(now_ms);
  if (skipped_ == 0 || (tokens_ == 0 && !force)) return 0;
  if (tokens_ > 0) {
    if (tokens_ == burst_) next_token_ms_ = now_ms + interval_ms_;
    --tokens_;
  }
  const uint64_t count = skipped_;
  skipped_ = 0;
  return count;
}

int64_t LineBudget::unreported_due_in(int64_t now_ms) {
  std::lock_guard<std::mutex> hold(lock_);
  refill(now_ms);
  if (skipped_ == 0) return -1;
  if (tokens_ > 0) return 0;
  return next_token_ms_ > now_ms ? next_token_ms_ - now_ms : 0;
}

}  // namespace guardian
