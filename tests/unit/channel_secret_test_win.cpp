#include <gtest/gtest.h>

#include "channel/auth.hpp"
#include "base/log.hpp"
#include "store/protected_store.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using test::ScratchDir;

const std::string kFp = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

// Channel secret in one process; the cross-process cases are black-box tests.
struct ChannelSecretFixture : ::testing::Test {
  ScratchDir dir;
  ProtectedStore store{dir.path(), kFp};
  test::LogCapture log;
  std::string log_text() { return log.text(); }
};

TEST_F(ChannelSecretFixture, CreatedOnceThenReadBackSilently) {
  const Bytes first = load_or_create_channel_secret(store);
  ASSERT_EQ(first.size(), 32u);
  EXPECT_NE(log_text().find("INFO  channel.bin created: a new channel secret, in "), std::string::npos);
  const std::string blob = test::slurp(dir.file(L"channel.bin"));

  const std::string before = log_text();
  EXPECT_EQ(load_or_create_channel_secret(store), first);
  EXPECT_EQ(log_text(), before);  // nothing logged
  EXPECT_EQ(test::slurp(dir.file(L"channel.bin")), blob);  // file untouched
  Bytes plain;
  ASSERT_TRUE(store.read(L"channel.bin", plain));
  EXPECT_EQ(plain, first);
}

TEST_F(ChannelSecretFixture, EmptyFileGivesThreeSlowAttemptsAndStays) {
  test::spit(dir.file(L"channel.bin"), "");
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_TRUE(load_or_create_channel_secret(store).empty());
  const ULONGLONG elapsed = GetTickCount64() - t0;
  EXPECT_GE(elapsed, 700u);  // three waits of 50 + 200 ms
  const std::string log = log_text();
  EXPECT_EQ(test::count_of(log, "DPAPI unprotect failed for channel.bin"), 3u);
  EXPECT_NE(log.find("ERROR channel.bin unreadable\r\n"), std::string::npos);
  EXPECT_TRUE(test::file_exists(dir.file(L"channel.bin")));
  EXPECT_EQ(test::file_size(dir.file(L"channel.bin")), 0u);
}

TEST_F(ChannelSecretFixture, SecretsOfAnotherLengthAreUnreadable) {
  for (size_t size : {31u, 33u}) {
    ASSERT_TRUE(store.write(L"channel.bin", Bytes(size, 0x42)));
    EXPECT_TRUE(load_or_create_channel_secret(store).empty()) << size;
    Bytes plain;
    ASSERT_TRUE(store.read(L"channel.bin", plain));
    EXPECT_EQ(plain.size(), size);  // never overwritten
  }
  EXPECT_NE(log_text().find("ERROR channel.bin unreadable"), std::string::npos);
}

TEST_F(ChannelSecretFixture, StaleTemporaryFilesOfOursAreRemovedOthersKept) {
  const std::wstring own = L"channel.bin." + std::to_wstring(GetCurrentProcessId()) + L"-1.tmp";
  const std::wstring dead = L"channel.bin.4294967292-1.tmp";  // no such process
  const std::wstring kept[] = {own, L"channel.bin.tmp", L"channel.bin.x-1.tmp", L"channel.bin.4294967292.tmp",
                               L"other.4294967292-1.tmp"};
  test::spit(dir.file(dead), "half");
  for (const std::wstring& name : kept) test::spit(dir.file(name), "x");
  ASSERT_EQ(load_or_create_channel_secret(store).size(), 32u);
  EXPECT_FALSE(test::file_exists(dir.file(dead)));
  for (const std::wstring& name : kept) EXPECT_TRUE(test::file_exists(dir.file(name))) << to_utf8(name);
  // Only channel.bin and the files above: the writer left no temporary file of its own.
  WIN32_FIND_DATAW entry;
  UniqueFind find(FindFirstFileW(dir.file(L"*").c_str(), &entry));
  int files = 0;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
  } while (FindNextFileW(find.get(), &entry));
  EXPECT_EQ(files, 1 + static_cast<int>(std::size(kept)));
}

TEST_F(ChannelSecretFixture, ProbeTellsTheThreeStatesQuietly) {
  EXPECT_EQ(probe_channel_file(store), ChannelFileState::missing);
  ASSERT_EQ(load_or_create_channel_secret(store).size(), 32u);
  EXPECT_EQ(probe_channel_file(store), ChannelFileState::opens);
  std::string other_fp = kFp;
  other_fp[63] = '1';
  EXPECT_EQ(probe_channel_file(ProtectedStore(dir.path(), other_fp)), ChannelFileState::does_not_open);
  ASSERT_TRUE(store.write(L"channel.bin", Bytes(31, 1)));
  EXPECT_EQ(probe_channel_file(store), ChannelFileState::does_not_open);
  test::spit(dir.file(L"channel.bin"), "");
  EXPECT_EQ(probe_channel_file(store), ChannelFileState::does_not_open);
  EXPECT_EQ(log_text().find("WARN"), std::string::npos);
}

TEST_F(ChannelSecretFixture, UncreatableFileFailsAtOnce) {
  const ProtectedStore nowhere(dir.file(L"no\\such\\dir"), kFp);
  EXPECT_TRUE(load_or_create_channel_secret(nowhere).empty());
  EXPECT_NE(log_text().find("ERROR channel.bin create failed: "), std::string::npos);
  EXPECT_EQ(log_text().find("unreadable"), std::string::npos);
}

}  // namespace
}  // namespace guardian
