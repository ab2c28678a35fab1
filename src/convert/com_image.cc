#include "convert/com_image.h"

#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/product.h"
#include "convert/mz_image.h"
#include "platform/reasons.h"

namespace {

const unsigned char JUMP_NEAR = 0xE9;
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

// A COM image, which the limits keep within COM_IMAGE_LIMIT, is gathered
// whole in the staging buffer and written once, its jump patched.
static_assert(COM_IMAGE_LIMIT <= static_cast<int32_t>(COM_STAGING_SIZE), "image fits staging");

}  // namespace

void image_flush(ComImage* image) {
  if (image->staged > 0 &&
      fwrite(image->staging, 1, image->staged, image->stream) != image->staged) {
    image->reason = stream_reason();
    image->failed = true;
  }
  image->staged = 0;
}

namespace {

// Adds `length` bytes to the image.  An MZ image writes out what is staged
// to make room; a COM image never needs to.
void put(ComImage* image, const void* bytes, size_t length) {
  if (image->staged + length > COM_STAGING_SIZE) {
    if (!image->mz || length > COM_STAGING_SIZE) {
      image->failed = true;  // beyond the limits, which the builder enforces
      return;
    }
    image_flush(image);
  }
  memcpy(image->staging + image->staged, bytes, length);
  image->staged += length;
}

}  // namespace

// The count ends on a COM image's code start.
void image_emit(ComImage* image, const void* bytes, size_t length) {
  if (length == 0) {
    return;
  }
  put(image, bytes, length);
  image->byte_offset += static_cast<int32_t>(length);
}

namespace {

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
  image_emit(image, text, length);
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
    image_emit(image, "$", 1);
    return;
  }
  emit_text(image, "<!-- \n");
  emit_text(image, "Converted from ");
  emit_text(image, source_path);
  emit_text(image, "\r\n");
  emit_text(image, "By " BANNER_TEXT "\r\n");
  emit_text(image, "Website: " HOME_URL "\r\n");
  emit_text(image, " -->\r\n");
  image_emit(image, "$", 1);
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
  image_flush(image);
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
  image->mz = false;
  const unsigned char placeholder[3] = {JUMP_NEAR, 0x00, 0x00};
  image_emit(image, placeholder, sizeof placeholder);
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
  if (!image->mz && !fits_com_image(image, line, length))
    mz_begin_image(image);
  if (image->mz)
    return mz_record_piece(image, line, length, goes_on);
  // Recording stops once the text reaches COM_TEXT_LIMIT, here on the line's
  // last byte; the next line then makes the image an MZ image.
  if (length > 0 && static_cast<size_t>(text_room(image)) == length)
    image->recording = false;
  add_record(image);
  emit_text_bytes(image, line, length);
  if (goes_on)
    image_emit(image, PIECE_END, sizeof PIECE_END);
  else
    image_emit(image, RECORD_END, sizeof RECORD_END);
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
  if (image->mz)
    return mz_finish_image(image);
  image_emit(image, FILLER, sizeof FILLER);
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
