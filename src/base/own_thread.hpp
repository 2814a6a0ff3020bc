#pragma once
// Work on a thread of its own, waited for with a limit. The thread holds a share of the work
// (and of what it captures) until it ends, so work that its caller stops waiting for runs on
// into memory of its own; what it hands back goes into something it holds a share of.
#include <functional>
#include <memory>

namespace guardian {

enum class WaitEnd { done, stopped, timed_out, failed };

class OwnThread {
 public:
  // Starts work at once; when no thread can be made, work never runs and wait() says failed.
  explicit OwnThread(std::function<void()> work);

  // Waits for the work to end for at most limit_ms, together with stop_event (a handle,
  // optional): done, stopped (the event came first), timed_out, or failed.
  WaitEnd wait(unsigned long limit_ms, void* stop_event = nullptr) const;

  // The error of the thread's creation when it failed, else 0.
  unsigned long error() const { return error_; }

  struct Record;  // the work and its end, shared with the thread

 private:
  std::shared_ptr<Record> record_;
  unsigned long error_ = 0;
};

}  // namespace guardian
