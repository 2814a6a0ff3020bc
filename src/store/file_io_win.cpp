#include <windows.h>

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

bool read_whole_file(const std::wstring& path, Bytes& out) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) return false;
  if (size.QuadPart < 0 || size.QuadPart > 0x80000000LL) return false;
  Bytes data(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < data.size()) {
    const size_t want = data.size() - done;
    const DWORD chunk = want > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want);
    DWORD got = 0;
    if (!ReadFile(file.get(), data.data() + done, chunk, &got, nullptr) || got == 0) return false;
    done += got;
  }
  out = std::move(data);
  return true;
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
