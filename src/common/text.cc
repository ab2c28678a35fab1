#include "common/text.h"

#include <cstdlib>
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

namespace {

// The first step of name order: bytes after ASCII upper-casing.
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

}  // namespace

bool same_name(const char* a, const char* b) {
  return compare_upper(a, b) == 0;
}

int compare_names(const char* a, const char* b) {
  int order = compare_upper(a, b);
  return order != 0 ? order : strcmp(a, b);
}

bool better_alike(const char* name, const char* wanted, const char* best) {
  return same_name(name, wanted) &&
         (best == nullptr || best[0] == '\0' || compare_names(name, best) < 0);
}

uint64_t upper_hash(const char* name) {
  // FNV-1a.
  uint64_t hash = 14695981039346656037ull;
  for (const char* p = name; *p != '\0'; p++)
    hash = (hash ^ static_cast<unsigned char>(ascii_upper(*p))) * 1099511628211ull;
  return hash;
}

bool store_copy(char** slot, const char* text) {
  if (*slot != nullptr)
    return false;
  size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy == nullptr)
    return false;
  memcpy(copy, text, size);
  *slot = copy;
  return true;
}

bool grow_raw(void** array, size_t count, size_t* capacity, size_t item_size, size_t first,
              size_t limit) {
  if (count < *capacity)
    return true;
  if (count >= limit || *capacity > limit / 2 || *capacity > SIZE_MAX / 2 / item_size)
    return false;
  size_t grown = *capacity == 0 ? first : *capacity * 2;
  void* more = realloc(*array, grown * item_size);
  if (more == nullptr)
    return false;
  *array = more;
  *capacity = grown;
  return true;
}
