#include "realpath.h"

#include <stdio.h>
#include <string.h>

#include "platform/pathrules.h"
#include "platform/winapi.h"
#include "printWinAPIError.h"

namespace {

const char kFinalPathPrefix[] = "\\\\?\\";

int validModes(char caseMode, char slashMode) {
  return (caseMode == 0 || caseMode == 'a' || caseMode == 'A') &&
         (slashMode == 0 || slashMode == '/');
}

int isAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

wchar_t asciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c + 32 : c; }

wchar_t convertChar(wchar_t c, char caseMode, char slashMode, int* mark) {
  *mark = MARK_NONE;
  if (caseMode == 'a' && c >= L'A' && c <= L'Z') {
    *mark = MARK_LOWER;
    return c + 32;
  }
  if (caseMode == 'A' && c >= L'a' && c <= L'z') {
    *mark = MARK_UPPER;
    return c - 32;
  }
  if (slashMode == '/' && c == L'\\') {
    *mark = MARK_SLASH;
    return L'/';
  }
  return c;
}

// The final path comes as ANSI text; a byte that does not decode stands for
// itself so that the comparison still sees every character. Returns its
// length in wide characters, or -2 when it has MAX_PATH or more.
int32_t decodeFinalPath(const char* text, wchar_t* wide) {
  int count = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, MAX_PATH);
  if (count > 0) return count - 1;
  int32_t length = (int32_t)strlen(text);
  if (length >= MAX_PATH) return -2;
  for (int32_t i = 0; i <= length; i++) wide[i] = (unsigned char)text[i];
  return length;
}

// Reads the final path of `path` without its prefix into `delivered`.
// Returns its length, or -2 / -3 for the results 2 and 3. The narrow buffer
// has room for any path of MAX_PATH characters in a multi-byte code page,
// so that a name with non-ASCII letters is not refused at fewer characters
// than any other.
int32_t readFinalPath(const wchar_t* path, wchar_t* delivered) {
  HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -3;
  char finalPath[PATH_TEXT_CAPACITY];
  DWORD length = GetFinalPathNameByHandleA(file, finalPath, PATH_TEXT_CAPACITY, 0);
  CloseHandle(file);
  if (length == 0 || length >= PATH_TEXT_CAPACITY) return -2;
  const char* text = finalPath;
  if (strncmp(text, kFinalPathPrefix, 4) == 0) text += 4;
  return decodeFinalPath(text, delivered);
}

int32_t copyConverted(const wchar_t* delivered, int32_t length, wchar_t* buf, int32_t cap,
                      char caseMode, char slashMode) {
  if (cap < 1) return 2;
  int32_t i = 0;
  for (; i < length && i < cap - 1; i++) {
    int mark;
    buf[i] = convertChar(delivered[i], caseMode, slashMode, &mark);
  }
  buf[i] = 0;
  return length < cap ? 0 : 2;
}

int32_t compareConverted(const wchar_t* delivered, int32_t length, const wchar_t* given,
                         int32_t cap, char caseMode, char slashMode) {
  int ignoreCase = pathNamesIgnoreCase();
  for (int32_t i = 0; i < length && i < cap; i++) {
    if (given[i] == 0) return 1;
    int mark;
    wchar_t converted = convertChar(delivered[i], caseMode, slashMode, &mark);
    if (!finalCharMatches(delivered[i], converted, mark, given[i], ignoreCase)) return 1;
  }
  if (length >= cap) return 2;
  return given[length] == 0 ? 0 : 1;
}

struct RealpathModes {
  char caseMode;
  char slashMode;
};

void applyRealpathOption(char letter, void* state) {
  RealpathModes* modes = (RealpathModes*)state;
  if (letter == '/') {
    modes->slashMode = '/';
  } else {
    modes->caseMode = letter;
  }
}

const char kRealpathUsage[] =
    "realpath PATH [-a|A] [-/] [{ -[--<*?>|{a|A|/}] }]\n"
    " Version: 2026-11-12\n"
    " outputs the PATH with resolved symbolic link\n"
    " PATH can be written with slash or backslash, with or without slash/backslash on end\n"
    "  -a convert output path to to lower case\n"
    "  -A convert output path to to upper case\n"
    "  -/ output with slash\n"
    "  --- is a commented option\n"
    " [{ -[--<*?>|{a|A|/}] }]  Option Syntax in corvane-QGRM writing style means:\n"
    " [{ -[      ...     ] }]  There can be any numbers of arguments starting with a - and the "
    "given possible content inside\n"
    "     [--<*?>|{ ... }]     Either --- following by any number of chars is admissible\n"
    "             {a|A|/}      or after - any number of one of the given characters inside "
    "repetition is admissible\n"
    " hence for example it can be written ---A -a/ to comment the first option and set to lower "
    "with slash conversion\n"
    " ... {a<?toLower>|A<?toUpper>|/<?toSlash>} ...  QGRM can also explain the semantic: \n";

}  // namespace

// Two characters match when equal, when they are one ASCII letter in both
// cases (only where names ignore case), or when a given backslash meets a
// slash that the conversion made. Codes 32 apart match nothing else: a space
// is no '@' and '1' no 'Q'.
int finalCharMatches(wchar_t delivered, wchar_t converted, int mark, wchar_t given,
                     int ignoreCase) {
  if (given == L'\\' && mark == MARK_SLASH) return 1;
  if (!ignoreCase) return given == (mark == MARK_SLASH ? converted : delivered);
  if (given == converted) return 1;
  return isAsciiLetter(given) && isAsciiLetter(converted) &&
         asciiLower(given) == asciiLower(converted);
}

int32_t readCmpLink(const wchar_t* path, wchar_t* buf, int32_t cap, int32_t compare, char caseMode,
                    char slashMode) {
  if (!validModes(caseMode, slashMode)) return 6;
  wchar_t delivered[MAX_PATH];
  int32_t length = readFinalPath(path, delivered);
  if (length < 0) return -length;
  if (compare) return compareConverted(delivered, length, buf, cap, caseMode, slashMode);
  return copyConverted(delivered, length, buf, cap, caseMode, slashMode);
}

int scanOptionArgs(int argc, const char* const argv[], int first, const char* letters,
                   void (*apply)(char letter, void* state), void* state) {
  for (int i = first; i < argc; i++) {
    const char* arg = argv[i];
    if (arg[0] == 0 || strncmp(arg, "---", 3) == 0) continue;
    if (arg[0] != '-') {
      fprintf(stderr, "ERROR-faulty-argument:%s", arg);
      return 8;
    }
    for (const char* c = arg + 1; *c; c++) {
      if (!strchr(letters, *c)) {
        fprintf(stderr, "ERROR unknown option %c in argument:%s", *c, arg);
        return 8;
      }
      apply(*c, state);
    }
  }
  return 0;
}

int realpath_cmd(int argc, const char* const argv[]) {
  if (argc <= 1 || argv[1][0] == 0) {
    fputs(kRealpathUsage, stdout);
    return 0;
  }
  wchar_t path[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, path, MAX_PATH) == 0) {
    fprintf(stderr, "ERROR-invalid-link path-length\n");
    return 6;
  }
  RealpathModes modes = {0, 0};
  int status = scanOptionArgs(argc, argv, 2, "aA/", applyRealpathOption, &modes);
  if (status) return status;
  wchar_t output[MAX_PATH] = {0};
  readCmpLink(path, output, MAX_PATH, 0, modes.caseMode, modes.slashMode);
  char text[PATH_TEXT_CAPACITY];
  printf("%s", pathBytes(output, text));
  return 0;
}
