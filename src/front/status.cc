#include "front/status.h"

#include "platform/platform.h"

int run_status(StatusMode mode, RunEnd end, long converted) {
  bool count = mode == STATUS_MODE_COUNT || (mode == STATUS_MODE_DEFAULT && count_status_default());
  if (!count)
    return end == RUN_DONE ? 0 : end == RUN_BAD_COMMAND ? 2 : 1;
  if (end != RUN_DONE && end != RUN_CUT)
    return 1;
  long limit = count_status_limit();
  return static_cast<int>(converted > limit ? limit : converted);
}
