#include "front/names.h"

#include <cstring>

#include "common/run_options.h"
#include "platform/platform.h"

namespace {

// Removes every trailing separator, in place.
void trim_separators(char* text) {
  size_t length = strlen(text);
  while (length > 0 && is_path_separator(text[length - 1]))
    text[--length] = '\0';
}

}  // namespace

void spec_directory(const char* spec, char* out) {
  out[0] = '\0';
  size_t length = strlen(spec);
  if (length == 0 || length > static_cast<size_t>(LONG_PATH_CAPACITY))
    return;
  size_t k = last_path_separator_pos(spec);
  if (k > 0) {
    copy_bounded(out, spec, k);
  } else if (strchr(spec, ':') != nullptr) {
    copy_bounded(out, spec, length);
  } else {
    return;
  }
  size_t result = strlen(out);
  if (result >= 2 && result <= 3 && out[1] == ':')
    return;  // 'C:' and 'C:\'
  if (result == 1 && is_path_separator(out[0]))
    return;  // the root
  trim_separators(out);
}

void file_stem(const char* name, char* out) {
  out[0] = '\0';
  size_t dot = last_char_pos(name, '.');
  if (dot <= 1)
    return;              // no dot, or the name starts with its last dot
  size_t end = dot - 1;  // index of the last dot
  size_t start = end;
  while (start > 0) {
    char c = name[start - 1];
    if (c == ':' || c == '.' || is_separator(c))
      break;
    start--;
  }
  size_t length = end - start;
  if (length > static_cast<size_t>(PATH_CAPACITY))
    length = PATH_CAPACITY;
  copy_bounded(out, name + start, length);
}

void full_stem(const char* name, char* out) {
  size_t dot = last_char_pos(name, '.');
  size_t length = dot <= 1 ? strlen(name) : dot - 1;
  if (length > static_cast<size_t>(PATH_CAPACITY))
    length = PATH_CAPACITY;
  copy_bounded(out, name, length);
}

void append_separator(char* text, size_t capacity, char ch) {
  size_t length = strlen(text);
  if (length == 0)
    return;
  if (length == 2 && text[1] == ':')
    return;
  if (is_separator(text[length - 1]))
    return;
  append_char(text, capacity, ch);
}

bool append_text(char* text, size_t capacity, const char* tail) {
  size_t length = strlen(text);
  size_t extra = strlen(tail);
  if (length + extra > capacity)
    return false;
  memcpy(text + length, tail, extra + 1);
  return true;
}

void append_char(char* text, size_t capacity, char ch) {
  size_t length = strlen(text);
  if (length >= capacity)
    return;
  text[length] = ch;
  text[length + 1] = '\0';
}

void upper_case(char* text) {
  for (; *text != '\0'; text++)
    *text = ascii_upper(*text);
}
