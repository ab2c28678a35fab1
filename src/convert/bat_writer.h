// Writes the batch script that prints a page: a header, then one echo command
// per line with everything the command interpreter would act on escaped.
#ifndef QUILLFEN_CONVERT_BAT_WRITER_H_
#define QUILLFEN_CONVERT_BAT_WRITER_H_

#include <cstddef>
#include <cstdio>

#include "common/run_options.h"
#include "convert/com_image.h"
#include "convert/source_stream.h"

// A script line is broken at the next tag boundary once it passes this column.
const int WRAP_COLUMN = 220;

// Script bytes are gathered here and written in blocks of this size.
const size_t BAT_STAGING_SIZE = 65536;

// The elements whose text takes no line break: a line end there would
// change a script, a style sheet or a preformatted text.
enum RawElement : unsigned char { RAW_NONE, RAW_SCRIPT, RAW_STYLE, RAW_PRE, RAW_TEXTAREA };

// The state of the script lines that print one source line, kept while
// the line arrives in pieces.
struct EchoLine {
  int column = 0;             // content bytes since the current script line began
  size_t length = 0;          // bytes of the current script line
  bool wrap_pending = false;  // the next tag boundary breaks the line
  bool blank = true;          // the script line holds only blanks after its prefix
  size_t limit = 0;           // the length from which a break for length may fall
};

struct BatWriter {
  FILE* stream = nullptr;
  bool in_quotes = false;           // inside a double-quoted run of the current script line
  bool no_wrap = false;             // break lines only where their length forces it
  bool expansion_off = false;       // the script has turned delayed expansion off
  bool entities = false;            // UTF-8 text written as character references
  bool remove_blank_lines = false;  // an empty source line writes nothing
  RawElement raw = RAW_NONE;        // the element whose text the writer is in
  bool line_goes_on = false;        // the last piece written ended inside a line
  EchoLine echo;                    // of that line
  bool failed = false;              // a write to the stream fell short
  int reason = 0;                   // and the system's reason for it
  unsigned long long written = 0;   // bytes handed to the stream
  size_t staged = 0;
  size_t line_start = 0;  // where the current script line begins in staging
  char staging[BAT_STAGING_SIZE];
};

// Starts a script on `stream` and writes its header lines.
void write_bat_header(BatWriter* writer, FILE* stream, const char* source_path,
                      const RunOptions* options);

// The line for an empty source line, or nothing with remove_blank_lines.
void write_blank_line(BatWriter* writer, const RunOptions* options);

// Both trims of a non-empty line in one pass: every trailing blank goes,
// then every trailing tab (so a line ending blank, tab keeps its blank).
// Returns the length left.
size_t trim_line(char* line, size_t length);

// The echo command line or lines for a non-empty, trimmed source line of
// `size` bytes (line[size] is its terminator), or for one piece of a line
// that arrives in pieces: `goes_on` when more of the line follows.  Every
// piece but the last prints without a line end, so the line prints whole.
// The first line of a script that holds a '!' is preceded by a line that
// turns delayed expansion off, which an interpreter started with /V:ON would
// apply to '!' and '^'.
void write_echo_piece(BatWriter* writer, const char* piece, size_t size, bool goes_on);

// Writes the lines at the stream's position that need no rule of their
// own, as write_echo_piece or write_blank_line would, straight from the
// read block, and stops before the first line that does; while a line
// goes on in pieces, or after a failed write, it takes none.  Where `image`
// is not null, each non-empty line is recorded there too, as its trimmed
// text.  Returns how many of the lines were not empty.
long write_direct_lines(BatWriter* writer, SourceStream* stream, int tab_width,
                        ComImage* image = nullptr);

// Writes out what the writer still holds; call it before the stream is
// checked or closed.
void finish_bat(BatWriter* writer);

#endif  // QUILLFEN_CONVERT_BAT_WRITER_H_
