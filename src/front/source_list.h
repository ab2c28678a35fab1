// Lists the files that a search pattern matches.
#ifndef QUILLFEN_FRONT_SOURCE_LIST_H_
#define QUILLFEN_FRONT_SOURCE_LIST_H_

#include <cstdint>

const int MAX_SOURCES = 2048;

// Allocates `*list` with `capacity` slots and stores in it, in the order of
// the directory search, the names of the plain files that `pattern` matches.
// Returns the number stored, or -1 when memory runs out; `*unlisted` counts
// the entries it would have taken beyond the capacity.  When the directory
// cannot be read, returns 0 with *reason telling why.
int list_matching_files(const char* pattern, char*** list, int capacity, int* unlisted,
                        int* reason);

// Stores a new copy of `text` in an empty slot; false when the slot is taken
// or memory runs out.
bool store_copy(char** slot, const char* text);

#endif  // QUILLFEN_FRONT_SOURCE_LIST_H_
