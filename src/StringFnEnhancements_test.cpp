#include "StringFnEnhancements.h"

#include <gtest/gtest.h>

#include <string>

TEST(WcsnCopy, CopiesTheChosenPartAndAlwaysTerminates) {
  const std::wstring ten = L"0123456789";
  struct Case {
    const wchar_t* src;
    uint64_t cap;
    int32_t nChars;
    std::wstring copied;
  } cases[] = {
      {ten.c_str(), 20, -1, ten},  {ten.c_str(), 20, -2, L"012345678"},
      {ten.c_str(), 20, -11, L""}, {ten.c_str(), 20, -100, L""},
      {ten.c_str(), 20, 0, L""},   {ten.c_str(), 20, 3, L"012"},
      {ten.c_str(), 20, 50, ten},  {ten.c_str(), 6, 50, L"01234"},
      {ten.c_str(), 1, -1, L""},   {nullptr, 20, 5, L""},
      {L"", 20, -1, L""},
  };
  for (const Case& c : cases) {
    wchar_t dest[32];
    std::fill(dest, dest + 32, L'#');
    int32_t n = wcsnCopy(dest, c.cap, c.src, c.nChars);
    EXPECT_EQ(c.copied, std::wstring(dest)) << c.nChars << " cap " << c.cap;
    EXPECT_EQ((int32_t)c.copied.size(), n);
    EXPECT_EQ(L'#', dest[c.copied.size() + 1]) << "wrote past the terminator";
  }
}

TEST(WcsnCopy, CutsALongPathToTheCapacity) {
  std::wstring src(300, L'p');
  wchar_t dest[261];
  dest[260] = L'#';
  EXPECT_EQ(259, wcsnCopy(dest, 260, src.c_str(), -1));
  EXPECT_EQ(std::wstring(259, L'p'), std::wstring(dest));
  EXPECT_EQ(L'#', dest[260]);
}

TEST(WcsnCopy, NoRoomMeansNoWrite) {
  wchar_t dest[2] = {L'#', L'#'};
  EXPECT_EQ(0, wcsnCopy(dest, 0, L"abc", -1));
  EXPECT_EQ(L'#', dest[0]);
  EXPECT_EQ(0, wcsnCopy(nullptr, 10, L"abc", -1));
}
