#pragma once
// Scratch folders for the tests and the benchmarks: made fresh, removed with their contents.
#include <windows.h>

#include <string>

#include "base/text.hpp"
#include "base/unique.hpp"
#include "store/crypto.hpp"

namespace guardian::test {

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

}  // namespace guardian::test
