#pragma once
// COM for the identity pass: ole32 and oleaut32 through a table loaded from System32 by the
// first pass of the process (the agent's own pass runs in a child process, so the agent loads
// neither unless that child fails), and owners for interface pointers, BSTRs, VARIANTs and
// the per-thread COM initialisation.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>

#include "base/unique.hpp"

namespace guardian {

struct ComApi {
  decltype(&::CoInitializeEx) CoInitializeEx = nullptr;
  decltype(&::CoUninitialize) CoUninitialize = nullptr;
  decltype(&::CoInitializeSecurity) CoInitializeSecurity = nullptr;
  decltype(&::CoCreateInstance) CoCreateInstance = nullptr;
  decltype(&::CoSetProxyBlanket) CoSetProxyBlanket = nullptr;
  decltype(&::SysAllocString) SysAllocString = nullptr;
  decltype(&::SysFreeString) SysFreeString = nullptr;
  decltype(&::VariantClear) VariantClear = nullptr;
};

// The table, loaded on the first call (a one-time initialisation) and kept; null when a
// library or one of its functions could not be had, and error then says why.
const ComApi* com_api(std::string& error);

// The table as com_api() left it: every member is null when the load failed. The owners below
// go through it, and exist only where the table was loaded.
const ComApi& loaded_com_api();

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
  static void close(Type s) { loaded_com_api().SysFreeString(s); }
};
using UniqueBstr = Unique<BstrTraits>;

inline UniqueBstr make_bstr(const wchar_t* text) {
  const auto alloc = loaded_com_api().SysAllocString;
  return UniqueBstr(alloc ? alloc(text) : nullptr);
}

// A VARIANT that starts empty (VT_EMPTY, as VariantInit leaves it) and is cleared when it goes.
class ScopedVariant {
 public:
  ScopedVariant() = default;
  ~ScopedVariant() { clear(); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

  const VARIANT& get() const { return v_; }
  // Clears the old value and hands out the address for an API to fill.
  VARIANT* put() {
    clear();
    return &v_;
  }

 private:
  void clear() {
    if (v_.vt != VT_EMPTY) loaded_com_api().VariantClear(&v_);
  }
  VARIANT v_{};
};

// COM on the current thread for the life of the object, once the table is loaded. Its
// CoUninitialize runs only when this object's CoInitializeEx succeeded (S_FALSE included), so
// a thread that already lives in another apartment keeps it untouched.
class ScopedComInit {
 public:
  explicit ScopedComInit(DWORD apartment) {
    std::string unavailable;
    const ComApi* api = com_api(unavailable);
    result_ = api ? api->CoInitializeEx(nullptr, apartment) : HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  }
  ~ScopedComInit() {
    if (SUCCEEDED(result_)) loaded_com_api().CoUninitialize();
  }
  ScopedComInit(const ScopedComInit&) = delete;
  ScopedComInit& operator=(const ScopedComInit&) = delete;

  bool succeeded() const { return SUCCEEDED(result_); }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

}  // namespace guardian
