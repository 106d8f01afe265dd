#include "platform/utf8.h"

#include <string.h>

static int sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Returns the code point of the sequence at `s` (of `n` bytes available), or
// -1 when it is not a valid, shortest-form sequence.
static long decodeOne(const unsigned char* s, int n, int* used) {
  int len = sequenceLength(s[0]);
  if (len == 0 || len > n) return -1;
  long cp = len == 1 ? s[0] : s[0] & (0x7F >> len);
  for (int i = 1; i < len; i++) {
    if ((s[i] & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  static const long minimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *used = len;
  return cp;
}

int utf8ToWide(const char* text, int length, wchar_t* wide, int capacity, bool keepInvalidBytes) {
  const unsigned char* s = (const unsigned char*)text;
  int n = length < 0 ? (int)strlen(text) + 1 : length;
  int out = 0;
  for (int i = 0; i < n;) {
    int used = 1;
    long cp = decodeOne(s + i, n - i, &used);
    if (cp < 0) {
      if (!keepInvalidBytes) return 0;
      cp = 0xDC00 + s[i];
      used = 1;
    }
    if (sizeof(wchar_t) == 2 && cp > 0xFFFF) {
      if (out + 1 >= capacity) return 0;
      wide[out++] = (wchar_t)(0xD800 + ((cp - 0x10000) >> 10));
      cp = 0xDC00 + ((cp - 0x10000) & 0x3FF);
    }
    if (out >= capacity) return 0;
    wide[out++] = (wchar_t)cp;
    i += used;
  }
  return out;
}

static int encodeOne(unsigned long cp, char* out) {
  if (cp >= 0xDC80 && cp <= 0xDCFF) {
    out[0] = (char)(cp - 0xDC00);
    return 1;
  }
  if (cp < 0x80) {
    out[0] = (char)cp;
    return 1;
  }
  if (cp < 0x800) {
    out[0] = (char)(0xC0 | (cp >> 6));
    out[1] = (char)(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = (char)(0xE0 | (cp >> 12));
    out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[2] = (char)(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = (char)(0xF0 | (cp >> 18));
  out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
  out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
  out[3] = (char)(0x80 | (cp & 0x3F));
  return 4;
}

// Appends one character, leaving room for the terminator.
static bool appendEncoded(unsigned long cp, char* text, size_t* out, size_t capacity) {
  char bytes[4];
  int len = encodeOne(cp, bytes);
  if (*out + len + 1 > capacity) return false;
  memcpy(text + *out, bytes, len);
  *out += len;
  return true;
}

static int terminate(char* text, size_t length, size_t capacity) {
  if (capacity == 0) return -1;
  text[length] = 0;
  return (int)length;
}

int wideToUtf8(const wchar_t* wide, char* text, size_t capacity) {
  size_t out = 0;
  for (const wchar_t* w = wide; *w; w++) {
    unsigned long cp = (unsigned long)*w;
    // A surrogate pair of 2-byte wide text is one character; a lone half is
    // kept as it is.
    if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF && w[1] >= 0xDC00 && w[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + ((unsigned long)*++w - 0xDC00);
    }
    if (!appendEncoded(cp, text, &out, capacity)) return -1;
  }
  return terminate(text, out, capacity);
}

const wchar_t kNameBackslash = 0xF05C;

int nativeToWide(const char* text, wchar_t* wide, int capacity) {
  const unsigned char* s = (const unsigned char*)text;
  int n = (int)strlen(text) + 1;
  int out = 0;
  for (int i = 0; i < n;) {
    int used = 1;
    long cp = decodeOne(s + i, n - i, &used);
    if (cp < 0 || cp == kNameBackslash) {
      cp = 0xDC00 + s[i];
      used = 1;
    } else if (cp == '\\') {
      cp = kNameBackslash;
    }
    if (out >= capacity) return 0;
    wide[out++] = (wchar_t)cp;
    i += used;
  }
  return out;
}

int wideToNative(const wchar_t* wide, char* text, size_t capacity) {
  size_t out = 0;
  for (const wchar_t* w = wide; *w; w++) {
    wchar_t c = *w == L'\\' ? L'/' : *w == kNameBackslash ? L'\\' : *w;
    if (!appendEncoded((unsigned long)c, text, &out, capacity)) return -1;
  }
  return terminate(text, out, capacity);
}

int nativeChar(wchar_t c, char* out) {
  return encodeOne((unsigned long)(c == kNameBackslash ? L'\\' : c), out);
}
