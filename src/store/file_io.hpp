#pragma once
// Whole-file read and atomic replacement.
#include <string>

#include "store/hex.hpp"

namespace guardian {

// Reads the whole file (up to 2 GiB) into out. False when it cannot be opened or read whole.
bool read_whole_file(const std::wstring& path, Bytes& out);

// Writes bytes to path + ".tmp", flushes it, and renames it over path. The previous file is
// never damaged: on any failure the temporary file is removed and false is returned, with
// the failing call's error left in GetLastError.
bool write_file_atomic(const std::wstring& path, const Bytes& bytes);

}  // namespace guardian
