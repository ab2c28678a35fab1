// What the Windows files of the platform layer share among themselves.
#ifndef QUILLFEN_PLATFORM_WIN32_H_
#define QUILLFEN_PLATFORM_WIN32_H_

#include <windows.h>

#include "platform/platform.h"

// Room for a directory's path and a name in it, in UTF-16 units.
const int WIDE_CAPACITY = 4096 + OUTPUT_NAME_CAPACITY;

// A directory is its absolute wide path, with the prefix that lifts the
// MAX_PATH limit, and no separator at its end.
struct Directory {
  wchar_t path[WIDE_CAPACITY];
  FileIdentity identity;
};

struct WidePath {
  wchar_t text[WIDE_CAPACITY];
};

// The wide path of `name` in `directory`; false when it does not fit.
bool path_in(const Directory* directory, const char* name, WidePath* out);

// CreateFileW on `name` in `directory`, sharing the file with other programs
// unless it is new.
HANDLE create_in(const Directory* directory, const char* name, DWORD access, DWORD disposition,
                 DWORD flags);

// A directory of the absolute wide path `path`; nullptr, with *reason.
Directory* directory_at(const wchar_t* path, int* reason);

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& info);

#endif  // QUILLFEN_PLATFORM_WIN32_H_
