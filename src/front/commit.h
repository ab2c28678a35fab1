// The end of a source's outputs: closed and put in place, alone or as a
// pair that takes its names both or neither, or given up.
#ifndef QUILLFEN_FRONT_COMMIT_H_
#define QUILLFEN_FRONT_COMMIT_H_

#include "platform/platform.h"

// output_close and output_commit (which closes the output if still open and
// puts it in place of the old one) return false when they, or a write before
// them, failed; the temporary file is then gone and the old output, if any,
// unchanged.  output_discard closes the output and removes its temporary file.
bool output_close(OutputFile* output);
bool output_commit(OutputFile* output);
void output_discard(OutputFile* output);

// Puts two closed outputs in place as a pair, `second` only where it was
// opened: both or neither.  Where the second fails, the first is taken back
// and the file it replaced stands again (kept under a hard link meanwhile,
// where the file system allows one).  Signals wait until both are done.
// Returns the output that failed, or nullptr.
OutputFile* output_commit_pair(OutputFile* first, OutputFile* second);

#endif  // QUILLFEN_FRONT_COMMIT_H_
