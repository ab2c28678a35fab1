// What the files of the platform layer share among themselves on either
// operating system.  Only the files of src/platform include this.
#ifndef QUILLFEN_PLATFORM_OS_H_
#define QUILLFEN_PLATFORM_OS_H_

#include <cstring>

#include "platform/platform.h"

// The record of the files in flight that the signal handler removes: a file
// is noted before or as it is made, and landed once it has its name or is
// gone.
void note_in_flight(const Directory* directory, const char* name);
void landed(const Directory* directory, const char* name);

inline bool fail(int* reason, int code) {
  *reason = code;
  return false;
}

// The start of output_open: an output of `name` in `directory`, with nothing
// open yet.
inline bool output_named(OutputFile* output, Directory* directory, const char* name) {
  memset(output, 0, sizeof *output);
  output->directory = directory;
  if (strlen(name) >= sizeof output->target)
    return fail(&output->reason, REASON_TOO_LONG);
  strcpy(output->target, name);
  return true;
}

#endif  // QUILLFEN_PLATFORM_OS_H_
