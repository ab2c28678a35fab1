// The rest of the platform layer on POSIX: the current directory, reasons, console colours through
// ANSI sequences on a terminal, and the exit status.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/posix.h"

void reason_text(int reason, char* out, size_t capacity) {
  const char* text = "Unknown error";
  if (reason == REASON_NOT_REGULAR)
    text = "Not a regular file";
  else if (reason == REASON_TOO_LONG || reason == REASON_NO_MEMORY)
    text = strerror(reason == REASON_TOO_LONG ? ENAMETOOLONG : ENOMEM);
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

int longest_path() {
  return PATH_MAX - 1;
}

void console_set_attribute(uint16_t attribute) {
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
  fputs("\x1b[H\x1b[2J\x1b[3J", stdout);
}

bool posix_habits() {
  return true;
}

bool stdout_is_terminal() {
  return isatty(STDOUT_FILENO) != 0;
}

bool terminal_acts_on_c1() {
  return true;
}

bool stderr_is_terminal() {
  return isatty(STDERR_FILENO) != 0;
}
