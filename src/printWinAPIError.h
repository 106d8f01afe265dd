#pragma once
#include <stdint.h>
#include <wchar.h>

// Writes one English line for a Windows system error code on standard error;
// writes nothing for 0.
void printWinAPIError(int32_t errorCode, const wchar_t* path, const char* context);

// Room for the narrow form of any path of the path capacity.
enum { PATH_TEXT_CAPACITY = 4 * 260 };

// The narrow form of `path`, in the ANSI code page (UTF-8 where the
// platform allows); a character it cannot show becomes '?'. Returns `text`,
// which has PATH_TEXT_CAPACITY bytes.
const char* pathBytes(const wchar_t* path, char* text);

// pathBytes for messages: a control character is shown escaped.
const char* pathText(const wchar_t* path, char* text);
