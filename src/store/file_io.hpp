#pragma once
// Whole-file read and atomic replacement.
#include <string>

#include "store/hex.hpp"

namespace guardian {

// Reads the whole file (up to 2 GiB) into out. False when it cannot be opened or read whole;
// when it cannot be opened, GetLastError holds the reason (ERROR_FILE_NOT_FOUND when absent).
bool read_whole_file(const std::wstring& path, Bytes& out);

// Creates path (replacing a file of that name, no sharing), writes bytes and flushes them to
// the disk. False on any failure, the flush included, with the failing call's error left in
// GetLastError; a file it created is removed again. created (optional) tells whether the file
// had been created before the failure.
bool write_flushed_file(const std::wstring& path, const Bytes& bytes, bool* created = nullptr);

// Writes bytes to path + ".tmp", flushes it, and renames it over path. The previous file is
// never damaged: on any failure the temporary file is removed and false is returned, with
// the failing call's error left in GetLastError.
bool write_file_atomic(const std::wstring& path, const Bytes& bytes);

}  // namespace guardian
