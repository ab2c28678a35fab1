// The MZ image: a header of two paragraphs without relocations, the code
// padded to a paragraph, then the text part.  The text part is a chain of
// pieces, each a 16-bit length (with bit 15 set when a '$' of the text ends
// the piece) and the piece's bytes up to and with its '$', closed by a
// length of 0.  The text part takes at most MZ_TEXT_LIMIT bytes, which keeps
// the program within the memory that DOS leaves free.  DOS loads it by its
// signature under the COM program's name.
#ifndef QUILLFEN_CONVERT_MZ_IMAGE_H_
#define QUILLFEN_CONVERT_MZ_IMAGE_H_

#include <cstddef>
#include <cstdint>

#include "convert/com_image.h"

const int32_t MZ_HEADER_SIZE = 32;
const int32_t MZ_TEXT_LIMIT = 512 * 1024;
const int32_t MZ_PIECE_LIMIT = 0x7FFF;
// The stack lies behind the load image, in memory that the header asks for.
const int32_t MZ_STACK_SIZE = 512;

// Makes the COM image staged so far the start of an MZ image: room for the
// header, the code, and each record so far as pieces.  A record's pieces
// end at its '$'s; the '$'s of its text are the ones in `dollar_offsets`.
// Nothing of the image has reached the stream yet.
void mz_begin_image(ComImage* image);

// Appends a piece of `length` bytes of a line to the MZ image (the line's
// end with it unless `goes_on`), or, when it does not fit whole within
// MZ_TEXT_LIMIT (the end mark counted) or within a piece, stops recording
// there; false when it was left out.
bool mz_record_piece(ComImage* image, const char* line, size_t length, bool goes_on);

// Closes the text part with its end mark and writes the header over its
// place: the file's size in 512-byte pages, no relocations, the stack behind
// the load image, and the entry at the code.  False when a write failed.
bool mz_finish_image(ComImage* image);

#endif  // QUILLFEN_CONVERT_MZ_IMAGE_H_
