// Lists the files that a search pattern matches.
#ifndef QUILLFEN_FRONT_SOURCE_LIST_H_
#define QUILLFEN_FRONT_SOURCE_LIST_H_

#include <cstdint>

const int MAX_SOURCES = 2048;

// The selector that takes exactly the plain files.
const uint32_t SELECT_PLAIN_FILES = 0x08;

// Allocates `*list` with `capacity` slots and stores in it, in the order of
// the directory search, the names of the entries of `pattern` that the
// selector takes.  Returns the number stored, or -1 when memory runs out;
// `*unlisted` counts the entries it would have taken beyond the capacity.
int list_matching_files(const char* pattern, char*** list, int capacity, uint32_t selector,
                        int* unlisted);

// Stores a new copy of `text` in an empty slot; false when the slot is taken
// or memory runs out.
bool store_copy(char** slot, const char* text);

#endif  // QUILLFEN_FRONT_SOURCE_LIST_H_
