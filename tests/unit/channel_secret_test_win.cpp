#include <gtest/gtest.h>

#include "channel/auth.hpp"
#include "runtime/log.hpp"
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
  EXPECT_NE(log_text().find("INFO  channel.bin created\r\n"), std::string::npos);
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

TEST_F(ChannelSecretFixture, UncreatableFileFailsAtOnce) {
  const ProtectedStore nowhere(dir.file(L"no\\such\\dir"), kFp);
  EXPECT_TRUE(load_or_create_channel_secret(nowhere).empty());
  EXPECT_NE(log_text().find("ERROR channel.bin create failed: "), std::string::npos);
  EXPECT_EQ(log_text().find("unreadable"), std::string::npos);
}

}  // namespace
}  // namespace guardian
