// Files on Windows: directories, listings, sources and outputs, all through
// the wide file services, which take every name and paths past MAX_PATH.
// Names travel through the tool in UTF-8, so that none is lost to the ANSI
// code page.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/os.h"
#include "platform/win32.h"

const int TEMPORARY_NAME_KEPT = 120;

namespace {

const int TEMPORARY_TRIES = 64;
const int RENAME_TRIES = 50;
const DWORD RENAME_PAUSE_MS = 10;

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

// What the handle of an existing output tells: whether it is a disk file,
// its attributes, and, for a link, the directory and name of the file it
// names, so that the link stays a link.
bool on_disk(OutputFile* output, DWORD* attributes) {
  HANDLE file =
      create_in(output->directory, output->target, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  *attributes = FILE_ATTRIBUTE_ARCHIVE;
  if (file == INVALID_HANDLE_VALUE)
    return true;
  bool disk = GetFileType(file) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info;
  if (disk && GetFileInformationByHandle(file, &info)) {
    *attributes = info.dwFileAttributes;
    output->replaced = identity_of(info);
  }
  WidePath final;
  DWORD length = 0;
  if ((*attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    length = GetFinalPathNameByHandleW(file, final.text, WIDE_CAPACITY, FILE_NAME_NORMALIZED);
  CloseHandle(file);
  wchar_t* cut = length > 0 && length < WIDE_CAPACITY ? wcsrchr(final.text, L'\\') : nullptr;
  if (cut == nullptr)
    return disk;
  *cut = L'\0';
  int reason;
  Directory* directory = directory_at(final.text, &reason);
  if (directory != nullptr && WideCharToMultiByte(CP_UTF8, 0, cut + 1, -1, output->target,
                                                  OUTPUT_NAME_CAPACITY, nullptr, nullptr) > 0) {
    output->directory = directory;
    output->owns_directory = true;
  } else {
    free(directory);
  }
  return disk;
}

// Creates the hidden temporary file beside the target.
bool open_temporary(OutputFile* output) {
  for (int attempt = 0; attempt < TEMPORARY_TRIES; attempt++) {
    int written = snprintf(output->temporary, sizeof output->temporary, ".%.*s%s%lx-%d",
                           TEMPORARY_NAME_KEPT, output->target, TEMPORARY_MARK,
                           static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (written < 0 || written >= static_cast<int>(sizeof output->temporary))
      return fail(&output->reason, ERROR_FILENAME_EXCED_RANGE);
    HANDLE file = create_in(output->directory, output->temporary, GENERIC_WRITE, CREATE_NEW,
                            FILE_ATTRIBUTE_HIDDEN);
    if (file == INVALID_HANDLE_VALUE) {
      output->reason = static_cast<int>(GetLastError());
      if (output->reason == ERROR_FILE_EXISTS || output->reason == ERROR_ALREADY_EXISTS)
        continue;
      return false;
    }
    note_in_flight(output->directory, output->temporary);
    output->stream = stream_over(file, _O_WRONLY, "wb");
    if (output->stream == nullptr) {
      output->reason = ERROR_NOT_ENOUGH_MEMORY;
      output_remove_temporary(output);
      return false;
    }
    setvbuf(output->stream, nullptr, _IONBF, 0);
    return true;
  }
  return false;
}

bool open_output(OutputFile* output) {
  DWORD attributes;
  if (!on_disk(output, &attributes)) {
    output->in_place = true;
    HANDLE file = create_in(output->directory, output->target, GENERIC_WRITE, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL);
    output->reason = static_cast<int>(GetLastError());
    if (file != INVALID_HANDLE_VALUE)
      output->stream = stream_over(file, _O_WRONLY, "wb");
    return output->stream != nullptr;
  }
  // What "wb" would refuse is not replaced behind its back.
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
    return fail(&output->reason, ERROR_ACCESS_DENIED);
  output->mode = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
  return open_temporary(output);
}

}  // namespace

int directory_list(Directory* directory, NameTaker take, void* context) {
  WidePath pattern;
  if (!path_in(directory, "*", &pattern))
    return ERROR_FILENAME_EXCED_RANGE;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.text, &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? REASON_NONE : static_cast<int>(error);
  }
  int reason = REASON_NONE;
  char name[OUTPUT_NAME_CAPACITY];
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr, nullptr) ==
            0)
      continue;
    if (!take(name, context)) {
      reason = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
  } while (FindNextFileW(search, &found));
  if (reason == REASON_NONE && GetLastError() != ERROR_NO_MORE_FILES)
    reason = static_cast<int>(GetLastError());
  FindClose(search);
  return reason;
}

bool entry_info(Directory* directory, const char* name, EntryFacts* facts) {
  *facts = EntryFacts{ENTRY_UNREACHABLE, 0, 0, 0, FileIdentity{0, 0}};
  // The entry's attributes are those the search reports; its handle tells
  // the file's identity, and whether what it leads to can be reached.
  WidePath path;
  DWORD found =
      path_in(directory, name, &path) ? GetFileAttributesW(path.text) : INVALID_FILE_ATTRIBUTES;
  if (found == INVALID_FILE_ATTRIBUTES)
    return false;
  facts->attributes = found;
  HANDLE file = CreateFileW(path.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info)) {
    facts->identity = identity_of(info);
    facts->kind = (found & ATTRIB_DIRECTORY) != 0       ? ENTRY_DIRECTORY
                  : GetFileType(file) == FILE_TYPE_DISK ? ENTRY_FILE
                                                        : ENTRY_SPECIAL;
  }
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  return true;
}

