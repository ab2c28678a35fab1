// The part of the platform layer that both operating systems share: the
// opening of an output, the names of the temporary files and kept links that
// runs leave beside it, and the close, commit (alone or as a pair) and
// discard of an output.
#include <cstdio>
#include <cstring>

#include "platform/os.h"

const char TEMPORARY_MARK[] = ".quillfen-new-";
const char PREVIOUS_MARK[] = ".quillfen-old-";

namespace {

// Lets go of the directory that was opened for a link's target.
void release_directory(OutputFile* output) {
  if (output->owns_directory)
    directory_close(output->directory);
  output->owns_directory = false;
  output->directory = nullptr;
}

}  // namespace

bool output_open(OutputFile* output, Directory* directory, const char* name,
                 const SourceFile& source, bool absent) {
  memset(output, 0, sizeof *output);
  output->directory = directory;
  if (strlen(name) >= sizeof output->target)
    return fail(&output->reason, REASON_TOO_LONG);
  strcpy(output->target, name);
  if (os_open_output(output, source, absent))
    return true;
  release_directory(output);
  return false;
}

namespace {

// Whether `mark` starts with one of the marks, followed by the letters that
// made the name unique and nothing else.
bool marked(const char* mark) {
  size_t length = strlen(TEMPORARY_MARK);
  if (strncmp(mark, TEMPORARY_MARK, length) != 0 && strncmp(mark, PREVIOUS_MARK, length) != 0)
    return false;
  const char* rest = mark + length;
  return rest[0] != '\0' &&
         strspn(rest, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-") ==
             strlen(rest);
}

}  // namespace

bool leftover_of(const char* name, const char* target) {
  if (name[0] != '.')
    return false;
  if (target == nullptr) {
    const char* mark = strstr(name + 1, ".quillfen-");
    for (; mark != nullptr; mark = strstr(mark + 1, ".quillfen-")) {
      if (marked(mark))
        return true;
    }
    return false;
  }
  size_t kept = strnlen(target, static_cast<size_t>(TEMPORARY_NAME_KEPT));
  return strncmp(name + 1, target, kept) == 0 && marked(name + 1 + kept);
}

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
    os_remove_temporary(output);
  output->closed = ok;
  return ok;
}

namespace {

// Closes the output and renames it into place, keeping its directory.
bool put_in_place(OutputFile* output) {
  bool ok = output_close(output);
  output->closed = false;
  if (ok && !output->in_place) {
    ok = os_put_in_place(output);
    if (!ok)
      os_remove_temporary(output);
  }
  return ok;
}

}  // namespace

bool output_commit(OutputFile* output) {
  bool ok = put_in_place(output);
  release_directory(output);
  return ok;
}

OutputFile* output_commit_pair(OutputFile* first, OutputFile* second) {
  if (second->stream == nullptr && !second->closed)
    return output_commit(first) ? nullptr : first;
  os_hold_signals(true);
  bool kept = first->in_place || os_keep_previous(first);
  OutputFile* failed = put_in_place(first) ? nullptr : first;
  if (failed == nullptr && !put_in_place(second)) {
    failed = second;
    if (kept && !first->in_place)
      os_restore_previous(first);
  }
  if (!first->in_place)
    os_drop_previous(first);
  if (failed == first)
    output_discard(second);
  os_hold_signals(false);
  release_directory(first);
  release_directory(second);
  return failed;
}

void output_discard(OutputFile* output) {
  bool had_file = output->stream != nullptr || output->closed;
  if (output->stream != nullptr)
    fclose(output->stream);
  output->stream = nullptr;
  output->closed = false;
  if (had_file && !output->in_place)
    os_remove_temporary(output);
  release_directory(output);
}
