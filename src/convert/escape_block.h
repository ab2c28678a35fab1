// The batch writer's fast path: a line escaped sixteen bytes at a time, for
// as long as nothing in them calls for a line break.
#ifndef QUILLFEN_CONVERT_ESCAPE_BLOCK_H_
#define QUILLFEN_CONVERT_ESCAPE_BLOCK_H_

#include <cstddef>

// The bytes of one block, and the room that one block needs at `out`: every
// byte may come out doubled.
const size_t ESCAPE_BLOCK_BYTES = 16;
const size_t ESCAPE_BLOCK_ROOM = 2 * ESCAPE_BLOCK_BYTES;

// The room that the widest block, of 64 bytes, needs at `out`; with this
// much beyond twice the bytes left, a line is escaped to its end.
const size_t ESCAPE_LINE_ROOM = 8 * ESCAPE_BLOCK_BYTES;

// What escape_blocks is told of the script line and tells back.
struct EscapeBlock {
  bool in_quotes;      // inside a double-quoted run, before and after
  bool tags_break;     // every '<' and '>' ends the block: a wrap is pending
  bool anchors_break;  // "<a " ends the block
  char closer;         // so does "</" and this letter in any case, where not 0
  bool watch_openers;  // tell of a '<' among the bytes taken that may begin
                       // a script, style, pre or textarea
  unsigned openers;    // not 0 when there was one
  bool high_breaks;    // or a byte above 0x7F
  size_t before;       // line bytes that may be read before `p`
  size_t written;      // bytes put at `out`
};

// The ways of escaping, slowest first: a byte at a time (the reference),
// blocks of 16 bytes with SSSE3, blocks of 32 with AVX2, blocks of 64 with
// AVX-512 (its byte expansion, VBMI2) where the processor has them.  The
// best that the processor has is used.
enum EscapeLevel { ESCAPE_BYTES, ESCAPE_SSSE3, ESCAPE_AVX2, ESCAPE_AVX512 };
EscapeLevel escape_level();

// Uses `level`, or the best below it that the processor has; for tests and
// the fuzz target that compare the levels.
void use_escape_level(EscapeLevel level);

// Whether the processor has a block path at all.  use_escape_blocks(false)
// turns the block paths off, for tests that compare them with the
// byte-at-a-time path; use_escape_blocks(true) uses the best one there is.
bool escape_blocks_available();
void use_escape_blocks(bool on);

// Writes bytes of the `available` at `p` (line text, terminated after them)
// to `out` as the script needs them: a caret before each of < > | & ^
// outside quotes, '%' doubled.  Goes on in blocks of ESCAPE_BLOCK_BYTES for
// as long as `room` leaves ESCAPE_BLOCK_ROOM for the next, and stops before
// the first byte that ends a block.  Returns the bytes taken: 0 when the
// first one ends the block or the fast path is off.
size_t escape_blocks(const char* p, size_t available, char* out, size_t room, EscapeBlock* block);

// Whole lines escaped where they lie in the source's read block, for the
// many lines that need no rule of the line reader's or the writer's own.
struct DirectLine {
  bool bang_refused;   // a '!' sends the line back
  bool tabs_blank;     // a tab is read as one blank; otherwise it sends the
                       // line back
  size_t widest;       // the most bytes that a script line may print
  const char* inside;  // the name of the element that takes no break that
                       // the line begins in, in capitals; nullptr outside
  size_t taken;        // bytes of the line, its line feed included
  size_t text;         // bytes before its line end, untrimmed
  size_t trimmed;      // the same without its trailing blanks
  bool blank;          // nothing but blanks before its line end, if anything
  size_t written;      // bytes put at `out`
  bool in_quotes;      // inside a double-quoted run at its end
};

// The longest text that escape_direct_line takes, and the room it needs at
// `out`.
const size_t DIRECT_LINE_MOST = 1024;
const size_t DIRECT_LINE_ROOM = 4 * DIRECT_LINE_MOST + ESCAPE_LINE_ROOM;

// Escapes the line that begins at `p`, of the `count` bytes there, as the
// script lines that print it after their "echo " need it: its trailing
// blanks trimmed, a script line begun before each "<a " where more than
// blanks come before it (outside an element that takes no break), the
// carriage return before its line feed dropped.
// Returns false, having taken nothing, where the line is not whole among
// the `count` bytes, or needs anything else: a byte that the line reader
// treats on its own, a tag that opens an element that takes no break or
// ends the one it is in, a script line past line->widest, text that "echo"
// would read as a request of its own.  Only where the 64-byte escape is in
// use; false elsewhere.
bool escape_direct_line(const char* p, size_t count, char* out, DirectLine* line);

// Whether escape_direct_line may take lines at all.
bool direct_escape_available();

#endif  // QUILLFEN_CONVERT_ESCAPE_BLOCK_H_
