#include <windows.h>

#include "base/own_thread.hpp"
#include "base/unique.hpp"

namespace guardian {

struct OwnThread::Record {
  std::function<void()> work;
  UniqueHandle ended = make_event();
};

namespace {

DWORD WINAPI own_thread_main(void* context) {
  const std::unique_ptr<std::shared_ptr<OwnThread::Record>> owned(
      static_cast<std::shared_ptr<OwnThread::Record>*>(context));
  (*owned)->work();
  SetEvent((*owned)->ended.get());
  return 0;
}

}  // namespace

OwnThread::OwnThread(std::function<void()> work) : record_(std::make_shared<Record>()) {
  record_->work = std::move(work);
  if (!record_->ended) {
    error_ = GetLastError();
    record_.reset();
    return;
  }
  auto context = std::make_unique<std::shared_ptr<Record>>(record_);
  const UniqueHandle thread(CreateThread(nullptr, 0, own_thread_main, context.get(), 0, nullptr));
  if (!thread) {
    error_ = GetLastError();
    record_.reset();
    return;
  }
  static_cast<void>(context.release());  // the thread's now
}

WaitEnd OwnThread::wait(unsigned long limit_ms, void* stop_event) const {
  if (!record_) return WaitEnd::failed;
  const HANDLE waits[2] = {record_->ended.get(), static_cast<HANDLE>(stop_event)};
  switch (WaitForMultipleObjects(stop_event ? 2 : 1, waits, FALSE, limit_ms)) {
    case WAIT_OBJECT_0:
      return WaitEnd::done;
    case WAIT_OBJECT_0 + 1:
      return WaitEnd::stopped;
    default:
      return WaitEnd::timed_out;
  }
}

}  // namespace guardian
