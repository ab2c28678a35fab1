#include "convert/com_image.h"

#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/product.h"
#include "platform/platform.h"

namespace {

const unsigned char JUMP_NEAR = 0xE9;
const unsigned char RECORD_END[] = {0x0D, 0x0A, '$'};
// The end of a record whose line goes on in the next.
const unsigned char PIECE_END[] = {'$'};
const unsigned char FILLER[] = {'$', '0', 'a'};
// MOV AH,0Dh; INT 21h (disk reset), MOV AX,4C00h; INT 21h (terminate with
// exit code 0), INT 20h.
const unsigned char EXIT_CODE[] = {0xB4, 0x0D, 0xCD, 0x21, 0xB8, 0x00,
                                   0x4C, 0xCD, 0x21, 0xCD, 0x20};
// MOV DL,24h; MOV AH,02h; INT 21h: prints one '$', which the print-string
// call cannot.
const unsigned char PRINT_DOLLAR[] = {0xB2, 0x24, 0xB4, 0x02, 0xCD, 0x21};
const int32_t PRINT_CALL_SIZE = 7;
const int32_t DOLLAR_CODE_SIZE = static_cast<int32_t>(sizeof PRINT_DOLLAR) + PRINT_CALL_SIZE;
const char CGI_HEADER[] = "Content-type: text/html\r\n\r\n";

// The code of an MZ image.  It finds the text part from its own load
// segment, then walks the pieces with DS:SI on the length of the next one,
// kept below 16 so that every piece lies within the segment DS addresses.
const unsigned char EXE_CODE_PARAGRAPHS = 4;
// clang-format off
const unsigned char EXE_CODE[] = {
    0xFC,                                //       CLD
    0x8C, 0xC8,                          //       MOV AX,CS
    0x05, EXE_CODE_PARAGRAPHS, 0x00,     //       ADD AX,4: the text part
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
const int32_t EXE_TEXT_START = MZ_HEADER_SIZE + 16 * EXE_CODE_PARAGRAPHS;
const unsigned PIECE_ENDS_IN_DOLLAR = 0x8000;
static_assert(sizeof EXE_CODE <= 16 * EXE_CODE_PARAGRAPHS, "the code fits its paragraphs");

// A COM image, which the limits keep within COM_IMAGE_LIMIT, is gathered
// whole in the staging buffer and written once, its jump patched.
static_assert(COM_IMAGE_LIMIT <= static_cast<int32_t>(COM_STAGING_SIZE), "image fits staging");

// Writes out what the image holds, noting a short write.
void flush_image(ComImage* image) {
  if (image->staged > 0 &&
      fwrite(image->staging, 1, image->staged, image->stream) != image->staged) {
    image->reason = stream_reason();
    image->failed = true;
  }
  image->staged = 0;
}

// Adds `length` bytes to the image.  An MZ image writes out what is staged
// to make room; a COM image never needs to.
void put(ComImage* image, const void* bytes, size_t length) {
  if (image->staged + length > COM_STAGING_SIZE) {
    if (!image->exe || length > COM_STAGING_SIZE) {
      image->failed = true;  // beyond the limits, which the builder enforces
      return;
    }
    flush_image(image);
  }
  memcpy(image->staging + image->staged, bytes, length);
  image->staged += length;
}

// Writes `length` bytes of the text part and counts them in `byte_offset`,
// which thus ends on a COM image's code start.
void emit(ComImage* image, const void* bytes, size_t length) {
  if (length == 0) {
    return;
  }
  put(image, bytes, length);
  image->byte_offset += static_cast<int32_t>(length);
}

// Writes text that the program prints, noting where each '$' in it stands.
void emit_text_bytes(ComImage* image, const char* text, size_t length) {
  const char* end = text + length;
  for (const char* p = text; p < end; p++) {
    p = static_cast<const char*>(memchr(p, '$', static_cast<size_t>(end - p)));
    if (p == nullptr)
      break;
    if (image->dollar_count < COM_MAX_DOLLARS)
      image->dollar_offsets[image->dollar_count++] =
          image->byte_offset + static_cast<int32_t>(p - text);
  }
  emit(image, text, length);
}

void emit_text(ComImage* image, const char* text) {
  emit_text_bytes(image, text, strlen(text));
}

// The size of the finished COM image if it ended with one more record of
// `text_bytes` bytes of text holding `dollars` '$'.
int32_t projected_size(const ComImage* image, int32_t text_bytes, int32_t dollars) {
  int32_t code_start = image->byte_offset + text_bytes + static_cast<int32_t>(sizeof RECORD_END) +
                       static_cast<int32_t>(sizeof FILLER);
  return code_start + PRINT_CALL_SIZE * (image->record_count + 1) +
         DOLLAR_CODE_SIZE * (image->dollar_count + dollars) +
         static_cast<int32_t>(sizeof EXIT_CODE);
}

// The text bytes that the COM image takes before its text limit stops
// recording: the byte that brings the offset to the limit still counts, and
// when the offset is there already (records of no text can pass it), one
// byte does.
int32_t text_room(const ComImage* image) {
  int32_t room = COM_TEXT_LIMIT - image->byte_offset;
  return room < 1 ? 1 : room;
}

// The number of '$' among the `length` bytes at `text`.
int32_t dollars_in(const char* text, size_t length) {
  int32_t count = 0;
  const char* end = text + length;
  for (const char* p = text; p < end; p++) {
    p = static_cast<const char*>(memchr(p, '$', static_cast<size_t>(end - p)));
    if (p == nullptr)
      break;
    count++;
  }
  return count;
}

// Whether the COM image can hold a line of `length` bytes whole: a record
// free, recording on, the text limit not passed before the line's last byte,
// and the image, with the code for each '$', within COM_IMAGE_LIMIT.
bool fits_com_image(const ComImage* image, const char* line, size_t length) {
  if (image->record_count >= COM_MAX_RECORDS || !image->recording)
    return false;
  if (length > static_cast<size_t>(COM_IMAGE_LIMIT))
    return false;
  if (length > 0 && static_cast<size_t>(text_room(image)) < length)
    return false;
  return projected_size(image, static_cast<int32_t>(length), dollars_in(line, length)) <=
         COM_IMAGE_LIMIT;
}

void add_record(ComImage* image) {
  image->record_offsets[image->record_count] = image->byte_offset;
  image->record_count++;
}

// The header record: the CGI header and, with credits, the comment block.
// Each piece is written as it stands, so a '%' in the path stays unchanged.
void emit_header(ComImage* image, const RunOptions* options, const char* source_path) {
  add_record(image);
  emit_text(image, CGI_HEADER);
  if (!options->credits) {
    emit(image, "$", 1);
    return;
  }
  emit_text(image, "<!-- \n");
  emit_text(image, "Converted from ");
  emit_text(image, source_path);
  emit_text(image, "\r\n");
  emit_text(image, "By " BANNER_TEXT "\r\n");
  emit_text(image, "Website: " HOME_URL "\r\n");
  emit_text(image, " -->\r\n");
  emit(image, "$", 1);
}

// MOV DX,address; MOV AH,09h; INT 21h for the record at `offset`.
void emit_print_call(ComImage* image, int32_t offset) {
  int32_t address = offset + COM_LOAD_OFFSET;
  unsigned char call[7] = {0xBA,
                           static_cast<unsigned char>(address & 0xFF),
                           static_cast<unsigned char>((address >> 8) & 0xFF),
                           0xB4,
                           0x09,
                           0xCD,
                           0x21};
  put(image, call, sizeof call);
}

// Writes the jump to the code start over the placeholder, and the image
// out; false when the image could not be written, sought or patched.
bool patch_jump(ComImage* image, int32_t code_start) {
  int32_t displacement = code_start - 3;
  unsigned char jump[3] = {JUMP_NEAR, static_cast<unsigned char>(displacement & 0xFF),
                           static_cast<unsigned char>((displacement >> 8) & 0xFF)};
  memcpy(image->staging, jump, sizeof jump);
  flush_image(image);
  return !image->failed;
}

void set_word(unsigned char* at, unsigned value) {
  at[0] = static_cast<unsigned char>(value & 0xFF);
  at[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

// The length that leads a piece of `length` bytes in an MZ image's text.
void piece_length(unsigned char* word, size_t length, bool dollar_ends_it) {
  set_word(word, static_cast<unsigned>(length) | (dollar_ends_it ? PIECE_ENDS_IN_DOLLAR : 0));
}

// Makes the COM image staged so far the start of an MZ image: room for the
// header, the code, and each record so far as pieces.  A record's pieces
// end at its '$'s; the '$'s of its text are the ones in `dollar_offsets`.
// Nothing of the image has reached the stream yet.
void begin_exe_image(ComImage* image) {
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
  image->exe = true;
  image->recording = true;
  image->byte_offset = 0;
  unsigned char start[EXE_TEXT_START] = {};
  memcpy(start + MZ_HEADER_SIZE, EXE_CODE, sizeof EXE_CODE);
  emit(image, start, sizeof start);
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
    emit(image, word, sizeof word);
    emit(image, text + piece, length);
    piece = at + 1;
  }
  free(text);
}

// Appends one line to an MZ image as pieces, or, when it does not fit whole
// within MZ_TEXT_LIMIT (the end mark counted) or within a piece, stops
// recording there.
bool exe_record_line(ComImage* image, const char* line, size_t length, bool goes_on) {
  if (!image->recording)
    return false;
  const unsigned char* close = goes_on ? PIECE_END : RECORD_END;
  size_t close_size = goes_on ? sizeof PIECE_END : sizeof RECORD_END;
  const char* end = line + length;
  size_t needed = 2 + length + sizeof RECORD_END + 2;  // the last piece, the end mark
  for (const char* p = line;
       (p = static_cast<const char*>(memchr(p, '$', static_cast<size_t>(end - p)))) != nullptr; p++)
    needed += 2;
  size_t text_size = static_cast<size_t>(image->byte_offset - EXE_TEXT_START);
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
    emit(image, word, sizeof word);
    emit(image, piece, static_cast<size_t>(p + 1 - piece));
  }
  piece_length(word, static_cast<size_t>(end - piece) + close_size, false);
  emit(image, word, sizeof word);
  emit(image, piece, static_cast<size_t>(end - piece));
  emit(image, close, close_size);
  return true;
}

// Closes the text part with its end mark and writes the header over its
// place: the file's size in 512-byte pages, no relocations, the stack behind
// the load image, and the entry at the code.
bool finish_exe_image(ComImage* image) {
  const unsigned char end_mark[2] = {0, 0};
  emit(image, end_mark, sizeof end_mark);
  flush_image(image);
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

}  // namespace

void com_begin_image(ComImage* image, FILE* stream, const RunOptions* options,
                     const char* source_path) {
  // Only the counts are reset: the tables and the staging are read no
  // further than they say.
  image->byte_offset = 0;
  image->record_count = 0;
  image->dollar_count = 0;
  image->lines_offered = 0;
  image->lines_held = 0;
  image->piece_lost = false;
  image->staged = 0;
  image->failed = false;
  image->reason = 0;
  image->stream = stream;
  image->recording = true;
  image->exe = false;
  const unsigned char placeholder[3] = {JUMP_NEAR, 0x00, 0x00};
  emit(image, placeholder, sizeof placeholder);
  if (options->cgi_header) {
    emit_header(image, options, source_path);
  }
}

void com_record_line(ComImage* image, const char* line) {
  com_record_piece(image, line, strlen(line), false);
}

namespace {

// Records one piece; false when it was left out.
bool record_piece(ComImage* image, const char* line, size_t length, bool goes_on) {
  if (!image->exe && !fits_com_image(image, line, length))
    begin_exe_image(image);
  if (image->exe)
    return exe_record_line(image, line, length, goes_on);
  // Recording stops once the text reaches COM_TEXT_LIMIT, here on the line's
  // last byte; the next line then makes the image an MZ image.
  if (length > 0 && static_cast<size_t>(text_room(image)) == length)
    image->recording = false;
  add_record(image);
  emit_text_bytes(image, line, length);
  if (goes_on)
    emit(image, PIECE_END, sizeof PIECE_END);
  else
    emit(image, RECORD_END, sizeof RECORD_END);
  return true;
}

}  // namespace

void com_record_piece(ComImage* image, const char* piece, size_t length, bool goes_on) {
  if (!record_piece(image, piece, length, goes_on))
    image->piece_lost = true;
  if (goes_on)
    return;
  image->lines_offered++;
  if (!image->piece_lost)
    image->lines_held++;
  image->piece_lost = false;
}

bool com_image_cut(const ComImage* image) {
  return image->lines_held < image->lines_offered;
}

bool com_finish_image(ComImage* image) {
  if (image->exe)
    return finish_exe_image(image);
  emit(image, FILLER, sizeof FILLER);
  int32_t code_start = image->byte_offset;
  // Each record's text runs to the next record; its last '$' ends it, and
  // every '$' before that is printed on its own.
  int32_t dollar = 0;
  for (int32_t i = 0; i < image->record_count; i++) {
    emit_print_call(image, image->record_offsets[i]);
    int32_t end = i + 1 < image->record_count ? image->record_offsets[i + 1] : code_start;
    for (; dollar < image->dollar_count && image->dollar_offsets[dollar] < end; dollar++) {
      put(image, PRINT_DOLLAR, sizeof PRINT_DOLLAR);
      emit_print_call(image, image->dollar_offsets[dollar] + 1);
    }
  }
  put(image, EXIT_CODE, sizeof EXIT_CODE);
  return patch_jump(image, code_start);
}

// The byte count is where `byte_offset` ends: a COM image's code start (the
// file itself is longer by the code block), an MZ image's whole size.
void com_print_summary(FILE* out, const ComImage* image, const char* source_path,
                       const char* com_path) {
  say_to(out, "\x10 Compiled %s as a COM file Ok:\n  -> %s (%i bytes)\n", source_path, com_path,
         static_cast<int>(image->byte_offset));
  if (image->lines_held < image->lines_offered) {
    say_to(out, "Warning: %s holds only the first %i of %i lines\n", com_path,
           static_cast<int>(image->lines_held), static_cast<int>(image->lines_offered));
  }
}
