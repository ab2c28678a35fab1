#include "convert/source_stream.h"

void source_attach(SourceStream* stream, FILE* file) {
  stream->file = file;
  stream->position = 0;
  stream->length = 0;
  stream->at_end = false;
  stream->has_error = false;
}

int source_refill(SourceStream* stream) {
  stream->position = 0;
  stream->length = 0;
  if (stream->has_error || stream->file == nullptr)
    return SOURCE_END;
  size_t got = fread(stream->block, 1, SOURCE_BLOCK_SIZE, stream->file);
  if (got == 0) {
    if (ferror(stream->file))
      stream->has_error = true;
    else
      stream->at_end = true;
    return SOURCE_END;
  }
  stream->length = got;
  stream->position = 1;
  return stream->block[0];
}
