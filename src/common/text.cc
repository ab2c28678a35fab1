#include "common/text.h"

#include <cstring>

#include "common/run_options.h"

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

size_t last_char_pos(const char* text, char ch) {
  const char* found = strrchr(text, ch);
  return (found == nullptr || ch == '\0') ? 0 : static_cast<size_t>(found - text) + 1;
}

size_t last_separator_pos(const char* text) {
  size_t back = last_char_pos(text, '\\');
  size_t forward = last_char_pos(text, '/');
  return back > forward ? back : forward;
}

void copy_bounded(char* destination, const char* source, size_t n) {
  if (destination == nullptr || source == nullptr)
    return;
  size_t i = 0;
  for (; i < n && source[i] != '\0'; i++)
    destination[i] = source[i];
  destination[i] = '\0';
}

void base_name(const char* path, char* out) {
  copy_bounded(out, path + last_separator_pos(path), LONG_PATH_CAPACITY);
}

char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

int compare_upper(const char* a, const char* b) {
  while (*a != '\0' && ascii_upper(*a) == ascii_upper(*b)) {
    a++;
    b++;
  }
  return static_cast<unsigned char>(ascii_upper(*a)) - static_cast<unsigned char>(ascii_upper(*b));
}

bool same_name(const char* a, const char* b) {
  return compare_upper(a, b) == 0;
}

int compare_names(const char* a, const char* b) {
  int order = compare_upper(a, b);
  return order != 0 ? order : strcmp(a, b);
}
