// The final-path comparison against a plain model: finalCharMatches for
// single characters, and readCmpLink over a directory of the in-memory file
// system in both modes, with buffers exactly as long as the capacity given.
#include <wchar.h>

#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "platform/utf8.h"
#include "platform/winapi-fake.h"
#include "realpath.h"

namespace {

// ASCII, where codes 32 apart must not match unless they are one letter,
// and letters beyond ASCII, which never match in another case.
wchar_t charOf(uint8_t b) {
  static const wchar_t kBeyond[] = {0xE9, 0xC9, 0x130, 0x131, 0x17F, 0x212A, 0xFF21, 0xFF41};
  return b < 0x80 ? b : kBeyond[b % 8];
}

wchar_t asciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? c + 32 : c; }

bool validModes(char caseMode, char slashMode) {
  return (caseMode == 0 || caseMode == 'a' || caseMode == 'A') &&
         (slashMode == 0 || slashMode == '/');
}

wchar_t convert(wchar_t c, char caseMode, char slashMode, int* mark) {
  *mark = MARK_NONE;
  if (caseMode == 'a' && c >= L'A' && c <= L'Z') return *mark = MARK_LOWER, c + 32;
  if (caseMode == 'A' && c >= L'a' && c <= L'z') return *mark = MARK_UPPER, c - 32;
  if (slashMode == '/' && c == L'\\') return *mark = MARK_SLASH, L'/';
  return c;
}

// A given character matches a delivered one when it is the same up to ASCII
// letter case (where names ignore case), or either separator where the
// conversion made a slash.
bool matches(wchar_t delivered, char slashMode, wchar_t given, bool ignoreCase) {
  if (slashMode == '/' && delivered == L'\\') return given == L'\\' || given == L'/';
  return ignoreCase ? asciiLower(given) == asciiLower(delivered) : given == delivered;
}

struct Bytes {
  const uint8_t* data;
  size_t size, next;
  bool empty() const { return next >= size; }
  uint8_t take() { return next < size ? data[next++] : 0; }
};

// Directory names up to a 0xFF byte, a zero byte between two names.
std::vector<std::wstring> takeNames(Bytes& in) {
  std::vector<std::wstring> names(1);
  while (!in.empty()) {
    uint8_t b = in.take();
    if (b == 0xFF) break;
    wchar_t c = charOf(b);
    if (b == 0) {
      names.emplace_back();
    } else if (c >= 32 && !wcschr(L"\\/:*?\"<>|", c)) {
      names.back() += c;
    }
  }
  // Each level is created as the last name of a path, which Win32 strips of
  // trailing dots and spaces.
  std::vector<std::wstring> usable;
  for (std::wstring name : names) {
    name.erase(name.find_last_not_of(L". ") + 1);
    if (!name.empty()) usable.push_back(name);
  }
  return usable;
}

// The given text: the delivered path edited character by character.
std::wstring takeGiven(Bytes& in, const std::wstring& delivered) {
  std::wstring given;
  for (size_t i = 0; i < delivered.size() || !in.empty(); i++) {
    wchar_t c = i < delivered.size() ? delivered[i] : 0;
    switch (in.take() % 8) {
      case 3:
        given += c ^ 32;
        break;
      case 4:
        given += c == L'\\' ? L'/' : c == L'/' ? L'\\' : c;
        break;
      case 5:
        break;
      case 6:
        given += charOf(in.take());
        given += c;
        break;
      case 7:
        given += charOf(in.take());
        break;
      default:
        given += c;
    }
    if (i >= delivered.size() && !given.empty() && given.back() == 0) given.pop_back();
  }
  return given;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in{data, size, 0};
  uint8_t modes = in.take();
  char caseMode = "\0aAx"[modes & 3];
  char slashMode = "\0/\\\0"[(modes >> 2) & 3];
  bool compare = modes & 16;
  int32_t cap = in.take();
  cap |= (in.take() & 1) << 8;

  wchar_t delivered = charOf(in.take()), given = charOf(in.take());
  bool ignoreCase = modes & 32;
  int mark;
  wchar_t converted = convert(delivered, caseMode, slashMode, &mark);
  FUZZ_CHECK(!!finalCharMatches(delivered, converted, mark, given, ignoreCase) ==
             matches(delivered, slashMode, given, ignoreCase));

  fakefs::reset();
  std::wstring path = L"D:";
  for (const std::wstring& name : takeNames(in)) {
    path += L"\\" + name;
    fakefs::addDir(path);
  }
  if (path.size() == 2) path += L"\\";
  std::wstring finalText = path;
  bool missing = modes & 64;
  if (missing) path += path.back() == L'\\' ? L"missing" : L"\\missing";
  std::wstring prefixed = L"\\\\?\\" + finalText;
  std::vector<char> narrow(prefixed.size() * 4 + 1);
  // The final path is read in a buffer for any path of MAX_PATH characters
  // in UTF-8, and refused when it has MAX_PATH characters or more.
  bool tooLong = wideToUtf8(prefixed.c_str(), narrow.data(), narrow.size()) >= 4 * MAX_PATH ||
                 finalText.size() >= MAX_PATH;

  std::wstring text = takeGiven(in, finalText);
  std::unique_ptr<wchar_t[]> buf(new wchar_t[cap]);
  for (int32_t i = 0; i < cap; i++) {
    buf[i] = !compare                    ? L'#'
             : i < (int32_t)text.size()  ? text[i]
             : i == (int32_t)text.size() ? 0
                                         : L'#';
  }
  std::vector<wchar_t> before(buf.get(), buf.get() + cap);

  int32_t result = readCmpLink(path.c_str(), buf.get(), cap, compare, caseMode, slashMode);

  FUZZ_CHECK(fakefs::openHandles() == 0);
  int32_t length = (int32_t)finalText.size();
  bool written = false;
  int32_t expected = !validModes(caseMode, slashMode) ? 6 : missing ? 3 : tooLong ? 2 : -1;
  if (expected == -1 && compare) {
    int32_t givenLength = 0;
    while (givenLength < cap && buf[givenLength]) givenLength++;
    bool agree = givenLength == std::min(length, cap);
    for (int32_t i = 0; agree && i < givenLength; i++)
      agree = matches(finalText[i], slashMode, buf[i], true);
    expected = !agree ? 1 : length < cap ? 0 : 2;
  } else if (expected == -1 && cap < 1) {
    expected = 2;
  } else if (expected == -1) {
    int32_t n = std::min(length, cap - 1);
    for (int32_t i = 0; i < n; i++)
      FUZZ_CHECK(buf[i] == convert(finalText[i], caseMode, slashMode, &mark));
    FUZZ_CHECK(buf[n] == 0);
    written = true;
    for (int32_t i = n + 1; i < cap; i++) FUZZ_CHECK(buf[i] == L'#');
    expected = length < cap ? 0 : 2;
  }
  FUZZ_CHECK(result == expected);
  if (!written) FUZZ_CHECK(std::vector<wchar_t>(buf.get(), buf.get() + cap) == before);
  return 0;
}
