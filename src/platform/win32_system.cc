// The rest of the platform layer on Windows: paths, the current directory,
// file identity and sizes, reasons, the console and the exit status.
#include <direct.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
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

bool handle_information(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = create_file(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  bool ok = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return ok;
}

}  // namespace

bool widen(const char* path, WidePath* out) {
  wchar_t given[OUTPUT_PATH_CAPACITY];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, given, OUTPUT_PATH_CAPACITY) == 0)
    return false;
  size_t length = wcslen(given);
  if (length < MAX_PATH - 12 || wcsncmp(given, L"\\\\?\\", 4) == 0) {
    wcscpy(out->text, given);
    return true;
  }
  // Past MAX_PATH the services take only an absolute path with the prefix.
  bool unc = (given[0] == L'\\' || given[0] == L'/') && (given[1] == L'\\' || given[1] == L'/');
  wcscpy(out->text, unc ? L"\\\\?\\UNC\\" : L"\\\\?\\");
  size_t start = wcslen(out->text);
  DWORD room = static_cast<DWORD>(OUTPUT_PATH_CAPACITY + 8 - start);
  DWORD got = GetFullPathNameW(unc ? given + 2 : given, room, out->text + start, nullptr);
  return got > 0 && got < room;
}

HANDLE create_file(const char* path, DWORD access, DWORD disposition, DWORD flags) {
  WidePath wide;
  if (!widen(path, &wide))
    return INVALID_HANDLE_VALUE;
  DWORD share =
      disposition == CREATE_NEW ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return CreateFileW(wide.text, access, share, nullptr, disposition, flags, nullptr);
}

void reason_text(int reason, char* out, size_t capacity) {
  out[0] = '\0';
  if (reason == REASON_NOT_REGULAR) {
    snprintf(out, capacity, "Not a regular file");
    return;
  }
  DWORD code = reason == REASON_TOO_LONG ? ERROR_FILENAME_EXCED_RANGE : static_cast<DWORD>(reason);
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

bool resolve_path(const char* path, char* out, size_t capacity) {
  // Windows names ignore case: a path is taken as it is spelt.
  if (strlen(path) >= capacity)
    return false;
  strcpy(out, path);
  return true;
}

// The absolute path, upper-cased, is one spelling of the place it names.
bool entry_of(const char* path, char* out, size_t capacity, FileIdentity* identity, bool* exists) {
  if (identity != nullptr)
    *exists = file_identity(path, identity);
  WidePath wide;
  wchar_t full[OUTPUT_PATH_CAPACITY];
  if (path[0] == '\0' || !widen(path, &wide))
    return false;
  DWORD length = GetFullPathNameW(wide.text, OUTPUT_PATH_CAPACITY, full, nullptr);
  if (length == 0 || length >= OUTPUT_PATH_CAPACITY ||
      WideCharToMultiByte(CP_ACP, 0, full, -1, out, static_cast<int>(capacity), nullptr, nullptr) ==
          0)
    return false;
  for (char* p = out; *p != '\0'; p++) {
    if (*p == '/')
      *p = '\\';
    else if (*p >= 'a' && *p <= 'z')
      *p = static_cast<char>(*p - 'a' + 'A');
  }
  return true;
}

void name_cache_enable(bool) {}

bool same_file(const char* first, const char* second) {
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  if (handle_information(first, &a) && handle_information(second, &b)) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  }
  // Where a file is still to be created, the two names meet when their full
  // paths do.
  char a_path[OUTPUT_PATH_CAPACITY];
  char b_path[OUTPUT_PATH_CAPACITY];
  return entry_of(first, a_path, sizeof a_path) && entry_of(second, b_path, sizeof b_path) &&
         strcmp(a_path, b_path) == 0;
}

uint32_t file_size_low(const char* path) {
  WidePath wide;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!widen(path, &wide) || !GetFileAttributesExW(wide.text, GetFileExInfoStandard, &data))
    return 0;
  return data.nFileSizeLow;
}

bool file_identity(const char* path, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle_information(path, &info))
    return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
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

// Batch files test the count with `if errorlevel`.
bool count_status_default() {
  return true;
}

long count_status_limit() {
  return 0x7FFFFFFF;
}

bool stdout_is_terminal() {
  return console_output() != nullptr;
}
