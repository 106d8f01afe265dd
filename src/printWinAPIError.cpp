#include "printWinAPIError.h"

#include <stdio.h>

namespace {

struct Message {
  int32_t code;
  const char* format;
};

const Message kMessages[] = {
    {2, "%s, File not found: %ls\n"},
    {3, "%s, Path not found: %ls\n"},
    {31, "%s, Device does not work: %ls\n"},
    {32, "%s, File/Dir is shared by another process: %ls\n"},
    {33, "%s, File/Dir is locked by another process: %ls\n"},
    {54, "%s, File is not accessible in network: %ls\n"},
    {55, "%s, Device not found: %ls\n"},
    {58, "%s, Not response in network: %ls\n"},
    {59, "%s, Unexpected network error: %ls\n"},
    {65, "%s, Network access denied: %ls\n"},
    {145, "%s, Dir not empty: %ls\n"},
    {206, "%s, File name is too long, truncated even here: %ls\n"},
    {267, "%s, Not a directory: %ls\n"},
};

}  // namespace

void printWinAPIError(int32_t errorCode, const wchar_t* path, const char* context) {
  if (errorCode == 0) return;
  for (const Message& message : kMessages) {
    if (message.code == errorCode) {
      fprintf(stderr, message.format, context, path);
      return;
    }
  }
  fprintf(stderr,
          "%s, Windows error: %d: %ls. See "
          "https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n",
          context, (int)errorCode, path);
}
