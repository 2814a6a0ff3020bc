#pragma once
// Scratch folders for the tests and the benchmarks: made fresh, removed with their contents.
// Paths are wide strings, as the system's own paths are; natively they hold plain ASCII.
#ifdef _WIN32
#include <windows.h>

#include "base/text.hpp"
#include "base/unique.hpp"
#else
#include <filesystem>
#endif

#include <string>

#include "store/crypto.hpp"

namespace guardian::test {

#ifdef _WIN32
// A path as the file streams take it.
inline const wchar_t* native_path(const std::wstring& path) { return path.c_str(); }

// Removes a folder and everything in it; best effort.
inline void remove_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  UniqueFind find(FindFirstFileW((dir + L"\\*").c_str(), &entry));
  if (find) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(path);
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find.get(), &entry));
  }
  find.reset();
  RemoveDirectoryW(dir.c_str());
}

// A fresh empty folder under the temporary directory, removed with its files afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    path_ = std::wstring(base) + L"guardian-test-" + to_utf16(random_hex(8));
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchDir() { remove_tree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};
#else
inline std::string native_path(const std::wstring& path) { return std::filesystem::path(path).string(); }

class ScratchDir {
 public:
  ScratchDir() {
    const std::string random = random_hex(8);
    path_ = (std::filesystem::temp_directory_path() / ("guardian-test-" + random)).wstring();
    std::filesystem::create_directory(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring file(const std::wstring& name) const { return path_ + L"/" + name; }

 private:
  std::wstring path_;
};
#endif

}  // namespace guardian::test
