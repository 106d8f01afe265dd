#include "realpath.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/winapi-fake.h"
#include "test.h"

using fakefs::Op;

namespace {

class ReadCmpLinkTest : public testing::Test {
 protected:
  void SetUp() override {
    fakefs::reset();
    fakefs::addDir(L"C:\\Data");
    fakefs::addDir(L"C:\\Data\\Sub");
    fakefs::addDir(L"D:\\Cache");
    fakefs::addDir(L"D:\\Cache\\out");
    fakefs::addJunction(L"D:\\link", L"C:\\Data\\Sub");
  }
  static int32_t copy(const wchar_t* path, std::wstring* out, char caseMode = 0, char slashMode = 0,
                      int32_t cap = 260) {
    wchar_t buf[260];
    std::fill(buf, buf + 260, L'#');
    buf[259] = 0;
    int32_t result = readCmpLink(path, buf, cap, 0, caseMode, slashMode);
    *out = buf;
    return result;
  }
  static int32_t compare(const wchar_t* path, const std::wstring& given, char caseMode = 'A',
                         char slashMode = '/') {
    return readCmpLink(path, (wchar_t*)given.c_str(), 260, 1, caseMode, slashMode);
  }
};

TEST_F(ReadCmpLinkTest, RefusesUnknownModesWithoutOpening) {
  const char modes[][2] = {{'x', 0}, {'b', 0}, {'Z', 0}, {0, '\\'}, {0, 'a'}};
  for (const auto& mode : modes) {
    std::wstring out;
    EXPECT_EQ(6, copy(L"C:\\Data", &out, mode[0], mode[1]));
    EXPECT_EQ(std::wstring(259, L'#'), out);
  }
  EXPECT_TRUE(fakefs::log().empty());
}

TEST_F(ReadCmpLinkTest, CopiesTheFinalPathConverted) {
  struct Case {
    const wchar_t* path;
    char caseMode, slashMode;
    std::wstring out;
  } cases[] = {
      {L"C:\\Data\\Sub", 0, 0, L"C:\\Data\\Sub"},   {L"c:/data/sub/", 0, 0, L"C:\\Data\\Sub"},
      {L"C:\\Data\\Sub", 'a', '/', L"c:/data/sub"}, {L"C:\\Data\\Sub", 'A', 0, L"C:\\DATA\\SUB"},
      {L"D:\\link", 0, 0, L"C:\\Data\\Sub"},
  };
  for (const Case& c : cases) {
    std::wstring out;
    EXPECT_EQ(0, copy(c.path, &out, c.caseMode, c.slashMode)) << c.path;
    EXPECT_EQ(c.out, out);
  }
  EXPECT_EQ(0, fakefs::openHandles());
}

TEST_F(ReadCmpLinkTest, ShareKeepsItsUncForm) {
  fakefs::addDir(L"\\\\server\\share\\dir");
  std::wstring out;
  EXPECT_EQ(0, copy(L"\\\\server\\share\\dir", &out));
  EXPECT_EQ(L"UNC\\server\\share\\dir", out);
  EXPECT_EQ(1, compare(L"\\\\server\\share\\dir", L"D:\\server\\share\\dir"));
}

TEST_F(ReadCmpLinkTest, CapacityCutsTheCopy) {
  fakefs::addDir(L"D:\\ab");
  std::wstring out;
  EXPECT_EQ(0, copy(L"D:\\ab", &out, 0, 0, 6));
  EXPECT_EQ(L"D:\\ab", out);
  EXPECT_EQ(2, copy(L"D:\\ab", &out, 0, 0, 5));
  EXPECT_EQ(L"D:\\a", out);
}

TEST_F(ReadCmpLinkTest, UnreadableFinalPathLeavesTheBufferAlone) {
  std::wstring deep = L"D:\\Cache";
  while (deep.size() < 259) {
    deep += L"\\" + std::wstring(std::min<size_t>(60, 258 - deep.size()), L'x');
    fakefs::addDir(deep);
  }
  std::wstring out;
  EXPECT_EQ(0, copy(deep.c_str(), &out)) << "the longest path there can be";
  EXPECT_EQ(deep, out);
  fakefs::addDir(deep + L"\\y");
  EXPECT_EQ(2, copy((deep + L"\\y").c_str(), &out));
  EXPECT_EQ(std::wstring(259, L'#'), out) << "left as it was";

  EXPECT_EQ(3, copy(L"D:\\missing", &out));
  EXPECT_EQ(std::wstring(259, L'#'), out);
  fakefs::addJunction(L"D:\\dangling", L"D:\\gone");
  EXPECT_EQ(3, compare(L"D:\\dangling", L"D:\\GONE"));

  fakefs::failCall(Op::GetFinalPathNameByHandleA, 0, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(2, copy(L"C:\\Data", &out));
  EXPECT_EQ(0, fakefs::openHandles());
  EXPECT_EQ(L"CloseHandle", fakefs::log().back());
}

TEST_F(ReadCmpLinkTest, ComparesWithoutCaseAndSeparatorDifferences) {
  struct Case {
    std::wstring given;
    int32_t result;
  } cases[] = {
      {L"D:\\cache\\OUT", 0},   {L"D:/CACHE/OUT", 0},   {L"D:\\Cache\\out", 0},
      {L"D:\\Cache\\out\\", 1}, {L"D:\\Cache", 1},      {L"D:\\Cache\\ou", 1},
      {L"D:\\Cache\\ouT", 0},   {L"D:\\Cache\\o1t", 1}, {L"D:\\Cache|out", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, compare(L"D:\\Cache\\out", c.given)) << c.given;
  fakefs::addDir(L"D:\\my dir");
  EXPECT_EQ(1, compare(L"D:\\my dir", L"D:\\my"));
  EXPECT_EQ(1, compare(L"D:\\my dir", L"D:\\my@dir"));
}

// Codes 32 apart are no match unless they are one letter in two cases.
TEST(FinalCharMatches, SingleCharacters) {
  struct Case {
    char caseMode, slashMode;
    wchar_t delivered, given;
    int ignoreCase;
    int match;
  } cases[] = {
      {'A', '/', L'c', L'c', 1, 1},
      {'A', '/', L'c', L'C', 1, 1},
      {'A', '/', L'C', L'c', 1, 1},
      {'A', '/', L'\\', L'\\', 1, 1},
      {'A', '/', L'\\', L'/', 1, 1},
      {'A', '/', L'\\', L'O', 1, 0},
      {'A', '/', L'\\', L'|', 1, 0},
      {'A', '/', L'x', L'\\', 1, 0},
      {'A', '/', L'q', L'1', 1, 0},
      {'A', '/', L'Q', L'1', 1, 0},
      {0, 0, L'c', L'C', 1, 1},
      {0, 0, L'\\', L'/', 1, 0},
      {0, 0, L'\\', L'|', 1, 0},
      {0, 0, L'@', L'`', 1, 0},
      {0, 0, L'`', L'@', 1, 0},
      {0, 0, L'!', L'A', 1, 0},
      {0, 0, L'.', L'N', 1, 0},
      {0, 0, L' ', L'@', 1, 0},
      {'a', 0, L'C', L'C', 1, 1},
      {'a', 0, L'C', L'c', 1, 1},
      // Where names keep their case, only the slash conversion is forgiven.
      {'A', '/', L'v', L'V', 0, 0},
      {'A', '/', L'v', L'v', 0, 1},
      {'A', '/', L'\\', L'\\', 0, 1},
      {'A', '/', L'/', L'/', 0, 1},
      {0, 0, L'c', L'C', 0, 0},
  };
  for (const Case& c : cases) {
    wchar_t converted = c.delivered;
    int mark = MARK_NONE;
    if (c.caseMode == 'A' && c.delivered >= L'a' && c.delivered <= L'z') {
      converted = c.delivered - 32;
      mark = MARK_UPPER;
    } else if (c.caseMode == 'a' && c.delivered >= L'A' && c.delivered <= L'Z') {
      converted = c.delivered + 32;
      mark = MARK_LOWER;
    } else if (c.slashMode == '/' && c.delivered == L'\\') {
      converted = L'/';
      mark = MARK_SLASH;
    }
    EXPECT_EQ(c.match, finalCharMatches(c.delivered, converted, mark, c.given, c.ignoreCase))
        << (char)c.delivered << " vs " << (char)c.given << " ignoreCase " << c.ignoreCase;
  }
}

class RealpathCmdTest : public ReadCmpLinkTest {
 protected:
  CommandResult run(const std::vector<std::string>& args) { return runCommand(realpath_cmd, args); }
};

TEST_F(RealpathCmdTest, UsageWithoutAPath) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {""}, {"", "-x"}}) {
    CommandResult result = run(args);
    EXPECT_EQ(0, result.code);
    EXPECT_EQ(0u, result.out.find("realpath PATH [-a|A] [-/] [{ -[--<*?>|{a|A|/}] }]\n Version: "
                                  "2026-11-12\n outputs the PATH with resolved symbolic link\n"));
    EXPECT_NE(std::string::npos,
              result.out.find("\n ... {a<?toLower>|A<?toUpper>|/<?toSlash>} ...  QGRM can also "
                              "explain the semantic: \n"));
    EXPECT_EQ("", result.err);
  }
}

TEST_F(RealpathCmdTest, PrintsTheFinalPathAsOptionsSay) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out, err;
  } cases[] = {
      {{"C:\\Data\\Sub", "-a/"}, 0, "c:/data/sub", ""},
      {{"D:\\link", "-aA"}, 0, "C:\\DATA\\SUB", ""},
      {{"D:\\link", "-A", "-a"}, 0, "c:\\data\\sub", ""},
      {{"c:/data/sub/", "---A", "-a/", "-", ""}, 0, "c:/data/sub", ""},
      {{"-a"}, 0, "", ""},
      {{"C:\\Data", "--"}, 8, "", "ERROR unknown option - in argument:--"},
      {{"C:\\Data", "-x"}, 8, "", "ERROR unknown option x in argument:-x"},
      {{"C:\\Data", "a"}, 8, "", "ERROR-faulty-argument:a"},
      {{std::string(260, 'p'), "a"}, 6, "", "ERROR-invalid-link path-length\n"},
  };
  for (const Case& c : cases) {
    CommandResult result = run(c.args);
    EXPECT_EQ(c.code, result.code) << c.args[0];
    EXPECT_EQ(c.out, result.out);
    EXPECT_EQ(c.err, result.err);
  }
}

}  // namespace
