#include "front/commit.h"

#include <cstdio>

bool output_close(OutputFile* output) {
  FILE* stream = output->stream;
  if (stream == nullptr)
    return output->closed;
  output->stream = nullptr;
  output->reason = REASON_NONE;
  bool ok = fflush(stream) == 0 && !ferror(stream);
  if (!ok)
    output->reason = stream_reason();
  if (fclose(stream) != 0 && ok) {
    ok = false;
    output->reason = stream_reason();
  }
  if (!ok && !output->in_place)
    output_remove_temporary(output);
  output->closed = ok;
  return ok;
}

namespace {

// Closes the output and renames it into place, keeping its directory.
bool put_in_place(OutputFile* output) {
  bool ok = output_close(output);
  output->closed = false;
  if (ok && !output->in_place) {
    ok = output_rename(output);
    if (!ok)
      output_remove_temporary(output);
  }
  return ok;
}

}  // namespace

bool output_commit(OutputFile* output) {
  bool ok = put_in_place(output);
  output_release(output);
  return ok;
}

OutputFile* output_commit_pair(OutputFile* first, OutputFile* second) {
  if (second->stream == nullptr && !second->closed)
    return output_commit(first) ? nullptr : first;
  signals_hold(true);
  bool kept = first->in_place || output_keep_previous(first);
  OutputFile* failed = put_in_place(first) ? nullptr : first;
  if (failed == nullptr && !put_in_place(second)) {
    failed = second;
    if (kept && !first->in_place)
      output_restore_previous(first);
  }
  if (!first->in_place)
    output_drop_previous(first);
  if (failed == first)
    output_discard(second);
  signals_hold(false);
  output_release(first);
  output_release(second);
  return failed;
}

void output_discard(OutputFile* output) {
  bool had_file = output->stream != nullptr || output->closed;
  if (output->stream != nullptr)
    fclose(output->stream);
  output->stream = nullptr;
  output->closed = false;
  if (had_file && !output->in_place)
    output_remove_temporary(output);
  output_release(output);
}
