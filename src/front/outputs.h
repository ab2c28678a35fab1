// Where the outputs of a source land, and whether they may: the places of
// the script and the program, named or derived, and the checks that no
// output replaces a source, its partner, or another page's output.
#ifndef QUILLFEN_FRONT_OUTPUTS_H_
#define QUILLFEN_FRONT_OUTPUTS_H_

#include "front/folders.h"
#include "platform/platform.h"

struct Run;

// Where an output lands: an entry of a folder, by the name it has there (or
// will have), and the path that messages show for it.
struct OutputPlace {
  Folder* folder;
  char name[OUTPUT_NAME_CAPACITY];
  bool exists;   // the listing, or the run, knows the entry
  int earlier;   // the earlier source of the run that wrote it, or -1
  bool derived;  // named after its source, not on the command line
};

// Where the outputs of the source at `index` land, and how messages show
// them; false, after the message, when a named script's directory cannot be
// opened.  A named program's directory that cannot be opened turns compiling
// off.
bool place_outputs(Run* run, int index);

// Tells that the COM output cannot be opened: the run goes on without
// compiling, and the script is still written.
void drop_compiling(Run* run, int reason);

// Refuses to let a derived output replace a file that its credit remark says
// was converted from another page; returns STATUS_FAILED after the message,
// or STATUS_CONTINUE.  A file without the remark is replaced as ever.
int check_credits(const Run* run, int index);

// Refuses open outputs that would replace a source or each other; returns
// STATUS_FAILED after the message, or STATUS_CONTINUE.
int check_outputs(const Run* run, const OutputFile& bat, const OutputFile& com);

// Files the output just put in place as written for `index`.
void note_written(Run* run, const OutputPlace& place, int index);

// `path` becomes the listed source at `index` as messages show it.
void shown_source(const Run* run, int index, char* path);

// Tells that `path`, the output of the source at `index`, replaced that of
// an earlier source of the run; and, where naming the outputs after the
// whole names would keep the two apart, how.
void report_replaced(Run* run, int index, const char* path, int earlier);

#endif  // QUILLFEN_FRONT_OUTPUTS_H_
