#pragma once
#include <stdint.h>
#include <wchar.h>

// Writes one English line for a Windows system error code on standard error;
// writes nothing for 0.
void printWinAPIError(int32_t errorCode, const wchar_t* path, const char* context);
