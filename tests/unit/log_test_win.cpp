#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "base/log.hpp"
#include "base/log_format.hpp"
#include "runtime/storage_guard.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using test::ScratchDir;

// The length of a line that log_line writes for message m at level INFO on this thread.
size_t info_line_size(const std::string& m) {
  return format_log_line({2026, 1, 1, 0, 0, 0, 0}, GetCurrentThreadId(), "INFO", m).size();
}

TEST(LogFile, ExactlyAtTheLimitDoesNotRotateOneMoreByteDoes) {
  ScratchDir dir;
  const std::wstring path = dir.file(L"guardian.log");
  configure_log(path, false);

  const std::string message = "boundary line";
  const size_t line = info_line_size(message);
  test::spit(path, std::string(kLogRotateBytes - line, 'a'));
  log_line("INFO", message);
  EXPECT_EQ(test::file_size(path), kLogRotateBytes);
  EXPECT_FALSE(test::file_exists(path + L".1"));

  // The file is full now: the next line goes first into a new file, the old one moves to ".1".
  log_line("INFO", message);
  EXPECT_EQ(test::file_size(path + L".1"), kLogRotateBytes);
  EXPECT_EQ(test::file_size(path), line);
  EXPECT_NE(test::slurp(path).find("INFO  boundary line\r\n"), std::string::npos);
  configure_log(L"", false);
}

TEST(LogFile, RotationReplacesAnExistingOlderGeneration) {
  ScratchDir dir;
  const std::wstring path = dir.file(L"guardian.log");
  configure_log(path, false);
  test::spit(path + L".1", "old generation");
  test::spit(path, std::string(kLogRotateBytes, 'b'));
  log_line("WARN", "after rotation");
  EXPECT_EQ(test::file_size(path + L".1"), kLogRotateBytes);
  const std::string current = test::slurp(path);
  EXPECT_EQ(current.size(), format_log_line({}, GetCurrentThreadId(), "WARN", "after rotation").size());
  EXPECT_NE(current.find("] WARN  after rotation\r\n"), std::string::npos);
  configure_log(L"", false);
}

TEST(LogFile, NothingIsWrittenBeforeConfigurationAndFailuresAreSilent) {
  ScratchDir dir;
  const std::wstring path = dir.file(L"guardian.log");
  log_line("INFO", "dropped");  // not configured: goes nowhere
  EXPECT_FALSE(test::file_exists(path));

  // A log file held open without write sharing: the line is lost, nothing breaks.
  configure_log(path, false);
  HANDLE locked = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  log_line("INFO", "lost");
  CloseHandle(locked);
  EXPECT_EQ(test::file_size(path), 0u);
  log_line("INFO", "kept");
  EXPECT_NE(test::slurp(path).find("INFO  kept\r\n"), std::string::npos);

  // The file may be removed while the agent runs: the next line creates it again.
  DeleteFileW(path.c_str());
  log_line("INFO", "again");
  EXPECT_NE(test::slurp(path).find("again"), std::string::npos);
  configure_log(L"", false);
}

