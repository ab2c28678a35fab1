// The MZ image of a page beyond the COM limits: the header, the code that
// walks the text's pieces, and the pieces themselves.
#include "convert/mz_image.h"

#include <cstdlib>
#include <cstring>

#include "platform/reasons.h"

namespace {

// The code of an MZ image.  It finds the text part from its own load
// segment, then walks the pieces with DS:SI on the length of the next one,
// kept below 16 so that every piece lies within the segment DS addresses.
const unsigned char MZ_CODE_PARAGRAPHS = 4;
// clang-format off
const unsigned char MZ_CODE[] = {
    0xFC,                                //       CLD
    0x8C, 0xC8,                          //       MOV AX,CS
    0x05, MZ_CODE_PARAGRAPHS, 0x00,      //       ADD AX,4: the text part
    0x8E, 0xD8,                          //       MOV DS,AX
    0x31, 0xF6,                          //       XOR SI,SI
    0xAD,                                // next: LODSW
    0x89, 0xC1,                          //       MOV CX,AX
    0xE3, 0x27,                          //       JCXZ done
    0x89, 0xF2,                          //       MOV DX,SI
    0xB4, 0x09, 0xCD, 0x21,              //       MOV AH,09h; INT 21h
    0xF6, 0xC5, 0x80,                    //       TEST CH,80h
    0x74, 0x06,                          //       JZ skip
    0xB2, 0x24, 0xB4, 0x02, 0xCD, 0x21,  //       MOV DL,'$'; MOV AH,02h; INT 21h
    0x80, 0xE5, 0x7F,                    // skip: AND CH,7Fh
    0x01, 0xCE,                          //       ADD SI,CX
    0x89, 0xF0,                          //       MOV AX,SI
    0xB1, 0x04,                          //       MOV CL,4
    0xD3, 0xE8,                          //       SHR AX,CL
    0x8C, 0xDA,                          //       MOV DX,DS
    0x01, 0xC2,                          //       ADD DX,AX
    0x8E, 0xDA,                          //       MOV DS,DX
    0x83, 0xE6, 0x0F,                    //       AND SI,0Fh
    0xEB, 0xD4,                          //       JMP next
    0xB4, 0x0D, 0xCD, 0x21,              // done: MOV AH,0Dh; INT 21h
    0xB8, 0x00, 0x4C, 0xCD, 0x21,        //       MOV AX,4C00h; INT 21h
};
// clang-format on
const int32_t MZ_TEXT_START = MZ_HEADER_SIZE + 16 * MZ_CODE_PARAGRAPHS;
const unsigned PIECE_ENDS_IN_DOLLAR = 0x8000;
static_assert(sizeof MZ_CODE <= 16 * MZ_CODE_PARAGRAPHS, "the code fits its paragraphs");

void set_word(unsigned char* at, unsigned value) {
  at[0] = static_cast<unsigned char>(value & 0xFF);
  at[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

// The length that leads a piece of `length` bytes in an MZ image's text.
void piece_length(unsigned char* word, size_t length, bool dollar_ends_it) {
  set_word(word, static_cast<unsigned>(length) | (dollar_ends_it ? PIECE_ENDS_IN_DOLLAR : 0));
}

}  // namespace

void mz_begin_image(ComImage* image) {
  int32_t text_end = image->byte_offset;
  // The staged text moves aside, so that the pieces are staged in its place
  // and go out in large blocks.
  unsigned char* text = static_cast<unsigned char*>(malloc(static_cast<size_t>(text_end)));
  if (text == nullptr) {
    image->failed = true;
    image->reason = REASON_NO_MEMORY;
    return;
  }
  memcpy(text, image->staging, static_cast<size_t>(text_end));
  image->staged = 0;
  image->mz = true;
  image->recording = true;
  image->byte_offset = 0;
  unsigned char start[MZ_TEXT_START] = {};
  memcpy(start + MZ_HEADER_SIZE, MZ_CODE, sizeof MZ_CODE);
  image_emit(image, start, sizeof start);
  int32_t piece = 3;  // the text begins behind the jump
  int32_t dollar = 0;
  while (piece < text_end) {
    const void* found = memchr(text + piece, '$', static_cast<size_t>(text_end - piece));
    if (found == nullptr)
      break;  // every record ends in '$', so this does not happen
    int32_t at = static_cast<int32_t>(static_cast<const unsigned char*>(found) - text);
    bool in_text = dollar < image->dollar_count && image->dollar_offsets[dollar] == at;
    if (in_text)
      dollar++;
    size_t length = static_cast<size_t>(at + 1 - piece);
    if (length > static_cast<size_t>(MZ_PIECE_LIMIT)) {
      image->failed = true;  // a header of more than 32 KB, which no path makes
      break;
    }
    unsigned char word[2];
    piece_length(word, length, in_text);
    image_emit(image, word, sizeof word);
    image_emit(image, text + piece, length);
    piece = at + 1;
  }
  free(text);
}

bool mz_record_piece(ComImage* image, const char* line, size_t length, bool goes_on) {
  if (!image->recording)
    return false;
  const unsigned char* close = goes_on ? PIECE_END : RECORD_END;
  size_t close_size = goes_on ? sizeof PIECE_END : sizeof RECORD_END;
  const char* end = line + length;
  size_t needed = 2 + length + sizeof RECORD_END + 2;  // the last piece, the end mark
  for (const char* p = line;
       (p = static_cast<const char*>(memchr(p, '$', static_cast<size_t>(end - p)))) != nullptr; p++)
    needed += 2;
  size_t text_size = static_cast<size_t>(image->byte_offset - MZ_TEXT_START);
  if (length + sizeof RECORD_END > static_cast<size_t>(MZ_PIECE_LIMIT) ||
      text_size + needed > static_cast<size_t>(MZ_TEXT_LIMIT)) {
    image->recording = false;
    return false;
  }
  unsigned char word[2];
  const char* piece = line;
  for (const char* p;
       (p = static_cast<const char*>(memchr(piece, '$', static_cast<size_t>(end - piece)))) !=
       nullptr;
       piece = p + 1) {
    piece_length(word, static_cast<size_t>(p + 1 - piece), true);
    image_emit(image, word, sizeof word);
    image_emit(image, piece, static_cast<size_t>(p + 1 - piece));
  }
  piece_length(word, static_cast<size_t>(end - piece) + close_size, false);
  image_emit(image, word, sizeof word);
  image_emit(image, piece, static_cast<size_t>(end - piece));
  image_emit(image, close, close_size);
  return true;
}

bool mz_finish_image(ComImage* image) {
  const unsigned char end_mark[2] = {0, 0};
  image_emit(image, end_mark, sizeof end_mark);
  image_flush(image);
  if (image->failed)
    return false;
  unsigned size = static_cast<unsigned>(image->byte_offset);
  unsigned load_paragraphs = (size - static_cast<unsigned>(MZ_HEADER_SIZE) + 15) / 16;
  unsigned char header[MZ_HEADER_SIZE] = {'M', 'Z'};
  set_word(header + 0x02, size % 512);           // bytes in the last page
  set_word(header + 0x04, (size + 511) / 512);   // pages in the file
  set_word(header + 0x06, 0);                    // relocations
  set_word(header + 0x08, MZ_HEADER_SIZE / 16);  // header paragraphs
  set_word(header + 0x0A, MZ_STACK_SIZE / 16);   // least memory beyond the image
  set_word(header + 0x0C, 0xFFFF);               // most
  set_word(header + 0x0E, load_paragraphs);      // SS
  set_word(header + 0x10, MZ_STACK_SIZE);        // SP
  set_word(header + 0x14, 0);                    // IP
  set_word(header + 0x16, 0);                    // CS
  set_word(header + 0x18, 0x1C);                 // where relocations would be
  if (fseek(image->stream, 0, SEEK_SET) != 0 ||
      fwrite(header, 1, sizeof header, image->stream) != sizeof header) {
    image->reason = stream_reason();
    image->failed = true;
  }
  return !image->failed;
}
