// What the shared part of the platform layer asks of each operating system's
// part.  Only the files of src/platform include this.
#ifndef QUILLFEN_PLATFORM_OS_H_
#define QUILLFEN_PLATFORM_OS_H_

#include "platform/platform.h"

// The mark in a temporary output's name; it follows the output's own name.
extern const char TEMPORARY_MARK[];

// Renames the closed temporary file of `output` onto its target; false, with
// output->reason, when that fails.
bool os_put_in_place(OutputFile* output);

// Removes the temporary file of `output`.
void os_remove_temporary(const OutputFile* output);

inline bool fail(int* reason, int code) {
  *reason = code;
  return false;
}

#endif  // QUILLFEN_PLATFORM_OS_H_