namespace {

// The identity of the file that `name` leads to, through `file`, a handle
// that the caller closes.
bool held_identity(Directory* directory, const char* name, HANDLE* file, FileIdentity* identity) {
  *file = create_in(directory, name, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  BY_HANDLE_FILE_INFORMATION info;
  if (*file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(*file, &info))
    return false;
  *identity = identity_of(info);
  return true;
}

}  // namespace

bool one_file(Directory* directory, const char* name, Directory* other_directory,
              const char* other_name) {
  HANDLE files[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  FileIdentity identities[2];
  bool same = held_identity(directory, name, &files[0], &identities[0]) &&
              held_identity(other_directory, other_name, &files[1], &identities[1]) &&
              same_identity(identities[0], identities[1]);
  for (int i = 0; i < 2; i++) {
    if (files[i] != INVALID_HANDLE_VALUE)
      CloseHandle(files[i]);
  }
  return same;
}

bool source_open(Directory* directory, const char* name, SourceFile* source, int* reason) {
  HANDLE file = create_in(directory, name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  BY_HANDLE_FILE_INFORMATION info;
  if (file == INVALID_HANDLE_VALUE)
    return fail(reason, static_cast<int>(GetLastError()));
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) {
    CloseHandle(file);
    return fail(reason, REASON_NOT_REGULAR);
  }
  source->identity = identity_of(info);
  source->mode = info.dwFileAttributes;
  source->owner = 0;
  source->stream = stream_over(file, _O_RDONLY, "rb");
  return source->stream != nullptr || fail(reason, ERROR_NOT_ENOUGH_MEMORY);
}

bool output_open(OutputFile* output, Directory* directory, const char* name, const SourceFile&,
                 bool) {
  if (output_named(output, directory, name) && open_output(output))
    return true;
  output_release(output);
  return false;
}

bool output_rename(OutputFile* output) {
  WidePath from;
  WidePath to;
  if (!path_in(output->directory, output->temporary, &from) ||
      !path_in(output->directory, output->target, &to) ||
      !SetFileAttributesW(from.text, output->mode)) {
    output->reason = static_cast<int>(GetLastError());
    return false;
  }
  // Another program that has the old output open for a moment (a run
  // beside this one, a virus scanner) holds the rename off briefly.
  for (int attempt = 0; attempt < RENAME_TRIES; attempt++) {
    if (MoveFileExW(from.text, to.text, MOVEFILE_REPLACE_EXISTING)) {
      landed(output->directory, output->temporary);
      return true;
    }
    output->reason = static_cast<int>(GetLastError());
    if (output->reason != ERROR_ACCESS_DENIED && output->reason != ERROR_SHARING_VIOLATION)
      break;
    Sleep(RENAME_PAUSE_MS);
  }
  return false;
}

void output_remove_temporary(OutputFile* output) {
  landed(output->directory, output->temporary);
  WidePath path;
  if (path_in(output->directory, output->temporary, &path))
    DeleteFileW(path.text);
}

bool output_keep_previous(OutputFile* output) {
  output->previous[0] = '\0';
  if (!identity_known(output->replaced))
    return true;
  WidePath target;
  WidePath link;
  for (int attempt = 0; attempt < TEMPORARY_TRIES; attempt++) {
    snprintf(output->previous, sizeof output->previous, ".%.*s%s%lx-%d", TEMPORARY_NAME_KEPT,
             output->target, PREVIOUS_MARK, static_cast<unsigned long>(GetCurrentProcessId()),
             attempt);
    if (!path_in(output->directory, output->target, &target) ||
        !path_in(output->directory, output->previous, &link))
      break;
    if (CreateHardLinkW(link.text, target.text, nullptr)) {
      note_in_flight(output->directory, output->previous);
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
      break;
  }
  output->previous[0] = '\0';
  return false;
}

void output_restore_previous(OutputFile* output) {
  WidePath target;
  WidePath link;
  if (!path_in(output->directory, output->target, &target))
    return;
  if (output->previous[0] == '\0') {
    DeleteFileW(target.text);
  } else if (path_in(output->directory, output->previous, &link) &&
             MoveFileExW(link.text, target.text, MOVEFILE_REPLACE_EXISTING)) {
    landed(output->directory, output->previous);
    output->previous[0] = '\0';
  }
}

void output_drop_previous(OutputFile* output) {
  if (output->previous[0] != '\0')
    landed(output->directory, output->previous);
  WidePath link;
  if (output->previous[0] != '\0' && path_in(output->directory, output->previous, &link))
    DeleteFileW(link.text);
  output->previous[0] = '\0';
}

bool leftover_remove(Directory* directory, const char* name) {
  // The process that made it is named in it, after the mark: while that
  // process runs, the file may be in flight.
  const char* mark = strstr(name, TEMPORARY_MARK);
  if (mark == nullptr)
    mark = strstr(name, PREVIOUS_MARK);
  if (mark == nullptr)
    return false;
  unsigned long id = strtoul(mark + strlen(TEMPORARY_MARK), nullptr, 16);
  HANDLE maker = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (maker != nullptr) {
    bool running = WaitForSingleObject(maker, 0) == WAIT_TIMEOUT;
    CloseHandle(maker);
    if (running)
      return false;
  }
  WidePath path;
  return path_in(directory, name, &path) && DeleteFileW(path.text);
}
