// The batch writer's fast path: sixteen bytes of a line escaped at once, for
// as long as nothing in them calls for a line break.
#ifndef QUILLFEN_CONVERT_ESCAPE_BLOCK_H_
#define QUILLFEN_CONVERT_ESCAPE_BLOCK_H_

#include <cstddef>

// The most bytes that escape_block takes at once, and the room it needs at
// `out`: every byte may come out doubled.
const size_t ESCAPE_BLOCK_BYTES = 16;
const size_t ESCAPE_BLOCK_ROOM = 2 * ESCAPE_BLOCK_BYTES;

// What escape_block is told of the script line and tells back.
struct EscapeBlock {
  bool in_quotes;      // inside a double-quoted run, before and after
  bool tags_break;     // every '<' and '>' ends the block: a wrap is pending
  bool anchors_break;  // "<a " ends the block
  size_t written;      // bytes put at `out`
};

// Whether this machine runs the fast path; false turns it off (for tests
// that compare it with the byte-at-a-time path).  It cannot be turned on
// where the processor lacks the instructions.
bool escape_blocks_available();
void use_escape_blocks(bool on);

// Writes the first bytes of the `available` at `p` (line text, terminated
// after them) to `out` as the script needs them: a caret before each of
// < > | & ^ outside quotes, '%' doubled.  Stops after ESCAPE_BLOCK_BYTES or
// before the first byte that ends the block.  Returns the bytes taken: 0
// when the first one ends the block or the fast path is off.
size_t escape_block(const char* p, size_t available, char* out, EscapeBlock* block);

#endif  // QUILLFEN_CONVERT_ESCAPE_BLOCK_H_
