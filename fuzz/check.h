// What a fuzz target asserts: a failed check aborts, and libFuzzer keeps the
// input that led there.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : fuzzCheckFailed(#condition, __FILE__, __LINE__))

[[noreturn]] inline void fuzzCheckFailed(const char* condition, const char* file, int line) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  abort();
}
