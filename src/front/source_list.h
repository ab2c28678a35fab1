// Lists the files that the search patterns of a run match.
#ifndef QUILLFEN_FRONT_SOURCE_LIST_H_
#define QUILLFEN_FRONT_SOURCE_LIST_H_

#include <cstdint>

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

// What a search found besides the sources it listed.
struct SearchOutcome {
  int skipped;      // matching entries never converted: directories, read-only,
  int directories;  // hidden or system files; of them, directories
  int reason;       // why the directory could not be read to its end
};

// Appends to `list`, in the order of the directory search, the names of the
// plain files that `pattern` matches, each under `spec`.  Returns how many
// it appended, or -1 when memory runs out; when that fails, or the
// directory cannot be read to its end, the list is left as it was.
int list_matching_files(const char* pattern, SourceList* list, int spec, SearchOutcome* outcome);

// Stores a new copy of `text` in an empty slot; false when the slot is taken
// or memory runs out.
bool store_copy(char** slot, const char* text);

#endif  // QUILLFEN_FRONT_SOURCE_LIST_H_
