// The exit status of a run, by the convention that the command line or the
// platform chooses.
#ifndef QUILLFEN_FRONT_STATUS_H_
#define QUILLFEN_FRONT_STATUS_H_

#include "common/run_options.h"

// How a run ended.
enum RunEnd {
  RUN_DONE,         // every source converted and every output made
  RUN_FAILED,       // a failure, a refusal, or a warning that fails the run
  RUN_CUT,          // every output made, but text of a page was cut from them
  RUN_BAD_COMMAND,  // the command line is wrong
};

// The status for a run that ended as `end` after converting `converted`
// sources.  Plain: 0, 1 and 2, a cut failing the run.  Under the count: the
// count, capped where the platform's statuses end, and 1 for anything but
// RUN_DONE and RUN_CUT.
int run_status(StatusMode mode, RunEnd end, long converted);

#endif  // QUILLFEN_FRONT_STATUS_H_