// A viewer that holds the log open without delete sharing stops the rename; the file is then
// copied to ".1" and emptied in place. When even that cannot be done (".1" is held too), lines
// go on only up to the overflow bound, and the first line after the holders let go rotates.
TEST(LogFile, RotationThatCannotRenameStillKeepsTheBound) {
  ScratchDir dir;
  const std::wstring path = dir.file(L"guardian.log");
  configure_log(path, false);
  test::spit(path, std::string(kLogRotateBytes, 'a'));
  {
    const UniqueFile viewer(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(viewer);
    log_line("INFO", "after a copied rotation");
  }
  EXPECT_EQ(test::file_size(path + L".1"), kLogRotateBytes);
  EXPECT_EQ(test::file_size(path), info_line_size("after a copied rotation"));

  test::spit(path, std::string(kLogRotateBytes, 'b'));
  const std::string message(1000, 'm');
  {
    const UniqueFile viewer(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    const UniqueFile older(CreateFileW((path + L".1").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(viewer && older);
    for (int i = 0; i < 1000; ++i) log_line("INFO", message);  // about 1 MB, twice the overflow bound
    EXPECT_LE(test::file_size(path), kLogRotateBytes + kLogOverflowBytes);
    EXPECT_GT(test::file_size(path), kLogRotateBytes + kLogOverflowBytes - info_line_size(message));
  }
  log_line("INFO", "rotated at last");
  EXPECT_EQ(test::file_size(path), info_line_size("rotated at last"));
  EXPECT_GT(test::file_size(path + L".1"), kLogRotateBytes);

  // A holder that shares neither write nor delete: lines are lost while it holds the log,
  // but the older generation is left as it was.
  test::spit(path + L".1", "older generation");
  test::spit(path, std::string(kLogRotateBytes + kLogOverflowBytes, 'c'));
  {
    const UniqueFile holder(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    log_line("INFO", "while held");
  }
  EXPECT_EQ(test::slurp(path + L".1"), "older generation");
  configure_log(L"", false);
}

// Another program that takes the log's lock and keeps it costs one wait of a second; later
// lines do not wait, and every line is still written.
TEST(LogFile, AHeldLockNeverStallsLogging) {
  ScratchDir dir;
  const std::wstring path = dir.file(L"guardian.log");
  HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    const UniqueHandle lock(CreateMutexW(nullptr, TRUE, log_file_lock_name(path).c_str()));
    SetEvent(taken);
    WaitForSingleObject(release, INFINITE);
    ReleaseMutex(lock.get());
  });
  WaitForSingleObject(taken, INFINITE);
  configure_log(path, false);
  const ULONGLONG t0 = GetTickCount64();
  for (int i = 0; i < 5; ++i) log_line("INFO", "while held " + std::to_string(i));
  const ULONGLONG held_ms = GetTickCount64() - t0;
  SetEvent(release);
  holder.join();
  log_line("INFO", "after");
  configure_log(L"", false);
  CloseHandle(taken);
  CloseHandle(release);
  EXPECT_LT(held_ms, 3500u);  // one bounded wait, not one per line
  const std::string text = test::slurp(path);
  EXPECT_EQ(test::count_of(text, "INFO  while held "), 5u);
  EXPECT_EQ(test::count_of(text, "INFO  after\r\n"), 1u);
}

// A lock that the service left (waiting and releasing for LocalSystem and the Administrators
// only) is taken by an administrator's writer too: it asks for no more than a writer needs.
TEST(LogFile, AnAdministratorTakesTheLockTheServiceMade) {
  ScratchDir dir;
  const std::wstring path = dir.file(L"guardian.log");
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:(A;;0x120001;;;SY)(A;;0x120001;;;BA)", 1,
                                                                   &sd, nullptr));
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  const UniqueHandle service_lock(CreateMutexExW(&sa, log_file_lock_name(path).c_str(), CREATE_MUTEX_INITIAL_OWNER,
                                                 SYNCHRONIZE | MUTEX_MODIFY_STATE));
  LocalFree(sd);
  if (!service_lock && GetLastError() == ERROR_INVALID_OWNER) GTEST_SKIP() << "only LocalSystem may own such a lock";
  ASSERT_TRUE(service_lock);
  configure_log(path, false);
  std::thread writer([] { log_line("INFO", "waited"); });
  Sleep(300);
  EXPECT_FALSE(test::file_exists(path));  // the writer waits for the lock
  ReleaseMutex(service_lock.get());
  writer.join();
  configure_log(L"", false);
  EXPECT_NE(test::slurp(path).find("INFO  waited\r\n"), std::string::npos);
}

// The list of its own that the log gets in the default storage folder: on the files this
// process creates, on both generations whether rotation renames or copies, and on a log an
// older version left.
TEST(LogFile, BothGenerationsKeepTheirOwnAccessList) {
  ScratchDir dir;
  const std::wstring path = dir.file(L"guardian.log");
  auto own_list = [](const std::wstring& file) {  // no one but SYSTEM, the Administrators, the owner
    ObjectProtection p;
    return read_path_protection(file, p) && std::all_of(p.aces.begin(), p.aces.end(), [&](const StorageAce& a) {
             return !a.allow || a.sid == kLocalSystemSid || a.sid == kAdministratorsSid || a.sid == p.owner_sid;
           });
  };
  test::spit(path, "left by an older version");
  EXPECT_EQ(secure_log_files(path), "");
  EXPECT_TRUE(own_list(path) || test::running_under_wine());  // Wine keeps no list given to a file
  DeleteFileW(path.c_str());
  configure_log(path, false, kLogFileSddl);
  log_line("INFO", "first");
  {
    const UniqueFile viewer(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    log_line("INFO", std::string(kLogRotateBytes, 'c'));  // rotated by copying
  }
  EXPECT_NE(test::slurp(path + L".1").find("INFO  first\r\n"), std::string::npos);
  EXPECT_TRUE(own_list(path + L".1"));
  log_line("INFO", "after the copy");  // rotated by renaming
  configure_log(L"", false);
  EXPECT_NE(test::slurp(path).find("INFO  after the copy"), std::string::npos);
  EXPECT_TRUE(own_list(path));
  EXPECT_TRUE(own_list(path + L".1"));
}

TEST(LogFile, ManyThreadsNeverTearALine) {
  ScratchDir dir;
  const std::wstring path = dir.file(L"guardian.log");
  configure_log(path, false);
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        log_line("INFO", "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(100, 'z'));
    });
  }
  for (auto& th : threads) th.join();
  configure_log(L"", false);

  const std::string text = test::slurp(path);
  const std::regex shape(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] INFO  thread (\d) line (\d+) z{100}$)");
  std::set<std::string> seen;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    EXPECT_TRUE(seen.insert(m[1].str() + ":" + m[2].str()).second);
    start = end + 2;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace guardian
