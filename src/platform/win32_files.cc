// Files on Windows: the directory search, sources and outputs, all through
// the wide file services, which take paths past MAX_PATH.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/os.h"
#include "platform/win32.h"

struct DirSearch {
  HANDLE handle;
};

namespace {

const int TEMPORARY_NAME_KEPT = 120;
const int TEMPORARY_TRIES = 64;
const int RENAME_TRIES = 50;
const DWORD RENAME_PAUSE_MS = 10;

// The reason of a failed search call: none when it found no more entries.
int search_reason(DWORD no_more) {
  DWORD error = GetLastError();
  return error == no_more ? REASON_NONE : static_cast<int>(error);
}

void fill_entry(const WIN32_FIND_DATAW& found, DirEntry* entry) {
  if (WideCharToMultiByte(CP_ACP, 0, found.cFileName, -1, entry->name, sizeof entry->name, nullptr,
                          nullptr) == 0)
    entry->name[0] = '\0';
  entry->attributes = found.dwFileAttributes;
  entry->size_low = found.nFileSizeLow;
}

// A stream over an open handle; nullptr, with the handle closed, when none
// can be made.
FILE* stream_over(HANDLE file, int flags, const char* mode) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr)
    _close(fd);
  return stream;
}

// Whether an output that does not exist yet, or exists as a disk file, may be
// replaced; devices (NUL, CON) and pipes are written in place.  Sets
// *attributes (those of a new file where there is none) and, for a link, the
// target to the file it names, so that the link stays a link; else, or when
// that cannot be told, the target is left empty.
bool on_disk(const char* path, DWORD* attributes, OutputFile* output) {
  HANDLE file = create_file(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  *attributes = FILE_ATTRIBUTE_ARCHIVE;
  if (file == INVALID_HANDLE_VALUE)
    return true;
  bool disk = GetFileType(file) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info;
  if (disk && GetFileInformationByHandle(file, &info))
    *attributes = info.dwFileAttributes;
  char* target = output->target;
  DWORD length = 0;
  if ((*attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    length = GetFinalPathNameByHandleA(file, target, sizeof output->target, FILE_NAME_NORMALIZED);
  CloseHandle(file);
  if (length == 0 || length >= sizeof output->target)
    target[0] = '\0';
  else if (strncmp(target, "\\\\?\\", 4) == 0 && length - 4 < MAX_PATH)
    memmove(target, target + 4, length - 4 + 1);  // short enough to go without the prefix
  return disk;
}

// Creates the hidden temporary file beside the target.
bool open_temporary(OutputFile* output) {
  const char* target = output->target;
  int cut = 0;
  for (int i = 0; target[i] != '\0'; i++) {
    if (target[i] == '\\' || target[i] == '/' || (target[i] == ':' && i == 1))
      cut = i + 1;
  }
  for (int attempt = 0; attempt < TEMPORARY_TRIES; attempt++) {
    int written = snprintf(output->temporary, sizeof output->temporary, "%.*s.%.*s%s%lx-%d", cut,
                           target, TEMPORARY_NAME_KEPT, target + cut, TEMPORARY_MARK,
                           static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (written < 0 || written >= static_cast<int>(sizeof output->temporary))
      return fail(&output->reason, ERROR_FILENAME_EXCED_RANGE);
    HANDLE file = create_file(output->temporary, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
    if (file == INVALID_HANDLE_VALUE) {
      output->reason = static_cast<int>(GetLastError());
      if (output->reason == ERROR_FILE_EXISTS || output->reason == ERROR_ALREADY_EXISTS)
        continue;
      return false;
    }
    output->stream = stream_over(file, _O_WRONLY, "wb");
    if (output->stream == nullptr) {
      output->reason = ERROR_NOT_ENOUGH_MEMORY;
      os_remove_temporary(output);
      return false;
    }
    setvbuf(output->stream, nullptr, _IOFBF, OUTPUT_BUFFER_SIZE);
    return true;
  }
  return false;
}

}  // namespace

DirSearch* dir_search_first(const char* pattern, DirEntry* entry, int* reason) {
  *reason = REASON_NONE;
  WidePath wide;
  if (pattern[0] == '\0')
    return nullptr;
  if (!widen(pattern, &wide)) {
    *reason = REASON_TOO_LONG;
    return nullptr;
  }
  WIN32_FIND_DATAW found;
  HANDLE handle = FindFirstFileW(wide.text, &found);
  if (handle == INVALID_HANDLE_VALUE) {
    *reason = search_reason(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  DirSearch* search = new (std::nothrow) DirSearch;
  if (search == nullptr) {
    FindClose(handle);
    *reason = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  search->handle = handle;
  fill_entry(found, entry);
  return search;
}

bool dir_search_next(DirSearch* search, DirEntry* entry, int* reason) {
  *reason = REASON_NONE;
  WIN32_FIND_DATAW found;
  if (!FindNextFileW(search->handle, &found)) {
    *reason = search_reason(ERROR_NO_MORE_FILES);
    return false;
  }
  fill_entry(found, entry);
  return true;
}

void dir_search_close(DirSearch* search) {
  if (search == nullptr)
    return;
  FindClose(search->handle);
  delete search;
}

FILE* open_source(const char* path, int* reason) {
  HANDLE file = create_file(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) {
    *reason = static_cast<int>(GetLastError());
    return nullptr;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    *reason = REASON_NOT_REGULAR;
    return nullptr;
  }
  FILE* stream = stream_over(file, _O_RDONLY, "rb");
  if (stream == nullptr)
    *reason = ERROR_NOT_ENOUGH_MEMORY;
  return stream;
}

bool output_open(OutputFile* output, const char* path) {
  memset(output, 0, sizeof *output);
  DWORD attributes;
  if (path[0] == '\0')
    return fail(&output->reason, ERROR_PATH_NOT_FOUND);
  if (!on_disk(path, &attributes, output)) {
    output->in_place = true;
    HANDLE file = create_file(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    output->reason = static_cast<int>(GetLastError());
    if (file != INVALID_HANDLE_VALUE)
      output->stream = stream_over(file, _O_WRONLY, "wb");
    return output->stream != nullptr;
  }
  // What "wb" would refuse is not replaced behind its back.
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
    return fail(&output->reason, ERROR_ACCESS_DENIED);
  output->mode = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
  if (output->target[0] == '\0') {
    if (strlen(path) >= sizeof output->target)
      return fail(&output->reason, ERROR_FILENAME_EXCED_RANGE);
    strcpy(output->target, path);
  }
  return open_temporary(output);
}

bool os_target_ready(OutputFile* output) {
  WidePath wide;
  DWORD attributes =
      widen(output->target, &wide) ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return fail(&output->reason, ERROR_ACCESS_DENIED);
  return true;
}

bool os_put_in_place(OutputFile* output) {
  WidePath from;
  WidePath to;
  if (!widen(output->temporary, &from) || !widen(output->target, &to) ||
      !SetFileAttributesW(from.text, output->mode)) {
    output->reason = static_cast<int>(GetLastError());
    return false;
  }
  // Another program that has the old output open for a moment (a run
  // beside this one, a virus scanner) holds the rename off briefly.
  for (int attempt = 0; attempt < RENAME_TRIES; attempt++) {
    if (MoveFileExW(from.text, to.text, MOVEFILE_REPLACE_EXISTING))
      return true;
    output->reason = static_cast<int>(GetLastError());
    if (output->reason != ERROR_ACCESS_DENIED && output->reason != ERROR_SHARING_VIOLATION)
      break;
    Sleep(RENAME_PAUSE_MS);
  }
  return false;
}

void os_remove_temporary(const OutputFile* output) {
  WidePath wide;
  if (widen(output->temporary, &wide))
    DeleteFileW(wide.text);
}
