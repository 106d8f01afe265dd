#include "StringFnEnhancements.h"

#include <string.h>

int32_t wcsnCopy(wchar_t* dest, uint64_t destCap, const wchar_t* src, int32_t nChars) {
  if (destCap == 0 || dest == nullptr) return 0;
  int32_t length = src ? (int32_t)wcslen(src) : 0;
  int32_t n = nChars < 0 ? length + nChars + 1 : nChars;
  if (n > length) n = length;
  if (n > 0 && (uint64_t)n >= destCap) n = (int32_t)(destCap - 1);
  if (n <= 0) {
    n = 0;
  } else {
    memcpy(dest, src, (size_t)n * sizeof(wchar_t));
  }
  dest[n] = 0;
  return n;
}
