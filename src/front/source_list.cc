#include "front/source_list.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/text.h"

namespace {

// Whether a matching entry is passed over: a directory or a special file,
// and, where the listing reports them, a read-only, hidden or system file.
// A name that begins with a dot is passed over by a wildcard where the
// platform's habits hide such names, as shells do.  Anything else is a
// source: a read-only page is converted, and one that cannot be opened fails
// with its reason.
bool passed_over(const char* name, const EntryFacts& facts, bool wildcard) {
  if (facts.kind == ENTRY_DIRECTORY || facts.kind == ENTRY_SPECIAL)
    return true;
  if ((facts.attributes & (ATTRIB_READONLY | ATTRIB_HIDDEN | ATTRIB_SYSTEM)) != 0)
    return true;
  return wildcard && name[0] == '.' && posix_habits();
}

// Makes room for one more entry; false when memory runs out.
bool make_room(SourceList* list) {
  return grow(&list->entries, static_cast<size_t>(list->count), &list->capacity, 64,
              static_cast<size_t>(INT_MAX));
}

// Windows wildcard matching of one name, without regard to ASCII case.
bool wildcard_match(const char* pattern, size_t length, const char* name) {
  const char* end = pattern + length;
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (pattern < end && *pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (pattern < end && (*pattern == '?' || ascii_upper(*pattern) == ascii_upper(*name))) {
      pattern++;
      name++;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (pattern < end && *pattern == '*')
    pattern++;
  return pattern == end;
}

// Takes the entry `name` of the folder unless it is passed over; false when
// memory runs out.
bool take_match(Folder* folder, const char* name, bool wildcard, SourceList* list, int spec,
                SearchOutcome* outcome) {
  // An entry gone since the listing is taken all the same: opening it tells
  // what became of it.
  EntryFacts facts;
  entry_info(folder->directory, name, &facts);
  if (passed_over(name, facts, wildcard)) {
    outcome->skipped++;
    if (facts.kind == ENTRY_DIRECTORY)
      outcome->directories++;
    return true;
  }
  if (!make_room(list))
    return false;
  list->entries[list->count++] = ListedSource{name, spec, facts.identity};
  return true;
}

// Name order, as an NTFS directory lists its entries.
int by_name(const void* a, const void* b) {
  return compare_names(static_cast<const ListedSource*>(a)->name,
                       static_cast<const ListedSource*>(b)->name);
}

}  // namespace

bool name_matches(const char* pattern, const char* name) {
  size_t length = strlen(pattern);
  // The common "*.html": a tail to compare, with no star to try anywhere.
  if (pattern[0] == '*' && strpbrk(pattern + 1, "*?") == nullptr) {
    size_t name_length = strlen(name);
    if (name_length >= length - 1 && same_name(name + name_length - (length - 1), pattern + 1))
      return true;
  } else if (wildcard_match(pattern, length, name)) {
    return true;
  }
  return length >= 2 && strcmp(pattern + length - 2, ".*") == 0 &&
         wildcard_match(pattern, length - 2, name);
}

int list_matching_files(Folder* folder, const char* pattern, SourceList* list, int spec,
                        SearchOutcome* outcome) {
  *outcome = SearchOutcome{0, 0, folder_list(folder)};
  if (outcome->reason != REASON_NONE)
    return 0;
  int first = list->count;
  bool fits = true;
  if (pattern[0] != '\0' && strpbrk(pattern, "*?") == nullptr) {
    const char* name = folder_find(folder, pattern);
    fits = name == nullptr || take_match(folder, name, false, list, spec, outcome);
  } else {
    for (size_t i = 0; i < folder->count && fits; i++) {
      if (pattern[0] == '\0' || name_matches(pattern, folder->names[i]))
        fits = take_match(folder, folder->names[i], true, list, spec, outcome);
    }
  }
  if (!fits) {
    list->count = first;
    return -1;
  }
  if (list->count - first > 1)
    qsort(list->entries + first, static_cast<size_t>(list->count - first), sizeof(ListedSource),
          by_name);
  return list->count - first;
}
