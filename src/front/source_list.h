// Lists the files that the search patterns of a run match.
#ifndef QUILLFEN_FRONT_SOURCE_LIST_H_
#define QUILLFEN_FRONT_SOURCE_LIST_H_

#include <cstdint>

// The selector that takes exactly the plain files.
const uint32_t SELECT_PLAIN_FILES = 0x08;

// One listed source: its name as the search reports it, and the file spec
// whose pattern it matched.
struct ListedSource {
  char* name;
  int spec;
};

// The sources of a run, in the order in which they were found; the list
// grows as names are added.  A list of all zeros is empty.
struct SourceList {
  ListedSource* entries;
  int count;
  int capacity;
};

// Appends to `list`, in the order of the directory search, the names of the
// entries of `pattern` that the selector takes, each under `spec`.  Returns
// how many it appended, or -1 when memory runs out, in which case the list
// is left as it was.
int list_matching_files(const char* pattern, SourceList* list, int spec, uint32_t selector);

// Stores a new copy of `text` in an empty slot; false when the slot is taken
// or memory runs out.
bool store_copy(char** slot, const char* text);

#endif  // QUILLFEN_FRONT_SOURCE_LIST_H_
