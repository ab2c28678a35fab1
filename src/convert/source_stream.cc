#include "convert/source_stream.h"

#include "platform/reasons.h"

void source_attach(SourceStream* stream, FILE* file) {
  stream->file = file;
  stream->position = 0;
  stream->length = 0;
  stream->at_end = false;
  stream->has_error = false;
  stream->reason = 0;
  stream->cut_lines = 0;
  stream->line_goes_on = false;
}

bool source_fill(SourceStream* stream) {
  if (stream->position < stream->length)
    return true;
  stream->position = 0;
  stream->length = 0;
  if (stream->has_error || stream->file == nullptr)
    return false;
  // Once the file has reported its end, no read finds more: a short block
  // has already met it, so this saves asking the system again.
  size_t got = feof(stream->file) ? 0 : fread(stream->block, 1, SOURCE_BLOCK_SIZE, stream->file);
  if (got == 0) {
    if (ferror(stream->file)) {
      stream->has_error = true;
      stream->reason = stream_reason();
    } else
      stream->at_end = true;
    return false;
  }
  stream->length = got;
  return true;
}

int source_refill(SourceStream* stream) {
  if (!source_fill(stream))
    return SOURCE_END;
  return stream->block[stream->position++];
}
