// Win32 platform layer: directory search through FindFirstFileA and friends,
// the console through the standard output handle, file identity through
// GetFileInformationByHandle.
#include <direct.h>
#include <windows.h>

#include <cstdio>
#include <new>

#include "platform/platform.h"

struct DirSearch {
  HANDLE handle;
};

namespace {

// The longest current directory the runtime query may deliver, terminator
// included.
const int CWD_LIMIT = MAX_PATH;

// The buffer size of an output stream.
const size_t OUTPUT_BUFFER_SIZE = 131072;

void fill_entry(const WIN32_FIND_DATAA& found, DirEntry* entry) {
  int n = 0;
  while (n < ENTRY_NAME_CAPACITY && found.cFileName[n] != '\0') {
    entry->name[n] = found.cFileName[n];
    n++;
  }
  entry->name[n] = '\0';
  entry->attributes = found.dwFileAttributes;
  entry->size_low = found.nFileSizeLow;
}

// The standard output handle when it is a console, else nullptr.  A redirected
// stream (file, pipe) fails GetConsoleMode.
HANDLE console_output() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE)
    return nullptr;
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode))
    return nullptr;
  return out;
}

bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  bool ok = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return ok;
}

}  // namespace

DirSearch* dir_search_first(const char* pattern, DirEntry* entry) {
  if (pattern == nullptr || pattern[0] == '\0')
    return nullptr;
  WIN32_FIND_DATAA found;
  HANDLE handle = FindFirstFileA(pattern, &found);
  if (handle == INVALID_HANDLE_VALUE)
    return nullptr;
  DirSearch* search = new (std::nothrow) DirSearch;
  if (search == nullptr) {
    FindClose(handle);
    return nullptr;
  }
  search->handle = handle;
  fill_entry(found, entry);
  return search;
}

bool dir_search_next(DirSearch* search, DirEntry* entry) {
  if (search == nullptr)
    return false;
  WIN32_FIND_DATAA found;
  if (!FindNextFileA(search->handle, &found))
    return false;
  fill_entry(found, entry);
  return true;
}

void dir_search_close(DirSearch* search) {
  if (search == nullptr)
    return;
  FindClose(search->handle);
  delete search;
}

bool current_directory(char* buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0)
    return false;
  int limit = capacity < CWD_LIMIT ? capacity : CWD_LIMIT;
  if (_getcwd(buffer, limit) == nullptr) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

char native_separator() {
  return '\\';
}

FILE* open_file(const char* path, const char* mode) {
  FILE* file = fopen(path, mode);
  // Output goes out in large blocks; the runtime allocates the buffer and
  // frees it when the stream is closed.
  if (file != nullptr && (mode[0] == 'w' || mode[0] == 'a'))
    setvbuf(file, nullptr, _IOFBF, OUTPUT_BUFFER_SIZE);
  return file;
}

namespace {

// The absolute form of a path, separators made backslashes; false when it
// cannot be formed.
bool full_path(const char* path, char* out, DWORD capacity) {
  DWORD length = GetFullPathNameA(path, capacity, out, nullptr);
  if (length == 0 || length >= capacity)
    return false;
  for (char* p = out; *p != '\0'; p++)
    if (*p == '/')
      *p = '\\';
  return true;
}

}  // namespace

bool same_file(const char* first, const char* second) {
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  if (file_identity(first, &a) && file_identity(second, &b)) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  }
  // Where a file is still to be created, the two names meet when their full
  // paths do; Windows names ignore case.
  char a_path[4 * MAX_PATH];
  char b_path[4 * MAX_PATH];
  if (!full_path(first, a_path, sizeof a_path) || !full_path(second, b_path, sizeof b_path))
    return false;
  return lstrcmpiA(a_path, b_path) == 0;
}

bool remove_file(const char* path) {
  return remove(path) == 0;
}

void console_set_attribute(uint16_t attribute) {
  HANDLE out = console_output();
  if (out == nullptr)
    return;
  // Text printed so far keeps the colour it was printed in.
  fflush(stdout);
  SetConsoleTextAttribute(out, attribute);
}

void console_clear_screen() {
  HANDLE out = console_output();
  if (out == nullptr)
    return;
  fflush(stdout);
  COORD home = {0, 0};
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(out, &info)) {
    int32_t cells = static_cast<int32_t>(info.dwSize.X) * static_cast<int32_t>(info.dwSize.Y);
    if (cells > 0) {
      DWORD written = 0;
      FillConsoleOutputCharacterA(out, ' ', static_cast<DWORD>(cells), home, &written);
      if (GetConsoleScreenBufferInfo(out, &info)) {
        FillConsoleOutputAttribute(out, info.wAttributes, static_cast<DWORD>(cells), home,
                                   &written);
      }
    }
  }
  SetConsoleCursorPosition(out, home);
}

int exit_status_for(long count) {
  return static_cast<int>(count);
}
