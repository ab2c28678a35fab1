// What the shared part of the platform layer asks of each operating system's
// part.  Only the files of src/platform include this.
#ifndef QUILLFEN_PLATFORM_OS_H_
#define QUILLFEN_PLATFORM_OS_H_

#include "platform/platform.h"

// The marks in the names of a temporary output and of a kept link; each
// follows a dot and the output's own name, cut at TEMPORARY_NAME_KEPT bytes.
extern const char TEMPORARY_MARK[];
extern const char PREVIOUS_MARK[];
extern const int TEMPORARY_NAME_KEPT;

// Opens output->target in output->directory for output_open, which has
// set them; on failure it may leave output->directory one of its own.
bool os_open_output(OutputFile* output, const SourceFile& source, bool absent);

// Renames the closed temporary file of `output` onto its target; false, with
// output->reason, when that fails.
bool os_put_in_place(OutputFile* output);

// Removes the temporary file of `output`.
void os_remove_temporary(OutputFile* output);

// The previous file of a pair's first output: os_keep_previous links it
// under output->previous (false where a file was there and no link could be
// made); os_restore_previous puts it back, or removes the new file where
// there was none; os_drop_previous removes the link.
bool os_keep_previous(OutputFile* output);
void os_restore_previous(OutputFile* output);
void os_drop_previous(OutputFile* output);

// The record of the files in flight that the signal handler removes: a file
// is noted before or as it is made, and landed once it has its name or is
// gone.
void note_in_flight(const Directory* directory, const char* name);
void landed(const Directory* directory, const char* name);

// Holds the signals of signals_install back, or lets them through again.
void os_hold_signals(bool hold);

inline bool fail(int* reason, int code) {
  *reason = code;
  return false;
}

#endif  // QUILLFEN_PLATFORM_OS_H_
