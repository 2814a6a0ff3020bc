#include <windows.h>

#include "base/own_thread.hpp"
#include "base/unique.hpp"

namespace guardian {

struct OwnThread::Record {
  std::function<void()> work;
  UniqueHandle ended = make_event();
};

namespace {

// What the thread holds: its share of the record, and a reference to the module its code is
// in, so that a DLL unloaded while work it left behind still runs stays mapped until the
// thread is done with it.
struct ThreadContext {
  std::shared_ptr<OwnThread::Record> record;
  HMODULE module = nullptr;
};

DWORD WINAPI own_thread_main(void* context) {
  HMODULE module = nullptr;
  {
    const std::unique_ptr<ThreadContext> owned(static_cast<ThreadContext*>(context));
    module = owned->module;
    owned->record->work();
    SetEvent(owned->record->ended.get());
  }
  if (module) FreeLibraryAndExitThread(module, 0);
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
  auto context = std::make_unique<ThreadContext>();
  context->record = record_;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&own_thread_main),
                          &context->module))
    context->module = nullptr;  // the thread then runs without holding its module
  const UniqueHandle thread(CreateThread(nullptr, 0, own_thread_main, context.get(), 0, nullptr));
  if (!thread) {
    error_ = GetLastError();
    if (context->module) FreeLibrary(context->module);
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
