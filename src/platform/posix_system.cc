// The rest of the platform layer on POSIX: the current directory, sources,
// file identity and sizes, reasons, console colours through ANSI sequences on
// a terminal, and the exit status.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix.h"

void reason_text(int reason, char* out, size_t capacity) {
  const char* text = "Unknown error";
  if (reason == REASON_NOT_REGULAR)
    text = "Not a regular file";
  else if (reason == REASON_TOO_LONG)
    text = strerror(ENAMETOOLONG);
  else if (reason > 0)
    text = strerror(reason);
  snprintf(out, capacity, "%s", text);
}

bool reason_is_missing(int reason) {
  return reason == ENOENT || reason == ENOTDIR;
}

int stream_reason() {
  return errno;
}

bool current_directory(char* buffer, int capacity, int* reason) {
  // The Windows runtime's query holds at most 260 bytes with the terminator.
  int limit = capacity < 260 ? capacity : 260;
  *reason = REASON_NONE;
  if (limit <= 0 || getcwd(buffer, static_cast<size_t>(limit)) == nullptr) {
    *reason = limit <= 0 ? ERANGE : errno;
    if (capacity > 0)
      buffer[0] = '\0';
    return false;
  }
  return true;
}

char native_separator() {
  return '/';
}

FILE* open_source(const char* path, int* reason) {
  char resolved[RESOLVED_CAPACITY];
  if (!normalize_path(path, resolved, sizeof resolved)) {
    *reason = ENAMETOOLONG;
    return nullptr;
  }
  // Opened without blocking, so that a FIFO put in a source's place is
  // refused rather than waited on.  The spelling given is tried first.
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
  int fd = open(resolved, flags);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR) &&
      resolve_path(path, resolved, sizeof resolved))
    fd = open(resolved, flags);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    *reason = errno;
    if (fd >= 0)
      close(fd);
    return nullptr;
  }
  FILE* file = S_ISREG(info.st_mode) ? fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    *reason = S_ISREG(info.st_mode) ? errno : REASON_NOT_REGULAR;
    close(fd);
    return nullptr;
  }
  // The reader takes large blocks of its own.
  setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

namespace {

// stat of the resolved `path`, of which `found` tells what resolving found.
bool followed(const char* path, const Resolved& found, struct stat* info) {
  if (!found.exists)
    return false;
  if (!S_ISLNK(found.info.st_mode)) {
    *info = found.info;
    return true;
  }
  return stat(path, info) == 0;
}

// stat of `path` after resolving it.
bool resolved_state(const char* path, struct stat* info) {
  char resolved[RESOLVED_CAPACITY];
  Resolved found;
  return path[0] != '\0' && resolve_noting(path, resolved, sizeof resolved, &found) &&
         followed(resolved, found, info);
}

// Whether two files that are to be created meet: the same name, without
// regard to case, in the same directory.
bool same_landing(const char* a, const char* b) {
  char a_directory[RESOLVED_CAPACITY];
  char b_directory[RESOLVED_CAPACITY];
  size_t a_cut = split_directory(a, a_directory);
  size_t b_cut = split_directory(b, b_directory);
  if (!same_name(a + a_cut, b + b_cut))
    return false;
  struct stat x;
  struct stat y;
  if (stat(directory_or_dot(a_directory), &x) != 0)
    return false;
  return strcmp(a_directory, b_directory) == 0 || (stat(directory_or_dot(b_directory), &y) == 0 &&
                                                   x.st_dev == y.st_dev && x.st_ino == y.st_ino);
}

// Colours only on a terminal that wants them.
bool console_styled() {
  if (!isatty(STDOUT_FILENO))
    return false;
  const char* term = getenv("TERM");
  if (term != nullptr && strcmp(term, "dumb") == 0)
    return false;
  return getenv("NO_COLOR") == nullptr;
}

}  // namespace

bool same_file(const char* first, const char* second) {
  char a[RESOLVED_CAPACITY];
  char b[RESOLVED_CAPACITY];
  Resolved a_found;
  Resolved b_found;
  if (first[0] == '\0' || second[0] == '\0' || !resolve_noting(first, a, sizeof a, &a_found) ||
      !resolve_noting(second, b, sizeof b, &b_found))
    return false;
  struct stat x;
  struct stat y;
  if (followed(a, a_found, &x) && followed(b, b_found, &y))
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
  char a_target[RESOLVED_CAPACITY];
  char b_target[RESOLVED_CAPACITY];
  int reason;
  return follow_links(a, a_found, a_target, &reason) &&
         follow_links(b, b_found, b_target, &reason) && same_landing(a_target, b_target);
}

bool entry_of(const char* path, char* out, size_t capacity, FileIdentity* identity, bool* exists) {
  char resolved[RESOLVED_CAPACITY];
  char here[RESOLVED_CAPACITY];
  Resolved found;
  struct stat info;
  if (path[0] == '\0' || !resolve_noting(path, resolved, sizeof resolved, &found))
    return false;
  if (identity != nullptr) {
    *exists = followed(resolved, found, &info);
    identity->volume = static_cast<uint64_t>(info.st_dev);
    identity->index = static_cast<uint64_t>(info.st_ino);
  }
  // A relative path is made absolute: the process never changes directory.
  bool absolute = resolved[0] == '/';
  if (!absolute && getcwd(here, sizeof here) == nullptr)
    return false;
  int written =
      snprintf(out, capacity, "%s%s%s", absolute ? "" : here, absolute ? "" : "/", resolved);
  return written >= 0 && static_cast<size_t>(written) < capacity;
}

uint32_t file_size_low(const char* path) {
  struct stat info;
  if (!resolved_state(path, &info))
    return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(info.st_size) & 0xFFFFFFFFu);
}

bool file_identity(const char* path, FileIdentity* identity) {
  struct stat info;
  if (!resolved_state(path, &info))
    return false;
  *identity = FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return true;
}

int longest_path() {
  return PATH_MAX - 1;
}

void console_set_attribute(uint16_t attribute) {
  if (!console_styled())
    return;
  if (attribute == 0x07) {
    fputs("\x1b[0m", stdout);
    return;
  }
  // Windows orders the colour bits blue, green, red; ANSI red, green, blue.
  static const int ansi_colour[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  int fg = ansi_colour[attribute & 0x07] + ((attribute & 0x08) ? 90 : 30);
  int bg = ansi_colour[(attribute >> 4) & 0x07] + ((attribute & 0x80) ? 100 : 40);
  printf("\x1b[0;%d;%dm", fg, bg);
}

void console_clear_screen() {
  if (!console_styled())
    return;
  fputs("\x1b[H\x1b[2J\x1b[3J", stdout);
}

bool count_status_default() {
  return false;
}

// Shells read 126 and above as "cannot execute" or a signal.
long count_status_limit() {
  return 125;
}

bool stdout_is_terminal() {
  return isatty(STDOUT_FILENO) != 0;
}
