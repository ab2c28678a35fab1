#include "common/text.h"

#include <cstring>

#include "common/run_options.h"
#include "platform/platform.h"

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

bool is_path_separator(char c) {
  return c == '/' || c == native_separator();
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

size_t last_path_separator_pos(const char* text) {
  size_t back = last_char_pos(text, native_separator());
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

void path_base_name(const char* path, char* out) {
  copy_bounded(out, path + last_path_separator_pos(path), LONG_PATH_CAPACITY);
}

int compare_upper(const char* a, const char* b) {
  // Most bytes of two names in one directory are alike, case and all.
  for (;; a++, b++) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x == y) {
      if (x == 0)
        return 0;
      continue;
    }
    x = static_cast<unsigned char>(ascii_upper(static_cast<char>(x)));
    y = static_cast<unsigned char>(ascii_upper(static_cast<char>(y)));
    if (x != y)
      return x - y;
  }
}

bool same_name(const char* a, const char* b) {
  return compare_upper(a, b) == 0;
}

int compare_names(const char* a, const char* b) {
  int order = compare_upper(a, b);
  return order != 0 ? order : strcmp(a, b);
}

uint64_t upper_hash(const char* name) {
  // FNV-1a.
  uint64_t hash = 14695981039346656037ull;
  for (const char* p = name; *p != '\0'; p++)
    hash = (hash ^ static_cast<unsigned char>(ascii_upper(*p))) * 1099511628211ull;
  return hash;
}
