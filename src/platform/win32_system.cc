// The rest of the platform layer on Windows: directories and names, the
// current directory, reasons, the console and the exit status.
#include <direct.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/win32.h"

namespace {

// The longest current directory the runtime query may deliver, terminator
// included.
const int CWD_LIMIT = MAX_PATH;

// The standard output handle when it is a console, else nullptr.  A redirected
// stream (file, pipe) fails GetConsoleMode.
HANDLE console_output() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode))
    return nullptr;
  return out;
}

}  // namespace

bool path_in(const Directory* directory, const char* name, WidePath* out) {
  const wchar_t* path = directory->path;
  wchar_t wide_name[OUTPUT_NAME_CAPACITY];
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name, OUTPUT_NAME_CAPACITY) == 0)
    return false;
  // Past MAX_PATH the services take only an absolute path with the prefix.
  const wchar_t* prefix = L"";
  if (wcslen(path) + wcslen(wide_name) >= MAX_PATH - 12 && wcsncmp(path, L"\\\\?\\", 4) != 0) {
    bool unc = wcsncmp(path, L"\\\\", 2) == 0;
    prefix = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
    path += unc ? 1 : 0;
  }
  int written = _snwprintf(out->text, WIDE_CAPACITY, L"%ls%ls\\%ls", prefix, path, wide_name);
  if (written < 0 || written >= WIDE_CAPACITY) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

HANDLE create_in(const Directory* directory, const char* name, DWORD access, DWORD disposition,
                 DWORD flags) {
  WidePath path;
  if (!path_in(directory, name, &path))
    return INVALID_HANDLE_VALUE;
  // A new file is shared only for its removal: Ctrl+C removes it while it
  // is open.
  DWORD share = disposition == CREATE_NEW ? FILE_SHARE_DELETE
                                          : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return CreateFileW(path.text, access, share, nullptr, disposition, flags, nullptr);
}

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

Directory* directory_at(const wchar_t* path, int* reason) {
  Directory* directory = static_cast<Directory*>(malloc(sizeof(Directory)));
  if (directory == nullptr || wcslen(path) >= static_cast<size_t>(WIDE_CAPACITY)) {
    free(directory);
    *reason = directory == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  wcscpy(directory->path, path);
  size_t length = wcslen(directory->path);
  while (length > 0 && directory->path[length - 1] == L'\\')
    directory->path[--length] = L'\0';
  HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
  *reason = ok ? REASON_NONE : static_cast<int>(GetLastError());
  if (*reason == ERROR_FILE_NOT_FOUND)
    *reason = ERROR_PATH_NOT_FOUND;  // as the search tells of a missing directory
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  if (ok && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    *reason = ERROR_DIRECTORY;
  if (*reason != REASON_NONE) {
    free(directory);
    return nullptr;
  }
  directory->identity = identity_of(info);
  return directory;
}

Directory* directory_open(const char* path, int* reason) {
  wchar_t given[WIDE_CAPACITY];
  WidePath full;
  DWORD got = 0;
  if (MultiByteToWideChar(CP_UTF8, 0, path[0] == '\0' ? "." : path, -1, given, WIDE_CAPACITY) > 0)
    got = GetFullPathNameW(given, WIDE_CAPACITY, full.text, nullptr);
  if (got == 0 || got >= static_cast<DWORD>(WIDE_CAPACITY)) {
    *reason = ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  return directory_at(full.text, reason);
}

void directory_close(Directory* directory) {
  free(directory);
}

FileIdentity directory_identity(const Directory* directory) {
  return directory->identity;
}

// Names pass between code pages through UTF-16.
void shown_name(const char* name, char* out, size_t capacity) {
  wchar_t wide[OUTPUT_NAME_CAPACITY];
  out[0] = '\0';
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, OUTPUT_NAME_CAPACITY) == 0 ||
      WideCharToMultiByte(CP_ACP, 0, wide, -1, out, static_cast<int>(capacity), nullptr, nullptr) ==
          0)
    snprintf(out, capacity, "%s", name);
}

// The arguments arrive in UTF-8 (arguments_as_utf8), as the file services
// take names.
void typed_name(const char* typed, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", typed);
}

namespace {

// The runtime's own splitting of the wide command line, which main's
// arguments come from.
struct StartupInfo {
  int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand,
                              StartupInfo* info);

}  // namespace

void arguments_as_utf8(int* argc, char*** argv) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo info = {0};
  if (__wgetmainargs(&count, &wide, &environment, 0, &info) != 0 || wide == nullptr ||
      count != *argc)
    return;
  char** utf8 = static_cast<char**>(calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
  for (int i = 0; utf8 != nullptr && i < count; i++) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    utf8[i] = size > 0 ? static_cast<char*>(malloc(static_cast<size_t>(size))) : nullptr;
    if (utf8[i] == nullptr ||
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8[i], size, nullptr, nullptr) == 0)
      return;  // the arguments as the runtime gave them; what was made is kept to the end
  }
  if (utf8 != nullptr)
    *argv = utf8;
}

void reason_text(int reason, char* out, size_t capacity) {
  out[0] = '\0';
  if (reason == REASON_NOT_REGULAR) {
    snprintf(out, capacity, "Not a regular file");
    return;
  }
  DWORD code = reason == REASON_TOO_LONG    ? ERROR_FILENAME_EXCED_RANGE
               : reason == REASON_NO_MEMORY ? ERROR_NOT_ENOUGH_MEMORY
                                            : static_cast<DWORD>(reason);
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, out, static_cast<DWORD>(capacity), nullptr);
  while (length > 0 && (out[length - 1] == '\r' || out[length - 1] == '\n' ||
                        out[length - 1] == ' ' || out[length - 1] == '.'))
    out[--length] = '\0';
  if (length == 0)
    snprintf(out, capacity, "Error %d", reason);
}

bool reason_is_missing(int reason) {
  return reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND;
}

int stream_reason() {
  // The runtime keeps the system's code of the failed call beside errno.
  unsigned long code = _doserrno;
  if (code == 0)
    code = GetLastError();
  if (code != 0)
    return static_cast<int>(code);
  return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
}

bool current_directory(char* buffer, int capacity, int* reason) {
  int limit = capacity < CWD_LIMIT ? capacity : CWD_LIMIT;
  *reason = REASON_NONE;
  if (limit <= 0 || _getcwd(buffer, limit) == nullptr) {
    *reason = ERROR_FILENAME_EXCED_RANGE;
    if (capacity > 0)
      buffer[0] = '\0';
    return false;
  }
  return true;
}

char native_separator() {
  return '\\';
}

int longest_path() {
  return MAX_PATH - 1;
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
    DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD written = 0;
    FillConsoleOutputCharacterA(out, ' ', cells, home, &written);
    FillConsoleOutputAttribute(out, info.wAttributes, cells, home, &written);
  }
  SetConsoleCursorPosition(out, home);
}

bool posix_habits() {
  return false;
}

bool stdout_is_terminal() {
  return console_output() != nullptr;
}

bool terminal_acts_on_c1() {
  return false;
}

bool stderr_is_terminal() {
  DWORD mode;
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  return error != INVALID_HANDLE_VALUE && error != nullptr && GetConsoleMode(error, &mode);
}
