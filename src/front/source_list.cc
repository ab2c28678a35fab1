#include "front/source_list.h"

#include <climits>
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

// Room for the first names of a run; the list doubles from there.
const int FIRST_CAPACITY = 64;

// Makes room for one more entry; false when memory runs out.
bool make_room(SourceList* list) {
  if (list->count < list->capacity)
    return true;
  if (list->capacity > INT_MAX / 2)
    return false;
  int capacity = list->capacity == 0 ? FIRST_CAPACITY : list->capacity * 2;
  void* grown = realloc(list->entries, static_cast<size_t>(capacity) * sizeof(ListedSource));
  if (grown == nullptr)
    return false;
  list->entries = static_cast<ListedSource*>(grown);
  list->capacity = capacity;
  return true;
}

// Adds a copy of `name` under `spec`; false when memory runs out.
bool append_source(SourceList* list, const char* name, int spec) {
  if (!make_room(list))
    return false;
  ListedSource* entry = &list->entries[list->count];
  entry->name = nullptr;
  if (!store_copy(&entry->name, name))
    return false;
  entry->spec = spec;
  list->count++;
  return true;
}

// Drops the entries from `count` on.
void truncate_list(SourceList* list, int count) {
  while (list->count > count)
    free(list->entries[--list->count].name);
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

int list_matching_files(const char* pattern, SourceList* list, int spec, SearchOutcome* outcome) {
  *outcome = SearchOutcome{0, 0, REASON_NONE};
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
  DirSearch* search = dir_search_first(search_pattern, &entry, &outcome->reason);
  if (search == nullptr)
    return 0;
  int first = list->count;
  bool out_of_memory = false;
  do {
    if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0)
      continue;
    if (!plain_file(entry.attributes)) {
      outcome->skipped++;
      if (entry.attributes & ATTRIB_DIRECTORY)
        outcome->directories++;
      continue;
    }
    if (!append_source(list, entry.name, spec)) {
      out_of_memory = true;
      break;
    }
  } while (dir_search_next(search, &entry, &outcome->reason));
  dir_search_close(search);
  if (out_of_memory || outcome->reason != REASON_NONE) {
    truncate_list(list, first);
    return out_of_memory ? -1 : 0;
  }
  return list->count - first;
}
