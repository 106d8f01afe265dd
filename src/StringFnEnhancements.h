#pragma once
#include <stdint.h>
#include <wchar.h>

// Copies the first `nChars` characters of `src` (negative: all but the last
// -nChars-1) into `dest`, never past `destCap`, always terminated.
// Returns the number of characters copied.
int32_t wcsnCopy(wchar_t* dest, uint64_t destCap, const wchar_t* src, int32_t nChars);
