#include "printWinAPIError.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string report(int32_t code, const wchar_t* path, const char* context) {
  testing::internal::CaptureStderr();
  printWinAPIError(code, path, context);
  fflush(stderr);
  return testing::internal::GetCapturedStderr();
}

const std::string kSee =
    ". See https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n";

}  // namespace

TEST(PrintWinAPIError, OneLinePerCode) {
  struct Case {
    int32_t code;
    std::string line;
  } cases[] = {
      {0, ""},
      {3, "ERROR create link directory, Path not found: D:\\work\\link\n"},
      {2, "ERROR create link directory, File not found: D:\\work\\link\n"},
      {32, "ERROR create link directory, File/Dir is shared by another process: D:\\work\\link\n"},
      {145, "ERROR create link directory, Dir not empty: D:\\work\\link\n"},
      {206,
       "ERROR create link directory, File name is too long, truncated even here: "
       "D:\\work\\link\n"},
      {267, "ERROR create link directory, Not a directory: D:\\work\\link\n"},
      {5, "ERROR create link directory, Windows error: 5: D:\\work\\link" + kSee},
      {15, "ERROR create link directory, Windows error: 15: D:\\work\\link" + kSee},
      {8347, "ERROR create link directory, Windows error: 8347: D:\\work\\link" + kSee},
      {-7, "ERROR create link directory, Windows error: -7: D:\\work\\link" + kSee},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, report(c.code, L"D:\\work\\link", "ERROR create link directory")) << c.code;
  }
}

TEST(PrintWinAPIError, EmptyPathEndsTheLineAfterTheColon) {
  EXPECT_EQ("ERROR set Junction, Dir not empty: \n", report(145, L"", "ERROR set Junction"));
}

TEST(PrintWinAPIError, ControlCharactersInAPathKeepTheMessageOneLine) {
  EXPECT_EQ("ERROR x, Dir not empty: out\\x0Aevil\\x09\\x1B\n",
            report(145, L"out\nevil\t\x1b", "ERROR x"));
}
