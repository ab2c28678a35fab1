// Reads one line of a source into the caller's buffer.
#ifndef QUILLFEN_CONVERT_LINE_READER_H_
#define QUILLFEN_CONVERT_LINE_READER_H_

#include "convert/source_stream.h"

// The most content bytes of one line; the buffer holds one more for the NUL.
const int LINE_CAPACITY = 8096;

// The overflow bytes at which reading away the rest of a cut line gives up.
const int DISCARD_LIMIT = 200000;

// Result of fgetstr when the discard limit was reached: the message has been
// printed and the run must end with status 1.
const int FGETSTR_FATAL = -2;

// The second line of the fatal message, naming the source and the remedy.
void report_overlong_tail(const char* source_name);

// Tells, at the end of a source, how many of its lines were cut, if any.
void report_cut_lines(const SourceStream* stream, const char* source_name);

// Reads the next line into `line` (capacity + 1 bytes): CR dropped, the line
// ended by LF or the end of the data, tabs expanded to `tab_width` blanks
// (kept when it is 0), cut at `capacity` bytes, and, with `discard_overflow`,
// the rest of a cut line read away; a line that loses more than blanks,
// tabs and carriage returns so counts in stream->cut_lines.  Without
// `discard_overflow`, a full buffer is one piece of a longer line, and
// stream->line_goes_on says so.  Returns the value that ended the line.
// Sets *length, when given, to the length of the text up to its first NUL.
int fgetstr(char* line, int capacity, SourceStream* stream, int tab_width, bool discard_overflow,
            int* length = nullptr);

// The next line where it lies in the stream's buffer, when the buffer holds
// it whole up to its line feed and no rule of fgetstr would change it: no
// tab to expand, no NUL, no carriage return but one before the line feed,
// shorter than `capacity`.  The text is terminated where its line end was;
// *length is its length.  Returns nullptr, having read nothing, when fgetstr
// must read the line; the result is then the one fgetstr gives.
char* take_direct_line(SourceStream* stream, int capacity, int tab_width, int* length);

// Turns direct lines off (and on again), so that tests can compare the two.
void use_direct_lines(bool on);
bool direct_lines_used();

#endif  // QUILLFEN_CONVERT_LINE_READER_H_
