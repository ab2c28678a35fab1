// Lists the files that the file specs of a run match.
#ifndef QUILLFEN_FRONT_SOURCE_LIST_H_
#define QUILLFEN_FRONT_SOURCE_LIST_H_

#include "front/folders.h"
#include "front/switches.h"

struct Run;

// One listed source: its name as its folder's listing gave it, the file spec
// whose pattern it matched, and the file's identity.
struct ListedSource {
  const char* name;
  int spec;
  FileIdentity identity;
};

// The sources of a run, in the order in which they were found; the list
// grows as names are added.  A list of all zeros is empty.
struct SourceList {
  ListedSource* entries;
  int count;
  size_t capacity;
};

// What a search found besides the sources it listed.
struct SearchOutcome {
  int skipped;      // matching entries passed over: directories, special files,
  int directories;  // hidden ones; of them, directories
  int reason;       // why the directory could not be read to its end
};

// Whether `name` matches the pattern `pattern` as the Windows search matches
// them: '*' and '?', without regard to ASCII case, and a pattern that ends
// in ".*" also matching the name without that extension.
bool name_matches(const char* pattern, const char* name);

// Appends to `list`, in name order, the files of `folder` that the
// typed `pattern` (every entry when empty) matches, each under `spec`.  A
// pattern without wildcards names at most one file: the one spelt so, else
// the first that matches it without regard to case.  Returns how many it
// appended, or -1 when memory runs out; when that fails, or the folder cannot
// be listed, the list is left as it was.
int list_matching_files(Folder* folder, const char* pattern, SourceList* list, int spec,
                        SearchOutcome* outcome);

// Lists the matches of every file spec of the scan, in the order given, before anything is
// converted, and files the identity of each, so that no output of the run is written over one of
// them.  A spec that matches nothing, or whose directory cannot be read to its end, gets its error,
// and the run goes on with the others.
void list_sources(Run* run, char** arguments, const ArgumentScan& scan);

#endif  // QUILLFEN_FRONT_SOURCE_LIST_H_
