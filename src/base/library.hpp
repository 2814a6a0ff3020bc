#pragma once
// Libraries loaded when first used, each by a rule that leaves no room for a planted copy:
// system libraries from System32 only; the libraries shipped with our programs by their full
// path, from the folder of the module (program or DLL) that holds the calling code, never
// from the current directory or PATH. A library that serves a whole run stays loaded; one that
// is called once or twice in a run (DPAPI, the folder lookup) is held in a UniqueLibrary only
// for that call, so that a long-running process keeps nothing it no longer needs.
#include <windows.h>

#include <string>

#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {

// A library from System32. Null on failure, with error "LoadLibraryEx NAME: " and the
// Windows error text.
HMODULE load_system_library(const wchar_t* name, std::string& error);

// The library `name` in the folder of the module that holds `inside` (the address of any
// code or data of that module). The libraries it imports are looked for in its own folder and
// in System32 only. Null on failure, with error "LoadLibraryEx FULL-PATH: " and the text.
HMODULE load_library_beside(const void* inside, const wchar_t* name, std::string& error);

// fn = the export `name` of the module; false, with error "GetProcAddress NAME: " and the
// text, when it has none.
template <class Fn>
bool resolve(HMODULE module, const char* name, Fn& fn, std::string& error) {
  const FARPROC proc = GetProcAddress(module, name);
  if (!proc) {
    const DWORD code = GetLastError();
    error = std::string("GetProcAddress ") + name + ": " + win_error_text(code);
    return false;
  }
  fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
  return true;
}

// For a library held only for a call: `library` holds the System32 library `dll` (loaded by
// the first function asked of it) and fn = its export `name`. False, with the last error of
// the load or the lookup, when either is not there.
template <class Fn>
bool hold_system_function(UniqueLibrary& library, const wchar_t* dll, const char* name, Fn& fn) {
  std::string ignored;
  if (!library) library.reset(load_system_library(dll, ignored));
  return library && resolve(library.get(), name, fn, ignored);
}

}  // namespace guardian
