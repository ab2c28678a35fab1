// Win32 platform layer: directory search through FindFirstFileA and friends,
// the console through the standard output handle, file identity through
// GetFileInformationByHandle.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
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

// A path in the form that the wide file services take; the narrow ones stop
// at MAX_PATH characters.
bool widen(const char* path, wchar_t* out, int capacity) {
  return MultiByteToWideChar(CP_ACP, 0, path, -1, out, capacity) > 0;
}

HANDLE create_file(const char* path, DWORD access, DWORD disposition, DWORD flags) {
  wchar_t wide[OUTPUT_PATH_CAPACITY];
  if (!widen(path, wide, OUTPUT_PATH_CAPACITY))
    return INVALID_HANDLE_VALUE;
  DWORD share = access == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
  return CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
}

bool handle_information(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = create_file(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
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
  if (handle_information(first, &a) && handle_information(second, &b)) {
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

int longest_path() {
  return MAX_PATH - 1;
}

uint32_t file_size_low(const char* path) {
  // The search reads '*' and '?' as wildcards; no file name holds them.
  const char* name = path;
  for (const char* p = path; *p != '\0'; p++)
    if (*p == '\\' || *p == '/')
      name = p + 1;
  for (const char* p = name; *p != '\0'; p++)
    if (*p == '*' || *p == '?')
      return 0;
  WIN32_FIND_DATAA found;
  HANDLE handle = FindFirstFileA(path, &found);
  if (handle == INVALID_HANDLE_VALUE)
    return 0;
  FindClose(handle);
  return found.nFileSizeLow;
}

bool file_identity(const char* path, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle_information(path, &info))
    return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

namespace {

// The temporary file's name: hidden, and telling what it is.
const char TEMPORARY_MARK[] = ".quillfen-new-";
const int TEMPORARY_NAME_KEPT = 120;
const int TEMPORARY_TRIES = 64;

bool delete_file(const char* path) {
  wchar_t wide[OUTPUT_PATH_CAPACITY];
  return widen(path, wide, OUTPUT_PATH_CAPACITY) && DeleteFileW(wide);
}

// Gives the temporary file its final attributes and puts it in place.
bool move_into_place(const char* temporary, const char* target, DWORD attributes) {
  wchar_t from[OUTPUT_PATH_CAPACITY];
  wchar_t to[OUTPUT_PATH_CAPACITY];
  return widen(temporary, from, OUTPUT_PATH_CAPACITY) && widen(target, to, OUTPUT_PATH_CAPACITY) &&
         SetFileAttributesW(from, attributes) && MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
}

// Whether an existing output is a disk file that may be replaced; devices
// (NUL, CON) and pipes are written in place.  Sets *exists and *attributes.
bool on_disk(const char* path, bool* exists, DWORD* attributes) {
  HANDLE file = create_file(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  *exists = file != INVALID_HANDLE_VALUE;
  *attributes = FILE_ATTRIBUTE_ARCHIVE;
  if (!*exists)
    return true;
  bool disk = GetFileType(file) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info;
  if (disk && GetFileInformationByHandle(file, &info))
    *attributes = info.dwFileAttributes;
  CloseHandle(file);
  return disk;
}

// Creates the hidden temporary file beside the target.
bool open_temporary(OutputFile* output) {
  char directory[OUTPUT_PATH_CAPACITY];
  snprintf(directory, sizeof directory, "%s", output->target);
  char* cut = directory;
  for (char* p = directory; *p != '\0'; p++)
    if (*p == '\\' || *p == '/' || (*p == ':' && p == directory + 1))
      cut = p + 1;
  const char* name = output->target + (cut - directory);
  *cut = '\0';
  for (int attempt = 0; attempt < TEMPORARY_TRIES; attempt++) {
    int written = snprintf(output->temporary, sizeof output->temporary, "%s.%.*s%s%lx-%d",
                           directory, TEMPORARY_NAME_KEPT, name, TEMPORARY_MARK,
                           static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (written < 0 || written >= static_cast<int>(sizeof output->temporary))
      return false;
    HANDLE file = create_file(output->temporary, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)
        continue;
      return false;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
      CloseHandle(file);
      delete_file(output->temporary);
      return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info)) {
      output->identified = true;
      output->identity.volume = info.dwVolumeSerialNumber;
      output->identity.index =
          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    output->stream = _fdopen(fd, "wb");
    if (output->stream != nullptr)
      setvbuf(output->stream, nullptr, _IOFBF, OUTPUT_BUFFER_SIZE);
    if (output->stream == nullptr) {
      _close(fd);
      delete_file(output->temporary);
      return false;
    }
    return true;
  }
  return false;
}

// The file that a link names, so that the link stays a link; false when its
// target cannot be told.
bool link_target(const char* path, char* target, DWORD capacity) {
  HANDLE file = create_file(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD length = GetFinalPathNameByHandleA(file, target, capacity, FILE_NAME_NORMALIZED);
  CloseHandle(file);
  if (length == 0 || length >= capacity)
    return false;
  // A short enough path goes without the prefix that lifts the length limit.
  if (strncmp(target, "\\\\?\\", 4) == 0 && length - 4 < MAX_PATH)
    memmove(target, target + 4, length - 4 + 1);
  return true;
}

}  // namespace

bool output_open(OutputFile* output, const char* path) {
  memset(output, 0, sizeof *output);
  if (path[0] == '\0')
    return false;
  bool exists = false;
  DWORD attributes = 0;
  if (!on_disk(path, &exists, &attributes)) {
    output->in_place = true;
    output->stream = open_file(path, "wb");
    return output->stream != nullptr;
  }
  // What "wb" would refuse is not replaced behind its back.
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
    return false;
  output->mode = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
  DWORD own = exists ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES;
  bool linked = own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (!linked || !link_target(path, output->target, sizeof output->target)) {
    if (strlen(path) >= sizeof output->target)
      return false;
    strcpy(output->target, path);
  }
  return open_temporary(output);
}

bool output_commit(OutputFile* output) {
  FILE* stream = output->stream;
  output->stream = nullptr;
  if (stream == nullptr)
    return false;
  bool ok = fflush(stream) == 0 && !ferror(stream);
  ok = fclose(stream) == 0 && ok;
  if (output->in_place)
    return ok;
  if (!ok || !move_into_place(output->temporary, output->target, output->mode)) {
    delete_file(output->temporary);
    return false;
  }
  return true;
}

void output_discard(OutputFile* output) {
  if (output->stream == nullptr)
    return;
  fclose(output->stream);
  output->stream = nullptr;
  if (!output->in_place)
    delete_file(output->temporary);
}

int exit_status_for(long count) {
  return static_cast<int>(count);
}
