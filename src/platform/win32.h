// What the Windows files of the platform layer share among themselves.
#ifndef QUILLFEN_PLATFORM_WIN32_H_
#define QUILLFEN_PLATFORM_WIN32_H_

#include <windows.h>

#include "platform/platform.h"

// A path for the wide file services: long ones absolute, with the prefix
// that lifts the MAX_PATH limit.
struct WidePath {
  wchar_t text[OUTPUT_PATH_CAPACITY + 8];
};

bool widen(const char* path, WidePath* out);

// CreateFileW on `path`, sharing the file with other programs unless it is
// new.
HANDLE create_file(const char* path, DWORD access, DWORD disposition, DWORD flags);

#endif  // QUILLFEN_PLATFORM_WIN32_H_
