#include <windows.h>

#include <memory>

#include "base/own_thread.hpp"
#include "base/unique.hpp"
#include "store/file_io.hpp"

namespace guardian {
namespace {

// Deletes path and leaves error as the thread's last error.
bool remove_and_fail(const std::wstring& path, DWORD error) {
  DeleteFileW(path.c_str());
  SetLastError(error);
  return false;
}

}  // namespace

bool is_link_in_place(const std::wstring& path, unsigned long opened_attributes) {
  const DWORD named = GetFileAttributesW(path.c_str());
  return ((opened_attributes | (named == INVALID_FILE_ATTRIBUTES ? 0 : named)) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

namespace {

// read_file_tail's work, on the calling thread: 0 or the error. A read still waiting at
// limit_ms is cancelled, and the cancelled read waited for (its buffer is out's).
DWORD read_tail_now(const std::wstring& path, uint64_t most, Bytes& out, uint64_t& from, unsigned long limit_ms) {
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT |
                                  SECURITY_IDENTIFICATION,
                              nullptr));
  if (!file) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || is_link_in_place(path, info.dwFileAttributes))
    return ERROR_CANT_ACCESS_FILE;
  if (!GetFileSizeEx(file.get(), &size)) return GetLastError();
  const uint64_t end = static_cast<uint64_t>(size.QuadPart);
  const uint64_t start = end > most ? end - most : 0;
  if (end - start > 0x80000000ULL) return ERROR_FILE_TOO_LARGE;
  const UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return GetLastError();
  Bytes data(static_cast<size_t>(end - start));
  size_t got_total = 0;
  while (got_total < data.size()) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(start + got_total);
    at.OffsetHigh = static_cast<DWORD>((start + got_total) >> 32);
    at.hEvent = done.get();
    const size_t want = data.size() - got_total;
    const DWORD chunk = want > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want);
    DWORD got = 0;
    if (!ReadFile(file.get(), data.data() + got_total, chunk, nullptr, &at)) {
      if (GetLastError() != ERROR_IO_PENDING) return GetLastError();
      const ULONGLONG now = GetTickCount64();
      if (WaitForSingleObject(done.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0) != WAIT_OBJECT_0) {
        CancelIoEx(file.get(), &at);
        // The buffer is not left to the cancelled read. This thread is the reader's own
        // (read_file_tail): a cancel that is never honoured keeps it, not its caller.
        GetOverlappedResult(file.get(), &at, &got, TRUE);
        return ERROR_TIMEOUT;
      }
    }
    if (!GetOverlappedResult(file.get(), &at, &got, TRUE)) return GetLastError();
    if (got == 0) return ERROR_HANDLE_EOF;  // cut short since its size was read
    got_total += got;
  }
  out = std::move(data);
  from = start;
  return ERROR_SUCCESS;
}

}  // namespace

unsigned long run_within(unsigned long limit_ms, std::function<unsigned long()> work) {
  const auto result = std::make_shared<unsigned long>(ERROR_SUCCESS);
  const OwnThread thread([result, work = std::move(work)] { *result = work(); });
  switch (thread.wait(limit_ms)) {
    case WaitEnd::done:
      return *result;
    case WaitEnd::failed:
      return thread.error() ? thread.error() : ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_TIMEOUT;
  }
}

bool read_file_tail(const std::wstring& path, uint64_t most, Bytes& out, uint64_t& from, unsigned long limit_ms) {
  // The open too waits for another program (an oplock's break it never acknowledges): all of
  // it runs on a thread of its own, into a record it shares, and is waited for limit_ms.
  struct Read {
    Bytes data;
    uint64_t from = 0;
  };
  const auto read = std::make_shared<Read>();
  const DWORD error = run_within(limit_ms, [read, path, most, limit_ms] {
    return read_tail_now(path, most, read->data, read->from, limit_ms);
  });
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return false;
  }
  out = std::move(read->data);
  from = read->from;
  return true;
}

bool read_whole_file(const std::wstring& path, Bytes& out) {
  uint64_t from = 0;
  return read_file_tail(path, UINT64_MAX, out, from);
}

bool write_flushed_file(const std::wstring& path, const Bytes& bytes, bool* created) {
  if (created) *created = false;
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  if (created) *created = true;
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t want = bytes.size() - done;
    const DWORD chunk = want > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want);
    DWORD wrote = 0;
    if (!WriteFile(file.get(), bytes.data() + done, chunk, &wrote, nullptr)) {
      const DWORD error = GetLastError();
      file.reset();
      return remove_and_fail(path, error);
    }
    done += wrote;
  }
  // A failed flush means the bytes may never reach the disk: the file does not count.
  if (!FlushFileBuffers(file.get())) {
    const DWORD error = GetLastError();
    file.reset();
    return remove_and_fail(path, error);
  }
  file.reset();
  return true;
}

bool write_file_atomic(const std::wstring& path, const Bytes& bytes) {
  const std::wstring temp = path + L".tmp";
  if (!write_flushed_file(temp, bytes)) return false;
  if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  return remove_and_fail(temp, GetLastError());
}

}  // namespace guardian
