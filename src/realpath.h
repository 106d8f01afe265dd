#pragma once
#include <stdint.h>
#include <wchar.h>

// Resolves `path` to its final form. Copy mode (compare 0) writes it into
// `buf`; compare mode checks it against the path held in `buf`.
// Returns 0 success/equal, 1 differ, 2 no or too long final path,
// 3 cannot open, 6 invalid mode.
int32_t readCmpLink(const wchar_t* path, wchar_t* buf, int32_t cap, int32_t compare, char caseMode,
                    char slashMode);

// One character of a final path after conversion: its code as delivered,
// its converted code, and which conversion changed it.
enum CaseMark { MARK_NONE, MARK_LOWER, MARK_UPPER, MARK_SLASH };
int finalCharMatches(wchar_t delivered, wchar_t converted, int mark, wchar_t given, int ignoreCase);

int realpath_cmd(int argc, const char* const argv[]);

// Reads the option arguments from index `first` on: "---..." and empty
// arguments are skipped, "-xyz" hands each letter to `apply`. Returns 0, or 8
// after printing the message for an argument or letter not in `letters`.
int scanOptionArgs(int argc, const char* const argv[], int first, const char* letters,
                   void (*apply)(char letter, void* state), void* state);
