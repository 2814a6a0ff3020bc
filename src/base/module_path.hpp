#pragma once
// Where the running code comes from: the executable, or the DLL this code is linked into.
#include <string>

namespace guardian {

// The full path of the running executable (empty on failure).
std::wstring module_path();

// The folder of the running executable, without a trailing separator.
std::wstring module_dir();

// The full path of the module that holds this code: the executable's, or a DLL's when the code
// is linked into one (empty on failure).
std::wstring code_module_path();

// The folder of code_module_path() (empty on failure).
std::wstring code_module_dir();

}  // namespace guardian
