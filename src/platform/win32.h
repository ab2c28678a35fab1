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

#endif  // QUILLFEN_PLATFORM_WIN32_H_
