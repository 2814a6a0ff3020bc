// The text of a Windows error: the system's message, and for WinHTTP's codes winhttp.dll's own
// (or, where its table has none, the program's short text), always with the code after it.
#include <gtest/gtest.h>

#include <windows.h>

#include "base/text.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

TEST(ErrorText, WinHttpCodesHaveTextsAndOthersAreUnchanged) {
  for (const unsigned long code : {12002ul, 12007ul, 12029ul, 12030ul, 12157ul, 12175ul}) {
    const std::string text = win_error_text(code);
    EXPECT_EQ(text, compose_error_text(text.substr(0, text.size() - 13), code)) << code;
    EXPECT_GT(text.size(), 14u) << code;  // words before the code
  }
  // Wine's winhttp.dll has no message table: the program's own text stands in.
  if (test::running_under_wine())
    EXPECT_EQ(win_error_text(12007), "The server name could not be resolved (0x00002EE7)");
  // The system's own codes are read as before; one it has no text for keeps the code only.
  EXPECT_GT(win_error_text(ERROR_ACCESS_DENIED).size(), 14u);
  EXPECT_EQ(win_error_text(0x2000FFFF), " (0x2000FFFF)");
  SetLastError(ERROR_PIPE_BUSY);  // and the caller's last error is kept
  win_error_text(12002);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
}

}  // namespace
}  // namespace guardian
