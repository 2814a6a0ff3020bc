#pragma once
// Helpers shared by the unit tests: test data, scratch folders, whole-file access, the log.
// The portable tests also build natively (no Windows header there); the helpers that only
// the Windows tests need sit in the _WIN32 part.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "base/log.hpp"
#include "scratch_dir.hpp"
#include "store/crypto.hpp"

namespace guardian::test {

inline std::string testdata_path(const std::string& relative) { return std::string(GUARDIAN_TESTDATA) + "/" + relative; }

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string slurp(const std::wstring& path) {
  std::ifstream in(native_path(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline nlohmann::json testdata_json(const std::string& relative) {
  return nlohmann::json::parse(slurp(testdata_path(relative)));
}

inline void spit(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(native_path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// How often needle occurs in text.
inline size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The process id as the system reports it.
inline uint32_t system_process_id() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<uint32_t>(getpid());
#endif
}

// Sends the process's log lines to a scratch file for the life of the object.
class LogCapture {
 public:
  LogCapture() { configure_log(path_, false); }
  ~LogCapture() { configure_log(L"", false); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string text() const { return slurp(path_); }

 private:
  ScratchDir dir_;
  std::wstring path_ = dir_.file(L"test.log");
};

#ifdef _WIN32
// True under Wine, for the few checks where Wine is known to differ from Windows.
inline bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline unsigned long long file_size(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) return 0;
  return (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}
#endif

}  // namespace guardian::test
