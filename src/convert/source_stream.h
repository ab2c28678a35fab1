// A buffered byte stream over a source file.  It reads the file in large
// blocks and hands out single bytes or the run of bytes buffered so far, so
// the line reader takes no lock per byte; its end-of-file indicator behaves
// as the standard stream's does.
#ifndef QUILLFEN_CONVERT_SOURCE_STREAM_H_
#define QUILLFEN_CONVERT_SOURCE_STREAM_H_

#include <cstddef>
#include <cstdio>

const int SOURCE_END = -1;
const size_t SOURCE_BLOCK_SIZE = 131072;

struct SourceStream {
  FILE* file = nullptr;
  size_t position = 0;
  size_t length = 0;
  bool at_end = false;        // a read found no more data; stays set
  bool has_error = false;     // a read failed; every further read gives SOURCE_END
  int reason = 0;             // the system's reason for that
  long cut_lines = 0;         // lines whose text the line reader cut
  bool line_goes_on = false;  // the line just read filled the buffer and is kept whole:
                              // the next read delivers more of it
  unsigned char block[SOURCE_BLOCK_SIZE];
};

// Starts reading `file` from its current position.
void source_attach(SourceStream* stream, FILE* file);

// Makes the bytes from `position` to `length` hold at least one byte, reading
// the next block when none is left; false at the end of the data or on an
// error, which the indicators then tell apart.
bool source_fill(SourceStream* stream);

// Reads the next block; the slow path of read_byte.
int source_refill(SourceStream* stream);

// The next byte, 0 to 255, or SOURCE_END at the end of the data or on an error.
inline int read_byte(SourceStream* stream) {
  if (stream->position < stream->length)
    return stream->block[stream->position++];
  return source_refill(stream);
}

#endif  // QUILLFEN_CONVERT_SOURCE_STREAM_H_
