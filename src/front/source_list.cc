#include "front/source_list.h"

#include <cstdlib>
#include <cstring>

#include "common/run_options.h"
#include "front/names.h"
#include "platform/platform.h"

namespace {

// Only plain files are converted: no directory, and none that is read-only,
// hidden or a system file.
bool plain_file(uint32_t attributes) {
  return (attributes & (ATTRIB_READONLY | ATTRIB_HIDDEN | ATTRIB_SYSTEM | ATTRIB_DIRECTORY)) == 0;
}

}  // namespace

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

int list_matching_files(const char* pattern, char*** list, int capacity, int* unlisted,
                        int* reason) {
  *unlisted = 0;
  *reason = REASON_NONE;
  *list = static_cast<char**>(calloc(static_cast<size_t>(capacity), sizeof(char*)));
  if (*list == nullptr)
    return -1;

  char search_pattern[LONG_PATH_CAPACITY + 1];
  if (strlen(pattern) > static_cast<size_t>(LONG_PATH_CAPACITY) - 4)
    return 0;
  copy_bounded(search_pattern, pattern, LONG_PATH_CAPACITY);
  replace_char(search_pattern, '/', '\\');
  char name[LONG_PATH_CAPACITY + 1];
  base_name(search_pattern, name);
  if (name[0] == '\0') {
    append_separator(search_pattern, LONG_PATH_CAPACITY, native_separator());
    append_text(search_pattern, LONG_PATH_CAPACITY, "*.*");
  }

  DirEntry entry;
  DirSearch* search = dir_search_first(search_pattern, &entry, reason);
  if (search == nullptr)
    return 0;
  int count = 0;
  do {
    if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0)
      continue;
    if (!plain_file(entry.attributes))
      continue;
    if (count == capacity) {
      ++*unlisted;
      continue;
    }
    if (!store_copy(&(*list)[count], entry.name)) {
      count = -1;
      break;
    }
    count++;
  } while (dir_search_next(search, &entry, reason));
  dir_search_close(search);
  return *reason == REASON_NONE ? count : 0;
}
