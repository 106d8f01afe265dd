#include "printWinAPIError.h"

#include <stdio.h>

#include "platform/winapi.h"

namespace {

struct Message {
  int32_t code;
  const char* format;
};

const Message kMessages[] = {
    {2, "%s, File not found: %s\n"},
    {3, "%s, Path not found: %s\n"},
    {31, "%s, Device does not work: %s\n"},
    {32, "%s, File/Dir is shared by another process: %s\n"},
    {33, "%s, File/Dir is locked by another process: %s\n"},
    {54, "%s, File is not accessible in network: %s\n"},
    {55, "%s, Device not found: %s\n"},
    {58, "%s, Not response in network: %s\n"},
    {59, "%s, Unexpected network error: %s\n"},
    {65, "%s, Network access denied: %s\n"},
    {145, "%s, Dir not empty: %s\n"},
    {206, "%s, File name is too long, truncated even here: %s\n"},
    {267, "%s, Not a directory: %s\n"},
};

}  // namespace

const char* pathBytes(const wchar_t* path, char* text) {
  if (WideCharToMultiByte(CP_ACP, 0, path, -1, text, PATH_TEXT_CAPACITY, nullptr, nullptr) > 0) {
    return text;
  }
  size_t length = 0;
  for (; path[length] && length < PATH_TEXT_CAPACITY - 1; length++) {
    text[length] = path[length] < 128 ? (char)path[length] : '?';
  }
  text[length] = 0;
  return text;
}

// No name on Windows holds a control character; one from elsewhere is shown
// as \xHH, so that a message stays one line.
const char* pathText(const wchar_t* path, char* text) {
  char bytes[PATH_TEXT_CAPACITY];
  pathBytes(path, bytes);
  size_t out = 0;
  for (const char* c = bytes; *c && out + 5 <= PATH_TEXT_CAPACITY; c++) {
    if ((unsigned char)*c < 0x20) {
      snprintf(text + out, 5, "\\x%02X", (unsigned)*c);
      out += 4;
    } else {
      text[out++] = *c;
    }
  }
  text[out] = 0;
  return text;
}

void printWinAPIError(int32_t errorCode, const wchar_t* path, const char* context) {
  if (errorCode == 0) return;
  char text[PATH_TEXT_CAPACITY];
  for (const Message& message : kMessages) {
    if (message.code == errorCode) {
      fprintf(stderr, message.format, context, pathText(path, text));
      return;
    }
  }
  fprintf(stderr,
          "%s, Windows error: %d: %s. See "
          "https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n",
          context, (int)errorCode, pathText(path, text));
}
