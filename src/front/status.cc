#include "front/status.h"

#include "platform/platform.h"

namespace {

// Batch files test a count with `if errorlevel`, and a count may be as high
// as a status goes; POSIX shells read 126 and above as "cannot execute" or
// a signal, and expect 0 for success.
const long COUNT_LIMIT_POSIX = 125;
const long COUNT_LIMIT_WINDOWS = 0x7FFFFFFF;

}  // namespace

int run_status(StatusMode mode, RunEnd end, long converted) {
  bool count = mode == STATUS_MODE_COUNT || (mode == STATUS_MODE_DEFAULT && !posix_habits());
  if (!count)
    return end == RUN_DONE ? 0 : end == RUN_BAD_COMMAND ? 2 : 1;
  if (end != RUN_DONE && end != RUN_CUT)
    return 1;
  long limit = posix_habits() ? COUNT_LIMIT_POSIX : COUNT_LIMIT_WINDOWS;
  return static_cast<int>(converted > limit ? limit : converted);
}
