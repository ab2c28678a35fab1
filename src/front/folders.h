// The directories that a run works in: each is opened once and listed once,
// and the run answers from that listing which entry a name means.
#ifndef QUILLFEN_FRONT_FOLDERS_H_
#define QUILLFEN_FRONT_FOLDERS_H_

#include <cstddef>

#include "platform/platform.h"

struct Folder {
  Directory* directory;
  FileIdentity identity;
  char* typed;   // the path that opened it, as typed
  char** names;  // its entries, once listed, in the listing's order
  size_t count;
  size_t capacity;
  // The names by their upper-cased hash: 1 + an index, or 0 for a free
  // slot; a power of two of them, at least twice the names.
  size_t* slots;
  size_t slot_count;
  // The names that runs ended before their commit may have left (temporary
  // files and kept links), by their index; usually none.
  size_t* leftovers;
  size_t leftover_count;
  size_t leftover_capacity;
  bool listed;
};

// The folders of a run; a set of all zeros is empty.
struct FolderSet {
  Folder** folders;
  size_t count;
  size_t capacity;
};

// The folder of the directory that the typed `path` names: one of the set
// when the same text, or the same directory, opened it before.  Nullptr with
// *reason when it cannot be opened.
Folder* folder_open(FolderSet* set, const char* path, int* reason);

// Lists the folder, once; the reason when that fails.
int folder_list(Folder* folder);

// The entry that `name` means: the one spelt so, else the first in name order
// that matches it without regard to case; nullptr when there is none.
const char* folder_find(const Folder* folder, const char* name);

// Removes what runs that ended early left of the output `name`: only files
// of the user running the tool that no run in flight holds.
void folder_clear_leftovers(Folder* folder, const char* name);

// Closes and frees every folder of the set.
void folders_close(FolderSet* set);

#endif  // QUILLFEN_FRONT_FOLDERS_H_
