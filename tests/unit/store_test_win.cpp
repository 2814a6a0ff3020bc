#include <gtest/gtest.h>

#include "base/library.hpp"
#include "base/log.hpp"
#include "runtime/config.hpp"
#include "store/file_io.hpp"
#include "store/protected_store.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using test::ScratchDir;

const std::string kFp = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A scratch storage directory whose log lines land in a file the test can read.
struct StoreFixture : ::testing::Test {
  ScratchDir dir;
  ProtectedStore store{dir.path(), kFp};
  test::LogCapture log;
  std::string log_text() { return log.text(); }
};

TEST(ProtectedStorePath, JoinsLikeEveryOtherPath) {
  EXPECT_EQ(ProtectedStore(L"C:\\d", kFp).path_of(L"channel.bin"), L"C:\\d\\channel.bin");
  EXPECT_EQ(ProtectedStore(L"C:\\d\\", kFp).path_of(L"channel.bin"), L"C:\\d\\channel.bin");
  EXPECT_EQ(ProtectedStore(L"", kFp).path_of(L"channel.bin"), L"channel.bin");
}

TEST_F(StoreFixture, BytesAndJsonRoundTripWithoutPlaintextOnDisk) {
  const Bytes secret = bytes_of("very secret plaintext marker");
  ASSERT_TRUE(store.write(L"a.bin", secret));
  Bytes back;
  ASSERT_TRUE(store.read(L"a.bin", back));
  EXPECT_EQ(back, secret);
  EXPECT_EQ(test::slurp(dir.file(L"a.bin")).find("plaintext marker"), std::string::npos);

  const nlohmann::json doc = {{"name", "caf\xC3\xA9"}, {"list", {1, 2.5, nullptr}}, {"nested", {{"k", true}}}};
  ASSERT_TRUE(store.write_json(L"doc.json", doc));
  nlohmann::json read_back;
  ASSERT_TRUE(store.read_json(L"doc.json", read_back));
  EXPECT_EQ(read_back, doc);
  const std::string raw = test::slurp(dir.file(L"doc.json"));
  EXPECT_EQ(raw.find("nested"), std::string::npos);
  EXPECT_EQ(raw.find("caf"), std::string::npos);

  EXPECT_EQ(log_text(), "");
}

TEST_F(StoreFixture, EmptyPlaintextRoundTrips) {
  if (test::running_under_wine()) GTEST_SKIP() << "Wine's CryptProtectData refuses empty data (error 13)";
  ASSERT_TRUE(store.write(L"empty.bin", {})) << log_text();
  Bytes none{1};
  ASSERT_TRUE(store.read(L"empty.bin", none));
  EXPECT_TRUE(none.empty());
}

TEST_F(StoreFixture, AnotherFingerprintCannotOpenTheFile) {
  ASSERT_TRUE(store.write(L"a.bin", bytes_of("x")));
  std::string other = kFp;
  other.back() = 'e';
  Bytes out{7};
  EXPECT_FALSE(ProtectedStore(dir.path(), other).read(L"a.bin", out));
  EXPECT_EQ(out, Bytes{7});  // untouched on failure
  EXPECT_NE(log_text().find("] WARN  DPAPI unprotect failed for a.bin (fingerprint changed or file damaged)\r\n"),
            std::string::npos);
}

TEST_F(StoreFixture, EmptyOrDamagedFileWarnsMissingFileIsSilent) {
  Bytes out;
  EXPECT_FALSE(store.read(L"missing.bin", out));
  EXPECT_EQ(log_text(), "");

  test::spit(dir.file(L"zero.bin"), "");
  EXPECT_FALSE(store.read(L"zero.bin", out));
  EXPECT_NE(log_text().find("WARN  DPAPI unprotect failed for zero.bin (fingerprint changed or file damaged)"),
            std::string::npos);

  ASSERT_TRUE(store.write(L"damaged.bin", bytes_of("payload")));
  std::string blob = test::slurp(dir.file(L"damaged.bin"));
  test::spit(dir.file(L"damaged.bin"), blob.substr(0, blob.size() / 2));  // cut short
  EXPECT_FALSE(store.read(L"damaged.bin", out));
  EXPECT_NE(log_text().find("DPAPI unprotect failed for damaged.bin"), std::string::npos);
}

TEST_F(StoreFixture, ReadJsonLeavesTheTypeToTheCaller) {
  ASSERT_TRUE(store.write(L"array.json", bytes_of("[1,2,3]")));
  nlohmann::json out = "before";
  EXPECT_TRUE(store.read_json(L"array.json", out));
  EXPECT_EQ(out, nlohmann::json::array({1, 2, 3}));

  ASSERT_TRUE(store.write(L"text.json", bytes_of("{not json")));
  EXPECT_FALSE(store.read_json(L"text.json", out));
  EXPECT_TRUE(out.is_null());

  out = "kept";
  EXPECT_FALSE(store.read_json(L"missing.json", out));
  EXPECT_EQ(out, "kept");
}

