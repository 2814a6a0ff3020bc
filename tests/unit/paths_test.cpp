#include <gtest/gtest.h>

#include "app/diagnose.hpp"
#include "runtime/config.hpp"
#include "base/paths.hpp"

namespace guardian {
namespace {

TEST(PathJoin, SeparatorRules) {
  EXPECT_EQ(path_join(L"", L"guardian.log"), L"guardian.log");
  EXPECT_EQ(path_join(L"C:\\data", L"guardian.log"), L"C:\\data\\guardian.log");
  EXPECT_EQ(path_join(L"C:\\data\\", L"guardian.log"), L"C:\\data\\guardian.log");
  EXPECT_EQ(path_join(L"C:/data/", L"guardian.log"), L"C:/data/guardian.log");
  // The name is never inspected.
  EXPECT_EQ(path_join(L"C:\\data", L"\\x"), L"C:\\data\\\\x");
}

TEST(DirOf, CutsAtTheLastSeparator) {
  EXPECT_EQ(dir_of(L"C:\\Program Files\\Ostrival\\ostrival_guardian.exe"), L"C:\\Program Files\\Ostrival");
  EXPECT_EQ(dir_of(L"ostrival_guardian.exe"), L".");
  EXPECT_EQ(dir_of(L""), L".");
  EXPECT_EQ(dir_of(L"C:/a/b\\c/d.exe"), L"C:/a/b\\c");
  EXPECT_EQ(dir_of(L"\\x.exe"), L"");
  EXPECT_EQ(dir_of(L"C:\\dir\\"), L"C:\\dir");
}

TEST(FoldersAbove, NearestFirstDownToTheVolumeRoot) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(folders_above(L"C:\\Program Files\\Ostrival\\Guardian"),
            (V{L"C:\\Program Files\\Ostrival", L"C:\\Program Files"}));
  EXPECT_EQ(folders_above(L"C:\\Guardian"), V{});
  EXPECT_EQ(folders_above(L"\\\\server\\share\\apps\\g"), V{L"\\\\server\\share\\apps"});
  EXPECT_EQ(folders_above(L"\\\\server\\share\\g"), V{});
  EXPECT_EQ(folders_above(L"\\\\?\\C:\\a\\b"), V{L"\\\\?\\C:\\a"});
  EXPECT_EQ(folders_above(L"\\\\?\\UNC\\server\\share\\a\\b"), V{L"\\\\?\\UNC\\server\\share\\a"});
  // The root is judged on its own, for fewer rights.
  EXPECT_EQ(volume_root_of(L"C:\\Guardian"), L"C:\\");
  EXPECT_EQ(volume_root_of(L"\\\\server\\share\\g"), L"\\\\server\\share\\");
}

TEST(PlainPathForm, DropsTheLongPathPrefixOnly) {
  EXPECT_EQ(plain_path_form(L"\\\\?\\C:\\Program Files\\App"), L"C:\\Program Files\\App");
  EXPECT_EQ(plain_path_form(L"\\\\?\\UNC\\server\\share\\app"), L"\\\\server\\share\\app");
  EXPECT_EQ(plain_path_form(L"\\\\?\\unc\\server\\share"), L"\\\\server\\share");
  EXPECT_EQ(plain_path_form(L"C:\\App"), L"C:\\App");
  // A volume path has no plainer form: it stays, and then matches no folder given by letter.
  const std::wstring volume = L"\\\\?\\Volume{6c1e1d2a-0000-0000-0000-100000000000}\\App";
  EXPECT_EQ(plain_path_form(volume), volume);
  EXPECT_EQ(plain_path_form(L"\\\\?\\"), L"\\\\?\\");
}

TEST(FullPaths, NoCurrentDirectoryCompletesThem) {
  for (const wchar_t* full : {L"C:\\", L"c:/x", L"\\\\server\\share", L"\\\\server\\share\\x", L"\\\\?\\C:\\x",
                              L"\\\\?\\UNC\\server\\share"})
    EXPECT_TRUE(is_full_path(full)) << full;
  for (const wchar_t* partial : {L"", L"C:", L"C:x", L"\\x", L"x\\y", L"\\\\server", L"\\\\server\\", L"\\\\.\\C:\\x",
                                 L"\\\\?\\C:", L"\\\\?\\UNC\\server"})
    EXPECT_FALSE(is_full_path(partial)) << partial;
  for (const wchar_t* root : {L"C:", L"C:\\", L"\\\\server\\share\\", L"\\\\?\\C:", L"\\\\?\\UNC\\server\\share"})
    EXPECT_TRUE(is_volume_root(root)) << root;
  for (const wchar_t* below : {L"C:\\x86", L"\\\\server\\share\\x86", L"x86", L""})
    EXPECT_FALSE(is_volume_root(below)) << below;
  // A bare drive is opened as its root, never as its current directory.
  EXPECT_EQ(folder_to_open(L"Y:"), L"Y:\\");
  EXPECT_EQ(folder_to_open(L"\\\\?\\Y:"), L"\\\\?\\Y:\\");
  EXPECT_EQ(folder_to_open(L"Y:\\x86"), L"Y:\\x86");
  EXPECT_EQ(folder_to_open(L"Y:x"), L"Y:x");
}

TEST(ServiceProgram, QuotedOrTheWholeText) {
  EXPECT_EQ(service_program(L"\"C:\\Program Files\\O\\g.exe\""), L"C:\\Program Files\\O\\g.exe");
  EXPECT_EQ(service_program(L"\"C:\\O\\g.exe\" --flag"), L"C:\\O\\g.exe");
  EXPECT_EQ(service_program(L"C:\\Program Files\\O\\g.exe"), L"C:\\Program Files\\O\\g.exe");
  EXPECT_EQ(service_program(L"\"C:\\unclosed"), L"C:\\unclosed");
  EXPECT_EQ(service_program(L""), L"");
}

TEST(ParseLeadingInt, ReadsLikeWtoi) {
  EXPECT_EQ(parse_leading_int(L"15"), 15);
  EXPECT_EQ(parse_leading_int(L"  \t42abc"), 42);
  EXPECT_EQ(parse_leading_int(L"-5"), -5);
  EXPECT_EQ(parse_leading_int(L"+7"), 7);
  EXPECT_EQ(parse_leading_int(L"abc"), 0);
  EXPECT_EQ(parse_leading_int(L""), 0);
  EXPECT_EQ(parse_leading_int(L"- 5"), 0);
  EXPECT_EQ(parse_leading_int(L"99999999999"), 2147483647);
  EXPECT_EQ(parse_leading_int(L"-99999999999"), -2147483647 - 1);
}

TEST(ParseLeadingInt64, SignedLeadingDecimal) {
  EXPECT_EQ(parse_leading_int64("512110190592"), 512110190592LL);
  EXPECT_EQ(parse_leading_int64(" -2147483648"), -2147483648LL);
  EXPECT_EQ(parse_leading_int64("12 GB"), 12);
  EXPECT_EQ(parse_leading_int64("x1"), 0);
  EXPECT_EQ(parse_leading_int64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_leading_int64("9223372036854775807"), INT64_MAX);
}

}  // namespace
}  // namespace guardian
