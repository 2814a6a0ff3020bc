#pragma once
// Whole-file read and atomic replacement.
#include <cstdint>
#include <functional>
#include <string>

#include "store/hex.hpp"

namespace guardian {

// The agent's files (channel.bin, the log) are read only as what they should be, wherever the
// name leads: a regular file on a disk, opened where it stands (a link or junction in its place
// is refused, never followed; so is a pipe or a device, whose server could keep a read waiting
// for ever), with identification rights only (a pipe's server could not act as the reader),
// and opened and read within limit_ms, on a thread of the read's own (another program can keep
// an open or a read waiting for ever: an oplock whose break it never acknowledges), which a
// read still waiting then is left to. A regular file on a disk is read at once.
inline constexpr unsigned long kFileReadLimitMs = 2000;

// Runs work (0 or a Windows error) on a thread of its own and waits for it at most limit_ms:
// its result, ERROR_TIMEOUT when it has not returned by then (it runs on, into what it holds a
// share of), or the error that kept the thread from starting.
unsigned long run_within(unsigned long limit_ms, std::function<unsigned long()> work);

// Reads the last `most` bytes of such a file (all of it when it is shorter; at most 2 GiB)
// into out; from is where they begin. False when it cannot be opened or read, with the reason
// in GetLastError: ERROR_FILE_NOT_FOUND when absent, ERROR_CANT_ACCESS_FILE when it is no
// regular file on a disk, ERROR_TIMEOUT when the open and read took longer than limit_ms.
bool read_file_tail(const std::wstring& path, uint64_t most, Bytes& out, uint64_t& from,
                    unsigned long limit_ms = kFileReadLimitMs);

// Reads the whole file into out, as read_file_tail does.
bool read_whole_file(const std::wstring& path, Bytes& out);

// Whether an object opened in place at path (with FILE_FLAG_OPEN_REPARSE_POINT) is a link or
// junction: its handle's attributes say so, and the name's own (what a listing of its folder
// shows) count as well.
bool is_link_in_place(const std::wstring& path, unsigned long opened_attributes);

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