TEST_F(StoreFixture, NoTemporaryFileRemainsAfterSuccessOrFailure) {
  ASSERT_TRUE(store.write(L"state.bin", bytes_of("one")));
  EXPECT_FALSE(test::file_exists(dir.file(L"state.bin.tmp")));

  // The final name held open without delete sharing: the rename fails, the old file stays.
  HANDLE held = CreateFileW(dir.file(L"state.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(store.write(L"state.bin", bytes_of("two")));
  CloseHandle(held);
  EXPECT_FALSE(test::file_exists(dir.file(L"state.bin.tmp")));
  Bytes out;
  ASSERT_TRUE(store.read(L"state.bin", out));
  EXPECT_EQ(out, bytes_of("one"));
  EXPECT_NE(log_text().find("ERROR write failed for state.bin: "), std::string::npos);

  // A directory where the file should go: the rename fails, no temporary file is left.
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"blocked.bin").c_str(), nullptr));
  EXPECT_FALSE(store.write(L"blocked.bin", bytes_of("x")));
  EXPECT_FALSE(test::file_exists(dir.file(L"blocked.bin.tmp")));

  // The temporary name itself held without sharing: nothing can be created, nothing changes.
  HANDLE temp = CreateFileW(dir.file(L"state.bin.tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(temp, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(store.write(L"state.bin", bytes_of("three")));
  CloseHandle(temp);
  ASSERT_TRUE(store.read(L"state.bin", out));
  EXPECT_EQ(out, bytes_of("one"));
}

TEST(FileIo, ReadWholeFile) {
  ScratchDir dir;
  Bytes out{1, 2};
  EXPECT_FALSE(read_whole_file(dir.file(L"none"), out));
  EXPECT_EQ(out, (Bytes{1, 2}));
  test::spit(dir.file(L"empty"), "");
  ASSERT_TRUE(read_whole_file(dir.file(L"empty"), out));
  EXPECT_TRUE(out.empty());
  const std::string big(3 * 1024 * 1024 + 7, 'q');
  test::spit(dir.file(L"big"), big);
  ASSERT_TRUE(read_whole_file(dir.file(L"big"), out));
  EXPECT_EQ(std::string(out.begin(), out.end()), big);
  EXPECT_FALSE(read_whole_file(dir.path(), out));  // a directory is not a file
  uint64_t from = 0;
  ASSERT_TRUE(read_file_tail(dir.file(L"big"), 5, out, from));
  EXPECT_EQ(from, big.size() - 5);
  // A pipe whose server never writes (a name an attacker points the path at) is refused, at once.
  const std::wstring pipe = L"\\\\.\\pipe\\guardian-test-" + to_utf16(random_hex(4));
  const UniqueFile server(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 64, 64, 0, nullptr));
  ASSERT_TRUE(server);
  EXPECT_FALSE(read_whole_file(pipe, out));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_ACCESS_FILE));
}

// Libraries loaded on first use come from the calling module's folder or System32, by name
// and by nothing else: not from the current directory, not from the program's folder for a
// system library. A copy planted in the current directory is never taken.
TEST(Libraries, ComeOnlyFromTheCallingModulesFolderOrSystem32) {
  ScratchDir planted;
  const std::wstring shipped = L"libgpg-error-0.dll";  // beside this program, as for the agent
  ASSERT_TRUE(CopyFileW(path_join(module_dir(), shipped).c_str(), planted.file(L"planted.dll").c_str(), FALSE));
  wchar_t before[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, before);
  ASSERT_TRUE(SetCurrentDirectoryW(planted.path().c_str()));
  static const int inside = 0;
  std::string error;
  const HMODULE from_beside = load_library_beside(&inside, shipped.c_str(), error);
  EXPECT_TRUE(from_beside) << error;
  EXPECT_FALSE(load_library_beside(&inside, L"planted.dll", error));
  EXPECT_EQ(error, "LoadLibraryEx " + to_utf8(path_join(module_dir(), L"planted.dll")) + ": " +
                       win_error_text(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(load_system_library(L"planted.dll", error));
  SetCurrentDirectoryW(before);
  EXPECT_EQ(error, "LoadLibraryEx planted.dll: " + win_error_text(ERROR_MOD_NOT_FOUND));
  EXPECT_TRUE(load_system_library(L"winhttp.dll", error)) << error;
  void (*missing)() = nullptr;
  EXPECT_FALSE(resolve(from_beside, "no_such_function", missing, error));
  EXPECT_EQ(error, "GetProcAddress no_such_function: " + win_error_text(ERROR_PROC_NOT_FOUND));
}

}  // namespace
}  // namespace guardian
