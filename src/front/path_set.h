// The outputs that a run has written, each under the directory entry it
// took: the resolved directory and the name, with the name compared without
// regard to ASCII case, as the platform compares names.
#ifndef QUILLFEN_FRONT_PATH_SET_H_
#define QUILLFEN_FRONT_PATH_SET_H_

#include <cstddef>

struct PathSlot {
  char* path;  // nullptr for an empty slot
  int source;
};

struct PathSet {
  PathSlot* slots;
  size_t slot_count;  // a power of two, at least twice `count`
  size_t count;
};

// Files `path` under `source`, replacing what it was filed under; false when
// memory runs out.
bool path_set_put(PathSet* set, const char* path, int source);

// The source that `path` is filed under, or -1.
int path_set_find(const PathSet* set, const char* path);

#endif  // QUILLFEN_FRONT_PATH_SET_H_
