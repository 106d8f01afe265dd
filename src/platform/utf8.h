// UTF-8 and wide text for the platforms whose ANSI code page is UTF-8.
#pragma once
#include <stddef.h>

// Decodes `length` bytes (-1: up to and with the terminator) into `wide`.
// Returns the count written, terminator included when it was part of the
// input, or 0 when the text is not valid UTF-8 or does not fit. With
// `keepInvalidBytes`, a byte that is not valid UTF-8 becomes U+DC80 + byte so
// that any file name survives the round trip through wideToUtf8.
int utf8ToWide(const char* text, int length, wchar_t* wide, int capacity, bool keepInvalidBytes);

// Encodes terminated wide text; returns the byte length without terminator,
// or -1 when it does not fit in `capacity` bytes with its terminator.
int wideToUtf8(const wchar_t* wide, char* text, size_t capacity);

// The POSIX layer's two directions between the kernel's bytes and wide text.
// From the kernel (names, link texts, the current directory): a byte that is
// not valid UTF-8 becomes U+DC80 + byte and a backslash U+F05C, so that it is
// never taken for a separator; the bytes of a real U+F05C stay bytes, so
// that the way back gives every name as it was. Returns the count with
// terminator, or 0 when it does not fit.
int nativeToWide(const char* text, wchar_t* wide, int capacity);

// To the kernel: a backslash is a separator and becomes '/', U+F05C is a
// backslash in a name, U+DC80 + byte is that byte. Returns the byte length
// without terminator, or -1 when it does not fit in `capacity` bytes with it.
int wideToNative(const wchar_t* wide, char* text, size_t capacity);

// One character of a name on its way to the kernel, as wideToNative gives it,
// in at most 4 bytes at `out`; returns their count.
int nativeChar(wchar_t c, char* out);
