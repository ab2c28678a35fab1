#include "convert/com_image.h"

#include <cstring>

#include "common/messages.h"
#include "common/product.h"
#include "platform/platform.h"

namespace {

const unsigned char JUMP_NEAR = 0xE9;
const unsigned char RECORD_END[] = {0x0D, 0x0A, '$'};
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

// The whole image, which the limits keep within COM_IMAGE_LIMIT, is
// gathered in the staging buffer and written once, its jump patched.
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

// Adds `length` bytes to the image.
void put(ComImage* image, const void* bytes, size_t length) {
  if (image->staged + length > COM_STAGING_SIZE) {
    image->failed = true;  // beyond the limits, which the builder enforces
    return;
  }
  memcpy(image->staging + image->staged, bytes, length);
  image->staged += length;
}

// Writes `length` bytes of the text part and counts them in `byte_offset`,
// which thus ends on the code start.
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

// The size of the finished image if it ended after `text_bytes` more bytes of
// text holding `dollars` more '$', closing the record last added.
int32_t projected_size(const ComImage* image, int32_t text_bytes, int32_t dollars) {
  int32_t code_start = image->byte_offset + text_bytes + static_cast<int32_t>(sizeof RECORD_END) +
                       static_cast<int32_t>(sizeof FILLER);
  return code_start + PRINT_CALL_SIZE * image->record_count +
         DOLLAR_CODE_SIZE * (image->dollar_count + dollars) +
         static_cast<int32_t>(sizeof EXIT_CODE);
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

// How many of the first `length` bytes of a line the image can hold within
// COM_IMAGE_LIMIT, each '$' with the code that prints it.  Most lines fit
// whole; only one that does not is measured byte by byte.
size_t bytes_within_bound(const ComImage* image, const char* line, size_t length) {
  if (projected_size(image, static_cast<int32_t>(length), dollars_in(line, length)) <=
      COM_IMAGE_LIMIT)
    return length;
  int32_t dollars = 0;
  for (size_t i = 0; i < length; i++) {
    int32_t more = line[i] == '$' ? 1 : 0;
    if (projected_size(image, static_cast<int32_t>(i) + 1, dollars + more) > COM_IMAGE_LIMIT)
      return i;
    dollars += more;
  }
  return length;
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
  image->staged = 0;
  image->failed = false;
  image->reason = 0;
  image->stream = stream;
  image->recording = true;
  const unsigned char placeholder[3] = {JUMP_NEAR, 0x00, 0x00};
  emit(image, placeholder, sizeof placeholder);
  if (options->cgi_header) {
    emit_header(image, options, source_path);
  }
}

void com_record_line(ComImage* image, const char* line) {
  image->lines_offered++;
  if (image->record_count >= COM_MAX_RECORDS || !image->recording) {
    return;
  }
  add_record(image);
  if (projected_size(image, 0, 0) > COM_IMAGE_LIMIT) {
    // Not even an empty record fits any more.
    image->record_count--;
    image->recording = false;
    return;
  }
  // The text stops on the byte that brings the offset to the limit; when the
  // offset is there already (records of no text can pass it), one byte goes.
  size_t length = strlen(line);
  size_t kept = length;
  if (length > 0) {
    int32_t room = COM_TEXT_LIMIT - image->byte_offset;
    if (room < 1) {
      room = 1;
    }
    if (static_cast<size_t>(room) <= length) {
      kept = static_cast<size_t>(room);
      image->recording = false;
    }
  }
  size_t bounded = bytes_within_bound(image, line, kept);
  if (bounded < kept) {
    kept = bounded;
    image->recording = false;
  }
  emit_text_bytes(image, line, kept);
  emit(image, RECORD_END, sizeof RECORD_END);
  if (kept == length) {
    image->lines_held++;
  }
}

bool com_finish_image(ComImage* image) {
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

// The byte count is the code start, where `byte_offset` ends; the file itself
// is longer by the code block.
void com_print_summary(FILE* out, const ComImage* image, const char* source_path,
                       const char* com_path) {
  say_to(out, "\x10 Compiled %s as a COM file Ok:\n  -> %s (%i bytes)\n", source_path, com_path,
         static_cast<int>(image->byte_offset));
  if (image->lines_held < image->lines_offered) {
    say_to(out, "Warning: %s holds only the first %i of %i lines\n", com_path,
           static_cast<int>(image->lines_held), static_cast<int>(image->lines_offered));
  }
}
