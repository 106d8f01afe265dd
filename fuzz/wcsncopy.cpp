// wcsnCopy against a plain model, into a heap buffer exactly as long as the
// capacity given, so that ASan sees any write past it.
#include <string.h>

#include <memory>

#include "StringFnEnhancements.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint8_t flags = data[0];
  uint64_t cap = (data[1] | data[2] << 8) % 600;
  int32_t nChars = (int8_t)data[3];
  size_t used = 4;
  if ((flags & 4) && size >= 8) {  // any count, not only small ones
    memcpy(&nChars, data + 4, 4);
    used = 8;
  }
  // Zero bytes end the source early; high bytes become characters beyond Latin-1.
  size_t srcSize = size - used;
  std::unique_ptr<wchar_t[]> src(new wchar_t[srcSize + 1]);
  for (size_t i = 0; i < srcSize; i++) {
    uint8_t b = data[used + i];
    src[i] = b < 0x80 ? b : 0x100 + b;
  }
  src[srcSize] = 0;
  const wchar_t* source = (flags & 2) ? nullptr : src.get();
  std::unique_ptr<wchar_t[]> dest(new wchar_t[cap]);
  for (uint64_t i = 0; i < cap; i++) dest[i] = L'#';
  wchar_t* target = (flags & 1) ? nullptr : dest.get();

  int32_t copied = wcsnCopy(target, cap, source, nChars);

  if (!target || cap == 0) {
    FUZZ_CHECK(copied == 0);
    for (uint64_t i = 0; i < cap; i++) FUZZ_CHECK(dest[i] == L'#');
    return 0;
  }
  int64_t length = source ? (int64_t)wcslen(source) : 0;
  int64_t n = nChars < 0 ? length + nChars + 1 : nChars;
  if (n < 0) n = 0;
  if (n > length) n = length;
  if (n > (int64_t)cap - 1) n = (int64_t)cap - 1;
  FUZZ_CHECK(copied == n);
  for (int64_t i = 0; i < n; i++) FUZZ_CHECK(dest[i] == source[i]);
  FUZZ_CHECK(dest[n] == 0);
  for (uint64_t i = n + 1; i < cap; i++) FUZZ_CHECK(dest[i] == L'#');
  return 0;
}
