// What a run knows of the files it touches, under one rule for "the same
// file": a source by its file identity, whatever names it; an output by its
// directory entry, the directory's identity and the name, with names alike
// but for ASCII case taken as one, as the platform compares them.
#ifndef QUILLFEN_FRONT_KNOWN_FILES_H_
#define QUILLFEN_FRONT_KNOWN_FILES_H_

#include <cstddef>

#include "platform/platform.h"

struct KnownSlot {
  FileIdentity identity;  // of the file, or of the entry's directory
  char* name;             // the entry's name; nullptr for a file
  int source;             // the source it is filed under; -1 for an empty slot
};

// An open-addressed table, at most half full; a table of all zeros is empty.
struct KnownFiles {
  KnownSlot* slots;
  size_t capacity;  // a power of two, or 0 before the first key
  size_t count;
};

// Whether two entries, each a name in a directory of the given identity, are
// one entry.
bool same_entry(const FileIdentity& directory, const char* name,
                const FileIdentity& other_directory, const char* other_name);

// Files the file `identity` (name nullptr), or the entry `name` of the
// directory `identity`, under `source`; false when memory runs out.
bool known_put(KnownFiles* known, const FileIdentity& identity, const char* name, int source);

// The source that the file or entry is filed under, or -1; for an entry,
// *spelling becomes the name it was filed with.
int known_find(const KnownFiles* known, const FileIdentity& identity, const char* name,
               const char** spelling = nullptr);

#endif  // QUILLFEN_FRONT_KNOWN_FILES_H_
