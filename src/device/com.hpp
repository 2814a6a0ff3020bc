#pragma once
// Owners for COM resources: interface pointers, BSTRs, VARIANTs and the per-thread COM
// initialisation.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "base/unique.hpp"

namespace guardian {

template <class Interface>
struct ComTraits {
  using Type = Interface*;
  static Type invalid() { return nullptr; }
  static void close(Type p) { p->Release(); }
};
template <class Interface>
using ComPtr = Unique<ComTraits<Interface>>;

struct BstrTraits {
  using Type = BSTR;
  static Type invalid() { return nullptr; }
  static void close(Type s) { SysFreeString(s); }
};
using UniqueBstr = Unique<BstrTraits>;

inline UniqueBstr make_bstr(const wchar_t* text) { return UniqueBstr(SysAllocString(text)); }

// A VARIANT that starts empty and is cleared when it goes.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&v_); }
  ~ScopedVariant() { VariantClear(&v_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

  const VARIANT& get() const { return v_; }
  // Clears the old value and hands out the address for an API to fill.
  VARIANT* put() {
    VariantClear(&v_);
    return &v_;
  }

 private:
  VARIANT v_;
};

// COM on the current thread for the life of the object. CoUninitialize runs only when this
// object's CoInitializeEx succeeded (S_FALSE included), so a thread that already lives in
// another apartment keeps it untouched.
class ScopedComInit {
 public:
  explicit ScopedComInit(DWORD apartment) : result_(CoInitializeEx(nullptr, apartment)) {}
  ~ScopedComInit() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ScopedComInit(const ScopedComInit&) = delete;
  ScopedComInit& operator=(const ScopedComInit&) = delete;

  bool succeeded() const { return SUCCEEDED(result_); }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

}  // namespace guardian
