#pragma once
// One small owner type per kind of Windows resource. reset() keeps the caller's
// GetLastError value, so cleanup never hides the error about to be reported.
#include <windows.h>

#include <utility>

namespace guardian {

template <class Traits>
class Unique {
 public:
  using Type = typename Traits::Type;

  Unique() = default;
  explicit Unique(Type v) : v_(v) {}
  Unique(Unique&& o) noexcept : v_(std::exchange(o.v_, Traits::invalid())) {}
  Unique& operator=(Unique&& o) noexcept {
    if (this != &o) reset(std::exchange(o.v_, Traits::invalid()));
    return *this;
  }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  ~Unique() { reset(); }

  void reset(Type v = Traits::invalid()) {
    if (v_ != Traits::invalid()) {
      const DWORD saved = GetLastError();
      Traits::close(v_);
      SetLastError(saved);
    }
    v_ = v;
  }
  [[nodiscard]] Type release() { return std::exchange(v_, Traits::invalid()); }
  [[nodiscard]] Type get() const { return v_; }
  Type* put() {
    reset();
    return &v_;
  }
  explicit operator bool() const { return v_ != Traits::invalid(); }

 private:
  Type v_ = Traits::invalid();
};

struct KernelHandleTraits {  // events, threads, processes: null when absent
  using Type = HANDLE;
  static Type invalid() { return nullptr; }
  static void close(Type h) { CloseHandle(h); }
};
struct FileHandleTraits {  // files and pipes: INVALID_HANDLE_VALUE when absent
  using Type = HANDLE;
  static Type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(Type h) { CloseHandle(h); }
};
struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type invalid() { return nullptr; }
  static void close(Type h) { CloseServiceHandle(h); }
};
struct RegKeyTraits {
  using Type = HKEY;
  static Type invalid() { return nullptr; }
  static void close(Type h) { RegCloseKey(h); }
};
struct FindHandleTraits {  // FindFirstFileW searches: INVALID_HANDLE_VALUE when absent
  using Type = HANDLE;
  static Type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(Type h) { FindClose(h); }
};
struct LocalMemTraits {
  using Type = HLOCAL;
  static Type invalid() { return nullptr; }
  static void close(Type h) { LocalFree(h); }
};

struct LibraryTraits {  // a library this code loaded and lets go when done with it
  using Type = HMODULE;
  static Type invalid() { return nullptr; }
  static void close(Type h) { FreeLibrary(h); }
};

using UniqueHandle = Unique<KernelHandleTraits>;
using UniqueFile = Unique<FileHandleTraits>;
using UniqueServiceHandle = Unique<ServiceHandleTraits>;
using UniqueRegKey = Unique<RegKeyTraits>;
using UniqueLocal = Unique<LocalMemTraits>;
using UniqueFind = Unique<FindHandleTraits>;
using UniqueLibrary = Unique<LibraryTraits>;

// A manual-reset, unnamed event in the given initial state; empty on failure.
inline UniqueHandle make_event(bool initially_set = false) {
  return UniqueHandle(CreateEventW(nullptr, TRUE, initially_set ? TRUE : FALSE, nullptr));
}

}  // namespace guardian
