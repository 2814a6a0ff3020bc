// Test tool: the storage folder check as a service running as LocalSystem makes it, on a folder
// that stands for the default one. Wine shows the prefix's user as every folder's owner, so
// every level's protection counts as trusted here: what is moved aside is a link, or a level
// that another handle could rename.
// Usage: storage_guard_tool DIR HEX,HEX,... [hold:SHARE:PATH]... [recorded:DIR]
// The names' random parts are taken from the list in order. hold:SHARE:PATH opens PATH in place
// with the right to rename it and the share mode SHARE (3: no delete sharing, 7: all) for the
// tool's run; recorded:DIR is the fallback an earlier start used.
// Prints "dir=", "fallback=", "refused=" and one "warning=" line per warning.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "base/unique.hpp"
#include "runtime/storage_guard.hpp"

int main(int argc, char** argv) {
  using namespace guardian;
  if (argc < 3) {
    std::fprintf(stderr, "usage: storage_guard_tool DIR HEX,HEX,... [hold:SHARE:PATH]... [recorded:DIR]\n");
    return 64;
  }
  std::vector<std::string> random;
  for (std::string list = argv[2]; !list.empty();) {
    const size_t comma = list.find(',');
    random.push_back(list.substr(0, comma));
    list = comma == std::string::npos ? "" : list.substr(comma + 1);
  }
  StorageGuardOptions options;
  options.as_system = true;
  options.fall_back = true;
  options.trusted = [](const ObjectProtection&, uint32_t) { return true; };
  size_t next = 0;
  options.random_hex = [&](size_t) { return next < random.size() ? random[next++] : std::string("ffff"); };
  std::vector<UniqueFile> holds;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("recorded:", 0) == 0) options.recorded_fallback = to_utf16(arg.substr(9));
    if (arg.rfind("hold:", 0) != 0) continue;
    holds.emplace_back(CreateFileW(to_utf16(arg.substr(7)).c_str(), DELETE | FILE_LIST_DIRECTORY,
                                   static_cast<DWORD>(arg[5] - '0'), nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!holds.back()) return std::fprintf(stderr, "hold %s: %lu\n", arg.c_str(), GetLastError()), 1;
  }
  const StorageCheck check = secure_storage(to_utf16(argv[1]), options);
  std::printf("dir=%s\nfallback=%s\nrefused=%s\n", to_utf8(check.dir).c_str(), check.fallback.c_str(),
              check.refused.c_str());
  for (const std::string& warning : check.warnings) std::printf("warning=%s\n", warning.c_str());
  return 0;
}
